#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include <QStringList>

#include "engine/core/EngineText.h"
#include "engine/templates/GlossaryData.h"
#include "engine/templates/LocalizationGlossary.h"
#include "support/app/QtPrint.h"

namespace {

struct Case
{
    const char* input;
    const char* expected; // nullptr: no suggestion
};

std::string describe(const QString& text) { return "\"" + text.toStdString() + "\""; }

void expectTranslations(std::initializer_list<Case> cases)
{
    for (const Case& c : cases) {
        const QString input = QString::fromUtf8(c.input);
        SCOPED_TRACE(describe(input));
        const std::optional<QString> result = LocalizationGlossary::translate(input);
        if (c.expected == nullptr) {
            EXPECT_FALSE(result.has_value()) << "got " << describe(result.value_or(QString()));
        } else {
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(*result, QString::fromUtf8(c.expected));
        }
    }
}

// Every test starts and ends without server terms: they are process-wide.
class LocalizationGlossaryTest : public ::testing::Test
{
protected:
    void SetUp() override { LocalizationGlossary::merge({}); }
    void TearDown() override { LocalizationGlossary::merge({}); }
};

} // namespace

TEST_F(LocalizationGlossaryTest, WholeNamesAreNormalisedAndFoundInTermsFirst)
{
    expectTranslations({
        {"  Opacity ", "不透明度"},
        {"opacity", "不透明度"},
        {"OPACITY", "不透明度"},
        {"Blend   Mode", "混合模式"},
        {"Blend\tMode", "混合模式"},
        {"Blend \n Mode", "混合模式"},
        {"Drop Shadow", "投影"},
        {"On | Off", "开/关"},
        {"Choose a Preset", "选择预设"},
        {"F-Stop", "光圈值"},  // punctuation inside a key is reached as a whole name
        {"B&W", "黑白"},       // from the further general vocabulary
        {"Effects", "效果"},   // general vocabulary
        {"Filters", "滤镜"},
        {"Prism Amount", "棱镜强度"},
        {"Glassiness", "玻璃质感"},
        {"Light", "灯光"},     // terms win over the general 轻
        {"Tracking", "字距"},  // likewise over 跟踪
    });
}

TEST_F(LocalizationGlossaryTest, ChineseAndUntranslatableNames)
{
    expectTranslations({
        {"", nullptr},
        {"   \t\n ", nullptr},
        {"  不透明度 ", "不透明度"},
        {"Glow 光晕 2", "Glow 光晕 2"},   // any Chinese character: kept as written
        {"x\xe3\x90\x80", "x\xe3\x90\x80"}, // U+3400, first of extension A
        {"\xef\xa4\x80", "\xef\xa4\x80"},   // U+F900, a compatibility ideograph
        {"Zorblax Quux", nullptr},          // no word known: no English echo
        {"\xe3\x82\xaa\xe3\x83\x91", nullptr}, // kana are not Chinese
        {"\xf0\xa0\x80\x80", nullptr},         // U+20000 lies outside the ranges
    });
}

TEST_F(LocalizationGlossaryTest, LeadingSymbolsStayInFront)
{
    expectTranslations({
        {"#Opacity", "# 不透明度"},
        {"## Blend Mode", "## 混合模式"},
        {"\xe2\x80\xa2 Drop Shadow", "\xe2\x80\xa2 投影"}, // bullet
        {"###", nullptr},
        {"# ", nullptr},
        {"#Zorblax", nullptr}, // the rest is not translatable
        {"|", nullptr},        // a lone symbol is a prefix with nothing after it
    });
}

TEST_F(LocalizationGlossaryTest, MultiWordNamesAreAssembledFromTermsOnly)
{
    expectTranslations({
        // Every word a term: joined without spaces.
        {"Edge Softness Offset", "边缘柔和度偏移"},
        // Longest window first: "shadow blur" is one term.
        {"Shadow Blur Radius", "阴影模糊半径"},
        {"Opacity | Scale", "不透明度|缩放"},
        // One word outside the terms fails the assembly as a whole; the general
        // vocabulary then goes word by word.
        {"Edge Warmth Offset", "边缘暖度偏移"},
        {"Opacity Zorblax", "不透明度 Zorblax"},
        // "frame rate" is general, not a term, so it is not assembled as one piece.
        {"Frame Rate Opacity", "画框速率不透明度"},
    });
}

TEST_F(LocalizationGlossaryTest, TrailingIndexesAreKeptAsWritten)
{
    expectTranslations({
        {"Color 2", "颜色 2"},
        {"Color A1 2", "颜色 A1 2"},
        {"Opacity v2", "不透明度 v2"},
        {"Color #3", "颜色 #3"},
        // The word-by-word step cannot reach a key with a hyphen, so these show which
        // trailing tokens the index step takes.
        {"F-Stop 2", "光圈值 2"},
        {"F-Stop 1234", "光圈值 1234"},
        {"F-Stop #12", "光圈值 #12"},
        {"F-Stop v2 #3", "光圈值 v2 #3"},
        {"F-Stop 12345", "F 停止 12345"}, // five characters: not an index
        {"F-Stop X", "F 停止 X"},         // a letter alone is not an index
        {"F-Stop 1a", "F 停止 1a"},
        {"F-Stop #", "F 停止#"},
        {"F-Stop A1 B2 3", "F 停止 A1 B2 3"}, // only two trailing indexes are taken
    });
}

TEST_F(LocalizationGlossaryTest, WordByWordSplitsCamelCaseSeparatorsAndPunctuation)
{
    expectTranslations({
        {"Glow Radius", "光晕半径"},
        {"GlowRadius", "光晕半径"},
        {"glow_radius", "光晕半径"},
        {"glow-radius", "光晕半径"},
        {"glowRADIUS", "光晕半径"},
        {"Glow Radius 2", "光晕半径 2"},
        {"RGBColor", "RGB 颜色"},           // end of an acronym
        {"Opacity (Max)", "不透明度(最大)"}, // punctuation attaches without spaces
        {"Opacity.Scale", "不透明度.缩放"},
        {"Zorblax: Opacity", "Zorblax:不透明度"},
        {"Blur Zorblax Opacity", "模糊 Zorblax 不透明度"},
    });
}

TEST_F(LocalizationGlossaryTest, DecimalsAndInitialsStayOneToken)
{
    // Only a token reaching the tables whole shows where the pieces were cut.
    LocalizationGlossary::merge({{"1.5", "一点五"}, {"a.b", "甲乙"}, {"a", "甲"}, {"c", "丙"}});
    expectTranslations({
        {"Scale_1.5", "缩放一点五"},
        {"Scale_1.", "缩放 1."},
        {"A.B_Opacity", "甲乙不透明度"},
        {"A.Bc_Opacity", "甲.Bc 不透明度"}, // a lower-case letter after: not initials
        {"AB.C_Opacity", "AB.丙不透明度"},   // two letters before: not initials
    });
}

TEST_F(LocalizationGlossaryTest, UnknownWordsAreTriedThroughTheirStems)
{
    expectTranslations({
        {"Opacities", "不透明度"}, // ies -> y
        {"Boxes", "框"},           // es
        {"Tints", "色调"},         // s
        {"Scaling", "缩放"},       // ing -> e
        {"Rotated", "旋转"},       // ed -> e
        {"Softly", "柔和"},        // ly
        {"Roughness", "粗糙"},     // ness
        {"Ups", nullptr},          // three characters: not stemmed
        {"Shadowss", nullptr},     // ss is not a plural
        {"Blurred Opacity", "Blurred 不透明度"},
    });
}

TEST_F(LocalizationGlossaryTest, ServerTermsOverrideAndAreReplacedWhole)
{
    LocalizationGlossary::merge({{"  OPACITY  ", "透明"},
                                 {"Glow\t  Radius", "辉光半径"},
                                 {"alpha beta gamma delta", "四词"},
                                 {"", "空"},
                                 {"   ", "空"},
                                 {"blur", ""},
                                 {"scale", "  "},
                                 {"feather", " 柔边 "}});
    const LocalizationGlossary::Table extra = LocalizationGlossary::extraTerms();
    EXPECT_EQ(extra.size(), 4);
    EXPECT_EQ(extra.value("feather"), " 柔边 "); // stored untrimmed
    EXPECT_EQ(LocalizationGlossary::terms().value("opacity"), "透明");
    EXPECT_EQ(LocalizationGlossary::terms().size(), LocalizationGlossary::bundledTerms().size() + 2);
    expectTranslations({
        {"Opacity", "透明"},
        {"Glow Radius", "辉光半径"},
        {"Glow Radius Opacity", "辉光半径透明"},
        {"Alpha Beta Gamma Delta Opacity", "四词透明"}, // windows of four words
        {"Blur", "模糊"},
        {"Scale", "缩放"}, // a blank server value never replaces a term
    });

    LocalizationGlossary::merge({{"Scale", "比例"}});
    EXPECT_EQ(LocalizationGlossary::extraTerms().size(), 1);
    expectTranslations({
        {"Opacity", "不透明度"},
        {"Glow Radius", "光晕半径"},
        {"Scale", "比例"},
    });

    LocalizationGlossary::merge({});
    EXPECT_TRUE(LocalizationGlossary::extraTerms().isEmpty());
    EXPECT_EQ(LocalizationGlossary::terms(), LocalizationGlossary::bundledTerms());
}

TEST_F(LocalizationGlossaryTest, TranslateOnWorkersWhileTermsAreReplaced)
{
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back([&] {
            while (!stop.load()) {
                const auto r = LocalizationGlossary::translate("Opacity 2");
                if (!r || (*r != QString::fromUtf8("不透明度 2") && *r != QString::fromUtf8("透明 2")))
                    ++unexpected;
            }
        });
    }
    for (int i = 0; i < 2000; ++i)
        LocalizationGlossary::merge(i % 2 ? LocalizationGlossary::Table{{"opacity", "透明"}}
                                          : LocalizationGlossary::Table{{"zorblax", "某"}});
    stop = true;
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(unexpected.load(), 0);
}

TEST(LocalizationGlossaryChinese, FirstScalarRanges)
{
    const struct {
        char32_t scalar;
        bool chinese;
    } cases[] = {
        {0x33FF, false}, {0x3400, true},  {0x4DBF, true},  {0x4DC0, false},
        {0x4DFF, false}, {0x4E00, true},  {0x9FFF, true},  {0xA000, false},
        {0xF8FF, false}, {0xF900, true},  {0xFAFF, true},  {0xFB00, false},
        {0x20000, false}, {0x3001, false}, {0x0041, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(QString::number(uint(c.scalar), 16).toStdString());
        const QString text = QString::fromUcs4(&c.scalar, 1);
        EXPECT_EQ(EngineText::containsChinese(QStringLiteral("ab") + text), c.chinese);
    }
    EXPECT_FALSE(EngineText::containsChinese(QString()));
}

// Lookups lower-case the name, so a key with capitals or twice in one list is dead data.
TEST(LocalizationGlossaryTables, KeysAreLowerCaseOnceAndValuesChinese)
{
    const struct {
        const char* file;
        const QHash<QString, QString>& built;
    } tables[] = {
        {"terms.tsv", LocalizationGlossary::bundledTerms()},
        {"general.tsv", LocalizationGeneral::words()},
        {"general-extra.tsv", LocalizationGeneralExtra::words()},
    };
    for (const auto& table : tables) {
        SCOPED_TRACE(table.file);
        const std::string_view text = GlossaryData::file(table.file);
        qsizetype entries = 0;
        for (const QByteArray& line : QByteArray(text.data(), qsizetype(text.size())).split('\n')) {
            if (line.isEmpty() || line.startsWith('#'))
                continue;
            ++entries;
            const QList<QByteArray> fields = line.split('\t');
            ASSERT_EQ(fields.size(), 2) << line.toStdString();
            const QString key = QString::fromUtf8(fields[0]);
            SCOPED_TRACE(describe(key));
            EXPECT_EQ(key, key.toLower().simplified());
            EXPECT_TRUE(key == QLatin1String("|") || EngineText::containsChinese(QString::fromUtf8(fields[1])));
        }
        EXPECT_EQ(table.built.size(), entries) << "a key occurs twice";
    }
}
