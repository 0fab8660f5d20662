// HTTP requests whose answer is JSON: a POST with a body and a GET. Each call opens and closes its
// own connection, so any thread may call them at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

// GETs `url` (absolute http or https URL) with time-outs of `connect_ms` for resolving and
// connecting and `io_ms` for sending and receiving. The parsed answer when the status is below 400
// and the body is JSON; otherwise nothing, with a short text in *error (when error is not null):
// "Invalid URL", "HTTP N: body", "Invalid JSON response (HTTP N)" or the failed step's text.
JsonPtr http_get_json(const std::string& url, uint32_t connect_ms, uint32_t io_ms, std::string* error);
