#include "capture/TranscriptCursors.h"

#include <algorithm>

namespace tallyglass {

TranscriptCursors::TranscriptCursors(std::size_t capacity)
    : capacity_(capacity == 0 ? 1 : capacity)
{
}

std::optional<TranscriptCursors::Resume> TranscriptCursors::resumePoint(const std::string& path, FileIdentity identity,
                                                                        std::uint64_t size)
{
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(path);
    if (found == entries_.end() || found->second.identity != identity || found->second.offset > size)
        return std::nullopt;
    byAge_.splice(byAge_.begin(), byAge_, found->second.age);
    return Resume{found->second.offset, found->second.head, found->second.tail, found->second.unterminatedUntil};
}

void TranscriptCursors::advance(const std::string& path, FileIdentity identity, std::uint64_t offset, std::string head,
                                std::string tail)
{
    std::lock_guard lock(mutex_);
    auto found = entries_.find(path);
    if (found != entries_.end()) {
        Entry& entry = found->second;
        // Further on, or another file (or the same one rewritten) read from its start: take the new cursor.
        if (entry.identity != identity || offset > entry.offset || head != entry.head) {
            entry.identity = identity;
            entry.offset = offset;
            entry.head = std::move(head);
            entry.tail = std::move(tail);
            entry.unterminatedUntil = 0;
        }
        byAge_.splice(byAge_.begin(), byAge_, entry.age);
        return;
    }
    byAge_.push_front(path);
    entries_.emplace(path, Entry{identity, offset, std::move(head), std::move(tail), 0, byAge_.begin()});
    if (entries_.size() > capacity_) {
        entries_.erase(byAge_.back());
        byAge_.pop_back();
    }
}

void TranscriptCursors::noteUnterminated(const std::string& path, FileIdentity identity, std::uint64_t until)
{
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(path);
    if (found != entries_.end() && found->second.identity == identity && until > found->second.offset)
        found->second.unterminatedUntil = std::max(found->second.unterminatedUntil, until);
}

std::size_t TranscriptCursors::size() const
{
    std::lock_guard lock(mutex_);
    return entries_.size();
}

} // namespace tallyglass
