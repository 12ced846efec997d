#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyglass::ProjectFolder {

// Claude Code keeps a project's transcripts in a folder named after the
// project's path, with the path's separators and punctuation written as '-'
// ("/home/ada/my.app" becomes "-home-ada-my-app"). The name alone cannot be
// read back ("my-app" and "my/app" look the same), so the decoding asks the
// file system which path exists.

// Every character other than an ASCII letter or digit as '-'.
std::string normalised(std::string_view text);

// The names of the folders inside a folder; empty when it cannot be listed.
using ListFolders = std::function<std::vector<std::string>(const std::string& path)>;
ListFolders fileSystem();

// The existing folder whose path the name stands for; otherwise the plain
// reading, every '-' a '/'. A name that is not an absolute path's ("-" first) is kept.
std::string decode(std::string_view folderName, const ListFolders& list = fileSystem());

// The project folder's name of a transcript below one of `roots`: the first
// folder under the root that holds it. Nothing for a file directly in a root.
std::optional<std::string> folderOf(const std::filesystem::path& transcript, const std::vector<std::filesystem::path>& roots);

} // namespace tallyglass::ProjectFolder
