#pragma once

#include <exception>
#include <future>
#include <type_traits>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace tallyglass {

// Work given to another thread through Qt (a queued call, a thread pool) is
// ordered by Qt's own locks. The Qt a distribution ships is not built for
// ThreadSanitizer, which therefore cannot see those locks and would take every
// such handoff for a data race. Wrapped in HandedOff, the work says itself
// what Qt guarantees: whatever the giving thread did before handing it over
// happens before it runs, and what it did happens before it is destroyed,
// on whichever thread that is. Outside a ThreadSanitizer build the marks
// compile to nothing.
//
// Where the caller waits for the work, handOffAndWait() stands in for Qt's
// blocking queued call, which still reads the caller's stack after the work
// has run, where no mark made by the work can cover it.
inline void handoffPublished([[maybe_unused]] const void* key)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<void*>(key));
#endif
}

inline void handoffReceived([[maybe_unused]] const void* key)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<void*>(key));
#endif
}

template <typename Work>
class HandedOff {
public:
    explicit HandedOff(Work work)
        : work_(std::move(work))
    {
        handoffPublished(this);
    }
    // Qt copies or moves the work into a home of its own before handing it
    // over; each copy marks itself as published where it now lives.
    HandedOff(const HandedOff& other)
        : work_(other.work_)
    {
        handoffPublished(this);
    }
    HandedOff(HandedOff&& other) noexcept(std::is_nothrow_move_constructible_v<Work>)
        : work_(std::move(other.work_))
    {
        handoffPublished(this);
    }
    HandedOff& operator=(const HandedOff&) = delete;
    HandedOff& operator=(HandedOff&&) = delete;
    ~HandedOff() { handoffReceived(this); }

    void operator()()
    {
        handoffReceived(this);
        work_();
        handoffPublished(this);
    }

private:
    Work work_;
};

template <typename Work>
HandedOff<Work> handedOff(Work work)
{
    return HandedOff<Work>(std::move(work));
}

// Gives `work` to `post` (which queues it for another thread, as a queued
// QMetaObject::invokeMethod does) and returns once it has run, rethrowing what
// it threw. Work that is dropped unrun throws std::future_error here rather
// than leaving the caller waiting for ever.
template <typename Post, typename Work>
void handOffAndWait(Post&& post, Work work)
{
    std::promise<void> ran;
    std::future<void> result = ran.get_future();
    post(handedOff([work = std::move(work), ran = std::move(ran)]() mutable {
        try {
            work();
            ran.set_value();
        } catch (...) {
            ran.set_exception(std::current_exception());
        }
    }));
    result.get();
}

} // namespace tallyglass
