#include "core/SerialQueue.h"

#include "core/Log.h"

#include <pthread.h>

namespace tallyglass {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label))
{
    worker_ = std::thread([this] { run(); });
    // Linux keeps 15 bytes of a thread's name; debuggers and `top -H` show that much.
    pthread_setname_np(worker_.native_handle(), label_.substr(0, 15).c_str());
}

SerialQueue::~SerialQueue()
{
    finish();
}

void SerialQueue::finish()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        tick_ = nullptr;
    }
    wake_.notify_all();
    if (worker_.joinable() && !isCurrent())
        worker_.join();
}

bool SerialQueue::async(std::function<void()> job)
{
    {
        std::lock_guard lock(mutex_);
        if (ended_) {
            Log::line(label_ + ": work given after the queue finished was not run");
            return false;
        }
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

// A background job that fails is a bug or a passing fault of its own; either
// way it must not take the process, or the jobs queued after it, along.
void SerialQueue::runLogged(const std::function<void()>& work, const char* what)
{
    try {
        work();
    } catch (const std::exception& error) {
        Log::line(label_ + ": " + what + " failed: " + error.what());
    } catch (...) {
        Log::line(label_ + ": " + what + " failed");
    }
}

void SerialQueue::startTimer(std::chrono::milliseconds interval, std::function<void()> tick)
{
    {
        std::lock_guard lock(mutex_);
        interval_ = interval;
        tick_ = std::move(tick);
        nextTick_ = std::chrono::steady_clock::now() + interval;
    }
    wake_.notify_one();
}

void SerialQueue::stopTimer()
{
    std::lock_guard lock(mutex_);
    tick_ = nullptr;
}

void SerialQueue::run()
{
    std::unique_lock lock(mutex_);
    while (true) {
        if (!jobs_.empty()) {
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            runLogged(job, "a job");
            lock.lock();
            continue;
        }
        if (stopping_) {
            ended_ = true;
            return;
        }
        if (tick_) {
            if (std::chrono::steady_clock::now() >= nextTick_) {
                // Counted from now, so a tick held up by a long job does not come twice in a row.
                nextTick_ = std::chrono::steady_clock::now() + interval_;
                std::function<void()> tick = tick_;
                lock.unlock();
                runLogged(tick, "a timer tick");
                lock.lock();
                continue;
            }
            wake_.wait_until(lock, nextTick_);
        } else {
            wake_.wait(lock);
        }
    }
}

} // namespace tallyglass
