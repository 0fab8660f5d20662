// Thread start helpers shared by every back end; thread_prepare_current is per back end.
#include "platform/thread.h"

#include <system_error>

std::optional<std::thread> thread_spawn(std::function<void()> body, std::string* error) {
    try {
        return std::thread([body = std::move(body)] {
            thread_prepare_current();
            body();
        });
    } catch (const std::system_error& failure) {
        if (error) *error = failure.what();
    } catch (const std::bad_alloc&) {
        if (error) *error = "out of memory";
    }
    return std::nullopt;
}

bool thread_start_detached(std::function<void()> body, std::string* error) {
    std::optional<std::thread> thread = thread_spawn(std::move(body), error);
    if (!thread) return false;
    thread->detach();
    return true;
}
