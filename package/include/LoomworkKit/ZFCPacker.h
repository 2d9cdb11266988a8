#pragma once

#include "LoomworkKit/ZFCEntry.h"
#include "LoomworkKit/ZFCPackItem.h"
#include "LoomworkKit/ZFCProgress.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <vector>

// Writes plug-in folders into .zfcp packages. Each call is synchronous and self-contained:
// files are read and deflated on a pool of worker threads but stored in scan order, so the
// package does not depend on the number of threads; the sealed stream and the package are
// written to temporary files beside the destination, removed on every way out, and the
// destination appears only complete, by rename. Memory stays bounded whatever the size.
class ZFCPacker
{
public:
    struct ScannedEntry
    {
        ZFCEntry entry;
    };

    struct PackOptions
    {
        int32_t compressLevel = 6;    // zlib level
        bool compressEnabled = true;  // false stores every file raw
        unsigned threads = 0;         // deflating workers; 0 is one per core
    };

    // All items into one package at `to`. No items: nothing is written or reported. The package
    // and its folder are synced before the call returns: a power cut after it keeps the
    // package; a sync that fails is an error (filesystem_error), and a package whose data could
    // not be synced never takes its name.
    // Throws ZFCPackageError sourceDirMissing ("待打包目录不存在：" + path), nameNotUtf8 for a
    // name that is not valid UTF-8 (never stored altered), nameHoldsBackslash for a file or
    // folder name holding a backslash (extraction splits there), treeTooDeep for folders nested
    // deeper than ZFCFolderStack::maxDepth, compressFailed or compressFinishFailed,
    // AES256CTR::CryptoError, filesystem_error. Errors name each item by its `sourceDir`.
    static void pack(const std::vector<ZFCPackItem>& items, const std::filesystem::path& to,
                     const ZFCProgressCallback& progress = {});
    static void pack(const std::vector<ZFCPackItem>& items, const std::filesystem::path& to,
                     const ZFCProgressCallback& progress, const PackOptions& options);
    // One package per item in the folder `to`, named <name>.zfcp; a name repeated within the
    // call gets "<name> 2.zfcp", "<name> 3.zfcp"... The first error ends the walk; packages
    // already written stay. Every package is synced before the call returns (on Linux one
    // syncfs of the folder's file system covers them all). Throws as pack().
    static void packEach(const std::vector<ZFCPackItem>& items, const std::filesystem::path& to,
                         const ZFCProgressCallback& progress = {});
    static void packEach(const std::vector<ZFCPackItem>& items, const std::filesystem::path& to,
                         const ZFCProgressCallback& progress, const PackOptions& options);
    // The folder tree in pre-order, names sorted, links not followed; FIFOs, sockets and
    // devices appear as "file" entries. Throws filesystem_error when a folder cannot be
    // listed, ZFCPackageError treeTooDeep as pack() does.
    static std::vector<ScannedEntry> scanTree(const std::filesystem::path& dir);

    // What the packer syncs: a package's file, its folder, or (for the many packages of one
    // packEach call) their whole file system at once.
    enum class SyncStep { file, folder, fileSystem };
    // For tests: each sync of what the packer wrote goes to `hook` (the handle it would sync)
    // instead of the system, which answers 0 or an errno. Null restores the system's.
    static void setSyncHookForTests(std::function<int(int fd, SyncStep step)> hook);

    // For tests: called on the calling thread once an item's folder is scanned, before any
    // of its files is opened, so that a test can change the tree there. Null removes it.
    static void setScannedHook(std::function<void(const ZFCPackItem&)> hook);

    // 16 random IV bytes + ciphertext. Throws AES256CTR::CryptoError.
    static std::vector<uint8_t> encryptBuffer(std::span<const uint8_t> plaintext);

    ZFCPacker() = delete;
};
