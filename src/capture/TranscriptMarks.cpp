#include "capture/TranscriptMarks.h"

#include <algorithm>

namespace tallyglass {

namespace {

bool sameFile(const TranscriptMark& mark, const TranscriptMarks::FileState& state)
{
    return mark.device == state.device && mark.inode == state.inode;
}

} // namespace

void TranscriptMarks::ensureLoaded(const Loader& load)
{
    {
        std::lock_guard lock(mutex_);
        if (loaded_)
            return;
    }
    std::vector<TranscriptMark> stored;
    try {
        stored = load();
    } catch (const std::exception&) {
        return; // read whole for now; the next use tries again
    }
    std::lock_guard lock(mutex_);
    if (loaded_)
        return;
    // Marks made while loading are newer than the stored ones of their path.
    for (TranscriptMark& mark : stored) {
        const std::string path = mark.path;
        marks_.try_emplace(path, std::move(mark));
    }
    loaded_ = true;
}

void TranscriptMarks::invalidate()
{
    std::lock_guard lock(mutex_);
    marks_.clear();
    loaded_ = false;
}

std::optional<TranscriptMark> TranscriptMarks::find(const std::string& path) const
{
    std::lock_guard lock(mutex_);
    const auto found = marks_.find(path);
    if (found == marks_.end())
        return std::nullopt;
    return found->second;
}

bool TranscriptMarks::unchanged(const std::string& path, const FileState& state) const
{
    std::lock_guard lock(mutex_);
    const auto found = marks_.find(path);
    return found != marks_.end() && sameFile(found->second, state) && found->second.size == state.size
        && found->second.modifiedNs == state.modifiedNs;
}

TranscriptMark TranscriptMarks::advance(const std::string& path, const FileState& state, std::uint64_t offset,
                                        std::string head, std::string tail)
{
    std::lock_guard lock(mutex_);
    auto [it, added] = marks_.try_emplace(path);
    TranscriptMark& mark = it->second;
    // Further on, or another file (or the same one rewritten) read from its start: take the new mark.
    if (added || !sameFile(mark, state) || offset > mark.offset || head != mark.head) {
        mark = TranscriptMark{path, state.device, state.inode, state.size, state.modifiedNs, offset, std::move(head),
                              std::move(tail), 0};
    } else if (offset == mark.offset) {
        mark.size = state.size; // read again to the same place: the file as it is now holds nothing more
        mark.modifiedNs = state.modifiedNs;
    }
    return mark;
}

std::optional<TranscriptMark> TranscriptMarks::noteUnterminated(const std::string& path, const FileState& state,
                                                                std::uint64_t until)
{
    std::lock_guard lock(mutex_);
    const auto found = marks_.find(path);
    if (found == marks_.end() || !sameFile(found->second, state) || until <= found->second.offset)
        return std::nullopt;
    TranscriptMark& mark = found->second;
    mark.unterminatedUntil = std::max(mark.unterminatedUntil, until);
    mark.size = state.size;
    mark.modifiedNs = state.modifiedNs;
    return mark;
}

std::size_t TranscriptMarks::size() const
{
    std::lock_guard lock(mutex_);
    return marks_.size();
}

} // namespace tallyglass
