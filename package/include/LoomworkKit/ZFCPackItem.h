#pragma once

#include "LoomworkKit/ZFCPluginType.h"

#include <filesystem>
#include <string>

// One plug-in folder handed to ZFCPacker.
struct ZFCPackItem
{
    ZFCPluginType type;
    std::string name;                 // name in the metadata and, for packEach, of the file
    std::filesystem::path sourceDir;  // the plug-in folder on disk
};
