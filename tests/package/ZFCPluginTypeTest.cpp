#include <gtest/gtest.h>

#include "LoomworkKit/ZFCPluginType.h"

TEST(ZFCPluginType, FromRawIsExactAndCaseSensitive)
{
    const struct {
        const char* raw;
        std::optional<ZFCPluginType::Value> expected;
    } cases[] = {
        {"effect", ZFCPluginType::effect},
        {"subtitle", ZFCPluginType::subtitle},
        {"generator", ZFCPluginType::generator},
        {"transitions", ZFCPluginType::transitions},
        {"Effect", std::nullopt},
        {" effect", std::nullopt},
        {"transition", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        const auto type = ZFCPluginType::from(c.raw);
        ASSERT_EQ(type.has_value(), c.expected.has_value());
        if (type) {
            EXPECT_EQ(ZFCPluginType::Value(*type), *c.expected);
        }
    }
}

TEST(ZFCPluginType, CategoriesWalkInDeclarationOrderWithTheirFolders)
{
    std::string folders;
    for (const ZFCPluginType type : ZFCPluginType::allCases()) {
        EXPECT_EQ(ZFCPluginType::from(type.rawValue()), type);
        folders += std::string(type.directoryName()) + ";";
    }
    EXPECT_EQ(folders, "Effects.localized;Titles.localized;Generators.localized;Transitions.localized;");
}
