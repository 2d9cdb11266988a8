#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include "engine/files/AdminRunner.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// loomwork-admin runs as root on whatever it is given: it takes only a plain absolute root and
// a plain path inside it, and refuses a link on the way when it acts.
namespace {

struct HelperRun {
    int exitCode = -1;
    QString standardError;
};

HelperRun runHelper(const QStringList& arguments)
{
    QProcess process;
    process.start(AdminRunner::helperPath(), arguments);
    EXPECT_TRUE(process.waitForFinished(30000));
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardError())};
}

class AdminHelperTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        m_root = TestEnv::systemLibrary();
        PackageMaker::makeFolder(m_root + "/Effects.localized", "Glow", {{"a.txt", "a"}});
        m_before = PackageMaker::readTree(TestEnv::root(), true);
    }
    void TearDown() override { TestEnv::reset(); }

    QString m_root;
    QMap<QString, QByteArray> m_before;
};

} // namespace

constexpr char kHidden[] = ".Glow.loomwork-removing-0123456789abcdef";

TEST_F(AdminHelperTest, RefusesArgumentsThatAreNotPlainPathsAndChangesNothing)
{
    const QString glow = "Effects.localized/Glow";
    const QString hidden = kHidden;
    const QList<QStringList> refused{
        {},
        {"remove"},
        {"remove", m_root},
        {"remove", m_root, "", hidden},
        {"remove", m_root, ".", hidden},
        {"remove", m_root, "Effects.localized/..", hidden},
        {"remove", m_root, "Effects.localized/../Effects.localized/Glow", hidden},
        {"remove", m_root, "Effects.localized//Glow", hidden},
        {"remove", m_root, "/" + glow, hidden},
        {"remove", m_root, glow + "/", hidden},
        {"remove", "relative/root", glow, hidden},
        {"remove", m_root + "/..", "Templates.localized/" + glow, hidden},
        {"remove", m_root + "/./", glow, hidden},
        {"remove", "/", glow, hidden},
        {"remove", m_root, glow},
        {"remove", m_root, glow, hidden, "extra"},
        {"remove", m_root, glow, "Glow 2"},
        {"remove", m_root, glow, ".Glow.loomwork-removing-0123"},
        {"remove", m_root, glow, "../" + hidden},
        {"remove", m_root, glow, "Effects.localized/" + hidden},
        {"replace", m_root, glow, hidden},
        {"replace", m_root, glow, "relative/source", hidden},
        {"replace", m_root, glow, m_root + "/Effects.localized/Glow", ".notes"},
        {"mkdir", m_root, "Effects.localized/./New"},
        {"permit", m_root, "Effects.localized"},
        {"prepare-root", "Templates.localized"},
        {"rm", m_root, glow},
        {"--hex", "remove", QString::fromLatin1(m_root.toUtf8().toHex()), "zz"},
        {"--hex", "remove", QString::fromLatin1(m_root.toUtf8().toHex()), "456"},
        {"--hex", "remove", m_root, QString::fromLatin1(glow.toUtf8().toHex())},
        {"--hex", "remove", QString::fromLatin1(m_root.toUtf8().toHex()), QString::fromLatin1(QByteArray("Effects.localized/../x").toHex())},
    };
    for (const QStringList& arguments : refused) {
        SCOPED_TRACE(arguments.join(" | ").toStdString());
        const HelperRun run = runHelper(arguments);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.standardError.startsWith("loomwork-admin: ")) << run.standardError.toStdString();
    }
    EXPECT_EQ(PackageMaker::readTree(TestEnv::root(), true), m_before);
}

TEST_F(AdminHelperTest, RefusesALinkOnTheWayAndActsOtherwise)
{
    const QString victim = TestEnv::root() + "/victim";
    PackageMaker::makeFolder(victim, "Glow", {{"keep.txt", "victim's"}});
    PluginFixtures::makeSymlink(victim, m_root + "/Titles.localized");
    const auto before = PackageMaker::readTree(victim, true);

    for (const QStringList& arguments : QList<QStringList>{{"remove", m_root, "Titles.localized/Glow", kHidden},
                                                           {"mkdir", m_root, "Titles.localized/Glow/New"},
                                                           {"replace", m_root, "Titles.localized/Glow",
                                                            m_root + "/Effects.localized/Glow", kHidden}}) {
        SCOPED_TRACE(arguments.join(" | ").toStdString());
        const HelperRun run = runHelper(arguments);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.standardError.contains("symbolic link")) << run.standardError.toStdString();
    }
    // The link itself is left alone by the chmod; the library's own folders are opened.
    EXPECT_EQ(runHelper({"permit", m_root}).exitCode, 0);
    EXPECT_EQ(PackageMaker::readTree(victim, true), before);
    EXPECT_EQ(QFileInfo(m_root + "/Effects.localized/Glow/a.txt").permissions() & QFile::WriteOther, QFile::WriteOther);

    EXPECT_EQ(runHelper({"remove", m_root, "Effects.localized/Glow", kHidden}).exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(m_root + "/Effects.localized/Glow"));
    EXPECT_EQ(runHelper({"remove", m_root, "Effects.localized/Glow", kHidden}).exitCode, 0) << "nothing there is no error";
    EXPECT_EQ(PackageMaker::namesIn(m_root + "/Effects.localized"), QStringList{});
}

// The copy is made beside the plug-in and swapped in: a copy that fails leaves the old one.
// An item already at the hidden name is not the helper's, whatever its form: it stays.
TEST_F(AdminHelperTest, AReplaceThatCannotCopyKeepsTheOldPlugInAndWhatStoodAtTheHiddenName)
{
    const QString glow = "Effects.localized/Glow";
    const QString hidden = ".Glow.loomwork-restoring-0123456789abcdef";
    const HelperRun failed = runHelper({"replace", m_root, glow, TestEnv::root() + "/missing", hidden});
    EXPECT_EQ(failed.exitCode, 1) << failed.standardError.toStdString();
    EXPECT_EQ(PackageMaker::readTree(TestEnv::root(), true), m_before);

    const QString source = PackageMaker::makeFolder(TestEnv::root() + "/staged", "Glow", {{"b.txt", "b"}});
    PackageMaker::makeFolder(m_root + "/Effects.localized", hidden, {{"theirs.txt", "theirs"}});
    PackageMaker::makeFolder(m_root + "/Effects.localized", kHidden, {{"theirs.txt", "theirs"}});
    const auto planted = PackageMaker::readTree(TestEnv::root(), true);
    for (const QStringList& arguments : QList<QStringList>{{"replace", m_root, glow, source, hidden},
                                                           {"replace", m_root, glow, TestEnv::root() + "/missing", hidden},
                                                           {"remove", m_root, glow, kHidden}}) {
        SCOPED_TRACE(arguments.join(" | ").toStdString());
        EXPECT_EQ(runHelper(arguments).exitCode, 1);
        EXPECT_EQ(PackageMaker::readTree(TestEnv::root(), true), planted);
    }
    QDir(m_root + "/Effects.localized/" + hidden).removeRecursively();
    QDir(m_root + "/Effects.localized/" + kHidden).removeRecursively();

    EXPECT_EQ(runHelper({"replace", m_root, glow, source, hidden}).exitCode, 0);
    EXPECT_EQ(PackageMaker::readTree(m_root + "/Effects.localized"),
              (QMap<QString, QByteArray>{{"Glow", "<dir>"}, {"Glow/b.txt", "b"}}))
        << "the new copy in place, nothing hidden left beside it";
    QDir(TestEnv::root() + "/staged").removeRecursively();
}
