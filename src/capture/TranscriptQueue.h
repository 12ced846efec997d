#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tallyglass {

// Decides when each transcript named by a hook event is read, and reads it on
// one of a few threads of its own, so that no server thread waits on a file.
//
// Claude Code runs its hooks while it is still writing the transcript, and
// sometimes before the file exists at all. So a transcript is first watched
// until its size stops changing (at most `stabilityTimeout`), then read, and
// then read again after each pause of `followUps`, which finds the lines that
// came after the hook. Events for a transcript that is waiting or being read
// join that work instead of starting another read: one read per transcript at
// a time, and a burst of events costs one read, not one each.
//
// A read that could not store what it read (the database full, locked, gone)
// keeps its transcript waiting: it is read again after a pause that doubles up
// to `retryMax`, and in any case one waiting transcript is tried every
// `retryCheck`, so that storing works again within seconds of the database
// recovering; once one read stores again, every waiting transcript is read at
// once. Nothing is forgotten while the application runs.
class TranscriptQueue {
public:
    using Clock = std::chrono::steady_clock;
    using Duration = std::chrono::milliseconds;

    struct Request {
        std::string path;
        std::optional<std::string> sessionIdOverride;
        bool isSubagent = false;
    };

    struct Timing {
        Duration stabilityTimeout{400};
        Duration stabilityInterval{50};
        std::vector<Duration> followUps{Duration(250), Duration(500), Duration(1000), Duration(2000), Duration(4000)};
        Duration retryFirst{1000};  // after a read that could not store, doubling each time
        Duration retryMax{60'000};
        Duration retryCheck{5000};  // one waiting transcript is tried at least this often
        // Where the time comes from: the steady clock, or a clock a test moves
        // by hand (and then calls timeMoved()).
        std::function<Clock::time_point()> now{};
    };

    // Reads the request's transcript; false when what it read could not be stored.
    using Reader = std::function<bool(const Request&)>;

    TranscriptQueue(Timing timing, int readerThreads, std::size_t capacity, Reader reader);
    ~TranscriptQueue();
    TranscriptQueue(const TranscriptQueue&) = delete;
    TranscriptQueue& operator=(const TranscriptQueue&) = delete;

    // Asks for a read of the request's transcript. `afterRead` runs once a read
    // that began after this call has finished. False (and nothing done) when
    // `capacity` transcripts are already waiting, or after stop().
    bool submit(Request request, std::function<void()> afterRead = {});

    // Blocks until nothing waits or is being read, follow-ups included.
    bool waitUntilIdle(Duration timeout);
    std::size_t pending() const;
    // Transcripts whose last read could not store what it read.
    std::size_t retrying() const;
    // Storing works again (another write got through): every transcript
    // waiting to store is read now.
    void retryNow();

    // For a clock of a test's own: looks at the time again and blocks until
    // everything due by now is done (sizes checked, reads finished, the next
    // waits armed); false when the time ran out first.
    bool timeMoved(Duration timeout);

    // Reads in progress finish; nothing else is read. The `afterRead` calls of
    // transcripts still waiting run now, on the calling thread.
    void stop();

private:
    enum class Phase { settling, ready, reading, followingUp, retrying };
    struct Job {
        Request request;
        Phase phase = Phase::settling;
        Clock::time_point settleDeadline;
        std::uint64_t lastSize = 0;
        std::size_t followUp = 0;
        int failures = 0; // reads in a row that could not store
        bool eventWhileReading = false;
        std::optional<std::multimap<Clock::time_point, std::string>::iterator> timer;
        std::vector<std::function<void()>> afterRead;
        std::vector<std::function<void()>> afterNextRead; // arrived while a read ran
    };

    Clock::time_point now() const;
    bool settled() const; // with mutex_ held: nothing due, ready or being read
    void startSettling(Job& job, std::uint64_t size, Clock::time_point now);
    void arm(Job& job, Clock::time_point due);
    void makeReady(Job& job);
    void afterReading(Job& job, bool stored, Clock::time_point now);
    void armRetryCheck(Clock::time_point now);
    void retryOne();
    bool anyRetrying() const; // with mutex_ held
    void retryAll();
    void runTimers();
    void runReader();

    const Timing timing_;
    const std::size_t capacity_;
    const Reader reader_;

    mutable std::mutex mutex_;
    std::condition_variable timerWake_;
    std::condition_variable readerWake_;
    std::condition_variable idle_;
    std::condition_variable settledChanged_;
    bool stopping_ = false;
    bool checkingSize_ = false; // the timer thread looks at a file without the lock
    int reading_ = 0;
    std::unordered_map<std::string, Job> jobs_;
    std::multimap<Clock::time_point, std::string> timers_;
    std::optional<std::multimap<Clock::time_point, std::string>::iterator> retryCheck_;
    std::deque<std::string> ready_;
    std::thread timerThread_;
    std::vector<std::thread> readers_;
};

} // namespace tallyglass
