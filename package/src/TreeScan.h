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

    // Appends the tree below the open folder `dir` (not taken over) in pre-order, names
    // sorted, links not followed; FIFOs, sockets and devices are "file" entries, and `skip`
    // is left out. Walks without recursion and with a bounded number of open folders. Errors
    // name `shown` and the path below it: filesystem_error when a folder cannot be opened or
    // listed, ZFCPackageError treeTooDeep for an entry nested deeper than
    // ZFCFolderStack::maxDepth.
    void scan(int dir, const std::filesystem::path& shown, const FileId& skip = {});
    // The same for the folder at `dir` (followed when it is a link).
    void scan(const std::filesystem::path& dir, const FileId& skip = {});
};

} // namespace kit
