// Win32 preparation of a thread: no critical-error boxes (an empty drive slot probed by a listing
// would otherwise raise "No Disk" and block the thread until someone clicks).
#include "platform/thread.h"

#include <windows.h>

void thread_prepare_current() {
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, nullptr);
}
