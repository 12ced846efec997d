#pragma once

#include <QLockFile>

#include <filesystem>
#include <memory>

namespace tallyglass::SingleInstance {

// One running process per user. A second one would bind the next port and
// rewrite the hook for it; once it ended, the hook would post to nobody while
// the first one went on listening. Returns the held lock, or nothing (after
// one line naming the holder) when another process has it. A lock that cannot
// be taken for any other reason (its folder cannot be made or written) is no
// sign of another process: that throws std::runtime_error with a sentence
// naming the path.
std::unique_ptr<QLockFile> acquire(const std::filesystem::path& lockPath);

// Whether another process holds the lock now (said nothing, took nothing).
bool isHeld(const std::filesystem::path& lockPath);

} // namespace tallyglass::SingleInstance
