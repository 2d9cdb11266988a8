#include "LibraryGenerator.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Category
{
    const char* folder;
    const char* extension;
    const char* label;
};

constexpr std::array<Category, 4> kCategories{{
    {"Effects.localized", ".moef", "Effect"},
    {"Titles.localized", ".moti", "Title"},
    {"Generators.localized", ".motn", "Generator"},
    {"Transitions.localized", ".motr", "Transition"},
}};

uint64_t logUniform(std::mt19937_64& rng, double low, double high)
{
    std::uniform_real_distribution<double> d(std::log(low), std::log(high));
    return static_cast<uint64_t>(std::exp(d(rng)));
}

void writeRandom(const fs::path& path, uint64_t size, std::mt19937_64& rng)
{
    std::ofstream out(path, std::ios::binary);
    std::vector<uint64_t> block(64 * 1024 / 8);
    uint64_t left = size;
    while (left > 0) {
        for (auto& w : block)
            w = rng();
        const auto n = static_cast<std::streamsize>(std::min<uint64_t>(left, block.size() * 8));
        out.write(reinterpret_cast<const char*>(block.data()), n);
        left -= static_cast<uint64_t>(n);
    }
}

// Text shaped like a Motion template: nested scene nodes with many numeric parameters.
void writeTemplate(const fs::path& path, uint64_t size, std::mt19937_64& rng)
{
    static const char* const names[] = {"Position", "Rotation", "Scale", "Opacity", "Blend Mode", "Drop Shadow",
                                        "Anchor Point", "Color", "Blur Amount", "Tracking"};
    std::ofstream out(path, std::ios::binary);
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE ozxmlscene>\n"
                       "<ozml version=\"5.11\">\n<displayversion>10.6.5</displayversion>\n<scene>\n";
    char line[256];
    uint64_t written = 0;
    int id = 10000;
    while (written + text.size() < size) {
        const int n = std::snprintf(line, sizeof line,
                                    "  <parameter name=\"%s\" id=\"%d\" flags=\"%u\" default=\"%.3f\" value=\"%.4f\"/>\n",
                                    names[rng() % 10], id++, static_cast<unsigned>(rng() % 65536),
                                    static_cast<double>(rng() % 1000) / 10.0, static_cast<double>(rng() % 100000) / 7.0);
        text.append(line, static_cast<std::size_t>(n));
        if (rng() % 40 == 0)
            text += "  <curve type=\"1\" round=\"0\" retimingExtrapolation=\"1\"><keypoint interpolation=\"1\"/></curve>\n";
        if (text.size() > 256 * 1024) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            written += text.size();
            text.clear();
        }
    }
    text += "</scene>\n</ozml>\n";
    text.resize(static_cast<std::size_t>(std::min<uint64_t>(text.size(), size - std::min(size, written))));
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

} // namespace

LibraryStats generateLibrary(const fs::path& root, uint64_t targetBytes, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    LibraryStats stats;
    for (const Category& c : kCategories)
        fs::create_directories(root / c.folder);
    while (stats.bytes < targetBytes) {
        const Category& c = kCategories[static_cast<std::size_t>(stats.plugins) % kCategories.size()];
        const std::string name = std::string(c.label) + " " + std::to_string(stats.plugins + 1);
        const fs::path plugin = root / c.folder / name;
        fs::create_directories(plugin / "Media/Thumbnails/Large");
        fs::create_directories(plugin / "Media/Thumbnails/Small");
        const auto add = [&](const fs::path& path, uint64_t size, bool media) {
            if (media)
                writeRandom(path, size, rng);
            else
                writeTemplate(path, size, rng);
            stats.bytes += size;
            ++stats.files;
        };

        add(plugin / (name + c.extension), logUniform(rng, 50e3, 5e6), false);
        if (rng() % 3 == 0)
            add(plugin / "Media" / ("Alternate" + std::string(c.extension)), logUniform(rng, 50e3, 5e6), false);
        const int media = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < media; ++i)
            add(plugin / "Media" / ("clip-" + std::to_string(i) + (i % 2 ? ".png" : ".mov")), logUniform(rng, 100e3, 50e6), true);
        for (int i = 0; i < 3; ++i) {
            add(plugin / "Media/Thumbnails/Large" / ("thumb-" + std::to_string(i) + ".png"), logUniform(rng, 20e3, 200e3), true);
            add(plugin / "Media/Thumbnails/Small" / ("thumb-" + std::to_string(i) + ".png"), logUniform(rng, 2e3, 20e3), true);
        }
        std::ofstream(plugin / "Media/Thumbnails/.DS_Store");
        ++stats.files;

        fs::create_symlink("Media/clip-0.mov", plugin / "preview.mov");
        fs::create_symlink("../Large/thumb-0.png", plugin / "Media/Thumbnails/Small/cover.png");
        fs::create_directory_symlink("Media/Thumbnails", plugin / "Thumbnails");
        stats.links += 3;
        ++stats.plugins;
    }
    return stats;
}

LibraryStats generateSmallFileLibrary(const fs::path& root, int files, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    LibraryStats stats;
    for (const Category& c : kCategories)
        fs::create_directories(root / c.folder);
    std::uniform_int_distribution<uint64_t> size(1024, 4096);
    while (stats.files < files) {
        const Category& c = kCategories[static_cast<std::size_t>(stats.plugins) % kCategories.size()];
        const std::string name = std::string(c.label) + " " + std::to_string(stats.plugins + 1);
        const fs::path plugin = root / c.folder / name;
        fs::create_directories(plugin / "Media");
        for (int i = 0; i < 50 && stats.files < files; ++i) {
            const uint64_t bytes = size(rng);
            if (i % 5 == 4)
                writeRandom(plugin / "Media" / ("thumb-" + std::to_string(i) + ".png"), bytes, rng);
            else
                writeTemplate(plugin / ("part-" + std::to_string(i) + c.extension), bytes, rng);
            stats.bytes += bytes;
            ++stats.files;
        }
        ++stats.plugins;
    }
    return stats;
}
