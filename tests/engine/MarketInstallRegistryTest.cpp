#include <cerrno>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include "engine/market/MarketInstallRegistry.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

using namespace PluginFixtures;

namespace {

class MarketInstallRegistryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        MarketInstallRegistry::reloadFromDisk();
    }

    static QJsonObject fileObject()
    {
        return QJsonDocument::fromJson(readBytes(MarketInstallRegistry::fileURL())).object();
    }
};

} // namespace

TEST_F(MarketInstallRegistryTest, RecordsFoldersUnderTheirStandardizedPath)
{
    const QString lib = TestEnv::systemLibrary() + "/Titles.localized";
    EXPECT_FALSE(MarketInstallRegistry::isMarket(lib + "/Glow"));
    EXPECT_TRUE(MarketInstallRegistry::snapshot().pluginIds.isEmpty());
    EXPECT_FALSE(QFile::exists(MarketInstallRegistry::fileURL())); // reading writes nothing

    const qint64 before = QDateTime::currentSecsSinceEpoch();
    EXPECT_EQ(MarketInstallRegistry::registerPaths({lib + "/Glow/", lib + "/./Glow Extra"}, "p-1", "光效合集"), 0);
    const auto entries = MarketInstallRegistry::entries();
    ASSERT_EQ(entries.size(), 2);
    const auto glow = entries.value(lib + "/Glow");
    EXPECT_EQ(glow.pluginId, "p-1");
    EXPECT_EQ(glow.name, "光效合集");
    EXPECT_GE(glow.installedAt, before);
    EXPECT_LE(glow.installedAt, QDateTime::currentSecsSinceEpoch());
    EXPECT_EQ(entries.value(lib + "/Glow Extra"), glow);

    const struct {
        QString path;
        bool market;
    } lookups[] = {
        {lib + "/Glow", true},          {lib + "/Glow/", true}, {lib + "/./Glow", true},
        {lib + "/x/../Glow", true},     {lib + "/glow", false}, {lib + "/Glow Extra", true},
        {lib + "/Glow/Sub", false},
    };
    for (const auto& l : lookups) {
        SCOPED_TRACE(l.path.toStdString());
        EXPECT_EQ(MarketInstallRegistry::isMarket(l.path), l.market);
    }

    // The file holds the same, with an integer time; a fresh process reads it back.
    const QJsonObject stored = fileObject().value(lib + "/Glow").toObject();
    EXPECT_EQ(stored.value("pluginId").toString(), "p-1");
    EXPECT_EQ(stored.value("name").toString(), "光效合集");
    EXPECT_FALSE(readBytes(MarketInstallRegistry::fileURL()).contains("installedAt\":" + QByteArray::number(glow.installedAt) + "."));
    MarketInstallRegistry::reloadFromDisk();
    EXPECT_EQ(MarketInstallRegistry::entries(), entries);

    // Registering again replaces; unregistering forgets, also paths never recorded.
    EXPECT_EQ(MarketInstallRegistry::registerPaths({lib + "/Glow"}, "p-2", "Glow 2"), 0);
    EXPECT_EQ(MarketInstallRegistry::entries().value(lib + "/Glow").pluginId, "p-2");
    EXPECT_EQ(MarketInstallRegistry::unregisterPaths({lib + "/Glow/", lib + "/Never"}), 0);
    EXPECT_FALSE(MarketInstallRegistry::isMarket(lib + "/Glow"));
    EXPECT_TRUE(MarketInstallRegistry::isMarket(lib + "/Glow Extra"));
    EXPECT_EQ(fileObject().size(), 1);
}

TEST_F(MarketInstallRegistryTest, AnUndecodableFileCountsAsEmpty)
{
    const QByteArray files[] = {
        "[1, 2, 3]",
        "{\"/a\": {\"pluginId\": \"x\", \"name\": \"n\"}}",
        "{\"/a\": {\"pluginId\": \"x\", \"name\": \"n\", \"installedAt\": 1.5}}",
        "{\"/a\": {\"pluginId\": 7, \"name\": \"n\", \"installedAt\": 1}}",
        "{\"/a\": {\"pluginId\": \"x\", \"name\": \"n\", \"installedAt\": 1}, \"/b\": 3}",
        "not json at all",
        "",
    };
    for (const auto& content : files) {
        SCOPED_TRACE(content.toStdString());
        writeBytes(MarketInstallRegistry::fileURL(), content);
        MarketInstallRegistry::reloadFromDisk();
        EXPECT_FALSE(MarketInstallRegistry::isMarket("/a"));
        EXPECT_EQ(MarketInstallRegistry::registerPaths({"/new"}, "id", "name"), 0);
        const auto keys = MarketInstallRegistry::entries().keys();
        EXPECT_EQ(keys, QStringList{"/new"});
        MarketInstallRegistry::reloadFromDisk();
        EXPECT_EQ(MarketInstallRegistry::entries().keys(), QStringList{"/new"});
    }
    // A well-formed file is read as it is.
    writeBytes(MarketInstallRegistry::fileURL(),
               "{\"\\/lib\\/Glow\": {\"pluginId\": \"x\", \"name\": \"n\", \"installedAt\": 1700000000}}");
    MarketInstallRegistry::reloadFromDisk();
    EXPECT_TRUE(MarketInstallRegistry::isMarket("/lib/Glow"));
}

TEST_F(MarketInstallRegistryTest, SnapshotCountsExistingFoldersAndLibraryNames)
{
    const QString kept = makePlugin(PluginRoot::system, ZFCPluginType::effect, "Kept");
    makePlugin(PluginRoot::user, ZFCPluginType::subtitle, "  Glow ");
    makePlugin(PluginRoot::user, ZFCPluginType::subtitle, ".Secret");
    EXPECT_EQ(MarketInstallRegistry::registerPaths({kept}, "p-kept", "Kept"), 0);
    EXPECT_EQ(MarketInstallRegistry::registerPaths({TestEnv::systemLibrary() + "/Effects.localized/Gone"}, "p-gone", "Gone"), 0);

    const auto snap = MarketInstallRegistry::snapshot();
    EXPECT_EQ(snap.pluginIds, QSet<QString>{"p-kept"});
    EXPECT_EQ(snap.dirNames, (QSet<QString>{"kept", "glow"}));

    const struct {
        QString id;
        std::optional<QString> name;
        bool installed;
    } cases[] = {
        {"p-kept", std::nullopt, true},  {"p-gone", std::nullopt, false}, {"", QString(" GLOW\n"), true},
        {"p-other", QString("Glow"), true}, {"", QString("   "), false},  {"", QString(".secret"), false},
        {"", QString("Kept Extra"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id.toStdString() + " / " + c.name.value_or("<none>").toStdString());
        EXPECT_EQ(snap.contains(c.id, c.name), c.installed);
    }
}

TEST_F(MarketInstallRegistryTest, ConcurrentChangesLoseNoEntry)
{
    constexpr int threads = 8;
    constexpr int perThread = 60;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i) {
                const QString mine = QStringLiteral("/lib/t%1/p%2").arg(t).arg(i);
                EXPECT_EQ(MarketInstallRegistry::registerPaths({mine, mine + "-tmp"}, QString::number(t), "n"), 0);
                MarketInstallRegistry::isMarket(mine);
                EXPECT_EQ(MarketInstallRegistry::unregisterPaths({mine + "-tmp"}), 0);
            }
        });
    }
    for (auto& w : workers)
        w.join();

    const auto check = [](const QHash<QString, MarketInstallRegistry::Entry>& entries) {
        EXPECT_EQ(entries.size(), threads * perThread);
        for (int t = 0; t < threads; ++t) {
            for (int i = 0; i < perThread; ++i) {
                const auto key = QStringLiteral("/lib/t%1/p%2").arg(t).arg(i);
                ASSERT_TRUE(entries.contains(key)) << key.toStdString();
                EXPECT_EQ(entries.value(key).pluginId, QString::number(t));
            }
        }
    };
    check(MarketInstallRegistry::entries());
    // The file written last holds the same.
    MarketInstallRegistry::reloadFromDisk();
    check(MarketInstallRegistry::entries());
}

// A registry file that cannot be replaced (a folder stands at its name): registering and
// unregistering say so, the in-memory copy still holds the change, and the text names the file.
TEST_F(MarketInstallRegistryTest, ASaveThatFailsIsTold)
{
    ASSERT_TRUE(QDir().mkpath(MarketInstallRegistry::fileURL() + "/in-the-way"));
    MarketInstallRegistry::reloadFromDisk();
    EXPECT_NE(MarketInstallRegistry::registerPaths({"/lib/Glow"}, "p-1", "Glow"), 0);
    EXPECT_TRUE(MarketInstallRegistry::isMarket("/lib/Glow"));
    EXPECT_NE(MarketInstallRegistry::unregisterPaths({"/lib/Glow"}), 0);
    EXPECT_FALSE(MarketInstallRegistry::isMarket("/lib/Glow"));
    EXPECT_EQ(MarketInstallRegistry::unregisterPaths({}), 0) << "nothing to save";
    EXPECT_TRUE(QFileInfo(MarketInstallRegistry::fileURL()).isDir());
    EXPECT_TRUE(MarketInstallRegistry::saveFailure(EISDIR).endsWith(MarketInstallRegistry::fileURL()));
}
