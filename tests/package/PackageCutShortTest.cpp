#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "support/kit/PackageCraft.h"
#include "support/kit/PackageOutcome.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;
using Kind = ZFCPackageError::Kind;

// A package cut short (a download that stopped, a copy of part of it) is refused when it is
// opened or its records are read, naming the first plug-in whose data is missing, before
// anything is extracted.
TEST(PackageCutShort, IsRefusedWhenOpened)
{
    TempDir dir;
    writeFile(dir / "src/A/a.txt", std::string(3000, 'a'));
    writeFile(dir / "src/B/b.txt", std::string(3000, 'b'));
    ZFCPacker::pack({{ZFCPluginType::effect, "A", dir / "src/A"}, {ZFCPluginType::effect, "B", dir / "src/B"}},
                    dir / "whole.zfcp");
    const std::string whole = readFile(dir / "whole.zfcp");
    const auto plugins = ZFCPackageReader::readPlugins(dir / "whole.zfcp");
    ASSERT_EQ(plugins.size(), 2u);
    const auto dataOfA = static_cast<std::size_t>(plugins[0].position);
    const auto endOfA = static_cast<std::size_t>(plugins[0].position + plugins[0].eSize);
    struct Case {
        const char* name;
        std::size_t length;
        Outcome opened;
    };
    const Case cases[] = {
        {"whole", whole.size(), {}},
        {"one byte short", whole.size() - 1, {Kind::incomplete, "B"}},
        {"A whole, B missing", endOfA, {Kind::incomplete, "B"}},
        {"inside A", dataOfA + 20, {Kind::incomplete, "A"}},
        {"at the data area", dataOfA, {Kind::incomplete, "A"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "cut.zfcp", whole.substr(0, c.length));
        EXPECT_EQ(outcomeOf([&] { ZFCPackageReader reader(dir / "cut.zfcp"); }), c.opened);
        EXPECT_EQ(outcomeOf([&] {
                      ZFCPackageReader::visitMetadata(dir / "cut.zfcp", [](const ZFCEntry&) {}, [](const ZFCPlugin&) {});
                  }),
                  c.opened);
    }
    try {
        ZFCPackageReader reader(dir / "cut.zfcp");
        FAIL() << "opened";
    } catch (const ZFCPackageError& e) {
        // Said as damage, not as a failure to read or write.
        EXPECT_EQ(e.errorDescription(), "封包数据不完整，封包可能已损坏（插件「A」的数据缺失）");
    }
}

// A file that shrinks after it was opened: the chunk the end cuts off is refused where it is.
TEST(PackageCutShort, AFileThatShrinksAfterItWasOpenedFailsAtTheChunkCutOff)
{
    TempDir dir;
    const nlohmann::json items = nlohmann::json::array(
        {{{"type", "file"}, {"path", "a"}, {"size", 100}, {"position", 0}, {"stored", 100}}});
    const nlohmann::json meta = nlohmann::json::array(
        {{{"name", "P"}, {"type", "effect"}, {"items", items}, {"size", 100}, {"eSize", 124}, {"position", 0}}});
    const std::string good = craft::lengthHeader(116) + craft::seal(std::string(100, 'a'));
    const std::string bytes = craft::package(meta.dump(), good);
    const std::size_t dataOffset = bytes.size() - good.size();
    struct Case {
        const char* name;
        std::size_t cutTo;
        Outcome error;
    };
    const Case cases[] = {
        {"header cut off", dataOffset + 5, {Kind::chunkHeaderTruncated, std::to_string(dataOffset)}},
        {"body cut off", dataOffset + 50, {Kind::chunkBodyTruncated, std::to_string(dataOffset + 8)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir / "p.zfcp", bytes);
        EXPECT_EQ(outcomeOf([&] {
                      ZFCPackageReader reader(dir / "p.zfcp");
                      fs::resize_file(dir / "p.zfcp", c.cutTo);
                      reader.extract(reader.plugins().at(0), dir / "root", std::nullopt, true);
                  }),
                  c.error);
    }
}
