#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MarketCatalog.h"
#include "StandinServer.h"

namespace standin {

// The packages of the catalogue, packed by our own packer when the market is first asked
// for, so that a server that never serves the market never packs it.
class MarketPackages
{
public:
    MarketPackages(const std::vector<CatalogItem>& items, std::string catalogDir)
        : m_items(items), m_catalogDir(std::move(catalogDir))
    {
    }

    // Stops a packing under way at its next plug-in and waits until it has removed its
    // temporary folder; no packing starts after it.
    void abandon()
    {
        m_abandoned = true;
        std::call_once(m_once, [] {});
    }

    // pluginId -> the package. Without --catalog the files are unlinked once opened, so
    // nothing is left behind however the server ends.
    struct Built
    {
        std::map<std::string, std::shared_ptr<BodySource>> packages;
        std::vector<CatalogItem> extra; // foreign packages found in the catalogue folder
    };
    // Packs on the first call; other callers wait for it.
    const Built& built()
    {
        std::call_once(m_once, [this] { build(); });
        return m_built;
    }

private:
    void build();
    // One item's folders, made under `dir` and packed into `dir`/<id>.zfcp; throws once
    // `abandoned` is set.
    static std::filesystem::path pack(const CatalogItem& item, const std::filesystem::path& dir,
                                      const std::atomic<bool>& abandoned);
    // Foreign packages in the catalogue folder join the shop, free, in name order.
    void addForeign(const std::filesystem::path& dir);

    const std::vector<CatalogItem> m_items;
    const std::string m_catalogDir;
    std::atomic<bool> m_abandoned = false;
    std::once_flag m_once;
    Built m_built;
};

} // namespace standin
