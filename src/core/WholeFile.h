#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tallyglass::WholeFile {

// Why a file could not be written: what() names the file, reason() is the
// system's word alone, for a message that names the file its own way.
class Error : public std::runtime_error {
public:
    Error(const std::string& message, std::string reason)
        : std::runtime_error(message)
        , reason_(std::move(reason))
    {
    }
    const std::string& reason() const { return reason_; }

private:
    std::string reason_;
};

// The file a write to `path` lands in: a symbolic link is followed to its
// end, so a settings file kept elsewhere and linked stays linked.
std::filesystem::path finalTarget(const std::filesystem::path& path);

// Replaces the file at `path` (its final target) with `bytes` so that anyone
// reading it sees either the old content or the new, whole, even after a
// crash or a power cut: the bytes go to a fresh temporary file in the same
// folder, reach the disk, and are renamed over the target. The temporary
// file never outlives the call, whatever fails.
//
// Permissions: `mode` when given; otherwise those of the file replaced;
// otherwise 0644 less the umask. A file its owner made read-only is refused,
// not replaced. Throws Error.
void write(const std::filesystem::path& path, std::string_view bytes, std::optional<unsigned> mode = std::nullopt);

} // namespace tallyglass::WholeFile
