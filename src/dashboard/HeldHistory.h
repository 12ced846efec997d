#pragma once

#include "storage/StoredHistory.h"

#include <cstddef>
#include <memory>
#include <span>

namespace tallyglass {

// The stored history as a long-running reader holds it, brought forward by
// what was stored since rather than read again. A value: copies share one
// block of messages and are cheap to hand between threads.
//
// What was stored since is nearly always newer than everything held, so it is
// added at the end of the block, which has room to grow: each copy sees only
// the messages that were there when it was made, and those never change, so
// readers of older copies are never disturbed. Anything else (older rows
// rewritten or deleted, a message dated among those held, a full block, a
// copy that is not the block's newest) makes a new block.
class HeldHistory {
public:
    HeldHistory() = default;
    // A whole read (its messages in time order), kept with room to grow.
    explicit HeldHistory(StoredHistory whole);

    // This history with the changes since its mark. Called from one thread at a time.
    HeldHistory broughtForward(HistoryChanges changes) const;
    // Whether broughtForward() made this history by adding at the end of `before`.
    bool extends(const HeldHistory& before) const { return block_ && block_ == before.block_ && size_ >= before.size_; }

    std::span<const DashboardMessage> messages() const;
    std::span<const std::int64_t> rows() const;
    const HistoryMark& mark() const { return mark_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

private:
    struct Block {
        std::vector<DashboardMessage> messages;
        std::vector<std::int64_t> rows;
    };
    HeldHistory(std::shared_ptr<Block> block, HistoryMark mark);
    bool canAppend(const HistoryChanges& changes) const;

    std::shared_ptr<Block> block_;
    std::size_t size_ = 0;
    HistoryMark mark_;
};

} // namespace tallyglass
