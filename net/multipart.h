// Pieces of the multipart/form-data bodies the agent posts (image chunks, scanned chunks): the
// boundary, text fields, the head of the one file field, and the closing line.
#pragma once

#include <string>

// `prefix` followed by 8 + 4 hex digits of a fresh GUID, e.g. "----ChunkBoundary1a2b3c4d5e6f".
std::string multipart_boundary(const char* prefix);

// "--B\r\nContent-Disposition: form-data; name=\"N\"\r\n\r\nVALUE\r\n".
void multipart_field(std::string& body, const std::string& boundary, const char* name, const std::string& value);

// The head of a file field of application/octet-stream; its bytes follow it.
void multipart_file_head(std::string& body, const std::string& boundary, const char* name, const std::string& filename);

// What ends the body after the file's bytes: "\r\n--B--\r\n".
std::string multipart_end(const std::string& boundary);
