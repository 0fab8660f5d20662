// The downloads area of zelvo-server: installers and other files that agents fetch, served from
// data_dir/download/ under /download/.
#pragma once

#include <vector>

#include "server/http.h"

// GET /download/<name>, with "status" and "truncate" to order a faulty answer.
std::vector<Route> download_routes();
