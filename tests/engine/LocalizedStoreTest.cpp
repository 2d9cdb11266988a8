#include <cerrno>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    EXPECT_EQ(LocalizedStore::mark(glow, 3), 0);
    EXPECT_EQ(LocalizedStore::mark(glow, 5), 0);
    EXPECT_EQ(LocalizedStore::mark(plugin("Other", PluginRoot::system), 1), 0);

    const auto records = LocalizedStore::records();
    ASSERT_EQ(records.size(), 2);
    const LocalizedRecord second = records.value(glow.path);
    EXPECT_EQ(second.path, glow.path);
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
    EXPECT_EQ(LocalizedStore::mark(a, 1), 0);
    EXPECT_EQ(LocalizedStore::mark(b, 2), 0);
    const QString file = LocalizedStore::fileURL();

    ino_t inode = inodeOf(file);
    EXPECT_EQ(LocalizedStore::remove("/no/such/plugin"), 0);
    EXPECT_EQ(LocalizedStore::prune({a.path, b.path, "/extra"}), 0);
    EXPECT_EQ(inodeOf(file), inode);

    EXPECT_EQ(LocalizedStore::remove(a.path), 0);
    EXPECT_NE(inodeOf(file), inode);
    EXPECT_EQ(LocalizedStore::records().keys(), QStringList{b.path});

    EXPECT_EQ(LocalizedStore::prune({}), 0);
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
        EXPECT_EQ(LocalizedStore::remove("/p"), 0);
        EXPECT_EQ(LocalizedStore::prune({}), 0);
        EXPECT_EQ(readBytes(LocalizedStore::fileURL()), content); // nothing to drop: untouched

        EXPECT_EQ(LocalizedStore::mark(plugin("New"), 1), 0);
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
    EXPECT_EQ(LocalizedStore::mark(plugin("New"), 1), 0);
    EXPECT_EQ(LocalizedStore::records().size(), 2);
    EXPECT_FALSE(QFile::exists(LocalizedStore::fileURL() + ".bad"));
}

// A record file that cannot be replaced (a folder stands at its name): the change says so,
// what stands there stays, and the text names the file.
TEST_F(LocalizedStoreTest, ARecordThatCannotBeSavedIsToldAndTheFileStays)
{
    const Plugin glow = plugin("Glow");
    ASSERT_TRUE(QDir().mkpath(LocalizedStore::fileURL() + "/in-the-way"));
    EXPECT_NE(LocalizedStore::mark(glow, 2), 0);
    EXPECT_NE(LocalizedStore::mark(glow, 3), 0);
    EXPECT_TRUE(QFileInfo(LocalizedStore::fileURL()).isDir());
    EXPECT_TRUE(LocalizedStore::saveFailure(EISDIR).endsWith(LocalizedStore::fileURL()));
}
