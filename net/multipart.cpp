// Multipart/form-data body pieces.
#include "net/multipart.h"

#include <cstdio>

#include "platform/system.h"

std::string multipart_boundary(const char* prefix) {
    Guid guid{};
    if (!sys_guid(&guid)) sys_random(&guid, sizeof guid);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x%04x", static_cast<unsigned>(guid.data1),
                  static_cast<unsigned>(guid.data2));
    return prefix + std::string(digits);
}

void multipart_field(std::string& body, const std::string& boundary, const char* name, const std::string& value) {
    body += "--";
    body += boundary;
    body += "\r\nContent-Disposition: form-data; name=\"";
    body += name;
    body += "\"\r\n\r\n";
    body += value;
    body += "\r\n";
}

void multipart_file_head(std::string& body, const std::string& boundary, const char* name,
                         const std::string& filename) {
    body += "--";
    body += boundary;
    body += "\r\nContent-Disposition: form-data; name=\"";
    body += name;
    body += "\"; filename=\"";
    body += filename;
    body += "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}

std::string multipart_end(const std::string& boundary) { return "\r\n--" + boundary + "--\r\n"; }
