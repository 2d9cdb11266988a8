#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "LoomworkKit/ZFCFolderStack.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "support/kit/DeepTree.h"
#include "support/kit/PackageCraft.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

// Anyone may plant a tree in an open system plug-in: one far deeper than real templates nest
// is refused with a short message naming the plug-in's folder, before anything is written.
TEST(ZFCPackerTree, PlantedDeepChainsAreRefusedShortly)
{
    TempDir dir;
    writeFile(dir / "P/a.txt", "a");
    const std::string expected =
        ZFCPackageError::treeTooDeep((dir / "P").string(), DeepChain::path(ZFCFolderStack::maxDepth + 1)).errorDescription();
    EXPECT_LT(expected.size(), 400u);
    for (const std::size_t depth : {ZFCFolderStack::maxDepth + 1, std::size_t(20000)}) {
        SCOPED_TRACE(depth);
        const DeepChain chain(dir / "P", depth);
        const int held = ::open((dir / "P").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        try {
            ZFCPacker::pack({{ZFCPluginType::effect, "P", dir / "P", held}}, dir / "p.zfcp");
            ADD_FAILURE() << "packed";
        } catch (const ZFCPackageError& e) {
            EXPECT_EQ(e.errorDescription(), expected);
        }
        ::close(held);
        EXPECT_FALSE(fs::exists(dir / "p.zfcp"));
    }
}

// A tree exactly as deep as allowed, with folders beside the deep one to come back to, packs
// and extracts whole while only a few files may be open.
TEST(ZFCPackerTree, ATreeAtTheLimitPacksWithFewHandlesAndRoundTrips)
{
    TempDir dir;
    fs::path folder = dir / "P";
    for (std::size_t depth = 1; depth < ZFCFolderStack::maxDepth; ++depth) {
        folder /= "d";
        if (depth % 10 == 0)
            writeFile(folder / "z/f", std::to_string(depth));
    }
    writeFile(folder / "f", "deepest");
    fs::create_directory(folder / "e");
    {
        const FileLimit limit(64);
        ZFCPacker::pack({{ZFCPluginType::effect, "P", dir / "P"}}, dir / "p.zfcp", {}, {.threads = 2});
        ZFCPackageReader(dir / "p.zfcp").extractAll(dir / "out");
    }
    EXPECT_EQ(craft::describeDifference(craft::snapshot(dir / "P"), craft::snapshot(dir / "out/Effects.localized/P")), "");
}

// A folder swapped for a link between the scan and the read is never read through, whether
// the link stays inside the plug-in or leads out: its file is stored empty, or the pack fails.
TEST(ZFCPackerTree, AFolderSwappedForALinkAfterTheScanIsNeverReadThrough)
{
    TempDir dir;
    writeFile(dir / "P/sub/f", "mine");
    writeFile(dir / "P/other/f", "theirs");
    writeFile(dir / "victim/f", "theirs");
    for (const std::string& target : {std::string("other"), std::string("../victim"), (dir / "victim").string()}) {
        SCOPED_TRACE(target);
        ZFCPacker::setScannedHook([&](const ZFCPackItem&) {
            fs::rename(dir / "P/sub", dir / "sub");
            fs::create_directory_symlink(target, dir / "P/sub");
        });
        try {
            ZFCPacker::pack({{ZFCPluginType::effect, "P", dir / "P"}}, dir / "p.zfcp");
            ZFCPackageReader(dir / "p.zfcp").extractAll(dir / "out");
            EXPECT_EQ(readFile(dir / "out/Effects.localized/P/sub/f"), "");
        } catch (const fs::filesystem_error&) {
        }
        ZFCPacker::setScannedHook(nullptr);
        fs::remove(dir / "P/sub");
        fs::rename(dir / "sub", dir / "P/sub");
        removeTree(dir / "out");
    }
}

// Entries as deep as the walks go are extracted; one level deeper, in any plug-in and however
// its path is written, is refused before anything of any plug-in is written, with a message
// that names the plug-in. The walks could not take such a tree away again.
TEST(ZFCPackerTree, APackageDeeperThanTheWalksGoIsRefusedBeforeAnythingIsWritten)
{
    TempDir dir;
    const std::string limit = DeepChain::path(ZFCFolderStack::maxDepth);
    const auto twoPlugins = [](const std::string& deepPath) {
        const std::string first = craft::chunkStream("a");
        const std::string second = craft::chunkStream("b");
        const auto file = [](const std::string& path) {
            std::string escaped;
            for (const char c : path)
                escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
            return R"({"type":"file","path":")" + escaped + R"(","size":1,"position":0,"stored":1})";
        };
        const std::string meta = R"([{"name":"Shallow","type":"effect","items":[)" + file("a") + R"(],"size":1,"eSize":)"
                               + std::to_string(first.size()) + R"(,"position":0},{"name":"Deep","type":"subtitle","items":[)"
                               + file(deepPath) + R"(],"size":1,"eSize":)" + std::to_string(second.size())
                               + R"(,"position":)" + std::to_string(first.size()) + "}]";
        return craft::package(meta, first + second);
    };
    writeFile(dir / "limit.zfcp", twoPlugins(limit));
    ZFCPackageReader(dir / "limit.zfcp").extractAll(dir / "out");
    EXPECT_EQ(readFile(dir / "out/Titles.localized/Deep" / limit), "b");

    for (const std::string& deeper : {"x/" + limit, "x\\" + limit, "x//" + limit + "/"}) {
        SCOPED_TRACE(deeper.substr(0, 8));
        writeFile(dir / "deep.zfcp", twoPlugins(deeper));
        ZFCPackageReader reader(dir / "deep.zfcp");
        const std::string expected = "插件「Deep」的文件夹嵌套超过 " + std::to_string(ZFCFolderStack::maxDepth)
                                   + " 层：" + ZFCPackageError::quotedName(deeper);
        for (const bool all : {true, false}) {
            try {
                if (all)
                    reader.extractAll(dir / "none");
                else
                    reader.extract(reader.plugins()[1], dir / "none", std::nullopt, true);
                ADD_FAILURE() << "extracted";
            } catch (const ZFCPackageError& e) {
                EXPECT_EQ(e.kind(), ZFCPackageError::Kind::treeTooDeep);
                EXPECT_EQ(e.errorDescription(), expected);
            }
            EXPECT_FALSE(fs::exists(dir / "none"));
        }
        // The package's other plug-in is no deeper than allowed.
        reader.extract(reader.plugins()[0], dir / "one", std::nullopt, true);
        EXPECT_EQ(readFile(dir / "one/Shallow/a"), "a");
    }
}
