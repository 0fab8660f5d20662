// Log: level filter, line formatting and the two sinks (console and file).
#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/files.h"
#include "platform/system.h"

namespace {

constexpr uint32_t kThreshold = LOG_INFO;  // DEBUG lines are never written

struct LogState {
    std::mutex lock;        // serialises the two writes of a line, and close against them
    FILE* file = nullptr;   // open log file, or none (console only)
};

// Made on first use, so a line written before log_open already finds a working lock, and never
// destroyed, so a detached thread still logging while the process exits finds it too.
LogState& log_state() {
    static LogState* state = new LogState;
    return *state;
}


}  // namespace

const char* log_level_name(uint32_t level) {
    switch (level) {
        case LOG_DEBUG: return "DEBUG";
        case LOG_INFO: return "INFO ";
        case LOG_WARN: return "WARN ";
        case LOG_ERROR: return "ERROR";
        default: return "?????";
    }
}

void log_open(const std::string& path) {
    LogState& log = log_state();
    std::lock_guard<std::mutex> guard(log.lock);
    if (log.file || path.empty()) return;
    log.file = fs_fopen(path, "a");
}

void log_close() {
    LogState& log = log_state();
    std::lock_guard<std::mutex> guard(log.lock);
    if (log.file) {
        std::fclose(log.file);
        log.file = nullptr;
    }
}

void log_write(uint32_t level, const char* format, ...) {
    if (level < kThreshold) return;

    std::tm tm{};
    sys_localtime(std::time(nullptr), &tm);
    char clock[32];
    char stamp[32];
    std::strftime(clock, sizeof clock, "%H:%M:%S", &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);

    // The message has no length limit: measure it, then format it once for both sinks.
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string message;
    if (needed > 0) {
        message.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(message.data(), message.size(), format, args);
        message.resize(static_cast<size_t>(needed));
    }
    va_end(args);

    const char* name = log_level_name(level);
    LogState& log = log_state();
    std::lock_guard<std::mutex> guard(log.lock);
    std::fprintf(stderr, "[%s %s] %s\n", clock, name, message.c_str());
    if (log.file) {
        std::fprintf(log.file, "[%s %s] %s\n", stamp, name, message.c_str());
        std::fflush(log.file);
    }
}
