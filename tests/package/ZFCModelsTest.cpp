#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCEntry.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPlugin.h"
#include "LoomworkKit/ZFCProgress.h"

TEST(ZFCModels, PluginDecodingRequiresEverySixKeysAndIgnoresUnknownOnes)
{
    struct Case {
        const char* json;
        bool decodes;
    };
    const std::vector<Case> cases = {
        {R"({"name":"A","type":"effect","items":[],"size":1,"eSize":0,"position":0})", true},
        {R"({"position":0,"eSize":0,"size":1,"items":[],"type":"effect","name":"A"})", true},
        {R"({"name":"A","type":"effect","items":[],"size":1,"position":0})", false},
        {R"({"name":"A","type":"effect","items":[],"size":1,"eSize":null,"position":0})", false},
        {R"({"name":"A","type":"nonsense","items":[],"size":1,"eSize":0,"position":0,"extra":[1]})", true},
        {R"({"name":"A","type":"effect","items":{},"size":1,"eSize":0,"position":0})", false},
        {R"({"name":"A","type":"effect","items":[],"size":"1","eSize":0,"position":0})", false},
        {R"({"name":"A","type":"effect","items":[],"size":1.5,"eSize":0,"position":0})", false},
        {R"({"name":"A","type":"effect","items":[],"size":18446744073709551615,"eSize":0,"position":0})", false},
        {R"({"name":"A","type":"effect","items":[{"path":"x"}],"size":1,"eSize":0,"position":0})", false},
        {R"({"name":7,"type":"effect","items":[],"size":1,"eSize":0,"position":0})", false},
        {R"(["not an object"])", false},
        {R"({"name":"A","type":"effect","items":[],"size":1,"eSize":0,"position":0} trailing)", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(ZFCPlugin::fromJson(c.json).has_value(), c.decodes);
    }
    const auto odd = ZFCPlugin::fromJson(R"({"name":"A","type":"nonsense","items":[],"size":1,"eSize":0,"position":0})");
    ASSERT_TRUE(odd);
    EXPECT_FALSE(odd->pluginType());
}

TEST(ZFCModels, EntryOptionalFieldsAcceptAbsentOrNullAndAreLeftOutWhenEncoded)
{
    const auto entry = ZFCEntry::fromJson(R"({"type":"file","path":"a","size":null,"link":null,"cm":"zlib","x":1})");
    ASSERT_TRUE(entry);
    EXPECT_FALSE(entry->size);
    EXPECT_FALSE(entry->link);
    EXPECT_EQ(entry->cm, "zlib");
    EXPECT_FALSE(ZFCEntry::fromJson(R"({"type":"file"})"));
    EXPECT_FALSE(ZFCEntry::fromJson(R"({"path":"a"})"));

    const ZFCEntry directory{"directory", "Media"};
    const auto encoded = nlohmann::json::parse(directory.toJson());
    EXPECT_EQ(encoded, nlohmann::json({{"type", "directory"}, {"path", "Media"}}));

    const ZFCEntry file{"file", "Media/a.png", 100, 0, std::nullopt, 100, std::nullopt};
    EXPECT_EQ(ZFCEntry::fromJson(file.toJson()), file);
}

TEST(ZFCModels, StoredSizeAndCompressionFlag)
{
    struct Case {
        ZFCEntry entry;
        int64_t storedSize;
        bool compressed;
    };
    const std::vector<Case> cases = {
        {{"file", "a", 500, 0, std::nullopt, 0, std::nullopt}, 0, false},
        {{"file", "a"}, 0, false},
        {{"file", "a", 500}, 500, false},
        {{"file", "a", 500, 0, std::nullopt, 20, "zlib"}, 20, true},
        {{"file", "a", 500, 0, std::nullopt, 20, "ZLIB"}, 20, false},
        {{"file", "a", 500, 0, std::nullopt, 20, "zlib "}, 20, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cases[i].entry.storedSize(), cases[i].storedSize);
        EXPECT_EQ(cases[i].entry.isCompressed(), cases[i].compressed);
    }
}

TEST(ZFCModels, ErrorsDescribeThemselvesInChinese)
{
    EXPECT_EQ(ZFCPackageError::ioFailure("x").errorDescription(), "文件读写失败：x");
    EXPECT_STREQ(ZFCPackageError::ioFailure("明文数据超出文件树声明的总量").what(), "文件读写失败：明文数据超出文件树声明的总量");
    EXPECT_EQ(ZFCPackageError::fileTooSmall().errorDescription(), "文件过小，不是有效的 .zfcp 封包");
    EXPECT_EQ(ZFCPackageError::unknownPluginType("P", "q").errorDescription(), "插件「P」包含未知类型「q」，无法确定安装目录");
    EXPECT_EQ(AES256CTR::CryptoError(AES256CTR::CryptoError::Kind::updateFailed, -4301).errorDescription(),
              "AES-CTR update 失败（-4301）");
}

TEST(ZFCModels, StageLabelsMatchExactly)
{
    for (const auto stage : {ZFCProgress::Stage::reading, ZFCProgress::Stage::decrypting, ZFCProgress::Stage::extracting,
                             ZFCProgress::Stage::scanning, ZFCProgress::Stage::packing, ZFCProgress::Stage::encrypting,
                             ZFCProgress::Stage::assembling}) {
        EXPECT_EQ(ZFCProgress::stageFrom(ZFCProgress::rawValue(stage)), stage);
    }
    EXPECT_EQ(ZFCProgress::rawValue(ZFCProgress::Stage::decrypting), "解码");
    EXPECT_FALSE(ZFCProgress::stageFrom("解码 "));
}
