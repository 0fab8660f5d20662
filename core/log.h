// The agent's log: one line per call, to standard error (time only) and to the log file (date
// and time), serialised by one lock that is usable before log_open.
#pragma once

#include <cstdint>
#include <string>

enum : uint32_t { LOG_DEBUG = 0, LOG_INFO = 1, LOG_WARN = 2, LOG_ERROR = 3 };

void log_open(const std::string& path);
void log_close();

[[gnu::format(gnu_printf, 2, 3)]] void log_write(uint32_t level, const char* format, ...);

// The five-character name written for a level ("INFO " and "WARN " end in a blank).
const char* log_level_name(uint32_t level);
