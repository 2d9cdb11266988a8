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
