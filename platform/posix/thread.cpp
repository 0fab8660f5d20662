// POSIX preparation of a thread: its own alternate signal stack, released when the thread ends.
#include "platform/thread.h"

#include <signal.h>

#include <cstdlib>

namespace {

struct AltStack {
    void* memory = nullptr;
    ~AltStack() {
        if (!memory) return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        std::free(memory);
    }
};

thread_local AltStack t_alt_stack;  // one per thread; gone with the thread

constexpr size_t kAltStackBytes = 64 * 1024;

}  // namespace

void thread_prepare_current() {
    if (t_alt_stack.memory) return;
    void* memory = std::malloc(kAltStackBytes);
    if (!memory) return;  // the thread runs on; a fault on a full stack is then not recorded
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = kAltStackBytes;
    if (sigaltstack(&stack, nullptr) != 0) {
        std::free(memory);
        return;
    }
    t_alt_stack.memory = memory;
}
