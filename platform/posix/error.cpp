// POSIX back end of error texts: errno values through strerror_r.
#include "platform/error.h"

#include <cerrno>
#include <cstring>

unsigned long sys_last_error() { return static_cast<unsigned long>(errno); }

std::string sys_error_text(unsigned long code) {
    char buffer[256] = {};
    // The GNU strerror_r returns the text (possibly a static one) rather than filling the buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    return std::string(text && *text ? text : "Unknown error") + " (" + std::to_string(code) + ")";
}
