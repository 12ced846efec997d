#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tallyglass {

// Works through items 0..count-1 on threads of its own while one consumer
// takes what each gave in the items' order, as if they had been done one
// after another on its own thread. Each item hands on pieces as it goes; the
// consumer takes an item's pieces as they come. Memory stays bounded: an item
// waits while `maxQueued` of its pieces are untaken, and no item begins more
// than `window` places ahead of the one the consumer is on.
template <typename Piece>
class ReadAhead {
public:
    // Hands a piece on; false once the work should end early (the consumer stopped).
    using Emit = std::function<bool(Piece&&)>;
    // Does item `index` on worker `worker` (0..threads-1).
    using Work = std::function<void(std::size_t worker, std::size_t index, const Emit& emit)>;

    ReadAhead(std::size_t count, std::size_t threads, std::size_t window, std::size_t maxQueued, Work work)
        : items_(count)
        , window_(std::max<std::size_t>(window, 1))
        , maxQueued_(std::max<std::size_t>(maxQueued, 1))
        , work_(std::move(work))
    {
        threads = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(count, 1));
        for (std::size_t worker = 0; worker < threads; ++worker)
            threads_.emplace_back([this, worker] { run(worker); });
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    ~ReadAhead()
    {
        stop();
        for (std::thread& thread : threads_)
            thread.join();
    }

    // The next piece of item `index` (waiting for it), or nothing once the item
    // is done and all its pieces taken. Items are taken in order; an exception
    // the item's work threw comes out here.
    std::optional<Piece> next(std::size_t index)
    {
        std::unique_lock lock(mutex_);
        if (index != taking_) {
            taking_ = index;
            changed_.notify_all(); // a later item may begin
        }
        Item& item = items_[index];
        changed_.wait(lock, [&] { return !item.pieces.empty() || item.done; });
        if (item.pieces.empty()) {
            if (item.failure)
                std::rethrow_exception(item.failure);
            return std::nullopt;
        }
        Piece piece = std::move(item.pieces.front());
        item.pieces.pop_front();
        changed_.notify_all();
        return piece;
    }

    // No item begins after this, and work under way is told to end.
    void stop()
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }

private:
    struct Item {
        std::deque<Piece> pieces;
        bool done = false;
        std::exception_ptr failure;
    };

    void run(std::size_t worker)
    {
        while (true) {
            std::size_t index = 0;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stopping_ || next_ >= items_.size() || next_ < taking_ + window_; });
                if (stopping_ || next_ >= items_.size())
                    return;
                index = next_++;
            }
            Item& item = items_[index];
            std::exception_ptr failure;
            try {
                work_(worker, index, [&](Piece&& piece) { return emit(item, std::move(piece)); });
            } catch (...) {
                failure = std::current_exception();
            }
            std::lock_guard lock(mutex_);
            item.failure = failure;
            item.done = true;
            changed_.notify_all();
        }
    }

    bool emit(Item& item, Piece&& piece)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopping_ || item.pieces.size() < maxQueued_; });
        if (stopping_)
            return false;
        item.pieces.push_back(std::move(piece));
        changed_.notify_all();
        return true;
    }

    std::vector<Item> items_;
    const std::size_t window_;
    const std::size_t maxQueued_;
    const Work work_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;   // the first item no worker has begun
    std::size_t taking_ = 0; // the item the consumer is on
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace tallyglass
