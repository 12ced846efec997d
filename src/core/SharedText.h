#pragma once

#include <compare>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tallyglass {

// Immutable text whose copies share one allocation. A loaded history repeats a
// few thousand session identifiers and a handful of model identifiers across a
// million messages; sharing them keeps the report's memory and its copies small.
class SharedText {
public:
    SharedText() = default;
    SharedText(std::string text) // NOLINT(google-explicit-constructor): text is text
        : text_(std::make_shared<const std::string>(std::move(text)))
    {
    }
    SharedText(const char* text)
        : SharedText(std::string(text))
    {
    }

    const std::string& str() const { return text_ ? *text_ : empty(); }
    std::string_view view() const { return str(); }
    operator std::string_view() const { return str(); } // NOLINT(google-explicit-constructor)
    bool isEmpty() const { return str().empty(); }
    // Equal identities mean equal text; unequal ones may still hold equal text.
    const void* identity() const { return text_.get(); }

    friend bool operator==(const SharedText& a, const SharedText& b)
    {
        return a.text_ == b.text_ || a.view() == b.view();
    }
    friend bool operator==(const SharedText& a, std::string_view b) { return a.view() == b; }
    friend bool operator==(const SharedText& a, const char* b) { return a.view() == b; }
    friend std::strong_ordering operator<=>(const SharedText& a, const SharedText& b) { return a.view() <=> b.view(); }

private:
    static const std::string& empty()
    {
        static const std::string none;
        return none;
    }
    std::shared_ptr<const std::string> text_;
};

// Hands out one SharedText per distinct text it is given.
class TextInterner {
public:
    SharedText operator()(std::string_view text)
    {
        auto found = pool_.find(text);
        if (found == pool_.end()) {
            SharedText shared{std::string(text)};
            found = pool_.emplace(shared.view(), shared).first; // the key views the shared text itself
        }
        return found->second;
    }

private:
    std::unordered_map<std::string_view, SharedText> pool_;
};

} // namespace tallyglass
