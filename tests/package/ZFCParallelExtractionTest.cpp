#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "support/kit/PackageCraft.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using Kind = ZFCPackageError::Kind;

// Files f00..f59 of compressible text, 1 to 6 KB, in a folder and a sub-folder.
void writeFiles(const fs::path& folder, std::mt19937_64& rng)
{
    for (int i = 0; i < 60; ++i) {
        const std::string name = (i < 10 ? "f0" : "f") + std::to_string(i);
        writeFile(folder / (i % 3 ? name : "sub/" + name), craft::compressibleText(1000 + 100 * std::size_t(i), rng));
    }
}

// The message of the error extraction ends with, "" on success.
template <typename Run>
std::string failureOf(Run run)
{
    try {
        run();
        return {};
    } catch (const ZFCPackageError& e) {
        EXPECT_EQ(e.kind(), Kind::streamTruncated) << e.what();
        return e.what();
    }
}

} // namespace

// Workers make the files that lie whole in their chunk while the writer makes those cut
// across chunks: the tree comes out whole, and of several damaged files the one told is the
// first in the stream, as one writer alone would meet it.
TEST(ZFCParallelExtraction, FilesMadeOnManyThreadsComeOutWholeAndTheFirstDamageIsTold)
{
    TempDir dir;
    std::mt19937_64 rng(5);
    writeFiles(dir / "P", rng);
    ZFCPacker::pack({{ZFCPluginType::effect, "P", dir / "P"}}, dir / "p.zfcp");
    const json items = json::parse(craft::metadataOf(dir / "p.zfcp"))[0]["items"];
    std::string stream;
    for (const std::string& chunk : craft::chunksOf(dir / "p.zfcp"))
        stream += chunk;
    // The file names in the order their bytes follow each other.
    std::vector<std::pair<int64_t, std::string>> order;
    for (const json& item : items) {
        if (item["type"] == "file")
            order.emplace_back(item["position"].get<int64_t>(), item["path"].get<std::string>());
    }
    std::sort(order.begin(), order.end());
    ASSERT_EQ(order.size(), 60u);
    const std::string early = order[7].second;
    const std::string late = order[50].second;

    struct Case {
        const char* name;
        std::size_t piece;               // plaintext bytes a chunk
        std::set<std::string> damaged;   // declared one byte longer than they inflate
        std::string told;                // the file the error names, "" for success
    };
    const std::vector<Case> cases = {
        {"whole, one chunk", 1 << 20, {}, ""},
        {"whole, files cut across small chunks", 1500, {}, ""},
        {"whole, a chunk a few files", 9000, {}, ""},
        {"one damaged file", 1500, {late}, late},
        {"two damaged files, the first told", 1500, {late, early}, early},
        {"two damaged files in one chunk", 1 << 20, {late, early}, early},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        json edited = items;
        for (json& item : edited) {
            if (c.damaged.count(item["path"].get<std::string>()))
                item["size"] = item["size"].get<int64_t>() + 1;
        }
        writeFile(dir / "c.zfcp", craft::onePlugin(edited.dump(), stream, c.piece));
        fs::remove_all(dir / "out");
        const std::string failure = failureOf([&] {
            ZFCPackageReader reader(dir / "c.zfcp");
            reader.extract(reader.plugins().at(0), dir / "out", std::nullopt, true);
        });
        if (c.told.empty()) {
            EXPECT_EQ(failure, "");
            EXPECT_EQ(craft::describeDifference(craft::snapshot(dir / "P"), craft::snapshot(dir / "out/P")), "");
        } else {
            EXPECT_NE(failure.find("的文件「" + c.told + "」"), std::string::npos) << failure;
        }
    }
}

// Folders of later plug-ins are made ahead of the writer only where nothing stands: when an
// earlier plug-in fails, those made go again, and a folder that stood is never touched.
TEST(ZFCParallelExtraction, AFailureLeavesNoLaterPlugInAndTouchesNoFolderThatStood)
{
    TempDir dir;
    std::mt19937_64 rng(6);
    std::vector<ZFCPackItem> items;
    for (const std::string name : {"A", "B", "C", "D", "E"}) {
        writeFiles(dir / "src" / name, rng);
        items.push_back({ZFCPluginType::effect, name, dir / "src" / name});
    }
    ZFCPacker::pack(items, dir / "all.zfcp");
    const fs::path effects = dir / "root/Effects.localized";

    struct Case {
        const char* name;
        std::string damagedPlugin;  // "" for none
        std::vector<std::string> whole;   // plug-ins that come out whole
        std::vector<std::string> absent;  // plug-ins with no folder afterwards
    };
    const std::vector<Case> cases = {
        {"no damage", "", {"A", "B", "C", "E"}, {}},
        {"the second damaged", "B", {"A"}, {"C", "E"}},
        {"the last damaged", "E", {"A", "B", "C"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::copy_file(dir / "all.zfcp", dir / "c.zfcp", fs::copy_options::overwrite_existing);
        if (!c.damagedPlugin.empty()) {
            craft::rewriteMetadata(dir / "c.zfcp", [&](const std::string& text) {
                json meta = json::parse(text);
                for (json& plugin : meta) {
                    if (plugin["name"] != c.damagedPlugin)
                        continue;
                    for (json& item : plugin["items"]) {
                        if (item["type"] == "file" && item.contains("cm")) {
                            item["size"] = item["size"].get<int64_t>() + 1;
                            break;
                        }
                    }
                }
                return meta.dump();
            });
        }
        fs::remove_all(dir / "root");
        // D stands already: replaced only when the walk reaches it.
        writeFile(effects / "D/mine.txt", "mine");
        const std::string failure = failureOf([&] { ZFCPackageReader(dir / "c.zfcp").extractAll(dir / "root"); });
        EXPECT_EQ(failure.empty(), c.damagedPlugin.empty()) << failure;
        if (!c.damagedPlugin.empty()) {
            EXPECT_NE(failure.find("插件「" + c.damagedPlugin + "」"), std::string::npos) << failure;
        }
        for (const std::string& name : c.whole)
            EXPECT_EQ(craft::describeDifference(craft::snapshot(dir / "src" / name), craft::snapshot(effects / name)), "")
                << name;
        for (const std::string& name : c.absent)
            EXPECT_FALSE(fs::exists(effects / name)) << name;
        const bool reachedD = c.damagedPlugin.empty() || c.damagedPlugin == "E";
        EXPECT_EQ(readFile(effects / "D/mine.txt"), reachedD ? "" : "mine");
        if (reachedD) {
            EXPECT_EQ(craft::describeDifference(craft::snapshot(dir / "src/D"), craft::snapshot(effects / "D")), "");
        }
    }
}
