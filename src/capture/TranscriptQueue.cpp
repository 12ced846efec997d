#include "capture/TranscriptQueue.h"

#include "core/Log.h"

#include <algorithm>

#include <sys/stat.h>

namespace tallyglass {

namespace {

// The timers' key of the check that tries one waiting transcript: no path is empty.
const std::string retryCheckKey;

// The file's size, or nothing when there is no file (yet).
std::optional<std::uint64_t> sizeOf(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

} // namespace

TranscriptQueue::TranscriptQueue(Timing timing, int readerThreads, std::size_t capacity, Reader reader)
    : timing_(std::move(timing))
    , capacity_(capacity)
    , reader_(std::move(reader))
{
    timerThread_ = std::thread([this] { runTimers(); });
    for (int i = 0; i < std::max(readerThreads, 1); ++i)
        readers_.emplace_back([this] { runReader(); });
}

TranscriptQueue::~TranscriptQueue()
{
    stop();
}

TranscriptQueue::Clock::time_point TranscriptQueue::now() const
{
    return timing_.now ? timing_.now() : Clock::now();
}

bool TranscriptQueue::submit(Request request, std::function<void()> afterRead)
{
    // Looked at before taking the lock: a slow file system must not hold up other events.
    const std::uint64_t size = sizeOf(request.path).value_or(0);
    const auto now = this->now();
    std::lock_guard lock(mutex_);
    if (stopping_)
        return false;
    auto found = jobs_.find(request.path);
    if (found == jobs_.end()) {
        if (jobs_.size() >= capacity_)
            return false;
        const std::string path = request.path;
        Job job;
        job.request = std::move(request);
        found = jobs_.emplace(path, std::move(job)).first;
        startSettling(found->second, size, now);
    }
    Job& job = found->second;
    switch (job.phase) {
    case Phase::settling:
    case Phase::ready:
        if (afterRead)
            job.afterRead.push_back(std::move(afterRead));
        break;
    case Phase::reading:
        job.eventWhileReading = true;
        if (afterRead)
            job.afterNextRead.push_back(std::move(afterRead));
        break;
    case Phase::followingUp:
    case Phase::retrying:
        if (afterRead)
            job.afterRead.push_back(std::move(afterRead));
        job.followUp = 0;
        startSettling(job, size, now);
        break;
    }
    return true;
}

void TranscriptQueue::startSettling(Job& job, std::uint64_t size, Clock::time_point now)
{
    job.phase = Phase::settling;
    job.settleDeadline = now + timing_.stabilityTimeout;
    job.lastSize = size;
    arm(job, now + timing_.stabilityInterval);
}

void TranscriptQueue::arm(Job& job, Clock::time_point due)
{
    if (job.timer)
        timers_.erase(*job.timer);
    const bool earliest = timers_.empty() || due < timers_.begin()->first;
    job.timer = timers_.emplace(due, job.request.path);
    if (earliest)
        timerWake_.notify_one();
}

void TranscriptQueue::makeReady(Job& job)
{
    job.phase = Phase::ready;
    ready_.push_back(job.request.path);
    readerWake_.notify_one();
}

// Where a read leaves its transcript: settling again for an event that came
// meanwhile, waiting to store, following up, or done.
void TranscriptQueue::afterReading(Job& job, bool stored, Clock::time_point now)
{
    job.failures = stored ? 0 : job.failures + 1;
    if (job.eventWhileReading) {
        job.eventWhileReading = false;
        job.afterRead = std::move(job.afterNextRead);
        job.afterNextRead.clear();
        job.followUp = 0;
        startSettling(job, job.lastSize, now);
    } else if (!stored) {
        job.phase = Phase::retrying;
        auto pause = timing_.retryFirst;
        for (int i = 1; i < job.failures && pause < timing_.retryMax; ++i)
            pause *= 2;
        arm(job, now + std::min(pause, timing_.retryMax));
        armRetryCheck(now);
    } else if (job.followUp < timing_.followUps.size()) {
        job.phase = Phase::followingUp;
        arm(job, now + timing_.followUps[job.followUp++]);
    } else {
        jobs_.erase(job.request.path);
        if (jobs_.empty())
            idle_.notify_all();
    }
}

void TranscriptQueue::armRetryCheck(Clock::time_point now)
{
    if (retryCheck_)
        return;
    const auto due = now + timing_.retryCheck;
    const bool earliest = timers_.empty() || due < timers_.begin()->first;
    retryCheck_ = timers_.emplace(due, retryCheckKey);
    if (earliest)
        timerWake_.notify_one();
}

// The waiting transcript due soonest is read now: if it stores, all are.
void TranscriptQueue::retryOne()
{
    Job* soonest = nullptr;
    for (auto& [path, job] : jobs_) {
        if (job.phase == Phase::retrying && job.timer && (!soonest || (*job.timer)->first < (*soonest->timer)->first))
            soonest = &job;
    }
    if (!soonest)
        return;
    timers_.erase(*soonest->timer);
    soonest->timer.reset();
    makeReady(*soonest);
}

void TranscriptQueue::retryAll()
{
    for (auto& [path, job] : jobs_) {
        if (job.phase != Phase::retrying)
            continue;
        if (job.timer)
            timers_.erase(*job.timer);
        job.timer.reset();
        makeReady(job);
    }
}

void TranscriptQueue::retryNow()
{
    std::lock_guard lock(mutex_);
    if (!stopping_)
        retryAll();
}

bool TranscriptQueue::anyRetrying() const
{
    return std::any_of(jobs_.begin(), jobs_.end(), [](const auto& entry) { return entry.second.failures > 0; });
}

std::size_t TranscriptQueue::retrying() const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(jobs_.begin(), jobs_.end(), [](const auto& entry) { return entry.second.failures > 0; }));
}

void TranscriptQueue::runTimers()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        settledChanged_.notify_all();
        if (timers_.empty()) {
            timerWake_.wait(lock);
            continue;
        }
        const auto first = timers_.begin();
        if (const Clock::time_point due = first->first, current = now(); due > current) {
            // A copy: the entry may be gone by the time the wait looks at it again.
            timerWake_.wait_for(lock, due - current);
            continue;
        }
        const std::string path = first->second;
        timers_.erase(first);
        if (path == retryCheckKey) {
            retryCheck_.reset();
            retryOne();
            if (anyRetrying())
                armRetryCheck(now());
            continue;
        }
        auto found = jobs_.find(path);
        if (found == jobs_.end())
            continue;
        found->second.timer.reset();
        if (found->second.phase == Phase::followingUp || found->second.phase == Phase::retrying) {
            makeReady(found->second);
            continue;
        }
        if (found->second.phase != Phase::settling)
            continue;
        checkingSize_ = true;
        lock.unlock();
        const auto size = sizeOf(path);
        const auto now = this->now();
        lock.lock();
        checkingSize_ = false;
        found = jobs_.find(path);
        if (found == jobs_.end() || found->second.phase != Phase::settling || found->second.timer)
            continue;
        Job& job = found->second;
        // A file that is not there yet is read at once: the follow-ups look for it again.
        if (!size || now >= job.settleDeadline || (*size != 0 && *size == job.lastSize)) {
            makeReady(job);
        } else {
            job.lastSize = *size;
            arm(job, now + timing_.stabilityInterval);
        }
    }
}

void TranscriptQueue::runReader()
{
    std::unique_lock lock(mutex_);
    while (true) {
        readerWake_.wait(lock, [this] { return stopping_ || !ready_.empty(); });
        if (stopping_)
            return;
        const std::string path = std::move(ready_.front());
        ready_.pop_front();
        auto found = jobs_.find(path);
        if (found == jobs_.end())
            continue;
        Job& job = found->second;
        job.phase = Phase::reading;
        ++reading_;
        const Request request = job.request;
        std::vector<std::function<void()>> afterRead = std::move(job.afterRead);
        job.afterRead.clear();
        lock.unlock();
        bool stored = true;
        try {
            stored = reader_(request);
        } catch (const std::exception& error) {
            Log::line("reading " + request.path + " failed: " + error.what());
        }
        for (const auto& done : afterRead)
            done();
        lock.lock();
        --reading_;
        settledChanged_.notify_all();
        found = jobs_.find(path);
        if (found == jobs_.end())
            continue;
        const bool wasFailing = found->second.failures > 0;
        afterReading(found->second, stored, this->now());
        // Storing works again: what waited for it is read now, not after its pause.
        if (stored && (wasFailing || retryCheck_))
            retryAll();
    }
}

bool TranscriptQueue::waitUntilIdle(Duration timeout)
{
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] { return jobs_.empty(); });
}

bool TranscriptQueue::settled() const
{
    return stopping_
        || (!checkingSize_ && reading_ == 0 && ready_.empty() && (timers_.empty() || timers_.begin()->first > now()));
}

bool TranscriptQueue::timeMoved(Duration timeout)
{
    std::unique_lock lock(mutex_);
    timerWake_.notify_one();
    return settledChanged_.wait_for(lock, timeout, [this] { return settled(); });
}

std::size_t TranscriptQueue::pending() const
{
    std::lock_guard lock(mutex_);
    return jobs_.size();
}

void TranscriptQueue::stop()
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && readers_.empty())
            return;
        stopping_ = true;
    }
    timerWake_.notify_all();
    readerWake_.notify_all();
    if (timerThread_.joinable())
        timerThread_.join();
    for (std::thread& reader : readers_)
        reader.join();
    readers_.clear();
    std::vector<std::function<void()>> leftOver;
    {
        std::lock_guard lock(mutex_);
        for (auto& [path, job] : jobs_) {
            for (auto& done : job.afterRead)
                leftOver.push_back(std::move(done));
            for (auto& done : job.afterNextRead)
                leftOver.push_back(std::move(done));
        }
        jobs_.clear();
        timers_.clear();
        retryCheck_.reset();
        ready_.clear();
    }
    idle_.notify_all();
    settledChanged_.notify_all();
    for (const auto& done : leftOver)
        done();
}

} // namespace tallyglass
