#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "LoomworkKit/ZFCFileHandle.h"
#include "LoomworkKit/ZFCFolderStack.h"
#include "LoomworkKit/ZFCPlugin.h"

namespace kit {

// The components of a stored relative path, "\" taken as "/", empty ones dropped. Checked
// one by one as strings ("." and ".." refused), they cannot lead out of the folder they are
// appended to. Throws "封包内路径非法：" + rel.
std::vector<std::string> storedComponents(std::string_view rel);

// One plug-in's folder as the reader fills it: folders, files and links below it. The
// plug-in's folder is opened once; every folder below it is entered through the handle of
// the one above, never following a link, and each item is made relative to its folder's
// handle, so nothing is written through a link and no path is walked again per file.
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
    // Another writer into the folder begin() opened, with handles of its own, for a thread
    // that makes files beside this one.
    DestinationTree branch() const;

private:
    // Enters the first `count` components as real folders (creating missing ones) and
    // returns the handle of the last; a link on the way is refused.
    int enterFolders(const std::string& rel, const std::vector<std::string>& parts, std::size_t count);
    void enterOrMake(const std::string& rel, const std::vector<std::string>& parts, std::size_t index);
    // Removes whatever stands at `name` in the open folder `folder` (at `path`).
    void removeExisting(int folder, const std::string& name, const std::filesystem::path& path);
    std::filesystem::path pathOf(const std::vector<std::string>& parts, std::size_t count) const;

    std::filesystem::path m_dest;
    int m_top = -1;  // the stack's top, for branches
    std::unique_ptr<ZFCFolderStack> m_folders;  // from the plug-in's folder down
    std::vector<std::string> m_at;               // the names entered below it
};

} // namespace kit
