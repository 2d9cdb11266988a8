#pragma once

#include <filesystem>
#include <vector>

#include <sys/types.h>

#include "LoomworkKit/ZFCPacker.h"

namespace kit {

// A file by identity, whatever path names it: the packer's own temporary, which a scan
// leaves out when the package is written inside a folder it packs. Inode 0: none.
struct FileId
{
    dev_t device = 0;
    ino_t inode = 0;
};

// A folder tree as the packer stores it.
struct TreeScan
{
    std::vector<ZFCPacker::ScannedEntry> entries;
    std::vector<bool> regular;  // entry for entry: the scan saw a regular file

    // Appends the tree below `dir` in pre-order, names sorted, links not followed; FIFOs,
    // sockets and devices are "file" entries, and `skip` is left out. Throws
    // filesystem_error when a folder cannot be listed.
    void scan(const std::filesystem::path& dir, const FileId& skip = {});
};

} // namespace kit
