// Process entry of the agent: start-up, the tray loop and shutdown.
#pragma once

// Runs the agent; returns the process exit code (always 0).
int service_main();
