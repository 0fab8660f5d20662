// Test helper: the crash handler in a process of its own, crashing on purpose.
//   crashprobe LOG overflow   a thread started through the thread helpers recurses until its
//                             stack is exhausted
//   crashprobe LOG heap       the allocator is made unusable first: a handler that allocates ends
//                             the process with exit code 99 instead of writing the line
// Exit code 77: the mode cannot run in this build (the sanitizers bring their own allocator).
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/process.h"
#include "platform/thread.h"

namespace {

constexpr const char* kLine = "[{time}] CRASH: exception code 0x{code} at address {address}\n";

std::atomic<bool> g_heap_broken{false};
int* volatile g_nowhere = nullptr;

// Deep recursion that the compiler can neither turn into a loop nor prove endless.
int descend(int depth) {
    volatile char frame[512];
    frame[depth % sizeof frame] = static_cast<char>(depth);
    if (depth < 0) return frame[0];
    return descend(depth + 1) + frame[depth % sizeof frame];
}

}  // namespace

#if !defined(__SANITIZE_ADDRESS__)
#define CRASHPROBE_HEAP 1
extern "C" void* __libc_malloc(size_t size);
// Every allocation of the process passes here; once the heap counts as broken, any allocation
// ends the process.
extern "C" void* malloc(size_t size) {
    if (g_heap_broken.load(std::memory_order_relaxed)) {
        static const char text[] = "crashprobe: allocation inside the crash handler\n";
        ssize_t ignored = write(STDERR_FILENO, text, sizeof text - 1);
        (void)ignored;
        _exit(99);
    }
    return __libc_malloc(size);
}
#endif

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: crashprobe LOG overflow|heap\n");
        return 2;
    }
    std::string mode = argv[2];
    thread_prepare_current();
    proc_install_crash_handler(argv[1], kLine);
    if (mode == "overflow") {
        std::optional<std::thread> thread = thread_spawn([] { std::printf("%d\n", descend(0)); });
        if (!thread) return 3;
        thread->join();
        return 4;  // not reached: the recursion ends in a fault
    }
    if (mode == "heap") {
#ifdef CRASHPROBE_HEAP
        g_heap_broken = true;
        *g_nowhere = 1;
        return 4;
#else
        return 77;
#endif
    }
    return 2;
}
