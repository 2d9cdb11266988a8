#include "MarketPackages.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <stdexcept>
#include <strings.h>
#include <thread>

#include <unistd.h>

#include "LoomworkKit/ZFCPackItem.h"
#include "LoomworkKit/ZFCPacker.h"

namespace standin {

namespace {

namespace fs = std::filesystem;

// Bytes that look like compressed media: incompressible, and the same on every run.
void writeMedia(const fs::path& path, int64_t length, uint64_t seed)
{
    std::ofstream out(path, std::ios::binary);
    std::vector<uint64_t> block(32 * 1024);
    for (int64_t left = length; left > 0; left -= int64_t(block.size() * 8)) {
        for (uint64_t& word : block) {
            // splitmix64
            uint64_t z = (seed += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
        out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(std::min<int64_t>(left, int64_t(block.size() * 8))));
    }
}

} // namespace

void MarketPackages::build()
{
    std::error_code error;
    const bool keep = !m_catalogDir.empty();
    const fs::path dir = keep ? fs::path(m_catalogDir)
                              : fs::temp_directory_path(error) / ("loomwork-standin-market-" + std::to_string(::getpid()) + "-"
                                                                  + std::to_string(std::random_device{}()));
    fs::create_directories(dir, error);
    // A few packers side by side: most of the work is ciphering and copying media.
    std::mutex mutex;
    std::atomic<size_t> next = 0;
    const auto packer = [&] {
        for (size_t i; !m_abandoned && (i = next++) < m_items.size();) {
            const std::string id = m_items[i].record["pluginId"].get<std::string>();
            try {
                const fs::path package = pack(m_items[i], dir, m_abandoned);
                auto source = fileSource(package.string());
                if (!keep)
                    fs::remove(package, error);
                std::lock_guard lock(mutex);
                if (source)
                    m_built.packages[id] = source;
            } catch (const std::exception& e) {
                if (!m_abandoned)
                    std::fprintf(stderr, "loomwork-standin: packing %s failed: %s\n", id.c_str(), e.what());
            }
        }
    };
    std::vector<std::thread> workers;
    for (unsigned n = std::clamp(std::thread::hardware_concurrency(), 1u, 4u); n > 1; --n)
        workers.emplace_back(packer);
    packer();
    for (std::thread& worker : workers)
        worker.join();
    if (keep)
        addForeign(dir);
    else
        fs::remove_all(dir, error);
}

fs::path MarketPackages::pack(const CatalogItem& item, const fs::path& dir, const std::atomic<bool>& abandoned)
{
    const std::string id = item.record["pluginId"].get<std::string>();
    const fs::path work = dir / (".work-" + id);
    std::vector<ZFCPackItem> packItems;
    int index = 0;
    for (const CatalogFolder& folder : item.folders) {
        const fs::path source = work / std::to_string(index++) / folder.name;
        fs::create_directories(source / "Media");
        std::ofstream(source / (folder.name + ".moti")) << "<ozml version=\"5.10\"><scene name=\"" << folder.name << "\"/></ozml>\n";
        std::ofstream(source / "Info.txt") << id << "/" << folder.name << "\n";
        if (folder.mediaBytes > 0)
            writeMedia(source / "Media" / (folder.name + ".mov"), folder.mediaBytes, std::hash<std::string>{}(id + "/" + folder.name));
        packItems.push_back({folder.type, folder.name, source});
    }
    const fs::path package = dir / (id + ".zfcp");
    ZFCPacker::PackOptions options;
    options.threads = 1;
    try {
        ZFCPacker::pack(packItems, package, [&abandoned](const ZFCProgress&) {
            if (abandoned)
                throw std::runtime_error("abandoned");
        }, options);
    } catch (...) {
        std::error_code error;
        fs::remove_all(work, error);
        throw;
    }
    std::error_code error;
    fs::remove_all(work, error);
    return package;
}

void MarketPackages::addForeign(const fs::path& dir)
{
    std::set<std::string> ours;
    for (const CatalogItem& item : m_items)
        ours.insert(item.record["pluginId"].get<std::string>() + ".zfcp");
    std::vector<fs::path> foreign;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && ::strcasecmp(entry.path().extension().c_str(), ".zfcp") == 0 && !ours.count(name))
            foreign.push_back(entry.path());
    }
    std::sort(foreign.begin(), foreign.end());
    int n = 900;
    for (const fs::path& path : foreign) {
        auto source = fileSource(path.string());
        if (!source)
            continue;
        CatalogItem extra;
        extra.order = n;
        extra.record = {{"pluginId", "x" + std::to_string(n)}, {"name", path.stem().string()},
                        {"category", "特效"}};
        extra.fileName = path.filename().string();
        m_built.packages["x" + std::to_string(n)] = source;
        m_built.extra.push_back(extra);
        ++n;
    }
}

} // namespace standin
