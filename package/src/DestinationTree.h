#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "LoomworkKit/ZFCFileHandle.h"
#include "LoomworkKit/ZFCPlugin.h"

namespace kit {

// The components of a stored relative path, "\" taken as "/", empty ones dropped. Checked
// one by one as strings ("." and ".." refused), they cannot lead out of the folder they are
// appended to. Throws "封包内路径非法：" + rel.
std::vector<std::string> storedComponents(std::string_view rel);

// One plug-in's folder as the reader fills it: folders, files and links below it. Every
// folder between the plug-in's folder and an entry is checked with lstat, so nothing is
// written through a link.
class DestinationTree
{
public:
    // Makes `dest` the folder to fill: replaced when it exists and `overwrite` holds, left
    // alone otherwise (false: nothing more is to be done); then the plug-in's folders.
    bool begin(const std::filesystem::path& dest, const ZFCPlugin& plugin, bool overwrite);
    // Creates the file at the stored path `rel` (whatever is in its place goes) for writing.
    ZFCFileHandle createFile(const std::string& rel);
    // The plug-in's links, each only when its target stays inside the folder.
    void makeLinks(const ZFCPlugin& plugin);

private:
    // Makes sure the first `count` components are real folders (creating missing ones);
    // returns dest + all components. A link on the way is refused.
    std::filesystem::path ensureFolders(const std::string& rel, const std::vector<std::string>& parts,
                                        std::size_t count, bool useCache);
    void removeExisting(const std::filesystem::path& path);
    void forgetChecked();

    std::filesystem::path m_dest;
    std::set<std::string> m_verified;  // folders known to be real ones
};

} // namespace kit
