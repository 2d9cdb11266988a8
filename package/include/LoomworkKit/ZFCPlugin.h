#pragma once

#include "LoomworkKit/ZFCEntry.h"
#include "LoomworkKit/ZFCPluginType.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One plug-in in the package metadata.
struct ZFCPlugin
{
    std::string name;
    std::string type;             // a ZFCPluginType raw value, kept as written
    std::vector<ZFCEntry> items;  // the folder tree in the writer's scan order
    int64_t size = 0;             // sum of the file sizes
    int64_t eSize = 0;            // length of the chunk stream, headers included
    int64_t position = 0;         // offset of the chunk stream: relative to the data area in
                                  // the file, absolute in ZFCPackageReader::plugins()

    // No value for an unrecognised type string.
    std::optional<ZFCPluginType> pluginType() const;

    // Compact JSON of one record / of an array of records.
    std::string toJson() const;
    static std::string encodeArray(const std::vector<ZFCPlugin>& plugins);
    // All six keys are required; unknown keys are ignored. No value when the text is not
    // such a record (or not an array of them).
    static std::optional<ZFCPlugin> fromJson(std::string_view json);
    static std::optional<std::vector<ZFCPlugin>> decodeArray(std::string_view json);

    bool operator==(const ZFCPlugin&) const = default;
};
