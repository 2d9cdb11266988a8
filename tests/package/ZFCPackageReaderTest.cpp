#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCFolderStack.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "support/kit/PackageCraft.h"
#include "support/kit/PackageOutcome.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using Kind = ZFCPackageError::Kind;

std::string onePlugin(const json& items, const std::string& stream, std::size_t piece = 1024 * 1024)
{
    return craft::onePlugin(items.dump(), stream, piece);
}

json file(const std::string& path, int64_t position, int64_t stored)
{
    return {{"type", "file"}, {"path", path}, {"size", stored}, {"position", position}, {"stored", stored}};
}

json linkEntry(const std::string& path, const std::string& target) { return {{"type", "link"}, {"path", path}, {"link", target}}; }

const Outcome kOk;

// How an extraction of the only plug-in ends.
Outcome extractError(const fs::path& package, const fs::path& root, bool overwrite = true)
{
    return outcomeOf([&] {
        ZFCPackageReader reader(package);
        reader.extract(reader.plugins().at(0), root, std::nullopt, overwrite);
    });
}

Outcome openError(const std::string& bytes, const fs::path& path)
{
    if (!bytes.empty())
        writeFile(path, bytes);
    return outcomeOf([&] { ZFCPackageReader reader(path); });
}

const Outcome kTooSmall{Kind::fileTooSmall};
const Outcome kCorrupted{Kind::metadataCorrupted};
// Damaged data in plug-in "P", named by the file it was found in.
Outcome damagedIn(const std::string& file, Kind kind = Kind::streamTruncated) { return {kind, "插件「P」的文件「" + file + "」"}; }

// In a child: the address space from now on is what is mapped plus `room` bytes; the child
// ends with status 3 when it cannot be limited.
void limitAddressSpace(rlim_t room)
{
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + room;
    const rlimit rl{limit, limit};
    if (::setrlimit(RLIMIT_AS, &rl) != 0)
        std::_Exit(3);
}

// A plug-in folder with every kind of entry the format carries.
void makeTree(const fs::path& root, std::mt19937_64& rng)
{
    writeFile(root / "Media/clip.mov", craft::randomBytes(5 * 512 * 1024, rng));
    writeFile(root / "Media/empty.png", "");
    writeFile(root / "Title.moti", craft::compressibleText(200000, rng));
    writeFile(root / "Deep/er/still/small.txt", "tiny");
    writeFile(root / "Deep/er/zero", "");
    writeFile(root / "z-last-empty", "");
    fs::create_directories(root / "Empty/Folder");
    fs::create_symlink("Media/clip.mov", root / "current.mov");
    fs::create_symlink("../Media", root / "Deep/media");
    fs::create_directory_symlink("Deep/er", root / "er");
}

} // namespace

TEST(ZFCPackageReader, RoundTripsGeneratedTrees)
{
    const auto seed = std::random_device{}();
    std::cout << "round-trip seed " << seed << std::endl;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    TempDir dir;
    makeTree(dir / "src/Alpha", rng);
    writeFile(dir / "src/Beta/only", craft::compressibleText(1 + rng() % 3000000, rng));
    writeFile(dir / "src/Gamma/a", "");
    writeFile(dir / "src/Gamma/b", "");
    ZFCPacker::pack({{ZFCPluginType::effect, "Alpha", dir / "src/Alpha"},
                     {ZFCPluginType::transitions, "Beta", dir / "src/Beta"},
                     {ZFCPluginType::subtitle, "Gamma", dir / "src/Gamma"}},
                    dir / "lib.zfcp");

    ZFCPackageReader reader(dir / "lib.zfcp");
    reader.extractAll(dir / "out");
    for (const auto& [name, category] : {std::pair{"Alpha", "Effects.localized"}, {"Beta", "Transitions.localized"},
                                         {"Gamma", "Titles.localized"}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(craft::describeDifference(craft::snapshot(dir / "src" / name), craft::snapshot(dir / "out" / category / name)),
                  "");
    }
    // The same reader extracts again, under another name, in any order.
    reader.extract(reader.plugins()[0], dir / "again", std::string("  Renamed "));
    EXPECT_EQ(craft::describeDifference(craft::snapshot(dir / "src/Alpha"), craft::snapshot(dir / "again/Renamed")), "");
    EXPECT_EQ(ZFCPackageReader::readPlugins(dir / "lib.zfcp"), reader.plugins());
}

TEST(ZFCPackageReader, HeaderAndMetadataAreCheckedBeforeUse)
{
    TempDir dir;
    const std::string sealedEmpty = craft::seal("[]");
    struct Case {
        const char* name;
        std::string bytes;
        Outcome error;
    };
    const std::vector<Case> cases = {
        {"7 bytes", std::string(7, '\0'), kTooSmall},
        {"8 zero bytes", std::string(8, '\0'), kCorrupted},
        {"M = -1", std::string("\xFF\xFF\xFF\xFF\0\0\0\0", 8) + sealedEmpty, kCorrupted},
        {"M beyond the file", craft::lengthHeader(0x7FFFFFFF) + sealedEmpty, kCorrupted},
        {"M one past the file", craft::lengthHeader(sealedEmpty.size() + 1) + sealedEmpty, kCorrupted},
        {"sealed block of 16", craft::lengthHeader(16) + std::string(16, 'x'), kCorrupted},
        {"not JSON", craft::package("{{{", ""), kCorrupted},
        {"an object", craft::package(R"({"name":"A"})", ""), kCorrupted},
        {"negative eSize", craft::package(R"([{"name":"A","type":"effect","items":[],"size":0,"eSize":-1,"position":0}])", ""),
         kCorrupted},
        {"negative position",
         craft::package(R"([{"name":"A","type":"effect","items":[],"size":0,"eSize":0,"position":-8}])", ""), kCorrupted},
        {"overflowing end",
         craft::package(R"([{"name":"A","type":"effect","items":[],"size":0,"eSize":9223372036854775000,"position":9000}])",
                        ""),
         kCorrupted},
        {"negative stored",
         craft::package(
             R"([{"name":"A","type":"effect","items":[{"type":"file","path":"f","stored":-5}],"size":0,"eSize":0,"position":0}])",
             ""),
         kCorrupted},
        {"deeply nested", craft::package(std::string(200000, '[') + std::string(200000, ']'), ""), kCorrupted},
        // 32 levels at most, the list and the record included: 30 under a key is the deepest.
        {"an unknown key nested 31 deep",
         craft::package(R"([{"name":"A","type":"effect","items":[],"size":0,"eSize":0,"position":0,"x":)" +
                            std::string(31, '[') + std::string(31, ']') + "}]",
                        ""),
         kCorrupted},
        {"an unknown key nested 30 deep is ignored",
         craft::package(R"([{"name":"A","type":"effect","items":[],"size":0,"eSize":0,"position":0,"x":)" +
                            std::string(30, '[') + std::string(30, ']') + "}]",
                        ""),
         kOk},
        {"a name of 70 KB", craft::package(R"([{"name":")" + std::string(70000, 'n') + R"(","type":"effect","items":[],"size":0,"eSize":0,"position":0}])", ""), kCorrupted},
        {"a number of 300 digits", craft::package(R"([{"name":"A","type":"effect","items":[],"size":0,"eSize":0,"position":0,"x":)" + std::string(300, '7') + "}]", ""), kCorrupted},
        {"more than a million entries", [] {
             std::string items;
             for (int i = 0; i <= 1000000; ++i)
                 items += R"({"type":"x","path":"p"},)";
             items.pop_back();
             return craft::package(R"([{"name":"A","type":"effect","items":[)" + items + R"(],"size":0,"eSize":0,"position":0}])", "");
         }(), kCorrupted},
        {"empty array", craft::package("[]", ""), kOk},
        {"high header bytes ignored", [&] {
             std::string p = craft::package("[]", "");
             p[4] = '\x01';
             p[7] = '\xFF';
             return p;
         }(), kOk},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(openError(c.bytes, dir / "p.zfcp"), c.error);
    }
    writeFile(dir / "p.zfcp", craft::package("[]", ""));
    EXPECT_TRUE(ZFCPackageReader(dir / "p.zfcp").plugins().empty());
    EXPECT_THROW(ZFCPackageReader(dir / "absent.zfcp"), fs::filesystem_error);
    // A FIFO named like a package must not hang the caller.
    ASSERT_EQ(::mkfifo((dir / "fifo.zfcp").c_str(), 0644), 0);
    try {
        ZFCPackageReader reader(dir / "fifo.zfcp");
        FAIL() << "a FIFO opened as a package";
    } catch (const ZFCPackageError& e) {
        EXPECT_EQ(e.kind(), Kind::fileTooSmall);
    }
}

// The length in the header is checked against the file, and the metadata is parsed as it is
// read, so that no allocation follows a hostile length: run under an address-space limit.
TEST(ZFCPackageReader, MetadataLengthIsNeverAllocatedAtOnce)
{
    if (kUnderShadowMemorySanitizer)
        GTEST_SKIP() << "an address-space limit and the sanitizer's shadow memory do not mix";
    TempDir dir;
    writeFile(dir / "beyond.zfcp", craft::lengthHeader(0x7FFFFFF0) + craft::seal("[]"));
    // 1.5 GB of metadata that is really there (a sparse file): read piece by piece.
    writeFile(dir / "huge.zfcp", craft::lengthHeader(1500000000) + craft::seal("[" + std::string(4096, ' ')));
    fs::resize_file(dir / "huge.zfcp", 1500000008);
    const auto child = [&] {
            limitAddressSpace(256u << 20);
            const bool refused = openError({}, dir / "beyond.zfcp") == kCorrupted &&
                                 outcomeOf([&] { ZFCPackageReader r(dir / "huge.zfcp"); }) == kCorrupted;
            std::_Exit(refused ? 0 : 1);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

// Memory that runs out while the metadata is parsed is told as that, not as a damaged
// package: thrown by a caller's callback, or met by the reader's own records under an
// address-space limit. Text that is not metadata stays damaged.
TEST(ZFCPackageReader, MemoryRunningOutWhileDecodingIsNotDamage)
{
    TempDir dir;
    writeFile(dir / "p.zfcp", craft::package(R"([{"name":"A","type":"effect","items":[{"type":"directory","path":"d"}],"size":0,"eSize":0,"position":0}])", ""));
    const auto none = [](const auto&) {};
    EXPECT_THROW(ZFCPackageReader::visitMetadata(dir / "p.zfcp", [](const ZFCEntry&) { throw std::bad_alloc(); }, none),
                 std::bad_alloc);
    EXPECT_THROW(ZFCPackageReader::visitMetadata(dir / "p.zfcp", none, [](const ZFCPlugin&) { throw std::bad_alloc(); }),
                 std::bad_alloc);
    EXPECT_THROW(ZFCPackageReader::visitMetadata(dir / "p.zfcp", none, [](const ZFCPlugin&) { throw std::length_error("x"); }),
                 std::length_error);
    EXPECT_EQ(outcomeOf([&] { ZFCPackageReader::visitMetadata(dir / "p.zfcp", none, none); }), kOk);
    EXPECT_EQ(openError(craft::package(R"([{"name":"A",)", ""), dir / "cut.zfcp"), kCorrupted);
    EXPECT_EQ(openError(craft::package(R"([{"name":"A","type":"effect","items":[],"size":0,"eSize":0,"position":0,"x":1e999}])", ""),
                        dir / "big.zfcp"),
              kCorrupted);

    if (kUnderShadowMemorySanitizer)
        GTEST_SKIP() << "an address-space limit and the sanitizer's shadow memory do not mix";
    // 900,000 entries: kept, they take far more than the limit leaves.
    std::string items;
    for (int i = 0; i < 900000; ++i)
        items += (i ? R"(,{"type":"directory","path":"folder number )" : R"({"type":"directory","path":"folder number )") +
                 std::to_string(i) + R"("})";
    writeFile(dir / "many.zfcp", craft::package(R"([{"name":"A","type":"effect","items":[)" + items + R"(],"size":0,"eSize":0,"position":0}])", ""));
    items = {};
    const auto child = [&] {
        limitAddressSpace(48u << 20);
        try {
            ZFCPackageReader reader(dir / "many.zfcp");
            std::_Exit(4);
        } catch (const std::bad_alloc&) {
            std::_Exit(0);
        } catch (...) {
            std::_Exit(1);
        }
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

TEST(ZFCPackageReader, FolderNameRules)
{
    TempDir dir;
    writeFile(dir / "P/f", "x");
    ZFCPacker::pack({{ZFCPluginType::effect, "Stored", dir / "P"}}, dir / "p.zfcp");
    ZFCPackageReader reader(dir / "p.zfcp");
    const ZFCPlugin& plugin = reader.plugins()[0];

    reader.extract(plugin, dir / "a", std::string("   "));
    EXPECT_TRUE(fs::exists(dir / "a/Stored/f"));
    reader.extract(plugin, dir / "b", std::string(" B \n"));
    EXPECT_TRUE(fs::exists(dir / "b/B/f"));

    ZFCPlugin renamed = plugin;
    renamed.name = "../x";
    reader.extract(renamed, dir / "c");
    EXPECT_TRUE(fs::exists(dir / "c/.._x/f"));
    EXPECT_EQ(ZFCPackageReader::safeName(std::string("a/b\\c\0d", 7)), "a_b_cd");
    EXPECT_EQ(ZFCPackageReader::safeName("\xE3\x80\x80名\xE3\x80\x80"), "名");  // ideographic spaces
    for (const char* bad : {".", "..", " .. ", ""}) {
        SCOPED_TRACE(bad);
        renamed.name = bad;
        try {
            reader.extract(renamed, dir / "d");
            FAIL() << "extracted under an unusable name";
        } catch (const ZFCPackageError& e) {
            EXPECT_EQ(e.kind(), ZFCPackageError::Kind::metadataCorrupted);
        }
    }
    EXPECT_FALSE(fs::exists(dir / "d"));
}

TEST(ZFCPackageReader, ExistingFolderIsKeptOrReplaced)
{
    TempDir dir;
    writeFile(dir / "P/new", "new");
    writeFile(dir / "root/P/old", "old");
    ZFCPacker::pack({{ZFCPluginType::effect, "P", dir / "P"}}, dir / "p.zfcp");
    ZFCPackageReader reader(dir / "p.zfcp");
    int reports = 0;
    reader.extract(reader.plugins()[0], dir / "root", std::nullopt, false, [&](const ZFCProgress&) { ++reports; });
    EXPECT_EQ(reports, 0);
    EXPECT_TRUE(fs::exists(dir / "root/P/old"));
    EXPECT_FALSE(fs::exists(dir / "root/P/new"));
    reader.extract(reader.plugins()[0], dir / "root", std::nullopt, true, [&](const ZFCProgress&) { ++reports; });
    EXPECT_FALSE(fs::exists(dir / "root/P/old"));
    EXPECT_EQ(readFile(dir / "root/P/new"), "new");
    EXPECT_EQ(reports, 2);
}

// Each rule as a pair: what a real plug-in needs works, the attack is refused, and nothing
// appears outside the destination.
TEST(ZFCPackageReader, StoredPathsStayInsideTheDestination)
{
    struct Case {
        const char* name;
        json items;
        std::string stream;
        Outcome error;
        std::vector<std::string> created;
    };
    const std::vector<Case> cases = {
        {"backslash taken as a separator", json::array({file("a\\b.txt", 0, 2)}), "hi", kOk, {"a/b.txt"}},
        {"doubled slashes", json::array({file("a//b", 0, 2)}), "hi", kOk, {"a/b"}},
        {"parent component", json::array({file("a/../b", 0, 2)}), "hi", Outcome{Kind::pathInvalid, "a/../b"}, {}},
        {"parent via backslash", json::array({file("..\\..\\x", 0, 2)}), "hi", Outcome{Kind::pathInvalid, "..\\..\\x"}, {}},
        {"absolute", json::array({file("/etc/x", 0, 2)}), "hi", Outcome{Kind::pathInvalid, "/etc/x"}, {}},
        {"empty", json::array({file("", 0, 2)}), "hi", Outcome{Kind::pathInvalid, ""}, {}},
        {"dot folder", json::array({{{"type", "directory"}, {"path", "./x"}}}), "", Outcome{Kind::pathInvalid, "./x"}, {}},
        {"NUL", json::array({file(std::string("a\0b", 3), 0, 2)}), "hi", Outcome{Kind::pathInvalid, std::string("a\0b", 3)}, {}},
        {"link's own path climbing", json::array({linkEntry("../l", "x")}), "", Outcome{Kind::pathInvalid, "../l"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "p.zfcp", onePlugin(c.items, c.stream));
        fs::create_directories(dir / "root");
        EXPECT_EQ(extractError(dir / "p.zfcp", dir / "root"), c.error);
        for (const auto& path : c.created)
            EXPECT_TRUE(fs::exists(dir / "root/P" / path)) << path;
        const auto after = craft::snapshot(dir.path());
        for (const auto& [path, node] : after) {
            EXPECT_TRUE(path == "p.zfcp" || path == "root" || path.rfind("root/P", 0) == 0) << "outside: " << path;
        }
    }
}

TEST(ZFCPackageReader, LinksThatClimbOutAreNotCreated)
{
    struct Case {
        const char* name;
        json items;
        Outcome error;
        std::map<std::string, std::string> links;  // created link -> target
    };
    const auto dirEntry = [](const std::string& p) { return json{{"type", "directory"}, {"path", p}}; };
    const std::vector<Case> cases = {
        {"sibling file", json::array({linkEntry("current", "Media/a.png")}), kOk, {{"current", "Media/a.png"}}},
        {"up then down inside", json::array({dirEntry("sub"), linkEntry("sub/m", "../Media")}), kOk, {{"sub/m", "../Media"}}},
        {"dot target", json::array({linkEntry("self", ".")}), kOk, {{"self", "."}}},
        {"climbs out", json::array({linkEntry("l", "../../outside")}), kOk, {}},
        {"absolute", json::array({linkEntry("l", "/etc/passwd")}), kOk, {}},
        {"home", json::array({linkEntry("l", "~/secret")}), kOk, {}},
        {"empty", json::array({linkEntry("l", "")}), kOk, {}},
        {"no target", json::array({json{{"type", "link"}, {"path", "l"}}}), kOk, {}},
        {"climb after a name", json::array({linkEntry("a", "."), linkEntry("l", "a/../../x")}), kOk, {{"a", "."}}},
        // An entry below a link of the package's own is refused before anything is written.
        {"chain through a link", json::array({linkEntry("a", "."), linkEntry("a/l", "../outside")}), kCorrupted, {}},
        {"folder through a link", json::array({linkEntry("a", "."), linkEntry("a/b/l", "x")}), kCorrupted, {}},
        {"link replaces a folder, then a link below it",
         json::array({dirEntry("d/e"), linkEntry("d", "."), linkEntry("d/l", "../x")}), kCorrupted, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "p.zfcp", onePlugin(c.items, ""));
        fs::create_directories(dir / "root");
        EXPECT_EQ(extractError(dir / "p.zfcp", dir / "root"), c.error);
        for (const auto& [path, node] : craft::snapshot(dir.path())) {
            if (path == "p.zfcp" || path == "root" || path == "root/P")
                continue;
            ASSERT_EQ(path.rfind("root/P/", 0), 0u) << "outside: " << path;
            const std::string inside = path.substr(7);
            if (node.kind == 'l') {
                ASSERT_TRUE(c.links.count(inside)) << "unexpected link " << inside;
                EXPECT_EQ(node.data, c.links.at(inside));
            }
        }
        for (const auto& [path, target] : c.links)
            EXPECT_TRUE(fs::is_symlink(dir / "root/P" / path)) << path;
    }
}

// Someone who can write in the destination plants a link while the files are written: in
// place of a folder still to be entered, or of the folder being filled. Neither is followed.
// Workers make whole files ahead of the writer, so a file of a later folder may already stand
// in the real folder when the link comes: then it is there, moved with its folder.
// The folder and the link trade places in one step: a worker making a missing folder afresh
// between a rename and the link's creation would take the link's name.
static void plantLink(const fs::path& target, const fs::path& folder, const fs::path& movedTo)
{
    fs::create_directory_symlink(target, movedTo);
#if defined(__linux__) && defined(RENAME_EXCHANGE)
    if (::renameat2(AT_FDCWD, movedTo.c_str(), AT_FDCWD, folder.c_str(), RENAME_EXCHANGE) != 0)
        throw fs::filesystem_error("cannot exchange", movedTo, folder, std::error_code(errno, std::generic_category()));
#elif defined(__APPLE__)
    if (::renamex_np(movedTo.c_str(), folder.c_str(), RENAME_SWAP) != 0)
        throw fs::filesystem_error("cannot exchange", movedTo, folder, std::error_code(errno, std::generic_category()));
#else
    fs::remove(movedTo);
    fs::rename(folder, movedTo);
    fs::create_directory_symlink(target, folder);
#endif
}

TEST(ZFCPackageReader, LinksPlantedDuringExtractionAreNeverFollowed)
{
    const auto dirEntry = [](const std::string& p) { return json{{"type", "directory"}, {"path", p}}; };
    const json items = json::array({dirEntry("a"), dirEntry("b"), file("a/f", 0, 2), file("a/h", 2, 2), file("b/g", 4, 2)});
    struct Case {
        const char* name;
        std::string replaced;  // the folder whose name becomes a link to "outside"
        Outcome error;
        std::map<std::string, std::string> files;  // below the destination's parent
        std::string madeAhead;  // where the file stands when it was made before the link came
    };
    const std::vector<Case> cases = {
        {"a folder still to be entered", "b", Outcome{Kind::pathEscapes, "b/g"}, {{"P/a/f", "ff"}, {"P/a/h", "hh"}}, "moved/g"},
        {"the folder being filled", "a", kOk, {{"moved/f", "ff"}, {"moved/h", "hh"}, {"P/b/g", "gg"}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        // Two bytes a chunk: a report comes after each, before the next file is made.
        writeFile(dir / "p.zfcp", onePlugin(items, "ffhhgg", 2));
        fs::create_directories(dir / "outside");
        int reports = 0;
        const Outcome outcome = outcomeOf([&] {
            ZFCPackageReader reader(dir / "p.zfcp");
            reader.extract(reader.plugins().at(0), dir / "root", std::nullopt, true, [&](const ZFCProgress&) {
                if (++reports != 1)
                    return;
                plantLink(dir / "outside", dir / "root/P" / c.replaced, dir / "root/moved");
            });
        });
        if (!c.madeAhead.empty() && outcome == kOk) {
            EXPECT_EQ(readFile(dir / "root" / c.madeAhead), "gg");
        } else {
            EXPECT_EQ(outcome, c.error);
        }
        EXPECT_TRUE(fs::is_empty(dir / "outside"));
        for (const auto& [path, content] : c.files)
            EXPECT_EQ(readFile(dir / "root" / path), content) << path;
    }
}

TEST(ZFCPackageReader, SafeLinkTargetResolvesAgainstTheLinkFolder)
{
    const fs::path root = "/lib/P";
    EXPECT_EQ(ZFCPackageReader::safeLinkTarget("../x", root / "a/l", root), "../x");
    EXPECT_FALSE(ZFCPackageReader::safeLinkTarget("../x", root / "l", root));
    EXPECT_EQ(ZFCPackageReader::safeLinkTarget(std::string("a\0b", 3), root / "l", root), "ab");
    EXPECT_FALSE(ZFCPackageReader::safeLinkTarget("a/../b", root / "l", root));
    EXPECT_EQ(ZFCPackageReader::safeChild(root, "a\\b"), root / "a/b");
    EXPECT_THROW(ZFCPackageReader::safeChild(root, "a/./b"), ZFCPackageError);
}

TEST(ZFCPackageReader, FilesTakeTheirBytesInPositionOrder)
{
    TempDir dir;
    // Sorted by position (absent counts 0), equal positions keep their listed order.
    const json items = json::array({file("late", 3, 2), json{{"type", "file"}, {"path", "nopos"}, {"stored", 3}},
                                     file("empty-first", 0, 0), json{{"type", "weird"}, {"path", "ignored"}},
                                     {{"type", "directory"}, {"path", "dir/sub"}}, file("five", 5, 1), file("six", 6, 1),
                                     file("dir/f", 7, 1)});
    writeFile(dir / "p.zfcp", onePlugin(items, "xyzAB12D"));
    EXPECT_EQ(extractError(dir / "p.zfcp", dir / "root"), kOk);
    EXPECT_EQ(readFile(dir / "root/P/nopos"), "xyz");
    EXPECT_EQ(readFile(dir / "root/P/late"), "AB");
    EXPECT_EQ(readFile(dir / "root/P/five"), "1");
    EXPECT_EQ(readFile(dir / "root/P/six"), "2");
    EXPECT_EQ(readFile(dir / "root/P/dir/f"), "D");
    EXPECT_TRUE(fs::exists(dir / "root/P/empty-first"));
    EXPECT_FALSE(fs::exists(dir / "root/P/ignored"));
}

// The writer lists every path once: a plug-in that lists one twice, as extraction would
// read it, is refused when the package is opened. Another plug-in may use the same paths.
TEST(ZFCPackageReader, CollidingPathsAreDamagedMetadata)
{
    TempDir dir;
    const json folder = {{"type", "directory"}, {"path", "a/b"}};
    const auto named = [](const char* path) { return json{{"type", "directory"}, {"path", path}}; };
    const std::vector<std::tuple<std::string, json, Outcome>> cases = {
        {"a file twice", json::array({file("f", 0, 1), file("g", 1, 1), file("f", 2, 1)}), kCorrupted},
        {"a folder and a file", json::array({folder, file("a/b", 0, 3)}), kCorrupted},
        {"a link twice", json::array({linkEntry("l", "x"), linkEntry("l", "y")}), kCorrupted},
        {"a backslash", json::array({folder, named("a\\b")}), kCorrupted},
        {"empty components", json::array({folder, named("a//b/")}), kCorrupted},
        {"a file where a folder must be", json::array({folder, file("a/b/c", 0, 2), file("a", 2, 1)}), kCorrupted},
        {"a link where a folder must be", json::array({file("d/x", 0, 3), linkEntry("d", "e")}), kCorrupted},
        {"a file above a file", json::array({file("a", 0, 1), file("a/b", 1, 2)}), kCorrupted},
        {"different paths", json::array({folder, named("a/b/c"), named("a/B"), named("a/b c"), named("b")}), kOk},
        {"a file beside a folder of a longer name",
         json::array({file("a", 0, 1), named("a b/c"), named("a.x/c"), file("a-b/c", 1, 2)}), kOk},
    };
    for (const auto& [name, items, outcome] : cases)
        EXPECT_EQ(openError(onePlugin(items, "abc"), dir / "p.zfcp"), outcome) << name;

    json two = json::parse(craft::metadataOf(dir / "p.zfcp"));
    two.push_back(two[0]);
    two[1]["name"] = "Q";
    writeFile(dir / "two.zfcp", craft::package(two.dump(), std::string(std::size_t(two[0]["eSize"].get<int64_t>()), '\0')));
    EXPECT_EQ(ZFCPackageReader::readPlugins(dir / "two.zfcp").size(), 2u);
}

TEST(ZFCPackageReader, StreamLongerOrShorterThanTheFilesFails)
{
    TempDir dir;
    struct Case {
        const char* name;
        json items;
        std::string stream;
        std::size_t piece;
        Outcome error;
        std::vector<std::pair<std::string, std::string>> files;  // written before the failure
    };
    const std::vector<Case> cases = {
        {"one byte too many", json::array({file("a", 0, 2), file("b", 2, 1)}), "abcX", 1 << 20,
         Outcome{Kind::plaintextOverrun}, {{"a", "ab"}, {"b", "c"}}},
        {"ends inside a file", json::array({file("a", 0, 5)}), "abc", 1 << 20, damagedIn("a"), {{"a", "abc"}}},
        {"never reaches a file", json::array({file("a", 0, 3), file("b", 3, 4)}), "abc", 1 << 20, damagedIn("b"),
         {{"a", "abc"}}},
        {"empty files after the last byte are made", json::array({file("a", 0, 3), file("b", 3, 0), file("c", 3, 0)}), "abc",
         1 << 20, kOk, {{"a", "abc"}, {"b", ""}, {"c", ""}}},
        {"empty stream", json::array({file("a", 0, 0)}), "", 1 << 20, kOk, {{"a", ""}}},
        {"file across chunks", json::array({file("a", 0, 4), file("b", 4, 3)}), "abcdefg", 3, kOk, {{"a", "abcd"}, {"b", "efg"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path root = dir / c.name;
        writeFile(dir / "p.zfcp", onePlugin(c.items, c.stream, c.piece));
        EXPECT_EQ(extractError(dir / "p.zfcp", root), c.error);
        for (const auto& [path, content] : c.files)
            EXPECT_EQ(readFile(root / "P" / path), content) << path;
    }
}

TEST(ZFCPackageReader, CompressedFileMustInflateToItsSize)
{
    TempDir dir;
    std::mt19937_64 rng(9);
    writeFile(dir / "P/t.xml", craft::compressibleText(100000, rng));
    ZFCPacker::pack({{ZFCPluginType::effect, "P", dir / "P"}}, dir / "full.zfcp");
    const ZFCPlugin meta = ZFCPackageReader(dir / "full.zfcp").plugins()[0];
    const ZFCEntry& e = meta.items[0];
    ASSERT_TRUE(e.isCompressed());

    // The same deflate bytes, minus the last few, declared as the whole file.
    ZFCPackageReader full(dir / "full.zfcp");
    std::string stream;
    {
        const std::string bytes = readFile(dir / "full.zfcp");
        const std::string data = bytes.substr(static_cast<std::size_t>(full.dataOffset()));
        const auto plain = ZFCPackageReader::decryptBuffer(
            {reinterpret_cast<const uint8_t*>(data.data()) + 8, data.size() - 8});
        stream.assign(plain.begin(), plain.end());
    }
    stream.resize(stream.size() - 4);
    json cut = file("t.xml", 0, static_cast<int64_t>(stream.size()));
    cut["cm"] = "zlib";
    cut["size"] = 100000;
    writeFile(dir / "cut.zfcp", onePlugin(json::array({cut}), stream));
    EXPECT_EQ(extractError(dir / "cut.zfcp", dir / "root"), damagedIn("t.xml"));

    // A whole stream that inflates short of its size, inflated ahead by a worker or (past
    // 4 MiB) by the writer; a compressed file without a size has nothing to bound it.
    writeFile(dir / "P/u.xml", craft::compressibleText(5 << 20, rng));
    ZFCPacker::pack({{ZFCPluginType::effect, "P", dir / "P"}}, dir / "two.zfcp");
    for (const std::string name : {"t.xml", "u.xml"}) {
        for (const bool sized : {true, false}) {
            fs::copy_file(dir / "two.zfcp", dir / "bad.zfcp", fs::copy_options::overwrite_existing);
            craft::rewriteMetadata(dir / "bad.zfcp", [&](const std::string& text) {
                json meta = json::parse(text);
                for (json& item : meta[0]["items"]) {
                    if (item["path"] == name && sized)
                        item["size"] = item["size"].get<int64_t>() + 1;
                    else if (item["path"] == name)
                        item.erase("size");
                }
                return meta.dump();
            });
            EXPECT_EQ(extractError(dir / "bad.zfcp", dir / "root"), sized ? damagedIn(name) : kCorrupted) << name;
        }
    }
    // Data zlib refuses names its file too.
    std::string flipped = stream;
    for (std::size_t i = 2; i < flipped.size(); ++i)
        flipped[i] = char(~flipped[i]);
    json bad = file("t.xml", 0, static_cast<int64_t>(flipped.size()));
    bad["cm"] = "zlib";
    bad["size"] = 100000;
    writeFile(dir / "garbage.zfcp", onePlugin(json::array({bad}), flipped));
    try {
        ZFCPackageReader reader(dir / "garbage.zfcp");
        reader.extract(reader.plugins().at(0), dir / "root", std::nullopt, true);
        ADD_FAILURE() << "garbage deflate data extracted";
    } catch (const ZFCPackageError& e) {
        EXPECT_EQ(e.kind(), Kind::inflateFailed);
        EXPECT_NE(std::string(e.what()).find("（插件「P」的文件「t.xml」）"), std::string::npos) << e.what();
    }
}

// A raw file is its stored bytes: a size that says otherwise is damage, refused before the
// plug-in's folder is touched. A "cm" that is "zlib" in other letters means raw.
TEST(ZFCPackageReader, RawFileSizeMustBeItsStoredCount)
{
    TempDir dir;
    std::mt19937_64 rng(17);
    writeFile(dir / "P/s37.txt", craft::compressibleText(6850, rng));
    ZFCPacker::pack({{ZFCPluginType::effect, "P", dir / "P"}}, dir / "full.zfcp");
    writeFile(dir / "root/P/kept", "old");
    // One flipped byte in the key or the value makes the deflated file raw.
    for (const std::string flip : {"\"Vm\":\"zlib\"", "\"cm\":\"Zlib\""}) {
        fs::copy_file(dir / "full.zfcp", dir / "bad.zfcp", fs::copy_options::overwrite_existing);
        craft::rewriteMetadata(dir / "bad.zfcp", [&](std::string text) {
            const std::size_t at = text.find("\"cm\":\"zlib\"");
            return at == std::string::npos ? text : text.replace(at, flip.size(), flip);
        });
        EXPECT_EQ(extractError(dir / "bad.zfcp", dir / "root"), damagedIn("s37.txt")) << flip;
        EXPECT_EQ(readFile(dir / "root/P/kept"), "old") << flip;
    }

    const auto raw = [](const std::string& path, int64_t position, int64_t stored, int64_t size) {
        json entry = file(path, position, stored);
        entry["size"] = size;
        return entry;
    };
    json upper = file("b", 3, 2);
    upper["cm"] = "ZLIB";
    const std::vector<std::tuple<std::string, json, Outcome>> cases = {
        {"size below the stored bytes", json::array({raw("a", 0, 3, 2), file("b", 3, 2)}), damagedIn("a", Kind::plaintextOverrun)},
        {"size above the stored bytes", json::array({file("a", 0, 3), raw("b", 3, 2, 3)}), damagedIn("b")},
        {"an empty file with a size", json::array({file("a", 0, 3), file("b", 3, 2), raw("c", 5, 0, 4)}), damagedIn("c")},
        {"ZLIB is raw", json::array({file("a", 0, 3), upper}), kOk},
    };
    for (const auto& [name, items, outcome] : cases) {
        writeFile(dir / "p.zfcp", onePlugin(items, "abcde"));
        EXPECT_EQ(extractError(dir / "p.zfcp", dir / name), outcome) << name;
        EXPECT_EQ(fs::exists(dir / name), outcome == kOk) << name;
    }
    EXPECT_EQ(readFile(dir / "ZLIB is raw/P/b"), "de");
}

TEST(ZFCPackageReader, HostileChunkLengthsAreRefusedBeforeReading)
{
    TempDir dir;
    const std::string plain(100, 'a');
    const std::string sealed = craft::seal(plain);
    const json items = json::array({file("a", 0, 100)});
    const auto package = [&](const std::string& data, int64_t eSize) {
        const json meta = json::array(
            {{{"name", "P"}, {"type", "effect"}, {"items", items}, {"size", 100}, {"eSize", eSize}, {"position", 0}}});
        return craft::package(meta.dump(), data);
    };
    const std::string good = craft::lengthHeader(116) + sealed;
    struct Case {
        const char* name;
        std::string bytes;
        Outcome error;
    };
    // A chunk cut off by the end of the file: PackageCutShortTest.
    const std::vector<Case> cases = {
        {"well formed", package(good, 124), kOk},
        {"2^31-1", package(craft::lengthHeader(0x7FFFFFFF) + sealed, 124), Outcome{Kind::chunkLengthInvalid, "2147483647"}},
        {"negative", package(craft::lengthHeader(0xFFFFFFF0) + sealed, 124), Outcome{Kind::chunkLengthInvalid, "-16"}},
        {"below 17", package(craft::lengthHeader(16) + sealed, 124), Outcome{Kind::chunkLengthInvalid, "16"}},
        {"above a sealed MiB", package(craft::lengthHeader(1048593) + sealed + std::string(2000000 - 124, '\0'), 2000000),
         Outcome{Kind::chunkLengthInvalid, "1048593"}},
        {"past the plug-in's stream", package(good, 100), Outcome{Kind::chunkLengthInvalid, "116"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "p.zfcp", c.bytes);
        EXPECT_EQ(extractError(dir / "p.zfcp", dir / "root"), c.error);
    }
}

TEST(ZFCPackageReader, ReportsDecryptingPerChunkThenExtracting)
{
    TempDir dir;
    writeFile(dir / "A/Media/a.png", std::string(100, 'p'));
    ZFCPacker::pack({{ZFCPluginType::effect, "A", dir / "A"}}, dir / "a.zfcp");
    ZFCPackageReader reader(dir / "a.zfcp");
    std::vector<ZFCProgress> reports;
    reader.extract(reader.plugins()[0], dir / "root", std::string("Other"), false,
                   [&](const ZFCProgress& p) { reports.push_back(p); });
    const std::vector<ZFCProgress> expected = {{ZFCProgress::Stage::decrypting, "A", 116.0 / 124.0},
                                               {ZFCProgress::Stage::extracting, "A", 1.0}};
    EXPECT_EQ(reports, expected);
}

TEST(ZFCPackageReader, UnknownTypesGoToTheOtherFolder)
{
    TempDir dir;
    const json meta = json::array({{{"name", "X"}, {"type", "plugin"}, {"items", json::array()}, {"size", 0}, {"eSize", 0},
                                    {"position", 0}}});
    writeFile(dir / "p.zfcp", craft::package(meta.dump(), ""));
    ZFCPackageReader(dir / "p.zfcp").extractAll(dir / "lib");
    EXPECT_TRUE(fs::is_directory(dir / "lib/Other.localized/X"));
}

// Damaged copies of a package from our own packer: each is saved before it is read, so a
// crash leaves its input behind; every outcome must be success or one of our errors, and
// nothing may appear outside the destination.
TEST(ZFCPackageReader, SurvivesCorruptedPackages)
{
    const auto seed = std::random_device{}();
    std::cout << "corruption seed " << seed << std::endl;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    TempDir dir;
    makeTree(dir / "src/A", rng);
    fs::remove(dir / "src/A/Media/clip.mov");
    writeFile(dir / "src/A/Media/clip.mov", craft::randomBytes(40000, rng));
    writeFile(dir / "src/B/x.xml", craft::compressibleText(30000, rng));
    ZFCPacker::pack({{ZFCPluginType::effect, "A", dir / "src/A"}, {ZFCPluginType::generator, "B", dir / "src/B"}},
                    dir / "good.zfcp");
    const std::string good = readFile(dir / "good.zfcp");
    const auto metaLength = static_cast<std::size_t>(uint8_t(good[0]) | uint8_t(good[1]) << 8);

    for (int round = 0; round < 300; ++round) {
        std::string bad = good;
        switch (rng() % 5) {
        case 0:  // flip bytes anywhere
            for (int k = 0; k < 1 + int(rng() % 4); ++k)
                bad[rng() % bad.size()] ^= static_cast<char>(1 + rng() % 255);
            break;
        case 1:  // flip bytes in the metadata (a flip in counter mode flips the JSON text)
            bad[8 + 16 + rng() % (metaLength - 16)] ^= static_cast<char>(1 << (rng() % 8));
            break;
        case 2:
            bad.resize(rng() % bad.size());
            break;
        case 3: {  // a chunk header rewritten
            const std::size_t at = 8 + metaLength + (rng() % 3) * 8;
            const uint32_t v = static_cast<uint32_t>(rng());
            for (int i = 0; i < 4 && at + i < bad.size(); ++i)
                bad[at + i] = static_cast<char>(v >> (8 * i));
            break;
        }
        default:
            bad.insert(rng() % bad.size(), craft::randomBytes(1 + rng() % 64, rng));
        }
        writeFile(dir / "input.zfcp", bad);
        const fs::path work = dir / "work";
        fs::remove_all(work);
        fs::create_directories(work / "dest");
        try {
            ZFCPackageReader reader(dir / "input.zfcp");
            reader.extractAll(work / "dest");
        } catch (const ZFCPackageError&) {
        } catch (const AES256CTR::CryptoError&) {
        } catch (const fs::filesystem_error&) {
        }
        for (const auto& entry : fs::directory_iterator(work))
            ASSERT_EQ(entry.path().filename(), "dest") << "round " << round;
    }
}

TEST(ZFCPackageReader, InflatingPastTheDeclaredSizeIsRefused)
{
    // A few kilobytes that inflate to far more than the entry declares must not fill the disk.
    TempDir dir;
    writeFile(dir / "P/zeros.bin", std::string(4 * 1024 * 1024, '\0'));
    ZFCPacker::pack({{ZFCPluginType::effect, "P", dir / "P"}}, dir / "full.zfcp");
    json meta = json::parse(craft::metadataOf(dir / "full.zfcp"));
    ASSERT_EQ(meta[0]["items"][0]["cm"], "zlib");
    meta[0]["items"][0]["size"] = 1000;

    const std::string bytes = readFile(dir / "full.zfcp");
    const ZFCPackageReader original(dir / "full.zfcp");
    writeFile(dir / "bomb.zfcp",
              craft::package(meta.dump(), bytes.substr(static_cast<std::size_t>(original.dataOffset()))));
    EXPECT_EQ(extractError(dir / "bomb.zfcp", dir / "root"), damagedIn("zeros.bin", Kind::plaintextOverrun));
    std::error_code ec;
    const auto size = fs::file_size(dir / "root/P/zeros.bin", ec);
    EXPECT_TRUE(ec || size <= 1000) << size;

    // The untouched package still extracts whole.
    EXPECT_EQ(extractError(dir / "full.zfcp", dir / "ok"), kOk);
    EXPECT_EQ(fs::file_size(dir / "ok/P/zeros.bin"), 4u * 1024 * 1024);
}

// Several plug-ins in one pass, each into its own folder under its own name: those before a
// failure are whole, the failing one is named by its index, and later ones leave nothing.
TEST(ZFCPackageReader, ExtractManyNamesTheFailingPlugInAndLeavesNothingOfLaterOnes)
{
    TempDir dir;
    std::mt19937_64 rng(11);
    for (const char* name : {"A", "B", "C"}) {
        writeFile(dir / "src" / name / "raw.bin", craft::randomBytes(5000, rng));
        writeFile(dir / "src" / name / "sub/text.txt", craft::compressibleText(20000, rng));
    }
    ZFCPacker::pack({{ZFCPluginType::effect, "A", dir / "src/A"},
                     {ZFCPluginType::effect, "B", dir / "src/B"},
                     {ZFCPluginType::effect, "C", dir / "src/C"}},
                    dir / "whole.zfcp");
    const auto damaged = [&](const std::string& name, const std::function<void(json&)>& edit) {
        fs::copy_file(dir / "whole.zfcp", dir / name);
        craft::rewriteMetadata(dir / name, [&](const std::string& text) {
            json meta = json::parse(text);
            edit(meta);
            return meta.dump();
        });
        return dir / name;
    };
    const auto rawOf = [](json& plugin) -> json& {
        for (json& item : plugin["items"]) {
            if (item["path"] == "raw.bin")
                return item;
        }
        throw std::runtime_error("no raw.bin");
    };
    std::string deep = "d";
    for (std::size_t i = 0; i < ZFCFolderStack::maxDepth; ++i)
        deep += "/d";
    struct Case
    {
        const char* name;
        fs::path package;
        std::optional<std::size_t> failedAt;
        std::vector<bool> whole; // per plug-in; the rest hold nothing
    };
    const std::vector<Case> cases = {
        {"all whole", dir / "whole.zfcp", std::nullopt, {true, true, true}},
        {"the second's raw file longer than stored",
         damaged("raw.zfcp", [&](json& meta) { rawOf(meta[1])["size"] = rawOf(meta[1])["stored"].get<int64_t>() + 1; }),
         1, {true, false, false}},
        {"the third too deep, refused before anything is written",
         damaged("deep.zfcp", [&](json& meta) { meta[2]["items"].push_back({{"type", "directory"}, {"path", deep}}); }),
         2, {false, false, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = dir / "out" / c.package.stem();
        std::vector<ZFCPackageReader::Request> requests;
        ZFCPackageReader reader(c.package);
        for (std::size_t i = 0; i < 3; ++i) {
            fs::create_directories(out / std::to_string(i));
            requests.push_back({&reader.plugins()[i], out / std::to_string(i), "名字 " + std::to_string(i), true});
        }
        std::size_t failedAt = 99;
        const Outcome outcome = outcomeOf([&] { reader.extractMany(requests, {}, &failedAt); });
        EXPECT_EQ(outcome == kOk, !c.failedAt) << outcome;
        EXPECT_EQ(failedAt, c.failedAt.value_or(99));
        for (std::size_t i = 0; i < 3; ++i) {
            const fs::path made = out / std::to_string(i) / ("名字 " + std::to_string(i));
            if (c.whole[i]) {
                EXPECT_EQ(craft::describeDifference(craft::snapshot(dir / "src" / std::string(1, char('A' + i))),
                                                    craft::snapshot(made)),
                          "")
                    << i;
            } else if (i != c.failedAt) {
                EXPECT_TRUE(fs::is_empty(out / std::to_string(i))) << i;
            }
        }
    }
}
