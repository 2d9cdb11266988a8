#pragma once

#include "LoomworkKit/ZFCPluginType.h"

#include <filesystem>
#include <functional>
#include <string>

// One plug-in folder handed to ZFCPacker.
struct ZFCPackItem
{
    ZFCPluginType type;
    std::string name;                 // name in the metadata and, for packEach, of the file
    std::filesystem::path sourceDir;  // the plug-in folder on disk
    // An open handle of that folder, kept open by the caller for the call, or -1. Given, the
    // folder is read below it (its path is not looked up again: a link swapped in on the way
    // since it was opened is never followed) and `sourceDir` only names it in messages.
    int sourceFolder = -1;
    // Or, given, opens that folder when the packer reaches the item and hands the handle over
    // (the packer closes it once the item is read): a call of many items never holds more than
    // a few open. -1 with errno set when it cannot.
    std::function<int()> openFolder = {};
};
