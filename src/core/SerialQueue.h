#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>

namespace tallyglass {

// One worker thread that runs submitted work strictly in order, plus an
// optional repeating timer whose ticks run on the same thread between jobs.
// sync() blocks the caller until its job has run and hands back its result or
// rethrows its exception. An exception from an async() job or a tick is logged
// and the queue goes on. Destruction drops pending timer ticks, finishes the
// job in progress and the jobs already queued, then joins the thread. Work
// given once the thread has ended is refused at once, and logged: async()
// drops it, sync() throws QueueFinished instead of waiting for ever.
class SerialQueue {
public:
    class QueueFinished : public std::logic_error {
    public:
        using std::logic_error::logic_error;
    };

    explicit SerialQueue(std::string label);
    ~SerialQueue();

    // What destruction does, while the queue can still be reached: a job that
    // queues another while it ends (a step of background work) finds a live
    // queue, and that job runs too before the thread is joined. Idempotent.
    void finish();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }
    bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

    // False (and logged) when the queue has finished.
    bool async(std::function<void()> job);

    template <typename F>
    auto sync(F&& job) -> std::invoke_result_t<F>
    {
        using R = std::invoke_result_t<F>;
        if (isCurrent())
            return job(); // already on the queue: running inline keeps the order and avoids a self-deadlock
        std::packaged_task<R()> task(std::forward<F>(job));
        std::future<R> result = task.get_future();
        if (!async([&task] { task(); }))
            throw QueueFinished(label_ + ": the queue has finished; the work was not run");
        return result.get();
    }

    // Runs `tick` every `interval`, first one interval from now. One timer per queue.
    void startTimer(std::chrono::milliseconds interval, std::function<void()> tick);
    void stopTimer();

private:
    void run();
    void runLogged(const std::function<void()>& work, const char* what);

    const std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::function<void()> tick_;
    std::chrono::milliseconds interval_{0};
    std::chrono::steady_clock::time_point nextTick_;
    bool stopping_ = false;
    bool ended_ = false; // the worker has left its loop: nothing more runs
    std::thread worker_;
};

} // namespace tallyglass
