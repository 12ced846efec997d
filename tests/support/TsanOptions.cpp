// ThreadSanitizer's options, built into each test program of the TSan build:
// a test started by hand or by ctest reports the same way. TSAN_OPTIONS given
// in the environment come after these and win.

extern "C" const char* __tsan_default_options();

extern "C" const char* __tsan_default_options()
{
    // ignore_noninstrumented_modules: Qt, GLib, SQLite and the C library are
    // not built for ThreadSanitizer, and what they touch through its
    // interceptors (Qt's events and thread pool allocated and freed, GLib's
    // wake-up descriptor written, a thread's wait condition destroyed) is
    // ordered by locks it cannot see. Reports are kept to accesses our own
    // code makes; the locks of those libraries still count where it sees
    // them. second_deadlock_stack: both stacks of a lock-order inversion.
    // history_size: enough remembered accesses that a report shows where the
    // other side of a race was, even in a long test.
    return "suppressions=" TALLYGLASS_TSAN_SUPPRESSIONS
           ":ignore_noninstrumented_modules=1:second_deadlock_stack=1:history_size=4";
}
