#include "dashboard/HeldHistory.h"

#include <algorithm>
#include <tuple>

namespace tallyglass {

namespace {

// Room for the messages of a good while of use without a new block; untouched,
// it costs address space only.
std::size_t withRoom(std::size_t size)
{
    return size + std::max<std::size_t>(size / 8, 4096);
}

} // namespace

HeldHistory::HeldHistory(std::shared_ptr<Block> block, HistoryMark mark)
    : block_(std::move(block))
    , size_(block_->messages.size())
    , mark_(mark)
{
}

HeldHistory::HeldHistory(StoredHistory whole)
{
    auto block = std::make_shared<Block>();
    // A database without rows names none: the copy can only be read again whole.
    if (whole.rows.size() != whole.messages.size()) {
        whole.rows.assign(whole.messages.size(), 0);
        whole.mark.exact = false;
    }
    // A read that left room is kept as it is: moving a million messages costs a tenth of its time.
    const std::size_t room = withRoom(whole.messages.size());
    if (whole.messages.capacity() < room) {
        block->messages.reserve(room);
        std::move(whole.messages.begin(), whole.messages.end(), std::back_inserter(block->messages));
    } else {
        block->messages = std::move(whole.messages);
    }
    whole.rows.reserve(room);
    block->rows = std::move(whole.rows);
    *this = HeldHistory(std::move(block), whole.mark);
}

std::span<const DashboardMessage> HeldHistory::messages() const
{
    return block_ ? std::span<const DashboardMessage>(block_->messages.data(), size_) : std::span<const DashboardMessage>();
}

std::span<const std::int64_t> HeldHistory::rows() const
{
    return block_ ? std::span<const std::int64_t>(block_->rows.data(), size_) : std::span<const std::int64_t>();
}

bool HeldHistory::canAppend(const HistoryChanges& changes) const
{
    if (!block_ || !changes.dropped.empty() || block_->messages.size() != size_
        || block_->messages.capacity() - size_ < changes.messages.size() || block_->rows.capacity() - size_ < changes.rows.size())
        return false;
    if (changes.messages.empty() || size_ == 0)
        return true;
    const std::size_t last = size_ - 1;
    return std::tie(block_->messages[last].timestamp, block_->rows[last])
        < std::tie(changes.messages.front().timestamp, changes.rows.front());
}

HeldHistory HeldHistory::broughtForward(HistoryChanges changes) const
{
    if (canAppend(changes)) {
        // Within the reserved room nothing moves: the elements of older copies stay where they are.
        std::move(changes.messages.begin(), changes.messages.end(), std::back_inserter(block_->messages));
        block_->rows.insert(block_->rows.end(), changes.rows.begin(), changes.rows.end());
        return HeldHistory(block_, changes.mark);
    }
    StoredHistory merged;
    merged.mark = changes.mark;
    const auto held = messages();
    const auto heldRows = rows();
    merged.messages.reserve(held.size() + changes.messages.size());
    merged.rows.reserve(held.size() + changes.messages.size());
    // Both in time order: one pass, the earlier row first where times tie.
    std::size_t next = 0;
    const auto addChangesBefore = [&](const DashboardMessage* message, std::int64_t row) {
        while (next < changes.messages.size()
               && (!message || std::tie(changes.messages[next].timestamp, changes.rows[next]) < std::tie(message->timestamp, row))) {
            merged.messages.push_back(std::move(changes.messages[next]));
            merged.rows.push_back(changes.rows[next]);
            ++next;
        }
    };
    for (std::size_t i = 0; i < held.size(); ++i) {
        if (std::binary_search(changes.dropped.begin(), changes.dropped.end(), heldRows[i]))
            continue;
        addChangesBefore(&held[i], heldRows[i]);
        merged.messages.push_back(held[i]);
        merged.rows.push_back(heldRows[i]);
    }
    addChangesBefore(nullptr, 0);
    return HeldHistory(std::move(merged));
}

} // namespace tallyglass
