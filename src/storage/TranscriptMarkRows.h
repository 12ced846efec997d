#pragma once

#include "core/TranscriptMark.h"
#include "storage/SqliteStatement.h"

#include <cstdint>
#include <string>

// The rows of transcript_marks as the writer keeps them, read back the same
// way by the writer and by a reader that only wants to know them.
namespace tallyglass::TranscriptMarkRows {

inline constexpr const char* selectSql =
    "SELECT path, device, inode, size, modifiedNs, offset, head, tail, unterminatedUntil FROM transcript_marks";

// SQLite keeps signed 64-bit integers; the unsigned values round-trip through them bit for bit.
inline std::uint64_t loaded(std::int64_t value)
{
    return static_cast<std::uint64_t>(value);
}

// The mark of a row of selectSql.
inline TranscriptMark markOf(const SqliteStatement& select)
{
    TranscriptMark mark;
    mark.path = std::string(select.text(0).value_or(""));
    mark.device = loaded(select.int64(1));
    mark.inode = loaded(select.int64(2));
    mark.size = loaded(select.int64(3));
    mark.modifiedNs = select.int64(4);
    mark.offset = loaded(select.int64(5));
    mark.head = select.blob(6);
    mark.tail = select.blob(7);
    mark.unterminatedUntil = loaded(select.int64(8));
    return mark;
}

} // namespace tallyglass::TranscriptMarkRows
