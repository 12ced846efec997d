#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace tallyglass {

// Bytes followed by a run of zeroed padding that the JSON parser may read past
// the end of any slice. Transcript lines are parsed in place inside one file
// buffer; the padding makes that safe for the last line too.
class PaddedText {
public:
    static constexpr std::size_t padding = 64;

    PaddedText() = default;
    explicit PaddedText(std::string_view text);
    explicit PaddedText(std::size_t size);

    char* data() { return bytes_.get(); }
    const char* data() const { return bytes_.get(); }
    std::size_t size() const { return size_; }
    std::string_view view() const { return {bytes_.get(), size_}; }

    // Shortens the text (keeping the allocation) and re-zeroes the padding.
    void truncate(std::size_t newSize);

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
};

} // namespace tallyglass
