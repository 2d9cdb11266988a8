#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "LoomworkKit/ZFCPluginType.h"

namespace standin {

// How the stand-in hands out a plug-in's download.
enum class Delivery {
    package,   // the .zfcp, named after the plug-in
    upperCase, // the .zfcp, named "….ZFCP"
    zip,       // a small .zip (not a package), with a UTF-8 filename*
    missing,   // 404 with a body
    empty,     // 200 with no body
    unsized    // the .zfcp, chunked (no length)
};

struct CatalogFolder
{
    ZFCPluginType type;
    std::string name;
    int64_t mediaBytes = 0; // incompressible, as rendered media is
};

// One plug-in of the shop as the fixtures describe it.
struct CatalogItem
{
    nlohmann::json record; // the MarketPlugin fields except owned/favorited/favoritedAt/fileSize
    std::vector<CatalogFolder> folders;
    Delivery delivery = Delivery::package;
    std::string fileName;  // the name the download carries
    bool risky = false;    // the ticket carries a warning
    int paceMs = 0;        // a pause before each 64 KiB of the download, so progress shows
    int order = 0;         // higher is newer
};

// About 45 plug-ins of a few hundred KB to a few MB: free and priced, featured, clashing
// folder names (several hold a "Glow" title; one holds twelve "Clash NN" effects), a
// two-plug-in package, large ones, and every delivery above.
std::vector<CatalogItem> catalogItems();

} // namespace standin
