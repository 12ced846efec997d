#pragma once

#include "storage/DashboardMessage.h"

#include <cstdint>
#include <iterator>
#include <span>
#include <vector>

namespace tallyglass {

// Messages to add up, without copying them: a whole list, a part of it, or the
// ones picked out of it by position. A view: what it shows must outlive it. A year of history is a million messages;
// copying the chosen ones took longer than adding them up.
class MessageList {
public:
    MessageList() = default;
    MessageList(std::span<const DashboardMessage> messages) // NOLINT(google-explicit-constructor): a list is a list
        : messages_(messages)
    {
    }
    MessageList(const std::vector<DashboardMessage>& messages) // NOLINT(google-explicit-constructor)
        : messages_(messages)
    {
    }
    // `picks` (positions in `messages`, ascending) must outlive the list.
    MessageList(std::span<const DashboardMessage> messages, const std::vector<std::uint32_t>& picks)
        : messages_(messages)
        , picks_(&picks)
    {
    }
    MessageList(std::span<const DashboardMessage>, std::vector<std::uint32_t>&&) = delete;

    // Walks the messages themselves, or the picks into them; both copied in so
    // that the loops over a year of messages stay tight.
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = DashboardMessage;
        using difference_type = std::ptrdiff_t;
        using pointer = const DashboardMessage*;
        using reference = const DashboardMessage&;

        iterator() = default;
        iterator(const DashboardMessage* base, const std::uint32_t* picks, std::size_t at)
            : base_(base)
            , picks_(picks)
            , at_(at)
        {
        }
        reference operator*() const { return picks_ ? base_[picks_[at_]] : base_[at_]; }
        pointer operator->() const { return &**this; }
        iterator& operator++()
        {
            ++at_;
            return *this;
        }
        iterator operator++(int)
        {
            iterator before = *this;
            ++at_;
            return before;
        }
        bool operator==(const iterator& other) const { return at_ == other.at_; }

    private:
        const DashboardMessage* base_ = nullptr;
        const std::uint32_t* picks_ = nullptr;
        std::size_t at_ = 0;
    };

    std::size_t size() const { return picks_ ? picks_->size() : messages_.size(); }
    bool empty() const { return size() == 0; }
    const DashboardMessage& operator[](std::size_t i) const { return picks_ ? messages_[(*picks_)[i]] : messages_[i]; }
    const DashboardMessage& front() const { return (*this)[0]; }
    iterator begin() const { return {messages_.data(), picks_ ? picks_->data() : nullptr, 0}; }
    iterator end() const { return {messages_.data(), picks_ ? picks_->data() : nullptr, size()}; }

private:
    std::span<const DashboardMessage> messages_;
    const std::vector<std::uint32_t>* picks_ = nullptr;
};

} // namespace tallyglass
