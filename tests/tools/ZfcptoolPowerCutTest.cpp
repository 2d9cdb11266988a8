#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

// A power cut keeps what the disk was given by the last sync and loses the rest. The test build
// logs, in place of each sync, the files below ROOT with their sizes: what a cut just after it
// would leave. An extraction that exits 0 must have left on disk what it reports, and nothing
// of its own that no record names.
namespace {

using Listing = std::map<std::string, std::string>; // path -> size

std::vector<Listing> syncsIn(const std::string& log)
{
    std::vector<Listing> syncs;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line == "sync")
            syncs.emplace_back();
        else if (line != "end" && !syncs.empty() && line.find('\t') != std::string::npos)
            syncs.back()[line.substr(0, line.find('\t'))] = line.substr(line.find('\t') + 1);
    }
    return syncs;
}

Listing listing(const fs::path& root)
{
    Listing out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && !entry.is_symlink())
            out[fs::relative(entry.path(), root).string()] = std::to_string(entry.file_size());
    }
    return out;
}

bool anyOfTheRuns(const Listing& files, const char* form)
{
    for (const auto& [path, size] : files) {
        if (path.find(form) != std::string::npos)
            return true;
    }
    return false;
}

std::string quoted(const std::string& text)
{
    std::string q = "'";
    for (const char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

int run(const TempDir& dir, const std::string& settings, const std::vector<std::string>& args)
{
    std::string command = settings + quoted(ZFCPTOOL_SEAMS_PATH);
    for (const std::string& arg : args)
        command += " " + quoted(arg);
    command += " >" + quoted((dir / "stdout").string()) + " 2>" + quoted((dir / "stderr").string());
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(ZfcptoolPowerCut, AnExtractionThatExitsZeroIsOnDiskWhole)
{
    TempDir dir;
    const std::string fresh(20000, 'n');
    writeFile(dir / "src/Glow/f.txt", fresh);
    writeFile(dir / "src/Glow/sub/g.txt", fresh);
    writeFile(dir / "src/Spark/f.txt", fresh);
    const std::string package = (dir / "p.zfcp").string();
    ASSERT_EQ(run(dir, "", {"pack", package, "effect", "Glow", (dir / "src/Glow").string(), "effect", "Spark",
                            (dir / "src/Spark").string()}),
              0)
        << readFile(dir / "stderr");
    const fs::path root = dir / "library";
    const std::string glow = "Effects.localized/Glow/f.txt";
    const struct {
        const char* name;
        std::vector<std::string> args;
    } cases[] = {
        {"every plug-in of the package", {"extract", package, root.string()}},
        {"one plug-in, over the old one", {"extract", package, (root / "Effects.localized").string(), "0", "--overwrite"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        removeTree(root);
        writeFile(root / glow, "old");
        const std::string log = (dir / "syncs").string();
        fs::remove(log);
        ASSERT_EQ(run(dir, "ZFCPTOOL_TEST_SYNC_LOG=" + quoted(log) + " ZFCPTOOL_TEST_SYNC_ROOT=" + quoted(root.string()) + " ",
                      c.args),
                  0)
            << readFile(dir / "stderr");
        const Listing after = listing(root);
        ASSERT_EQ(after.at(glow), "20000");
        EXPECT_FALSE(anyOfTheRuns(after, ".zfcptool-"));
        const std::vector<Listing> syncs = syncsIn(readFile(log));
        ASSERT_FALSE(syncs.empty()) << "nothing was synced";

        // Once, before any plug-in took its name: every staged file whole, the old one in place.
        ASSERT_EQ(syncs.front().at(glow), "3");
        std::size_t staged = 0;
        for (const auto& [path, size] : syncs.front())
            staged += path.find(".zfcptool-extract-") != std::string::npos && size == "20000" ? 1 : 0;
        EXPECT_EQ(staged, after.size()) << "not every staged file was on disk before the moves";
        EXPECT_EQ(syncs.size(), 2u) << "one sync for the staged files, one before the record goes";

        // The last, with the run's record still there: a cut after it leaves what exit 0 says,
        // and the record to put right what it then still finds.
        Listing last = syncs.back();
        EXPECT_TRUE(anyOfTheRuns(last, ".zfcptool-run-")) << "the record went before the last sync";
        std::erase_if(last, [](const auto& file) { return file.first.find(".zfcptool-run-") != std::string::npos; });
        EXPECT_EQ(last, after);
    }
}

// The run's record is written a fixed number of times, and the file systems synced a fixed
// number of times, whatever the number of plug-ins; its bytes grow with them, not with their
// square. Into an empty ROOT and over the plug-ins of an earlier run (each replaced).
TEST(ZfcptoolPowerCut, RecordWritesAndSyncsDoNotGrowWithThePlugIns)
{
    TempDir dir;
    struct Counts {
        int records = 0;
        int syncs = 0;
        long bytes = 0;
    };
    const auto counted = [&](const std::string& text) {
        Counts counts;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            if (line == "syncfs")
                ++counts.syncs;
            else if (line.rfind("record ", 0) == 0)
                ++counts.records, counts.bytes += std::stol(line.substr(7));
        }
        return counts;
    };
    const int sizes[] = {2, 20, 60};
    std::map<int, Counts> fresh, replacing;
    for (const int n : sizes) {
        SCOPED_TRACE(n);
        std::vector<std::string> args{"pack", (dir / "p.zfcp").string()};
        for (int i = 0; i < n; ++i) {
            const fs::path src = dir / "src" / ("P" + std::to_string(i));
            writeFile(src / "a.txt", "a");
            writeFile(src / "sub/b.txt", "b");
            for (const std::string& arg : {std::string("effect"), "P" + std::to_string(i), src.string()})
                args.push_back(arg);
        }
        ASSERT_EQ(run(dir, "", args), 0) << readFile(dir / "stderr");
        const fs::path root = dir / ("root" + std::to_string(n));
        const std::string log = (dir / "counts").string();
        for (std::map<int, Counts>* into : {&fresh, &replacing}) {
            fs::remove(log);
            ASSERT_EQ(run(dir, "ZFCPTOOL_TEST_COUNT_LOG=" + quoted(log) + " ", {"extract", (dir / "p.zfcp").string(), root.string()}),
                      0)
                << readFile(dir / "stderr");
            (*into)[n] = counted(readFile(log));
            EXPECT_EQ(readFile(root / "Effects.localized" / ("P" + std::to_string(n - 1)) / "sub/b.txt"), "b");
        }
        fs::remove_all(dir / "src");
    }
    for (const auto* runs : {&fresh, &replacing}) {
        const Counts& few = runs->at(2);
        EXPECT_GT(few.records, 0);
        EXPECT_GT(few.syncs, 0);
        for (const int n : sizes) {
            SCOPED_TRACE(n);
            const Counts& c = runs->at(n);
            EXPECT_EQ(c.records, few.records);
            EXPECT_EQ(c.syncs, few.syncs);
            // Linear: each plug-in adds to every write at most what its items take (each write
            // also fsyncs the record and its folder: a fixed number too).
            EXPECT_LE(c.bytes, few.bytes + long(n) * few.records * 512);
        }
    }
}
