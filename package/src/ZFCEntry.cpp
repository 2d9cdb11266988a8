#include "LoomworkKit/ZFCEntry.h"

#include "KitInternal.h"

int64_t ZFCEntry::storedSize() const
{
    if (stored)
        return *stored;
    return size.value_or(0);
}

bool ZFCEntry::isCompressed() const { return cm && *cm == "zlib"; }

std::string ZFCEntry::toJson() const { std::string out;
    kit::appendJson(out, *this);
    return out; }

std::optional<ZFCEntry> ZFCEntry::fromJson(std::string_view json)
{
    try {
        return kit::entryFromJsonValue(nlohmann::json::parse(json));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
