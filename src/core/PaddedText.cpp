#include "core/PaddedText.h"

#include <cstring>

namespace tallyglass {

PaddedText::PaddedText(std::size_t size)
    : bytes_(new char[size + padding])
    , size_(size)
{
    std::memset(bytes_.get() + size, 0, padding);
}

PaddedText::PaddedText(std::string_view text)
    : PaddedText(text.size())
{
    if (!text.empty())
        std::memcpy(bytes_.get(), text.data(), text.size());
}

void PaddedText::truncate(std::size_t newSize)
{
    if (newSize >= size_)
        return;
    size_ = newSize;
    std::memset(bytes_.get() + size_, 0, padding);
}

} // namespace tallyglass
