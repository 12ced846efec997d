#include "capture/ProjectFolder.h"

#include <algorithm>

namespace tallyglass::ProjectFolder {

namespace {

bool isAlphanumeric(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Depth first, longer names first: "my-app" is tried before "my" when both exist.
bool search(const std::string& path, std::string_view rest, const ListFolders& list, int depth, std::string& found)
{
    if (rest.empty()) {
        found = path;
        return true;
    }
    if (depth > 64 || rest.front() != '-')
        return false;
    std::vector<std::string> names = list(path);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& name : names) {
        const std::string encoded = normalised(name);
        if (encoded.empty() || rest.size() < 1 + encoded.size() || rest.substr(1, encoded.size()) != encoded)
            continue;
        const std::string_view after = rest.substr(1 + encoded.size());
        if (!after.empty() && after.front() != '-')
            continue;
        if (search(path == "/" ? "/" + name : path + "/" + name, after, list, depth + 1, found))
            return true;
    }
    return false;
}

} // namespace

std::string normalised(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (!isAlphanumeric(c))
            c = '-';
    return out;
}

ListFolders fileSystem()
{
    return [](const std::string& path) {
        std::vector<std::string> names;
        std::error_code error;
        for (std::filesystem::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
            std::error_code ignored;
            if (it->is_directory(ignored))
                names.push_back(it->path().filename().string());
        }
        return names;
    };
}

std::string decode(std::string_view folderName, const ListFolders& list)
{
    if (folderName.empty() || folderName.front() != '-')
        return std::string(folderName);
    std::string found;
    if (search("/", normalised(folderName), list, 0, found))
        return found;
    std::string plain(folderName);
    std::replace(plain.begin(), plain.end(), '-', '/');
    return plain;
}

std::optional<std::string> folderOf(const std::filesystem::path& transcript, const std::vector<std::filesystem::path>& roots)
{
    for (const std::filesystem::path& root : roots) {
        const std::filesystem::path relative = transcript.lexically_relative(root);
        if (relative.empty() || *relative.begin() == "..")
            continue;
        auto part = relative.begin();
        const std::string first = part->string();
        if (++part == relative.end())
            return std::nullopt; // a file right in the root
        return first;
    }
    return std::nullopt;
}

} // namespace tallyglass::ProjectFolder
