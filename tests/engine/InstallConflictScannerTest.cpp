#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>

#include "engine/library/InstallConflictScanner.h"
#include "engine/model/InstallPlan.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

using namespace InstallConflictScanner;
using PluginFixtures::makePlugin;

namespace {

constexpr ZFCPluginType effect{ZFCPluginType::effect};
constexpr ZFCPluginType subtitle{ZFCPluginType::subtitle};

class InstallConflictScannerTest : public ::testing::Test
{
protected:
    void SetUp() override { TestEnv::reset(); }
};

QStringList describe(const QList<RenameItem>& plan)
{
    QStringList out;
    for (const RenameItem& item : plan)
        out << item.key + QStringLiteral(" : ") + item.from + QStringLiteral(" -> ") + item.to;
    return out;
}

} // namespace

TEST_F(InstallConflictScannerTest, KeysCarryTheOccurrenceFromTheSecondOn)
{
    EXPECT_EQ(InstallPlan::key(3, effect, QStringLiteral("A|B")), QStringLiteral("3|effect|A|B"));
    EXPECT_EQ(InstallPlan::key(0, ZFCPluginType::transitions, QStringLiteral("Wipe"), 1),
              QStringLiteral("0|transitions|Wipe"));
    EXPECT_EQ(InstallPlan::key(2, subtitle, QStringLiteral("Lower Third"), 3),
              QStringLiteral("2|subtitle|Lower Third|3"));
}

TEST_F(InstallConflictScannerTest, ScanFindsLibraryAndBatchCollisions)
{
    makePlugin(PluginRoot::system, effect, QStringLiteral("Glow"));
    makePlugin(PluginRoot::user, subtitle, QStringLiteral("Title"));
    makePlugin(PluginRoot::system, subtitle, QStringLiteral("Title"));
    // Any kind of item blocks a name: a plain file, a link to nowhere.
    PluginFixtures::writeBytes(PluginFixtures::categoryFolder(PluginRoot::user, effect) + "/Plain", "x");
    PluginFixtures::makeSymlink(QStringLiteral("/nonexistent/target"),
                                PluginFixtures::categoryFolder(PluginRoot::user, effect) + "/Dangling");
    // Checked under the folder name extraction would use.
    makePlugin(PluginRoot::user, effect, QStringLiteral("a_b"));

    const QList<Entry> entries{
        {0, QStringLiteral("Glow"), effect},       // system only
        {0, QStringLiteral("Fresh"), effect},      // no collision
        {1, QStringLiteral("Title"), subtitle},    // both libraries
        {1, QStringLiteral("Twin"), effect},       // batch duplicate ...
        {2, QStringLiteral("Twin"), effect},       // ... across packages
        {2, QStringLiteral("Twin"), subtitle},     // same name, other type: no duplicate
        {2, QStringLiteral("Plain"), effect},
        {3, QStringLiteral("Dangling"), effect},
        {3, QStringLiteral("a/b"), effect},
        {3, QStringLiteral("Glow"), subtitle},     // Glow exists as an effect only
    };
    const Report report = scan(entries);

    struct Expected { int id; bool inUser; bool inSystem; int batchCount; };
    const QList<Expected> expected{
        {0, false, true, 1}, {2, true, true, 1}, {3, false, false, 2}, {4, false, false, 2},
        {6, true, false, 1}, {7, true, false, 1}, {8, true, false, 1},
    };
    ASSERT_EQ(report.hits.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const Hit& hit = report.hits[i];
        EXPECT_EQ(hit.id, expected[i].id);
        EXPECT_EQ(hit.name, entries[hit.id].name);
        EXPECT_EQ(hit.packageIndex, entries[hit.id].packageIndex);
        EXPECT_EQ(hit.inUser, expected[i].inUser);
        EXPECT_EQ(hit.inSystem, expected[i].inSystem);
        EXPECT_EQ(hit.batchCount, expected[i].batchCount);
    }
    EXPECT_EQ(report.total, 10);
    EXPECT_EQ(report.perPackage, (QHash<int, int>{{0, 1}, {1, 2}, {2, 2}, {3, 2}}));
    EXPECT_EQ(report.userCount(), 4);
    EXPECT_EQ(report.systemCount(), 2);
    EXPECT_EQ(report.batchDuplicateCount(), 2);

    const Report empty = scan({});
    EXPECT_TRUE(empty.hits.isEmpty());
    EXPECT_EQ(empty.total, 0);
    EXPECT_TRUE(empty.perPackage.isEmpty());
}

TEST_F(InstallConflictScannerTest, AvailableNameSkipsLibrariesAndReservedNames)
{
    makePlugin(PluginRoot::user, effect, QStringLiteral("Glow 2"));
    PluginFixtures::writeBytes(PluginFixtures::categoryFolder(PluginRoot::system, effect) + "/Glow 3", "file");
    QSet<QString> reserved{batchKey(effect, QStringLiteral("Glow 4"))};

    EXPECT_EQ(availableName(QStringLiteral("Glow"), effect, reserved), QStringLiteral("Glow 5"));
    EXPECT_TRUE(reserved.contains(QStringLiteral("effect|Glow 5")));
    EXPECT_EQ(availableName(QStringLiteral("Glow"), effect, reserved), QStringLiteral("Glow 6"));
    // Other types have their own folders and reservations.
    EXPECT_EQ(availableName(QStringLiteral("Glow"), subtitle, reserved), QStringLiteral("Glow 2"));
}

TEST_F(InstallConflictScannerTest, FallbackNameIsCheckedLikeTheNumberedOnes)
{
    QSet<QString> reserved;
    for (int n = 2; n <= 999; ++n)
        reserved.insert(batchKey(effect, QStringLiteral("Glow %1").arg(n)));
    // The next few seconds are taken on disk already.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (qint64 s = now; s < now + 5; ++s)
        makePlugin(PluginRoot::user, effect, QStringLiteral("Glow %1").arg(s));

    const QString first = availableName(QStringLiteral("Glow"), effect, reserved);
    const QString second = availableName(QStringLiteral("Glow"), effect, reserved);
    ASSERT_TRUE(first.startsWith(QStringLiteral("Glow "))) << first.toStdString();
    EXPECT_GE(first.mid(5).toLongLong(), now + 5);
    EXPECT_NE(first, second);
    EXPECT_TRUE(reserved.contains(batchKey(effect, first)));
    EXPECT_TRUE(reserved.contains(batchKey(effect, second)));
}

TEST_F(InstallConflictScannerTest, RenamePlanGivesEveryHitItsOwnFreeName)
{
    struct Case {
        const char* name;
        QList<Entry> entries;
        QStringList libraryEffects; // user library
        QStringList expected;
    };
    const QList<Case> cases{
        {"same plug-in in two packages",
         {{0, "Glow", effect}, {1, "Glow", effect}},
         {},
         {"0|effect|Glow : Glow -> Glow 2", "1|effect|Glow : Glow -> Glow 3"}},
        {"Glow 2 on disk",
         {{0, "Glow", effect}},
         {"Glow", "Glow 2"},
         {"0|effect|Glow : Glow -> Glow 3"}},
        {"Glow 2 reserved by the batch",
         {{0, "Glow", effect}, {0, "Glow 2", effect}},
         {"Glow"},
         {"0|effect|Glow : Glow -> Glow 3"}},
        {"two of one name inside one package",
         {{0, "Glow", effect}, {0, "Glow", effect}},
         {},
         {"0|effect|Glow : Glow -> Glow 2", "0|effect|Glow|2 : Glow -> Glow 3"}},
        {"three inside one package, one in another",
         {{0, "Glow", effect}, {1, "Glow", effect}, {0, "Glow", effect}, {0, "Glow", effect}},
         {},
         {"0|effect|Glow : Glow -> Glow 2", "1|effect|Glow : Glow -> Glow 3",
          "0|effect|Glow|2 : Glow -> Glow 4", "0|effect|Glow|3 : Glow -> Glow 5"}},
        {"names that land in one folder",
         {{0, "x/y", effect}, {0, "x_y", effect}},
         {},
         {"0|effect|x_y : x/y -> x_y 2", "0|effect|x_y|2 : x_y -> x_y 3"}},
        {"white space the reader trims, in two packages",
         {{0, "N", effect}, {1, " N\u3000", effect}},
         {},
         {"0|effect|N : N -> N 2", "1|effect|N :  N\u3000 -> N 3"}},
        {"a folder on disk under the name made safe",
         {{0, "a/b", effect}},
         {"a_b", "a_b 2"},
         {"0|effect|a_b : a/b -> a_b 3"}},
        {"names with separators and quotes",
         {{3, "A|B", effect}, {4, "It's \"$x\" `id`", effect}},
         {"A|B", "It's \"$x\" `id`"},
         {"3|effect|A|B : A|B -> A|B 2", "4|effect|It's \"$x\" `id` : It's \"$x\" `id` -> It's \"$x\" `id` 2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        for (const QString& name : c.libraryEffects)
            makePlugin(PluginRoot::user, effect, name);
        const QList<RenameItem> plan = renamePlan(c.entries, scan(c.entries));
        EXPECT_EQ(describe(plan), c.expected);
    }
}
