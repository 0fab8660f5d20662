// The upload client's two requests: a POST whose answer is JSON, and the query that tells which
// chunks of a part the server already holds. Each call opens and closes its own connection, so
// any thread may call them at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"

// Longest answer body read; an answer is parsed only when it arrived whole.
constexpr size_t HTTP_JSON_MAX_ANSWER = 1048576;
// Longest error text handed back, in bytes.
constexpr size_t HTTP_JSON_MAX_ERROR = 511;

// Connect time-out of a POST: 30 s without a body, else 60 s plus 1 s per whole 32 KiB of body,
// within 30 s .. 600 s.
uint32_t http_post_connect_timeout_ms(size_t body_length);

// POSTs `body` to `url` (absolute http or https URL, query included) with that Content-Type.
// The parsed answer when the status is below 400 and the body is JSON; otherwise nothing, with a
// short text in *error (when error is not null): "Invalid URL", "WinHttpOpen failed",
// "WinHttpConnect failed", "WinHttpOpenRequest failed", "WinHttpSendRequest failed (N)",
// "WinHttpReceiveResponse failed (N)", "HTTP N: body", "Invalid JSON response (HTTP N)".
JsonPtr http_post_json(const std::string& url, const void* body, size_t body_length, const std::string& content_type,
                       std::string* error);

// The flags for an answer of the chunk-status query: "received_chunks" entries that are whole
// numbers from 0 to total_chunks - 1 mark their chunk; anything else is ignored.
std::vector<uint8_t> chunk_flags_from_answer(const cJSON* answer, int total_chunks);

// Asks {base_url}/upload_chunk_status which chunks of the part it holds: one flag per chunk,
// 1 where the server has it. Nothing when the server could not be asked or gave no JSON; the
// caller then sends every chunk.
std::optional<std::vector<uint8_t>> get_uploaded_chunks(const std::string& base_url, const std::string& token,
                                                        const std::string& batch_id, int part_number,
                                                        int total_chunks);
