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
    using K = ZFCPackageError::Kind;
    const std::string io = "文件读写失败：";
    const std::vector<std::pair<ZFCPackageError, std::string>> cases = {
        {ZFCPackageError::ioFailure("x"), io + "x"},
        {ZFCPackageError::unknownPluginType("P", "q"), "插件「P」包含未知类型「q」，无法确定安装目录"},
        {ZFCPackageError::failure(K::compressFailed, -2), io + "压缩失败（zlib -2）"},
        {ZFCPackageError::failure(K::pathInvalid, "a/../b"), io + "封包内路径非法：a/../b"},
        {ZFCPackageError::failure(K::chunkLengthInvalid, -16), io + "非法分块长度 -16"},
        {ZFCPackageError::failure(K::fileCreateFailed, "/x/f"), io + "无法创建文件：/x/f"},
        {ZFCPackageError::failure(K::tooManyEntries, 1000000), io + "封包内的文件和文件夹超过 1000000 个，无法写入"},
        {ZFCPackageError::failure(K::nameNotUtf8, "/p/a\xFF.txt"), "文件名不是有效的 UTF-8 编码，无法封包：/p/a\\xFF.txt"},
        {ZFCPackageError::failure(K::nameHoldsBackslash, "/p/a\\b"), "文件名含有反斜杠“\\”，解包时会被当作文件夹分隔符，无法封包：/p/a\\b"},
    };
    for (const auto& [error, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(error.errorDescription(), text);
        EXPECT_STREQ(error.what(), text.c_str());
        EXPECT_EQ(error.isIoFailure(), text.rfind(io, 0) == 0);
    }
    EXPECT_EQ(AES256CTR::CryptoError(AES256CTR::CryptoError::Kind::updateFailed, -4301).errorDescription(),
              "AES-CTR update 失败（-4301）");

    // A long name is cut in the middle, on whole characters, keeping its end; bytes that are
    // not UTF-8 show as \xNN.
    const std::string name = "Effects/" + std::string(300, 'a') + "字" + std::string(60, 'b') + "/end.moef";
    const std::string quoted = ZFCPackageError::failure(K::pathInvalid, name).errorDescription();
    EXPECT_LT(quoted.size(), 260u);
    EXPECT_EQ(quoted.substr(quoted.size() - 9), "/end.moef");
    EXPECT_NE(quoted.find("…"), std::string::npos);
    EXPECT_EQ(ZFCPackageError::failure(K::pathInvalid, name).subject(), name);
    EXPECT_EQ(ZFCPackageError::quotedName("a\xFF\xE5\xAD"), "a\\xFF\\xE5\\xAD");
    EXPECT_EQ(ZFCPackageError::quotedName("\xE5\xAD\x97"), "字");
}
