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

TEST_F(AdminHelperTest, RefusesArgumentsThatAreNotPlainPathsAndChangesNothing)
{
    const QString glow = "Effects.localized/Glow";
    const QList<QStringList> refused{
        {},
        {"remove"},
        {"remove", m_root},
        {"remove", m_root, ""},
        {"remove", m_root, "."},
        {"remove", m_root, "Effects.localized/.."},
        {"remove", m_root, "Effects.localized/../Effects.localized/Glow"},
        {"remove", m_root, "Effects.localized//Glow"},
        {"remove", m_root, "/" + glow},
        {"remove", m_root, glow + "/"},
        {"remove", "relative/root", glow},
        {"remove", m_root + "/..", "Templates.localized/" + glow},
        {"remove", m_root + "/./", glow},
        {"remove", "/", glow},
        {"remove", m_root, glow, "extra"},
        {"replace", m_root, glow},
        {"replace", m_root, glow, "relative/source"},
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

    for (const QStringList& arguments : QList<QStringList>{{"remove", m_root, "Titles.localized/Glow"},
                                                           {"mkdir", m_root, "Titles.localized/Glow/New"},
                                                           {"replace", m_root, "Titles.localized/Glow",
                                                            m_root + "/Effects.localized/Glow"}}) {
        SCOPED_TRACE(arguments.join(" | ").toStdString());
        const HelperRun run = runHelper(arguments);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.standardError.contains("symbolic link")) << run.standardError.toStdString();
    }
    // The link itself is left alone by the chmod; the library's own folders are opened.
    EXPECT_EQ(runHelper({"permit", m_root}).exitCode, 0);
    EXPECT_EQ(PackageMaker::readTree(victim, true), before);
    EXPECT_EQ(QFileInfo(m_root + "/Effects.localized/Glow/a.txt").permissions() & QFile::WriteOther, QFile::WriteOther);

    EXPECT_EQ(runHelper({"remove", m_root, "Effects.localized/Glow"}).exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(m_root + "/Effects.localized/Glow"));
    EXPECT_EQ(runHelper({"remove", m_root, "Effects.localized/Glow"}).exitCode, 0) << "nothing there is no error";
}

// The copy is made beside the plug-in and swapped in: a copy that fails leaves the old one.
TEST_F(AdminHelperTest, AReplaceThatCannotCopyKeepsTheOldPlugIn)
{
    const QString glow = "Effects.localized/Glow";
    const HelperRun failed = runHelper({"replace", m_root, glow, TestEnv::root() + "/missing"});
    EXPECT_EQ(failed.exitCode, 1) << failed.standardError.toStdString();
    EXPECT_EQ(PackageMaker::readTree(TestEnv::root(), true), m_before);

    const QString source = PackageMaker::makeFolder(TestEnv::root() + "/staged", "Glow", {{"b.txt", "b"}});
    EXPECT_EQ(runHelper({"replace", m_root, glow, source}).exitCode, 0);
    EXPECT_EQ(PackageMaker::readTree(m_root + "/Effects.localized"),
              (QMap<QString, QByteArray>{{"Glow", "<dir>"}, {"Glow/b.txt", "b"}}))
        << "the new copy in place, nothing hidden left beside it";
    QDir(TestEnv::root() + "/staged").removeRecursively();
}
