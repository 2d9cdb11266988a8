// A template version rewrite of one plug-in of many templates (the call, without the removal of
// the old contents that follows it), against `cp -r` + `sync -f` of the same plug-in, and the ways its staged files can be made durable before the change's finish
// state names them: their fsyncs one after another, one syncfs of their file system, or their
// fsyncs issued together from a pool of threads.
//
//   bench_rewrite DIR [benchmark flags]
//
// DIR is the disk measured (say one under /work, and /dev/shm); the plug-in (2,000 templates
// of about 6 KB in 20 folders) and the application's data folder (XDG_DATA_HOME, for its
// journal) are made in it, and removed afterwards.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "engine/files/TemplateChange.h"
#include "engine/templates/TemplateInspector.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr int kTemplates = 2000;
constexpr int kFolders = 20;

fs::path g_dir;

std::string templateText(int index)
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE ozxmlscene>\n<ozml version=\"5.11\">\n\n"
                      "<displayversion>5.5</displayversion>\n\n<scene>\n\t<publishSettings>\n";
    for (int i = 0; i < 6; ++i)
        out += "\t\t<target object=\"1001" + std::to_string(i) + "\" channel=\"./1/100\" name=\"Param "
             + std::to_string(index) + "." + std::to_string(i) + "\"/>\n";
    out += "\t</publishSettings>\n";
    while (out.size() < 6000)
        out += "\t<layer name=\"Group\" id=\"10011\"><parameter name=\"Opacity\" id=\"117\" value=\"1\"/></layer>\n";
    return out + "</scene>\n</ozml>\n";
}

void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

fs::path plugin()
{
    return g_dir / "home/Movies/Motion Templates.localized/Titles.localized/Many";
}

void makePlugin()
{
    for (int i = 0; i < kTemplates; ++i) {
        const fs::path folder = plugin() / ("Scenes " + std::to_string(i % kFolders));
        fs::create_directories(folder);
        writeFile(folder / ("Title " + std::to_string(i) + ".motn"), templateText(i));
    }
}

int run(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Each iteration changes every template (two versions taken in turn, across runs too).
void BM_SetVersion(benchmark::State& state)
{
    static int round = 0;
    for (auto _ : state) {
        const auto summary = TemplateInspector::setVersion(
            QString::fromStdString(plugin().string()), round++ % 2 ? QStringLiteral("5.13") : QStringLiteral("5.14"), "5.6");
        if (summary.filesChanged != kTemplates)
            state.SkipWithError("not every template changed");
        // The old contents go after the call, as the user waits for the call only; not beside
        // the next run or the copy.
        state.PauseTiming();
        TemplateChange::waitForRemovals();
        state.ResumeTiming();
    }
}

void BM_CopyAndSync(benchmark::State& state)
{
    const fs::path copy = g_dir / "copy";
    for (auto _ : state) {
        if (run({"/bin/cp", "-r", plugin().string(), copy.string()}) != 0 || run({"/bin/sync", "-f", copy.string()}) != 0)
            state.SkipWithError("cp or sync failed");
        state.PauseTiming();
        fs::remove_all(copy);
        state.ResumeTiming();
    }
}

enum Strategy {
    oneAfterAnother,
    syncfsOnce,
    threadPool
};

// Writes the staged contents (one per template, in a staging folder per folder, as a change
// does), then makes them durable the way `strategy` says.
void BM_StageAndSync(benchmark::State& state)
{
    const auto strategy = Strategy(state.range(0));
    const fs::path staging = g_dir / "staging";
    std::vector<std::string> texts;
    for (int i = 0; i < kTemplates; ++i)
        texts.push_back(templateText(i));
    const unsigned workers = std::max(2u, std::thread::hardware_concurrency());
    for (auto _ : state) {
        std::vector<int> folders;
        std::vector<std::pair<int, std::string>> files;
        for (int f = 0; f < kFolders; ++f) {
            fs::create_directories(staging / std::to_string(f));
            folders.push_back(::open((staging / std::to_string(f)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        for (int i = 0; i < kTemplates; ++i) {
            const int folder = folders[std::size_t(i % kFolders)];
            const std::string name = std::to_string(i);
            const int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (::write(fd, texts[std::size_t(i)].data(), texts[std::size_t(i)].size()) < 0)
                state.SkipWithError("write failed");
            if (strategy == oneAfterAnother && ::fsync(fd) != 0)
                state.SkipWithError("fsync failed");
            ::close(fd);
            files.emplace_back(folder, name);
        }
        if (strategy == syncfsOnce) {
            if (::syncfs(folders.front()) != 0)
                state.SkipWithError("syncfs failed");
        } else if (strategy == threadPool) {
            std::atomic<std::size_t> next{0};
            std::vector<std::thread> pool;
            for (unsigned w = 0; w < workers; ++w) {
                pool.emplace_back([&] {
                    for (std::size_t i = next++; i < files.size(); i = next++) {
                        const int fd = ::openat(files[i].first, files[i].second.c_str(), O_RDONLY | O_CLOEXEC);
                        ::fsync(fd);
                        ::close(fd);
                    }
                });
            }
            for (std::thread& thread : pool)
                thread.join();
        }
        if (strategy != syncfsOnce) {
            for (const int folder : folders)
                ::fsync(folder);
        }
        state.PauseTiming();
        for (const int folder : folders)
            ::close(folder);
        fs::remove_all(staging);
        state.ResumeTiming();
    }
}

} // namespace

BENCHMARK(BM_SetVersion)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CopyAndSync)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_StageAndSync)
    ->ArgName("strategy")
    ->Arg(oneAfterAnother)
    ->Arg(syncfsOnce)
    ->Arg(threadPool)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

int main(int argc, char** argv)
{
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: bench_rewrite DIR [benchmark flags]\n");
        return 2;
    }
    g_dir = fs::path(argv[1]) / ("bench_rewrite-" + std::to_string(::getpid()));
    fs::create_directories(g_dir / "data");
    ::setenv("HOME", (g_dir / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (g_dir / "data").c_str(), 1);
    ::setenv("LOOMWORK_SYSTEM_LIBRARY", (g_dir / "system").c_str(), 1);
    makePlugin();
    ::sync();
    argv[1] = argv[0];
    int count = argc - 1;
    benchmark::Initialize(&count, argv + 1);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(g_dir);
    return 0;
}
