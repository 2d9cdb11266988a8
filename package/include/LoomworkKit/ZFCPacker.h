#pragma once

#include "LoomworkKit/ZFCEntry.h"
#include "LoomworkKit/ZFCPackItem.h"
#include "LoomworkKit/ZFCProgress.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <vector>

// Writes plug-in folders into .zfcp packages. Each call is synchronous and self-contained:
// its temporary folder (in the system's temporary directory) and the temporary package
// beside the destination are removed on every way out; the destination appears only
// complete, by rename.
class ZFCPacker
{
public:
    struct ScannedEntry
    {
        ZFCEntry entry;
    };

    // Read afresh for every file.
    static std::atomic<int32_t> compressLevel;  // zlib level, default 6
    static std::atomic<bool> compressEnabled;   // default true

    // All items into one package at `to`. No items: nothing is written or reported.
    // Throws ZFCPackageError sourceDirMissing ("待打包目录不存在：" + path) or ioFailure (zlib
    // texts), AES256CTR::CryptoError, filesystem_error.
    static void pack(const std::vector<ZFCPackItem>& items, const std::filesystem::path& to,
                     const ZFCProgressCallback& progress = {});
    // One package per item in the folder `to`, named <name>.zfcp; a name repeated within the
    // call gets "<name> 2.zfcp", "<name> 3.zfcp"... The first error ends the walk; packages
    // already written stay. Throws as pack().
    static void packEach(const std::vector<ZFCPackItem>& items, const std::filesystem::path& to,
                         const ZFCProgressCallback& progress = {});
    // The folder tree in pre-order, names sorted, links not followed; FIFOs, sockets and
    // devices appear as "file" entries. Throws filesystem_error when a folder cannot be listed.
    static std::vector<ScannedEntry> scanTree(const std::filesystem::path& dir);

    // 16 random IV bytes + ciphertext. Throws AES256CTR::CryptoError.
    static std::vector<uint8_t> encryptBuffer(std::span<const uint8_t> plaintext);
    // Seals a plaintext file into a chunk stream file in 1 MiB pieces; `progress` gets the
    // fraction read. Returns the bytes written (the plug-in's eSize). Throws file and
    // cipher errors.
    static int64_t encryptChunkedStream(const std::filesystem::path& from, const std::filesystem::path& to,
                                        const std::function<void(double)>& progress = {});
    // The file's first MiB deflates below 94 % of its length. Never throws.
    static bool looksCompressible(const std::filesystem::path& file);

    ZFCPacker() = delete;
};
