#include "capture/TranscriptFolders.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <unistd.h>

namespace tallyglass::TranscriptFolders {

namespace fs = std::filesystem;

int list(const fs::path& folder, std::set<std::pair<dev_t, ino_t>>& walked, std::vector<fs::path>& folders,
         const std::function<void(fs::path, const struct stat*)>& file)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    DIR* const dir = ::fdopendir(fd);
    if (!dir) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
    struct stat folderInfo {};
    if (::fstat(fd, &folderInfo) == 0 && !walked.insert({folderInfo.st_dev, folderInfo.st_ino}).second)
        return 0;
    while (true) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry)
            return errno;
        const std::string_view name = entry->d_name;
        if (name.starts_with('.'))
            continue;
        struct stat info {};
        bool folderHere = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN && ::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0)
            folderHere = S_ISDIR(info.st_mode);
        if (folderHere) {
            if (name != "tool-results")
                folders.push_back(folder / name);
            continue;
        }
        if (name.size() <= 6 || !name.ends_with(".jsonl"))
            continue;
        const bool known = ::fstatat(fd, entry->d_name, &info, 0) == 0;
        file(folder / name, known ? &info : nullptr);
    }
}

} // namespace tallyglass::TranscriptFolders
