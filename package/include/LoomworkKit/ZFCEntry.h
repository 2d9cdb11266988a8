#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// One entry of a plug-in's folder tree in the package metadata: a "directory", "file" or
// "link", with its path relative to the plug-in folder ("/"-joined, no leading "/").
struct ZFCEntry
{
    std::string type;
    std::string path;
    std::optional<int64_t> size{};      // uncompressed size of a file
    std::optional<int64_t> position{};  // offset of a file's stored bytes in the plug-in stream
    std::optional<std::string> link{};  // a link's target as read from the disk
    std::optional<int64_t> stored{};    // stored byte count of a file
    std::optional<std::string> cm{};    // "zlib" when the stored bytes are raw deflate

    // Bytes the reader takes from the plug-in stream: stored, else size, else 0.
    int64_t storedSize() const;
    // True only for cm == "zlib" exactly.
    bool isCompressed() const;

    // Compact JSON; optional fields without a value are left out.
    std::string toJson() const;
    // Requires "type" and "path"; optional fields may be absent or null; unknown keys are
    // ignored. No value when the text is not such a record.
    static std::optional<ZFCEntry> fromJson(std::string_view json);

    bool operator==(const ZFCEntry&) const = default;
};
