#pragma once

#include "core/SharedText.h"

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace tallyglass {

// Texts numbered in order of first appearance, after a key function (the
// identifier itself, or its display name), so that sums over a history live in
// flat vectors. A history shares each identifier's text between its messages:
// a message is answered by the text's address, and the text itself is looked
// at once per distinct allocation.
template <typename KeyOf>
class TextIndex {
public:
    explicit TextIndex(KeyOf keyOf = {})
        : keyOf_(std::move(keyOf))
    {
    }

    std::size_t operator()(const SharedText& text)
    {
        const void* identity = text.identity();
        if (identity && identity == lastIdentity_)
            return lastIndex_;
        if (identity) {
            if (const auto known = byIdentity_.find(identity); known != byIdentity_.end()) {
                lastIdentity_ = identity;
                lastIndex_ = known->second;
                return lastIndex_;
            }
        }
        std::string key = keyOf_(text.view());
        auto found = indexOfKey_.find(key);
        if (found == indexOfKey_.end()) {
            found = indexOfKey_.emplace(key, keys_.size()).first;
            keys_.push_back(std::move(key));
        }
        if (identity)
            byIdentity_.emplace(identity, found->second);
        lastIdentity_ = identity;
        lastIndex_ = found->second;
        return lastIndex_;
    }

    const std::vector<std::string>& keys() const { return keys_; }

private:
    KeyOf keyOf_;
    std::unordered_map<std::string, std::size_t> indexOfKey_;
    std::unordered_map<const void*, std::size_t> byIdentity_;
    std::vector<std::string> keys_;
    const void* lastIdentity_ = nullptr;
    std::size_t lastIndex_ = 0;
};

struct AsIs {
    std::string operator()(std::string_view text) const { return std::string(text); }
};

} // namespace tallyglass
