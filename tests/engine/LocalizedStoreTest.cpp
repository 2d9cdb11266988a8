#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include "engine/templates/LocalizedStore.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

using namespace PluginFixtures;

namespace {

constexpr qint64 kSecondsFrom1970To2001 = 978307200;

Plugin plugin(const QString& name, PluginRoot root = PluginRoot::user)
{
    Plugin p;
    p.name = name;
    p.type = ZFCPluginType::subtitle;
    p.root = root;
    p.path = root.path() + "/Titles.localized/" + name;
    return p;
}

ino_t inodeOf(const QString& path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

class LocalizedStoreTest : public ::testing::Test
{
protected:
    void SetUp() override { TestEnv::reset(); }
};

} // namespace

TEST_F(LocalizedStoreTest, MarkWritesOneRecordPerFolder)
{
    EXPECT_TRUE(LocalizedStore::records().isEmpty());
    const Plugin glow = plugin("字幕 Glow");
    LocalizedStore::mark(glow, 3);
    const auto second = LocalizedStore::mark(glow, 5);
    LocalizedStore::mark(plugin("Other", PluginRoot::system), 1);

    const auto records = LocalizedStore::records();
    ASSERT_EQ(records.size(), 2);
    EXPECT_EQ(records.value(glow.path), second);
    EXPECT_EQ(second.count, 5);
    EXPECT_EQ(second.pluginName, "字幕 Glow");
    EXPECT_EQ(second.root, "user");
    EXPECT_EQ(second.type, "subtitle");

    // Dates are seconds since 2001 as a plain number.
    const QJsonObject stored = QJsonDocument::fromJson(readBytes(LocalizedStore::fileURL())).object();
    const double seconds = stored.value(glow.path).toObject().value("date").toDouble();
    EXPECT_NEAR(seconds + kSecondsFrom1970To2001, QDateTime::currentSecsSinceEpoch(), 5);
    EXPECT_EQ(stored.value(glow.path).toObject().value("path").toString(), glow.path);
}

TEST_F(LocalizedStoreTest, RemoveAndPruneRewriteOnlyWhenSomethingGoes)
{
    const Plugin a = plugin("A");
    const Plugin b = plugin("B");
    LocalizedStore::mark(a, 1);
    LocalizedStore::mark(b, 2);
    const QString file = LocalizedStore::fileURL();

    ino_t inode = inodeOf(file);
    LocalizedStore::remove("/no/such/plugin");
    LocalizedStore::prune({a.path, b.path, "/extra"});
    EXPECT_EQ(inodeOf(file), inode);

    LocalizedStore::remove(a.path);
    EXPECT_NE(inodeOf(file), inode);
    EXPECT_EQ(LocalizedStore::records().keys(), QStringList{b.path});

    LocalizedStore::prune({});
    EXPECT_EQ(readBytes(file), "{}");
}

TEST_F(LocalizedStoreTest, AnUndecodableFileReadsEmptyAndIsSetAsideBeforeItIsReplaced)
{
    const QByteArray noDate =
        "{\"/p\": {\"pluginName\": \"P\", \"path\": \"/p\", \"root\": \"user\", \"type\": \"effect\", \"count\": 2}}";
    const QByteArray bad[] = {
        noDate,
        "{\"/p\": {\"pluginName\": \"P\", \"path\": \"/p\", \"root\": \"user\", \"type\": \"effect\", \"count\": "
        "\"2\", \"date\": 1}}",
        // Numbers beyond what a date or a count can hold.
        "{\"/p\": {\"pluginName\": \"P\", \"path\": \"/p\", \"root\": \"user\", \"type\": \"effect\", \"count\": 2, "
        "\"date\": 1e300}}",
        "{\"/p\": {\"pluginName\": \"P\", \"path\": \"/p\", \"root\": \"user\", \"type\": \"effect\", \"count\": 1e20, "
        "\"date\": 1}}",
        "[]",
        "{\"/p\": 1}",
        "{truncated",
    };
    for (const auto& content : bad) {
        SCOPED_TRACE(content.toStdString());
        TestEnv::reset();
        writeBytes(LocalizedStore::fileURL(), content);
        EXPECT_TRUE(LocalizedStore::records().isEmpty());
        LocalizedStore::remove("/p");
        LocalizedStore::prune({});
        EXPECT_EQ(readBytes(LocalizedStore::fileURL()), content); // nothing to drop: untouched

        LocalizedStore::mark(plugin("New"), 1);
        EXPECT_EQ(LocalizedStore::records().size(), 1);
        EXPECT_EQ(readBytes(LocalizedStore::fileURL() + ".bad"), content);
    }

    // A good file carries over its records and is not set aside.
    TestEnv::reset();
    writeBytes(LocalizedStore::fileURL(),
               "{\"/p\": {\"pluginName\": \"P\", \"path\": \"/p\", \"root\": \"user\", \"type\": \"effect\", "
               "\"count\": 2, \"date\": 700000000.25}}");
    const auto records = LocalizedStore::records();
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records.value("/p").date,
              QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc()).addMSecs(700000000250));
    LocalizedStore::mark(plugin("New"), 1);
    EXPECT_EQ(LocalizedStore::records().size(), 2);
    EXPECT_FALSE(QFile::exists(LocalizedStore::fileURL() + ".bad"));
}
