#include <gtest/gtest.h>

#include <QSet>
#include <QTimeZone>

#include "engine/core/EngineText.h"
#include "engine/model/Plugin.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

namespace {

Plugin samplePlugin()
{
    Plugin p;
    p.name = QStringLiteral("Glow | Pro");
    p.type = ZFCPluginType::subtitle;
    p.root = PluginRoot::system;
    p.path = QStringLiteral("/lib/Titles.localized/Glow | Pro");
    p.sizeBytes = 1234567;
    p.modifiedAt = QDateTime(QDate(2024, 3, 5), QTime(14, 7, 59));
    p.ozmlVersion = QStringLiteral("5.11");
    p.motionVersion = QStringLiteral("5.4.7");
    p.templateFileCount = 2;
    return p;
}

} // namespace

TEST(PluginRoot, RawValuesAreCaseSensitiveAndPathsFollowTheEnvironment)
{
    EXPECT_EQ(PluginRoot::from("user"), PluginRoot(PluginRoot::user));
    EXPECT_EQ(PluginRoot::from("system"), PluginRoot(PluginRoot::system));
    EXPECT_FALSE(PluginRoot::from("User").has_value());
    EXPECT_FALSE(PluginRoot::from(" user").has_value());

    EXPECT_EQ(PluginRoot(PluginRoot::user).path(), TestEnv::userLibrary());
    EXPECT_EQ(PluginRoot(PluginRoot::system).path(), TestEnv::systemLibrary());

    const QByteArray saved = qgetenv("LOOMWORK_SYSTEM_LIBRARY");
    qunsetenv("LOOMWORK_SYSTEM_LIBRARY");
    EXPECT_EQ(PluginRoot(PluginRoot::system).path(),
              QStringLiteral("/Library/Application Support/Final Cut Pro/Templates.localized"));
    qputenv("LOOMWORK_SYSTEM_LIBRARY", "/tmp/other/lib/");
    EXPECT_EQ(PluginRoot(PluginRoot::system).path(), QStringLiteral("/tmp/other/lib"));
    qputenv("LOOMWORK_SYSTEM_LIBRARY", saved);
}

// The install sheet's card and tooltip name the library installs go to, moved or not.
TEST(PluginRoot, TheSystemLibrarysTextsNameWhereItIs)
{
    struct Case {
        const char* overridden; // nullptr: not moved
        QString subtitle;
        QString shortPath;
    };
    const Case cases[] = {
        {nullptr, "/Library/Application Support/Final Cut Pro/Templates.localized", "/Library/…"},
        {"/srv/fcp/Templates.localized/", "/srv/fcp/Templates.localized", "/srv/…"},
        {"/Volumes/其它盘/模板", "/Volumes/其它盘/模板", "/Volumes/…"},
        {"/lib", "/lib", "/lib"},
    };
    const QByteArray saved = qgetenv("LOOMWORK_SYSTEM_LIBRARY");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.overridden ? c.overridden : "(not moved)");
        if (c.overridden)
            qputenv("LOOMWORK_SYSTEM_LIBRARY", c.overridden);
        else
            qunsetenv("LOOMWORK_SYSTEM_LIBRARY");
        const PluginRoot system(PluginRoot::system);
        EXPECT_EQ(system.subtitle(), c.subtitle);
        EXPECT_EQ(system.shortPath(), c.shortPath);
    }
    qputenv("LOOMWORK_SYSTEM_LIBRARY", saved);
    EXPECT_EQ(PluginRoot(PluginRoot::system).subtitle(), TestEnv::systemLibrary());
    EXPECT_EQ(PluginRoot(PluginRoot::user).shortPath(), QStringLiteral("~/Movies/…"));
}

TEST(Plugin, IdTextsAndIdentity)
{
    const Plugin p = samplePlugin();
    EXPECT_EQ(p.id(), QStringLiteral("system|subtitle|/lib/Titles.localized/Glow | Pro"));
    EXPECT_EQ(p.modifiedText(), QStringLiteral("2024-03-05 14:07"));
    EXPECT_EQ(p.motionText(), QStringLiteral("Motion 5.4.7"));
    EXPECT_EQ(p.sizeText(), QStringLiteral("1.2 MB"));

    Plugin bare = p;
    bare.modifiedAt.reset();
    bare.motionVersion.reset();
    EXPECT_EQ(bare.modifiedText(), QStringLiteral("—"));
    EXPECT_FALSE(bare.motionText().has_value());

    // Same folder, changed content: same id, different value.
    Plugin grown = p;
    grown.sizeBytes += 4096;
    EXPECT_EQ(grown.id(), p.id());
    EXPECT_NE(grown, p);
    EXPECT_EQ(qHash(Plugin(p)), qHash(p));

    // Same name in another category or library is another plug-in.
    Plugin otherType = p;
    otherType.type = ZFCPluginType::effect;
    Plugin otherRoot = p;
    otherRoot.root = PluginRoot::user;
    const QSet<QString> ids{p.id(), otherType.id(), otherRoot.id()};
    EXPECT_EQ(ids.size(), 3);

    // An absent version is not the same as an empty one.
    Plugin emptyVersion = bare;
    emptyVersion.motionVersion = QString();
    EXPECT_NE(emptyVersion, bare);
}

TEST(EngineText, ByteCountsReadLikeTheFinder)
{
    const struct {
        qint64 bytes;
        const char* text;
    } cases[] = {
        {0, "零 KB"},
        {1, "1 字节"},
        {999, "999 字节"},
        {1000, "1 KB"},
        {1499, "1 KB"},
        {1500, "2 KB"},
        {999499, "999 KB"},
        {999999, "1 MB"},
        {1000000, "1 MB"},
        {1250000, "1.3 MB"},
        {12345678, "12.3 MB"},
        {2250000000, "2.25 GB"},
        {3000000000000, "3 TB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(EngineText::byteCountText(c.bytes), QString::fromUtf8(c.text));
    }
}

TEST(EngineText, ChineseCharactersAreTheThreeHanBlocks)
{
    EXPECT_TRUE(EngineText::containsChinese(QStringLiteral("标题 Title")));
    EXPECT_TRUE(EngineText::containsChinese(QString::fromUcs4(U"\U00003400")));
    EXPECT_FALSE(EngineText::containsChinese(QStringLiteral("タイトル Title")));
    EXPECT_FALSE(EngineText::containsChinese(QStringLiteral("，。")));
}
