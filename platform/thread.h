// Starting the agent's threads. Every thread is prepared the same way before its body runs (an
// alternate signal stack on POSIX, so a fault on an exhausted stack still reaches the crash
// handler; no critical-error boxes such as "No Disk" on Windows, which would block the thread),
// and a thread that the system cannot start is reported instead of ending the process.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <thread>

// Prepares the calling thread as above. The start helpers call it; the main thread calls it once
// at start-up.
void thread_prepare_current();

// Starts a joinable thread; nothing when it could not be started, with the reason in *error
// when error is given.
std::optional<std::thread> thread_spawn(std::function<void()> body, std::string* error = nullptr);

// Starts a detached thread; false when it could not be started (reason as above).
bool thread_start_detached(std::function<void()> body, std::string* error = nullptr);
