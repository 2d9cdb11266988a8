// Pack and extract throughput of LoomworkKit on a generated library.
// LOOMWORK_BENCH_MB sets the library size (default 64).

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <unistd.h>

#include "LibraryGenerator.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"

namespace fs = std::filesystem;

namespace {

struct Fixture
{
    fs::path root;
    fs::path library;
    fs::path package;
    uint64_t bytes = 0;
    std::vector<ZFCPackItem> items;

    Fixture()
    {
        root = fs::temp_directory_path() / ("loomwork-bench-" + std::to_string(::getpid()));
        library = root / "library";
        package = root / "library.zfcp";
        const char* env = std::getenv("LOOMWORK_BENCH_MB");
        const uint64_t megabytes = env ? std::strtoull(env, nullptr, 10) : 64;
        bytes = generateLibrary(library, megabytes * 1024 * 1024, 7).bytes;
        for (const ZFCPluginType type : ZFCPluginType::allCases()) {
            for (const auto& plugin : fs::directory_iterator(library / std::string(type.directoryName())))
                items.push_back({type, plugin.path().filename().string(), plugin.path()});
        }
        ZFCPacker::pack(items, package);
    }
    ~Fixture()
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

void BM_Pack(benchmark::State& state)
{
    Fixture& f = fixture();
    const fs::path out = f.root / "bench-pack.zfcp";
    for (auto _ : state)
        ZFCPacker::pack(f.items, out);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.bytes));
    fs::remove(out);
}

void BM_Extract(benchmark::State& state)
{
    Fixture& f = fixture();
    const fs::path out = f.root / "bench-extract";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(out);
        state.ResumeTiming();
        ZFCPackageReader reader(f.package);
        reader.extractAll(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.bytes));
    fs::remove_all(out);
}

void BM_List(benchmark::State& state)
{
    Fixture& f = fixture();
    for (auto _ : state)
        benchmark::DoNotOptimize(ZFCPackageReader::readPlugins(f.package));
}

} // namespace

BENCHMARK(BM_Pack)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Extract)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_List)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
