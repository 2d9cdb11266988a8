#pragma once

#include "LoomworkKit/ZFCFileHandle.h"
#include "LoomworkKit/ZFCPlugin.h"
#include "LoomworkKit/ZFCProgress.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Opens one .zfcp package, lists its plug-ins and extracts them. Every stored path and
// link target is checked so that nothing is written, or links, outside the destination;
// sizes in the file are checked before anything is allocated for them. One thread at a
// time: extract() moves the shared file position.
class ZFCPackageReader
{
public:
    // Reads the header and the metadata; a plug-in that lists one path twice is damaged
    // metadata.
    // Throws: filesystem_error when the file cannot be opened, ZFCPackageError fileTooSmall
    // or metadataCorrupted, AES256CTR::CryptoError.
    explicit ZFCPackageReader(const std::filesystem::path& url);
    ZFCPackageReader(ZFCPackageReader&&) noexcept = default;
    ZFCPackageReader& operator=(ZFCPackageReader&&) noexcept = default;

    // The plug-ins in metadata order, each position a file offset.
    const std::vector<ZFCPlugin>& plugins() const { return m_plugins; }
    int64_t dataOffset() const { return m_dataOffset; }

    // Opens a reader, returns its plug-ins and closes it. Throws what the constructor throws.
    static std::vector<ZFCPlugin> readPlugins(const std::filesystem::path& url);
    // Reads the metadata as the constructor does, but keeps nothing: each entry goes to
    // `entry` as soon as it is parsed, and each plug-in, without its items and with its
    // position a file offset, goes to `plugin` when its record ends. Memory stays that of one
    // record whatever the number of entries, so paths listed twice are not looked for.
    // Throws what the constructor throws; what was handed over before an error stays
    // handed over.
    static void visitMetadata(const std::filesystem::path& url, const std::function<void(const ZFCEntry&)>& entry,
                              const std::function<void(const ZFCPlugin&)>& plugin);

    // Extracts `plugin` (one of plugins()) into root/<folder>, folder being the trimmed
    // `name` when it is not blank, else the stored name, through safeName. An existing
    // folder is replaced with `overwrite`, else left alone (success, nothing reported).
    // Reports decrypting after every chunk and extracting at the end, on the calling thread.
    // Worker threads read, decrypt and inflate ahead of it and make the files that lie whole
    // in one chunk; the calling thread makes those cut across chunks, in order (at most 8
    // chunks and 16 MiB of inflated files kept for it).
    // Throws ZFCPackageError (metadataCorrupted for an unusable folder name, treeTooDeep as
    // checkDepth() before anything is written, ioFailure with
    // the path, chunk and zlib texts; "压缩数据不完整，封包可能已损坏" when the stream ends
    // before its files), AES256CTR::CryptoError, filesystem_error. A raw file whose size is
    // not its stored byte count is refused before the plug-in's folder is touched. What was
    // written before a failure stays, and so may files of the plug-in that workers made
    // after the one that failed; the error is always the first in the stream's order.
    void extract(const ZFCPlugin& plugin, const std::filesystem::path& root,
                 const std::optional<std::string>& name = std::nullopt, bool overwrite = false,
                 const ZFCProgressCallback& progress = {});
    // One plug-in for extractMany(), with extract()'s arguments.
    struct Request
    {
        const ZFCPlugin* plugin = nullptr; // one of plugins()
        std::filesystem::path root{};
        std::optional<std::string> name{};
        bool overwrite = false;
    };
    // extract() of each request in turn, in one pass: the workers read ahead across plug-ins,
    // so that many small plug-ins go as fast as one large one. Progress as extract() reports
    // it, for each. The first error ends it and is thrown; `failedAt`, when given, is then the
    // index of the request it belongs to: those before it are whole, what its own made so far
    // stays, and later ones were not begun (folders made ahead for them go again). A request
    // whose folder stands without `overwrite` ends the pass there, as extract() leaves it.
    void extractMany(const std::vector<Request>& requests, const ZFCProgressCallback& progress = {},
                     std::size_t* failedAt = nullptr);
    // Every plug-in into root/<category folder> ("Other.localized" for an unknown type),
    // overwriting. The first error ends the walk and is thrown; a plug-in too deep for
    // checkDepth() is refused before any is written. Folders of later plug-ins are made ahead
    // only where nothing stood, and go again when the walk ends before them.
    void extractAll(const std::filesystem::path& root, const ZFCProgressCallback& progress = {});

    // Throws ZFCPackageError treeTooDeepInPackage for the first entry of `plugin` with more
    // path components than ZFCFolderStack::maxDepth: such a tree could be written but never
    // walked again (copied, changed or removed), so extraction refuses it first.
    static void checkDepth(const ZFCPlugin& plugin);

    // NULs removed, "/" and "\" made "_", white space trimmed; "." and ".." become empty.
    // Empty means unusable.
    static std::string safeName(std::string_view name);
    // root + rel, with "\" taken as "/". Throws ioFailure "封包内路径非法：" + rel for an empty
    // or absolute path, a NUL, or a "." or ".." component; "封包内路径越界：" + rel when the
    // result is not inside root.
    static std::filesystem::path safeChild(const std::filesystem::path& root, std::string_view rel);
    // The target to create, or no value when it is empty, absolute, starts with "~", climbs
    // with ".." after a normal component, or resolves outside root.
    static std::optional<std::string> safeLinkTarget(std::string_view link,
                                                     const std::filesystem::path& linkURL,
                                                     const std::filesystem::path& root);

    // The fixed package key.
    static std::span<const uint8_t, 32> legacyKey();
    // IV (16 bytes) + ciphertext to plaintext. Throws metadataCorrupted below 17 bytes,
    // else what AES256CTR::crypt throws.
    static std::vector<uint8_t> decryptBuffer(std::span<const uint8_t> sealed);

private:
    ZFCFileHandle m_file;
    int64_t m_dataOffset = 0;
    std::vector<ZFCPlugin> m_plugins;
};
