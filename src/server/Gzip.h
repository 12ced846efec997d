#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tallyglass::Gzip {

enum class Status { ok, tooLarge, corrupt };

struct Result {
    Status status = Status::corrupt;
    std::string data;
};

// Inflates a gzip stream (one member, or several one after another). Stops
// with tooLarge as soon as the output would pass `maxBytes`: a few kilobytes
// can inflate to gigabytes, and memory must not follow.
Result inflate(std::string_view compressed, std::size_t maxBytes);

// `data` as one gzip member, at zlib's fastest level: what is sent is mostly
// repeated attribute names, which that level already shrinks several times.
std::string deflate(std::string_view data);

} // namespace tallyglass::Gzip
