// The folder picker's requests: one folder's sub-folders and files, and path checks.
#pragma once

// Binds "list_disks", "list_drives", "list_directories" and "validate_path", in that order.
void disk_browse_register();
