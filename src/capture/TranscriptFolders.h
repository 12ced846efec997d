#pragma once

#include <filesystem>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace tallyglass::TranscriptFolders {

// Lists one folder of transcripts through its descriptor, so that what it
// holds is looked up by name from there rather than by its whole path again:
// subfolders to walk go on `folders` (a folder met before, in `walked`, is not
// listed again; tool-results folders are never walked), transcripts to `file`
// with what stat said of them (nothing when it failed). Linked folders are not
// followed (they may lead anywhere); linked files are read. 0, or the errno
// that stopped the listing.
int list(const std::filesystem::path& folder, std::set<std::pair<dev_t, ino_t>>& walked,
         std::vector<std::filesystem::path>& folders,
         const std::function<void(std::filesystem::path, const struct stat*)>& file);

} // namespace tallyglass::TranscriptFolders
