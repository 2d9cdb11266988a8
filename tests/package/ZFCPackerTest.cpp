#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "support/kit/PackageCraft.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Points the system temporary directory into a test folder, so leftovers can be counted.
class ScopedTmpDir
{
public:
    explicit ScopedTmpDir(const fs::path& dir)
    {
        if (const char* old = std::getenv("TMPDIR"))
            m_old = old;
        fs::create_directories(dir);
        ::setenv("TMPDIR", dir.c_str(), 1);
    }
    ~ScopedTmpDir()
    {
        if (m_old.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", m_old.c_str(), 1);
    }

private:
    std::string m_old;
};

std::size_t countEntries(const fs::path& dir)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

const ZFCEntry* findEntry(const ZFCPlugin& plugin, const std::string& path)
{
    for (const ZFCEntry& e : plugin.items) {
        if (e.path == path)
            return &e;
    }
    return nullptr;
}

} // namespace

TEST(ZFCPacker, TheExamplePackageHasTheDocumentedBytes)
{
    TempDir dir;
    writeFile(dir / "A/Media/a.png", std::string(100, 'p'));
    ZFCPacker::pack({{ZFCPluginType::effect, "A", dir / "A"}}, dir / "a.zfcp");

    const std::string json = craft::metadataOf(dir / "a.zfcp");
    const auto expected = nlohmann::json::parse(R"([{"name":"A","type":"effect","items":[
        {"type":"directory","path":"Media"},
        {"type":"file","path":"Media/a.png","size":100,"position":0,"stored":100}],
        "size":100,"eSize":124,"position":0}])");
    EXPECT_EQ(nlohmann::json::parse(json), expected);

    const std::string bytes = readFile(dir / "a.zfcp");
    const std::size_t m = json.size() + 16;
    EXPECT_EQ(bytes.substr(0, 8), craft::lengthHeader(static_cast<int64_t>(m)));
    ASSERT_EQ(bytes.size(), 8 + m + 124);
    EXPECT_EQ(bytes.substr(8 + m, 8), std::string("\x74\0\0\0\0\0\0\0", 8));
}

TEST(ZFCPacker, CompressionFollowsTheSizeAndSampleRules)
{
    TempDir dir;
    std::mt19937_64 rng(21);
    const std::string random4 = craft::randomBytes(4 * 1024 * 1024, rng);
    std::string randomHead = craft::randomBytes(1024 * 1024, rng) + std::string(9 * 1024 * 1024, '\0');
    struct Case {
        const char* name;
        std::string content;
        bool compressed;
    };
    const std::vector<Case> cases = {
        {"a512", std::string(512, '\0'), false},
        {"b513", std::string(513, '\0'), true},
        {"c4mib-random", random4, false},
        {"d10mib-random-head", randomHead, false},
        {"e9mib-zeros", std::string(9 * 1024 * 1024, '\0'), true},
        // A head that does not shrink at all: stored raw without a full attempt.
        {"f100k-random-head", craft::randomBytes(64 * 1024, rng) + std::string(36 * 1024, '\0'), false},
        {"g100k-random-tail", std::string(36 * 1024, '\0') + craft::randomBytes(64 * 1024, rng), true},
        // Small files deflate into one byte less than they have, or are stored raw.
        {"h4k-random", craft::randomBytes(4096, rng), false},
        {"i4k-text", craft::compressibleText(4096, rng), true},
    };
    for (const Case& c : cases)
        writeFile(dir / "P" / c.name, c.content);
    ZFCPacker::pack({{ZFCPluginType::generator, "P", dir / "P"}}, dir / "p.zfcp");
    const ZFCPackageReader reader(dir / "p.zfcp");
    ASSERT_EQ(reader.plugins().size(), 1u);
    const ZFCPlugin& plugin = reader.plugins()[0];
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ZFCEntry* e = findEntry(plugin, c.name);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->size, static_cast<int64_t>(c.content.size()));
        EXPECT_EQ(e->isCompressed(), c.compressed);
        if (c.compressed)
            EXPECT_LT(*e->stored, *e->size * 3 / 4);
        else
            EXPECT_EQ(e->stored, e->size);
    }
    ZFCPackageReader(dir / "p.zfcp").extractAll(dir / "out");
    EXPECT_EQ(craft::describeDifference(craft::snapshot(dir / "P"), craft::snapshot(dir / "out/Generators.localized/P")), "");

    ZFCPacker::pack({{ZFCPluginType::generator, "P", dir / "P"}}, dir / "raw.zfcp", {}, {.compressEnabled = false});
    const ZFCPackageReader raw(dir / "raw.zfcp");
    for (const ZFCEntry& e : raw.plugins()[0].items)
        EXPECT_FALSE(e.cm) << e.path;
}

// Files are deflated on several threads, small ones in runs, but stored in scan order: the
// package is the one a single worker writes, whatever the mix of sizes (small files in runs,
// memory-held, streamed and inline files), byte for byte but for the random IVs.
TEST(ZFCPacker, WorkersDoNotChangeThePackage)
{
    TempDir dir;
    std::mt19937_64 rng(5);
    for (int i = 0; i < 900; ++i) {
        const std::string name = "P" + std::to_string(i % 3) + "/d" + std::to_string(i % 7) + "/f" + std::to_string(i);
        switch (i % 9) {
        case 0: writeFile(dir / name, craft::randomBytes(rng() % 200000, rng)); break;
        case 1: writeFile(dir / name, ""); break;
        case 2: writeFile(dir / name, craft::compressibleText(rng() % 300000, rng)); break;
        case 3: writeFile(dir / name, craft::randomBytes(rng() % 4096, rng)); break;
        default: writeFile(dir / name, craft::compressibleText(rng() % 20000, rng));
        }
    }
    writeFile(dir / "P1/big", craft::compressibleText(9 * 1024 * 1024, rng));
    writeFile(dir / "P2/big-random", craft::randomBytes(10 * 1024 * 1024, rng));
    const std::vector<ZFCPackItem> items = {{ZFCPluginType::effect, "A", dir / "P0"},
                                            {ZFCPluginType::subtitle, "B", dir / "P1"},
                                            {ZFCPluginType::generator, "C", dir / "P2"}};
    ZFCPacker::pack(items, dir / "one.zfcp", {}, {.threads = 1});
    const std::string one = craft::openedImage(dir / "one.zfcp");
    for (const unsigned threads : {7u, 8u}) {
        SCOPED_TRACE(threads);
        ZFCPacker::pack(items, dir / "many.zfcp", {}, {.threads = threads});
        EXPECT_TRUE(craft::openedImage(dir / "many.zfcp") == one);
    }
    ZFCPackageReader(dir / "many.zfcp").extractAll(dir / "out");
    EXPECT_EQ(craft::describeDifference(craft::snapshot(dir / "P1"), craft::snapshot(dir / "out/Titles.localized/B")), "");
}

// A name that is not UTF-8 would be stored altered (two names could become one), and one
// holding a backslash comes back split at it: refused, named, and nothing is written.
TEST(ZFCPacker, NamesThatCannotComeBackAreRefused)
{
    TempDir dir;
    writeFile(dir / "ok/a.txt", "a");
    writeFile(dir / "bad/a\xFF.txt", "a");
    fs::create_directories(dir / "link");
    fs::create_symlink("t\xFE", dir / "link/l");
    writeFile(dir / "slash/a\\b", "a");
    writeFile(dir / "beside/x/y", "y");
    writeFile(dir / "beside/x\\y/z", "z");
    fs::create_directories(dir / "empty/e\\");
    fs::create_directories(dir / "each");
    const std::size_t before = countEntries(dir.path());
    using K = ZFCPackageError::Kind;
    struct Case {
        ZFCPackItem item;
        std::string named;
        K kind;
    };
    const std::vector<Case> cases = {
        {{ZFCPluginType::effect, "Bad", dir / "bad"}, (dir / "bad/a").string() + "\\xFF.txt", K::nameNotUtf8},
        {{ZFCPluginType::effect, "Link", dir / "link"}, (dir / "link/l").string(), K::nameNotUtf8},
        {{ZFCPluginType::effect, "N\xC3", dir / "ok"}, "N\\xC3", K::nameNotUtf8},
        {{ZFCPluginType::effect, "Slash", dir / "slash"}, (dir / "slash/a\\b").string(), K::nameHoldsBackslash},
        {{ZFCPluginType::effect, "Beside", dir / "beside"}, (dir / "beside/x\\y").string(), K::nameHoldsBackslash},
        {{ZFCPluginType::effect, "Empty", dir / "empty"}, (dir / "empty/e\\").string(), K::nameHoldsBackslash},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.named);
        try {
            ZFCPacker::pack({{ZFCPluginType::effect, "Ok", dir / "ok"}, c.item}, dir / "out.zfcp");
            FAIL() << "packed a name it cannot give back";
        } catch (const ZFCPackageError& e) {
            EXPECT_EQ(e.kind(), c.kind);
            EXPECT_FALSE(e.isIoFailure());
            EXPECT_NE(e.errorDescription().find(c.named), std::string::npos) << e.errorDescription();
        }
        EXPECT_EQ(countEntries(dir.path()), before);  // no package, no temporary file
        // One package per item refuses it the same way.
        EXPECT_THROW(ZFCPacker::packEach({c.item}, dir / "each"), ZFCPackageError);
        EXPECT_TRUE(fs::is_empty(dir / "each"));
    }
}

TEST(ZFCPacker, ScanListsPreOrderSortedWithoutFollowingLinksAndKeepsSpecialFilesEmpty)
{
    TempDir dir;
    const fs::path src = dir / "S";
    writeFile(src / "b/z.txt", "z");
    writeFile(src / ".hidden", "h");
    writeFile(src / "a.txt", "aaa");
    fs::create_directories(src / "c/empty");
    fs::create_directory_symlink("b", src / "blink");
    fs::create_symlink("nowhere", src / "dangling");
    ASSERT_EQ(::mkfifo((src / "fifo").c_str(), 0644), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = (src / "sock").string();
    ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
    std::copy(sockPath.begin(), sockPath.end(), addr.sun_path);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    std::vector<std::string> listed;
    for (const auto& s : ZFCPacker::scanTree(src))
        listed.push_back(s.entry.type + " " + s.entry.path + (s.entry.link ? " -> " + *s.entry.link : ""));
    const std::vector<std::string> expected = {
        "file .hidden", "file a.txt", "directory b", "file b/z.txt", "link blink -> b", "directory c",
        "directory c/empty", "link dangling -> nowhere", "file fifo", "file sock"};
    EXPECT_EQ(listed, expected);

    // The FIFO would block a reader forever: it is stored empty without being opened.
    ZFCPacker::pack({{ZFCPluginType::effect, "S", src}}, dir / "s.zfcp");
    ::close(sock);
    const ZFCPackageReader reader(dir / "s.zfcp");
    EXPECT_EQ(findEntry(reader.plugins()[0], "fifo")->stored, 0);
    EXPECT_EQ(findEntry(reader.plugins()[0], "sock")->size, 0);
    EXPECT_EQ(reader.plugins()[0].size, 5);
}

// A package written inside the folder it packs leaves out its own temporary, and only that.
TEST(ZFCPacker, APackageInsideItsFolderHoldsNotItsOwnTemporary)
{
    TempDir dir;
    writeFile(dir / "A/f", "a");
    const std::string alike = ".zfcp-00000000-0000-4000-8000-000000000000.data";
    writeFile(dir / "A" / alike, "the user's");
    ZFCPacker::pack({{ZFCPluginType::effect, "A", dir / "A"}}, dir / "A/a.zfcp");
    const ZFCPackageReader reader(dir / "A/a.zfcp");
    std::vector<std::string> paths;
    for (const ZFCEntry& e : reader.plugins()[0].items)
        paths.push_back(e.path);
    EXPECT_EQ(paths, (std::vector<std::string>{alike, "f"}));
}

TEST(ZFCPacker, FoldersWithoutContentGiveNoChunks)
{
    TempDir dir;
    fs::create_directories(dir / "E/x/y");
    writeFile(dir / "F/empty", "");
    ZFCPacker::pack({{ZFCPluginType::effect, "E", dir / "E"}, {ZFCPluginType::subtitle, "F", dir / "F"},
                     {ZFCPluginType::effect, "G", dir / "F"}},
                    dir / "e.zfcp");
    const ZFCPackageReader reader(dir / "e.zfcp");
    ASSERT_EQ(reader.plugins().size(), 3u);
    for (const ZFCPlugin& p : reader.plugins()) {
        EXPECT_EQ(p.eSize, 0);
        EXPECT_EQ(p.size, 0);
        EXPECT_EQ(p.position, reader.dataOffset());
    }
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(dir / "e.zfcp")), reader.dataOffset());
}

// Each plug-in's stream is cut into 1 MiB pieces of its own, each sealed behind its header.
TEST(ZFCPacker, StreamsAreCutIntoOneMebibytePieces)
{
    TempDir dir;
    std::mt19937_64 rng(7);
    const std::size_t mib = 1024 * 1024;
    const std::vector<std::size_t> lengths = {1, mib, 5 * mib / 2};
    std::string plain;
    std::vector<ZFCPackItem> items;
    for (const std::size_t length : lengths) {
        const std::string name = std::to_string(length);
        writeFile(dir / name / "f", craft::randomBytes(length, rng));
        plain += readFile(dir / name / "f");
        items.push_back({ZFCPluginType::effect, name, dir / name});
    }
    ZFCPacker::pack(items, dir / "p.zfcp", {}, {.compressEnabled = false});
    std::vector<std::size_t> pieces;
    std::string opened;
    for (const std::string& chunk : craft::chunksOf(dir / "p.zfcp")) {
        pieces.push_back(chunk.size());
        opened += chunk;
    }
    EXPECT_EQ(pieces, (std::vector<std::size_t>{1, mib, mib, mib, mib / 2}));
    EXPECT_TRUE(opened == plain);
}

TEST(ZFCPacker, ReportsStagesInOrder)
{
    TempDir dir;
    writeFile(dir / "A/one", std::string(1000, 'a'));
    writeFile(dir / "A/two", "b");
    writeFile(dir / "B/three", "c");
    std::vector<ZFCProgress> reports;
    const auto record = [&](const ZFCProgress& p) { reports.push_back(p); };

    ZFCPacker::pack({}, dir / "none.zfcp", record);
    EXPECT_TRUE(reports.empty());
    EXPECT_FALSE(fs::exists(dir / "none.zfcp"));

    ZFCPacker::pack({{ZFCPluginType::effect, "A", dir / "A"}, {ZFCPluginType::effect, "B", dir / "B"}}, dir / "ab.zfcp", record);
    using S = ZFCProgress::Stage;
    const std::vector<ZFCProgress> expected = {
        {S::scanning, "A", -1.0},  {S::packing, "A", 1000.0 / 1001}, {S::packing, "A", 1.0}, {S::encrypting, "A", 1.0},
        {S::scanning, "B", -1.0},  {S::packing, "B", 1.0},           {S::encrypting, "B", 1.0},
        {S::assembling, "A", 0.5}, {S::assembling, "B", 1.0},        {S::assembling, "", 1.0},
    };
    EXPECT_EQ(reports, expected);
}

TEST(ZFCPacker, PackEachSpreadsFractionsAndNumbersRepeatedNames)
{
    TempDir dir;
    writeFile(dir / "A/f", "a");
    writeFile(dir / "B/f", "bb");
    writeFile(dir / "out/A.zfcp", "an older file");
    std::vector<ZFCProgress> reports;
    ZFCPacker::packEach({{ZFCPluginType::effect, "A", dir / "A"}, {ZFCPluginType::effect, "A", dir / "B"},
                         {ZFCPluginType::effect, "A", dir / "A"}, {ZFCPluginType::effect, "../A", dir / "A"}},
                        dir / "out", [&](const ZFCProgress& p) { reports.push_back(p); });

    const std::vector<std::string> names = {"A.zfcp", "A 2.zfcp", "A 3.zfcp", ".._A.zfcp"};
    EXPECT_EQ(countEntries(dir / "out"), names.size());
    for (const auto& name : names)
        EXPECT_NO_THROW(ZFCPackageReader(dir / "out" / name)) << name;
    EXPECT_EQ(ZFCPackageReader(dir / "out/A 2.zfcp").plugins()[0].size, 2);
    EXPECT_FALSE(fs::exists(dir / "A.zfcp"));

    ASSERT_FALSE(reports.empty());
    double last = 0;
    int scanning = 0;
    for (const ZFCProgress& p : reports) {
        EXPECT_GE(p.fraction, last - 1e-9);
        last = p.fraction;
        if (p.stage == ZFCProgress::Stage::scanning) {
            EXPECT_DOUBLE_EQ(p.fraction, 0.25 * scanning++);
        }
    }
    EXPECT_EQ(reports.back(), (ZFCProgress{ZFCProgress::Stage::assembling, "", 1.0}));

    reports.clear();
    ZFCPacker::packEach({}, dir / "fresh", [&](const ZFCProgress& p) { reports.push_back(p); });
    EXPECT_TRUE(fs::is_directory(dir / "fresh"));
    EXPECT_EQ(reports, (std::vector<ZFCProgress>{{ZFCProgress::Stage::assembling, "", 1.0}}));
}

TEST(ZFCPacker, AFailedPackLeavesNoTemporaryFilesAndKeepsTheOlderPackage)
{
    TempDir dir;
    ScopedTmpDir tmp(dir / "tmp");
    writeFile(dir / "A/big", std::string(3 * 1024 * 1024, 'x'));
    writeFile(dir / "out/backup.zfcp", "older backup");
    try {
        ZFCPacker::pack({{ZFCPluginType::effect, "A", dir / "A"}, {ZFCPluginType::effect, "Gone", dir / "missing"}},
                        dir / "out/backup.zfcp");
        FAIL() << "packed a missing folder";
    } catch (const ZFCPackageError& e) {
        EXPECT_EQ(e.kind(), ZFCPackageError::Kind::sourceDirMissing);
        EXPECT_EQ(e.detail(), (dir / "missing").string());
    }
    EXPECT_EQ(readFile(dir / "out/backup.zfcp"), "older backup");
    EXPECT_EQ(countEntries(dir / "out"), 1u);
    EXPECT_EQ(countEntries(dir / "tmp"), 0u);

    // A destination that cannot be replaced: the error passes through, nothing is left.
    fs::create_directories(dir / "out/folder.zfcp/inside");
    EXPECT_THROW(ZFCPacker::pack({{ZFCPluginType::effect, "A", dir / "A"}}, dir / "out/folder.zfcp"), fs::filesystem_error);
    EXPECT_EQ(countEntries(dir / "out"), 2u);
    EXPECT_EQ(countEntries(dir / "tmp"), 0u);

    try {
        ZFCPacker::pack({{ZFCPluginType::effect, "A", dir / "A"}}, dir / "no-such-folder/x.zfcp");
        FAIL() << "packed into a missing folder";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.path1(), dir / "no-such-folder/x.zfcp");
    }
    EXPECT_EQ(countEntries(dir / "tmp"), 0u);

    ZFCPacker::pack({{ZFCPluginType::effect, "A", dir / "A"}}, dir / "out/backup.zfcp");
    EXPECT_EQ(ZFCPackageReader(dir / "out/backup.zfcp").plugins().size(), 1u);
    EXPECT_EQ(countEntries(dir / "tmp"), 0u);
}

// A progress callback that fails (its text finds no memory) fails the pack while the package
// is being made, leaving the older one; once the package stands in place, it does not: the
// call returns and the new package is there. The same for each package of packEach.
TEST(ZFCPacker, AProgressReportThatFailsAfterThePackageStandsIsNoFailure)
{
    TempDir dir;
    writeFile(dir / "A/f", "new");
    writeFile(dir / "out/backup.zfcp", "older backup");
    const std::vector<ZFCPackItem> items{{ZFCPluginType::effect, "A", dir / "A"}};
    const auto failingAt = [](ZFCProgress::Stage stage, const std::string& subject) {
        return [stage, subject](const ZFCProgress& p) {
            if (p.stage == stage && p.subject == subject)
                throw std::bad_alloc();
        };
    };
    EXPECT_THROW(ZFCPacker::pack(items, dir / "out/backup.zfcp", failingAt(ZFCProgress::Stage::assembling, "A")),
                 std::bad_alloc);
    EXPECT_EQ(readFile(dir / "out/backup.zfcp"), "older backup");
    EXPECT_EQ(countEntries(dir / "out"), 1u);

    EXPECT_NO_THROW(ZFCPacker::pack(items, dir / "out/backup.zfcp", failingAt(ZFCProgress::Stage::assembling, "")));
    ASSERT_EQ(ZFCPackageReader(dir / "out/backup.zfcp").plugins().size(), 1u);
    EXPECT_EQ(countEntries(dir / "out"), 1u);

    EXPECT_NO_THROW(ZFCPacker::packEach({items[0], items[0]}, dir / "each", failingAt(ZFCProgress::Stage::assembling, "")));
    EXPECT_NO_THROW(ZFCPackageReader(dir / "each/A.zfcp"));
    EXPECT_NO_THROW(ZFCPackageReader(dir / "each/A 2.zfcp"));
    EXPECT_EQ(countEntries(dir / "each"), 2u);
}

TEST(ZFCPacker, LargeCompressedFilesReportEvery16MiB)
{
    TempDir dir;
    const std::size_t mib = 1024 * 1024;
    writeFile(dir / "Z/zeros", std::string(40 * mib, '\0'));
    writeFile(dir / "Z/zz-tail", "t");
    std::vector<double> packing;
    ZFCPacker::pack({{ZFCPluginType::effect, "Z", dir / "Z"}}, dir / "z.zfcp", [&](const ZFCProgress& p) {
        if (p.stage == ZFCProgress::Stage::packing)
            packing.push_back(p.fraction);
    });
    const double total = 40.0 * mib + 1;
    const std::vector<double> expected = {16 * mib / total, 32 * mib / total, 40 * mib / total, 1.0};
    ASSERT_EQ(packing.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_DOUBLE_EQ(packing[i], expected[i]) << i;
    const ZFCPackageReader reader(dir / "z.zfcp");
    EXPECT_LT(reader.plugins()[0].eSize, 200000);
}
