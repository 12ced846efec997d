#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tallyglass {

// Bytes [offset, offset + size) of a file mapped read-only, followed by at
// least PaddedText::padding readable bytes, so a parser may read past any
// slice of it. Reading a file this way spares the kernel's copy of every byte.
//
// A file truncated while it is mapped would end the process (SIGBUS) at the
// first read of a page it lost; here such a page reads as zeros instead, and
// lostBytes() says so, so that the caller trusts nothing of the read past
// the file's new size. Only pages of live mappings are treated so; any other
// SIGBUS goes to the handler that was there before.
class MappedRange {
public:
    // Nothing when the file cannot be mapped (errno set), or too many ranges are mapped at once.
    static std::optional<MappedRange> map(int fd, std::uint64_t offset, std::size_t size);

    MappedRange() = default;
    MappedRange(MappedRange&& other) noexcept;
    MappedRange& operator=(MappedRange&& other) noexcept;
    MappedRange(const MappedRange&) = delete;
    MappedRange& operator=(const MappedRange&) = delete;
    ~MappedRange();

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Whether a page of the range was read after the file lost it.
    bool lostBytes() const;

private:
    void release();

    char* base_ = nullptr; // page-aligned start of the whole reservation
    std::size_t reserved_ = 0;
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    int slot_ = -1; // in the table the SIGBUS handler looks in
};

} // namespace tallyglass
