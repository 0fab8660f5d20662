// Error codes of this system, turned into short texts in exactly one place per back end. The
// platform layer does not log: a back end hands the text back with its failure, and the caller
// logs it once, with its context (path, step).
#pragma once

#include <string>

// The calling thread's last system error (errno on POSIX, GetLastError on Windows).
unsigned long sys_last_error();

// "<the system's message> (<code>)", for instance "Access is denied (5)" or
// "Permission denied (13)". The message is the system's own, in UTF-8, without a final period or
// line break; WinHTTP's codes (12000-12999) are known on Windows too.
std::string sys_error_text(unsigned long code);

// "<call> failed: <sys_error_text(code)>", for log lines that name the failed call.
std::string sys_call_error(const char* call, unsigned long code);
