// Generates a library of thousands of plug-ins and times the full scan of both libraries.
//
//   bench_scan generate DIR [PLUGINS] [FILES_PER_PLUGIN] [LAYOUT]
//       LAYOUT "media" (the default): templates at the top, media in Media/ and Media/Shapes/;
//       "sub": a template and a thumbnail at the top, sub/ with a template and a text file
//       (4 files, FILES_PER_PLUGIN unused); "flat": every file at the top, no folders
//   bench_scan once DIR [THREADS]        one scan, prints "<seconds> <plug-ins> <bytes>"
//                                        (THREADS: the scan's own choice when left out)
//   bench_scan run DIR [benchmark flags] Google Benchmark of the scan
//
// DIR holds home/Movies/Motion Templates.localized (user library) and system/ (system
// library); HOME, LOOMWORK_SYSTEM_LIBRARY and XDG_DATA_HOME are pointed into it, so the
// real libraries are never read.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "engine/library/PluginScanner.h"

namespace fs = std::filesystem;

namespace {

const char* const kCategories[] = {"Effects.localized", "Titles.localized", "Generators.localized",
                                   "Transitions.localized"};
const char* const kTemplateExt[] = {"moef", "motn", "motn", "motr"};

std::string templateText(std::mt19937& rng, std::size_t bytes)
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE ozxmlscene>\n<ozml version=\"5.";
    out += std::to_string(8 + rng() % 6) + "\">\n\n";
    if (rng() % 4 != 0)
        out += "<displayversion>5." + std::to_string(3 + rng() % 4) + "</displayversion>\n\n";
    out += "<description>插件模板</description>\n<scene>\n\t<publishSettings>\n";
    for (int i = 0; i < 6; ++i)
        out += "\t\t<target object=\"1001" + std::to_string(i) + "\" channel=\"./1/100\" name=\"参数 " + std::to_string(i) + "\"/>\n";
    out += "\t</publishSettings>\n";
    while (out.size() < bytes)
        out += "\t<layer name=\"Group\" id=\"10011\"><parameter name=\"Opacity\" id=\"117\" flags=\"12884967440\" value=\"1\"/></layer>\n";
    out += "</scene>\n</ozml>\n";
    return out;
}

void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// The three layouts place files differently but share the two roots (two thirds of the
// plug-ins in the user library) and the four categories.
fs::path pluginFolder(const fs::path& dir, int p)
{
    const fs::path roots[] = {dir / "home/Movies/Motion Templates.localized", dir / "system"};
    const fs::path root = roots[(p / 4) % 3 == 0 ? 1 : 0];
    return root / kCategories[p % 4] / ("Plugin " + std::to_string(p) + " 插件");
}

long generateMedia(const fs::path& folder, int category, int filesPerPlugin, std::mt19937& rng, const std::string& media)
{
    long files = 0;
    fs::create_directories(folder / "Media" / "Shapes");
    const int templates = 1 + int(rng() % 3);
    for (int t = 0; t < templates; ++t) {
        writeFile(folder / ("Template " + std::to_string(t) + "." + kTemplateExt[category]),
                  templateText(rng, 16384 + rng() % 65536));
        ++files;
    }
    writeFile(folder / ".DS_Store", media.substr(0, 6148));
    ++files;
    for (int f = templates + 1; f < filesPerPlugin; ++f) {
        const fs::path sub = f % 3 == 0 ? folder / "Media" / "Shapes" : folder / "Media";
        writeFile(sub / ("asset " + std::to_string(f) + (f % 2 ? ".png" : ".mov")), media.substr(0, 200 + rng() % 8000));
        ++files;
    }
    return files;
}

long generateSub(const fs::path& folder, int category, std::mt19937& rng, const std::string& media)
{
    fs::create_directories(folder / "sub");
    const std::string ext = kTemplateExt[category];
    writeFile(folder / ("Main." + ext), templateText(rng, 4096 + rng() % 16384));
    writeFile(folder / "thumbnail.png", media.substr(0, 500 + rng() % 4000));
    writeFile(folder / "sub" / ("Variant." + ext), templateText(rng, 4096 + rng() % 16384));
    writeFile(folder / "sub" / "readme.txt", "插件说明\n" + std::string(rng() % 2000, 't'));
    return 4;
}

long generateFlat(const fs::path& folder, int category, int filesPerPlugin, std::mt19937& rng, const std::string& media)
{
    fs::create_directories(folder);
    const int templates = std::max(1, filesPerPlugin - 1);
    for (int t = 0; t < templates; ++t)
        writeFile(folder / ("Template " + std::to_string(t) + "." + kTemplateExt[category]),
                  templateText(rng, 4096 + rng() % 16384));
    writeFile(folder / "thumbnail.png", media.substr(0, 500 + rng() % 4000));
    return templates + 1;
}

int generate(const fs::path& dir, int plugins, int filesPerPlugin, const std::string& layout)
{
    if (layout != "media" && layout != "sub" && layout != "flat") {
        std::fprintf(stderr, "unknown layout %s (media, sub or flat)\n", layout.c_str());
        return 2;
    }
    std::mt19937 rng(20261206);
    long files = 0;
    const std::string media(8192, 'm');
    for (int p = 0; p < plugins; ++p) {
        const fs::path folder = pluginFolder(dir, p);
        if (layout == "sub")
            files += generateSub(folder, p % 4, rng, media);
        else if (layout == "flat")
            files += generateFlat(folder, p % 4, filesPerPlugin, rng, media);
        else
            files += generateMedia(folder, p % 4, filesPerPlugin, rng, media);
    }
    std::printf("generated %d plug-ins (%s), %ld files under %s\n", plugins, layout.c_str(), files, dir.c_str());
    return 0;
}

void pointEnvironmentAt(const fs::path& dir)
{
    ::setenv("HOME", (dir / "home").c_str(), 1);
    ::setenv("LOOMWORK_SYSTEM_LIBRARY", (dir / "system").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
}

void BM_FullScan(benchmark::State& state)
{
    std::size_t plugins = 0;
    for (auto _ : state) {
        const auto result = PluginScanner::scan({PluginRoot::user, PluginRoot::system});
        plugins = std::size_t(result.plugins.size());
        benchmark::DoNotOptimize(plugins);
    }
    state.counters["plugins"] = double(plugins);
}
BENCHMARK(BM_FullScan)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s generate|once|run DIR [...]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const fs::path dir = fs::absolute(argv[2]);
    if (mode == "generate")
        return generate(dir, argc > 3 ? std::atoi(argv[3]) : 2500, argc > 4 ? std::atoi(argv[4]) : 40,
                        argc > 5 ? argv[5] : "media");
    pointEnvironmentAt(dir);
    if (mode == "once") {
        const auto start = std::chrono::steady_clock::now();
        const unsigned threads = argc > 3 ? unsigned(std::atoi(argv[3])) : 0;
        const auto result = PluginScanner::scan({PluginRoot::user, PluginRoot::system}, threads);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        qint64 bytes = 0;
        for (const auto& p : result.plugins)
            bytes += p.sizeBytes;
        std::printf("%.6f %lld %lld\n", seconds, static_cast<long long>(result.plugins.size()),
                    static_cast<long long>(bytes));
        return result.errors.isEmpty() ? 0 : 1;
    }
    if (mode == "run") {
        argv[2] = argv[0];
        int benchArgc = argc - 2;
        benchmark::Initialize(&benchArgc, argv + 2);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        return 0;
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
