// HTTP requests whose answer is JSON: a POST with a body and a GET. The forms without a client
// open and close a connection of their own, so any thread may call them at any time; the forms
// with one go over that client's kept-alive connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/json.h"
#include "platform/http.h"

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

// As http_post_json, over `client`, with the body given as pieces that are sent where they lie.
// *lost_connection (when not null) tells whether the failure was the server's having closed the
// kept-alive connection before it answered (http_lost_kept_connection): the same request may then
// be sent again at once.
JsonPtr http_post_json(HttpClient& client, const std::string& url, const std::vector<HttpBodyPiece>& body,
                       const std::string& content_type, std::string* error, bool* lost_connection = nullptr);

// As http_get_json, over `client`.
JsonPtr http_get_json(HttpClient& client, const std::string& url, uint32_t connect_ms, uint32_t io_ms,
                      std::string* error);
