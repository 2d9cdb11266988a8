#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <SafeFS/Identity.h>
#include "engine/core/WorkerThread.h"
#include "engine/backup/PluginBackupError.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/core/FsPath.h"
#include "engine/files/AdminAuth.h"
#include "engine/files/AppJournal.h"
#include "engine/files/FileOps.h"
#include "engine/files/PluginFolderSwap.h"
#include "engine/files/PluginRemoval.h"
#include "engine/model/InstallPlan.h"
#include "engine/operations/OperationsCenter.h"
#include "support/app/BackupFixtures.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/TestEnv.h"

// Every step acts on the item the user saw: the conflict plan's for an install, the list's for
// a delete. Another user who puts something else at the name between the look and the step
// (he may rename anything in the shared library) never has it replaced or removed.
namespace {

constexpr ZFCPluginType effect{ZFCPluginType::effect};

SafeFS::Identity identityOf(const QString& path)
{
    SafeFS::Identity identity;
    EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(path), identity), 0) << path.toStdString();
    return identity;
}

bool renameItem(const QString& from, const QString& to, unsigned flags = 0)
{
    return ::renameat2(AT_FDCWD, FsPath::toBytes(from).c_str(), AT_FDCWD, FsPath::toBytes(to).c_str(), flags) == 0;
}

// Another user's move, taken as the operation reaches its first step of `kind`.
class NeighbourAtStep final : public FileOps
{
public:
    NeighbourAtStep(Step kind, std::function<void()> act) : m_kind(kind), m_act(std::move(act)), m_previous(setCurrent(this)) {}
    ~NeighbourAtStep() override { setCurrent(m_previous); }
    int stepFault(Step step, const QString&) override
    {
        if (step == m_kind && m_act)
            std::exchange(m_act, {})();
        return 0;
    }

private:
    Step m_kind;
    std::function<void()> m_act;
    FileOps* m_previous;
};

class SeenItemTest : public ::testing::TestWithParam<PluginRoot::Value>
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        AdminAuth::resetExplanation();
        m_alerts.setDefaultAnswer(true);
        m_category = PluginFixtures::categoryFolder(root(), effect);
        QDir().mkpath(m_category);
        ::chmod(QFile::encodeName(m_category).constData(), 0777);
        ASSERT_TRUE(m_work.isValid());
        m_package = m_work.filePath("Glow.zfcp");
        PackageMaker::pack(m_package, {{effect, "Glow", {{"new.txt", "new"}}}}, m_work.path());
    }
    void TearDown() override
    {
        WorkerThread::waitForAll();
        TestEnv::reset();
    }
    PluginRoot root() const { return GetParam(); }
    QString target() const { return m_category + "/Glow"; }

    // The plan the install sheet makes: what stood at the target when the user confirmed.
    InstallPlan planSeeing(const SafeFS::Identity& seen) const
    {
        InstallPlan plan{root(), {}, {}, {}};
        plan.seen.insert(InstallPlan::target(root(), effect, "Glow"), seen);
        return plan;
    }

    // Installs; the status line, or the alert when it failed.
    QString install(const InstallPlan& plan)
    {
        OperationsCenter center;
        center.install({m_package}, plan);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
        QCoreApplication::processEvents();
        return center.alertMessage().value_or(center.statusText());
    }

    struct Deleted {
        QString status;
        QString alert;
    };
    Deleted remove(const Plugin& plugin, std::vector<SafeFS::Identity> spared = {})
    {
        OperationsCenter center;
        center.remove({plugin}, {}, std::move(spared));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
        QCoreApplication::processEvents();
        return {center.statusText(), center.alertMessage().value_or("")};
    }

    Plugin listed(const QString& name) const
    {
        Plugin plugin;
        plugin.name = name;
        plugin.type = effect;
        plugin.root = root();
        plugin.path = m_category + "/" + name;
        plugin.identity = identityOf(plugin.path);
        return plugin;
    }

    QStringList hiddenLeft() const
    {
        QStringList out;
        for (const QString& name : PackageMaker::namesIn(m_category)) {
            if (name.startsWith('.'))
                out << name;
        }
        return out;
    }

    FakeAlertPresenter m_alerts;
    RecordingAdminRunner m_admin;
    QString m_category;
    QTemporaryDir m_work;
    QString m_package;
};

const QMap<QString, QByteArray> others{{"other.txt", "the neighbour's"}};
const QMap<QString, QByteArray> glowOld{{"old.txt", "old"}};
const QMap<QString, QByteArray> glowNew{{"new.txt", "new"}};

} // namespace

// Nothing stood at the target when the plan was made; the neighbour puts Other there before
// the install reaches it: a conflict, Other untouched, nothing installed.
TEST_P(SeenItemTest, AnInstallWhereNothingStoodReplacesNothing)
{
    const InstallPlan plan = planSeeing({});
    PackageMaker::makeFolder(m_category, "Glow", others);
    const QString said = install(plan);
    EXPECT_TRUE(said.contains("处出现了显示时没有的项目")) << said.toStdString();
    EXPECT_FALSE(said.contains("已安装")) << said.toStdString();
    EXPECT_EQ(PackageMaker::readTree(target()), others);
    EXPECT_TRUE(hiddenLeft().isEmpty()) << hiddenLeft().join(", ").toStdString();
}

// The user confirmed overwriting Glow; the neighbour renames his Other onto the name (Glow
// itself moved aside): Other is not replaced, Glow is kept where he left it.
TEST_P(SeenItemTest, AnInstallReplacesOnlyThePlugInThePlanSaw)
{
    PackageMaker::makeFolder(m_category, "Glow", glowOld);
    const InstallPlan plan = planSeeing(identityOf(target()));
    ASSERT_TRUE(renameItem(target(), m_category + "/Moved"));
    PackageMaker::makeFolder(m_category, "Glow", others);
    const QString said = install(plan);
    EXPECT_TRUE(said.contains("已不是显示时的那一项")) << said.toStdString();
    EXPECT_EQ(PackageMaker::readTree(target()), others);
    EXPECT_EQ(PackageMaker::readTree(m_category + "/Moved"), glowOld);
    EXPECT_TRUE(hiddenLeft().isEmpty()) << hiddenLeft().join(", ").toStdString();

    // The plug-in the plan saw, still there, is replaced as asked.
    ASSERT_TRUE(renameItem(m_category + "/Moved", target(), RENAME_EXCHANGE));
    EXPECT_EQ(install(plan), "已安装 1 个插件");
    EXPECT_EQ(PackageMaker::readTree(target()), glowNew);
    EXPECT_EQ(PackageMaker::readTree(m_category + "/Moved"), others);
}

// The neighbour exchanges the name with his Zed after the look, just before the exchange: what
// comes out is not the item seen, so it goes back at once and nothing is lost or reported done.
TEST_P(SeenItemTest, AnExchangeThatBringsOutAnotherItemIsUndoneAtOnce)
{
    PackageMaker::makeFolder(m_category, "Glow", glowOld);
    PackageMaker::makeFolder(m_category, "Zed", others);
    const InstallPlan plan = planSeeing(identityOf(target()));
    QString said;
    {
        NeighbourAtStep neighbour(FileOps::Step::exchange, [&] {
            ASSERT_TRUE(renameItem(target(), m_category + "/Zed", RENAME_EXCHANGE));
        });
        said = install(plan);
    }
    EXPECT_TRUE(said.contains("被其他用户换成了别的项目")) << said.toStdString();
    EXPECT_EQ(PackageMaker::readTree(target()), others); // as the neighbour left it
    EXPECT_EQ(PackageMaker::readTree(m_category + "/Zed"), glowOld);
    EXPECT_TRUE(hiddenLeft().isEmpty()) << hiddenLeft().join(", ").toStdString();
}

// Two plug-ins of one name in one package over a plug-in the plan saw: the second replaces the
// first one's new copy, not something the plan did not see.
TEST_P(SeenItemTest, ALaterTwinReplacesTheCopyItsGroupPutThere)
{
    PackageMaker::makeFolder(m_category, "Glow", glowOld);
    m_package = m_work.filePath("Twins.zfcp");
    PackageMaker::pack(m_package, {{effect, "Glow", {{"one.txt", "1"}}}, {effect, "Glow", {{"two.txt", "2"}}}},
                       m_work.filePath("twins"));
    EXPECT_EQ(install(planSeeing(identityOf(target()))), "已安装 1 个插件");
    EXPECT_EQ(PackageMaker::readTree(target()), (QMap<QString, QByteArray>{{"two.txt", "2"}}));
}

// The list showed Glow; by the delete another item stands at its name: it is left alone, and
// so is Glow wherever it went.
TEST_P(SeenItemTest, ADeleteRemovesOnlyThePlugInTheListShowed)
{
    PackageMaker::makeFolder(m_category, "Glow", glowOld);
    const Plugin glow = listed("Glow");
    ASSERT_TRUE(renameItem(target(), m_category + "/Moved"));
    PackageMaker::makeFolder(m_category, "Glow", others);
    const Deleted said = remove(glow);
    EXPECT_EQ(said.status, "已删除 0 个插件");
    EXPECT_TRUE(said.alert.contains("「Glow」在列表显示后已被换成别的项目，未删除")) << said.alert.toStdString();
    EXPECT_FALSE(said.alert.contains("权限或文件占用")) << said.alert.toStdString();
    EXPECT_EQ(PackageMaker::readTree(target()), others);
    EXPECT_EQ(PackageMaker::readTree(m_category + "/Moved"), glowOld);

    // Exchanged with Zed as the delete moves it: the item moved is checked and goes back.
    PackageMaker::makeFolder(m_category, "Zed", glowOld);
    const Plugin other = listed("Glow");
    Deleted raced;
    {
        NeighbourAtStep neighbour(FileOps::Step::rename, [&] {
            ASSERT_TRUE(renameItem(target(), m_category + "/Zed", RENAME_EXCHANGE));
        });
        raced = remove(other);
    }
    EXPECT_EQ(raced.status, "已删除 0 个插件");
    EXPECT_TRUE(raced.alert.contains("已被换成别的项目")) << raced.alert.toStdString();
    EXPECT_EQ(PackageMaker::readTree(target()), glowOld);
    EXPECT_EQ(PackageMaker::readTree(m_category + "/Zed"), others);
    EXPECT_TRUE(hiddenLeft().isEmpty()) << hiddenLeft().join(", ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(BothLibraries, SeenItemTest, ::testing::Values(PluginRoot::user, PluginRoot::system),
                         [](const auto& info) { return std::string(info.param == PluginRoot::user ? "User" : "System"); });

// A delete in the user library goes through a room and the journal: killed at any moment, the
// plug-in is whole or gone after recovery, never half, and nothing hidden stays.
TEST(UserLibraryDeleteTest, AKilledDeleteIsWholeOrGone)
{
    TestEnv::reset();
    const QString category = PluginFixtures::categoryFolder(PluginRoot::user, effect);
    QMap<QString, QByteArray> files;
    for (int i = 0; i < 600; ++i)
        files.insert(QString("Media/%1/f%2.png").arg(i % 30).arg(i), QByteArray::number(i));
    int gone = 0;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        PackageMaker::makeFolder(category, "Big", files);
        Plugin big;
        big.name = "Big";
        big.type = effect;
        big.root = PluginRoot::user;
        big.path = category + "/Big";
        big.identity = identityOf(big.path);
        const pid_t child = ::fork();
        if (child == 0) {
            // The delete's own steps, as the runner's worker takes them (no thread in a fork).
            PluginRemoval removal(big.path, big.identity);
            ::_exit(removal.run());
        }
        ASSERT_GT(child, 0);
        // Killed in the first rounds at once, later as soon as the delete shows: the plug-in
        // gone from its name, or a folder of it emptied (mid-way through, mostly).
        if (round >= 2)
            (void)QTest::qWaitFor([&] { return QDir(big.path + "/Media").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() < 30; }, 10000);
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        AppJournal::recover();
        if (QFileInfo::exists(big.path))
            EXPECT_EQ(PackageMaker::readTree(big.path).size(), files.size() + 30 + 1); // every file, folder and Media
        else
            ++gone;
        EXPECT_EQ(PackageMaker::namesIn(category), QFileInfo::exists(big.path) ? QStringList{"Big"} : QStringList{});
        QDir(big.path).removeRecursively();
    }
    EXPECT_GT(gone, 0);
    TestEnv::reset();
}

// Another user moves the owner's Keep into Doomed just before Doomed is deleted: Keep is a
// plug-in the list shows, so it is never deleted with Doomed; it stays, with what holds it,
// and the message says where.
TEST_P(SeenItemTest, APlugInMovedIntoAnotherIsNeverDeletedWithIt)
{
    PackageMaker::makeFolder(m_category, "Doomed", {{"d.txt", "doomed"}, {"Sub/s.txt", "doomed"}});
    PackageMaker::makeFolder(m_category, "Keep", {{"k.txt", "the owner's"}, {"Media/m.png", "m"}});
    const Plugin doomed = listed("Doomed");
    const Plugin keep = listed("Keep");
    Deleted said;
    {
        NeighbourAtStep neighbour(FileOps::Step::rename, [&] {
            ASSERT_TRUE(renameItem(m_category + "/Keep", m_category + "/Doomed/Sub/Keep"));
        });
        said = remove(doomed, {keep.identity});
    }
    const QString at = m_category + "/Doomed/Sub/Keep";
    EXPECT_EQ(PackageMaker::readTree(at), (QMap<QString, QByteArray>{{"k.txt", "the owner's"}, {"Media", "<dir>"}, {"Media/m.png", "m"}}));
    EXPECT_TRUE(said.alert.contains("列表中的另一个插件被移到了这里，未删除：" + at)) << said.alert.toStdString();
    EXPECT_FALSE(QFileInfo::exists(m_category + "/Doomed/d.txt")) << "Doomed's own files go";
    EXPECT_TRUE(hiddenLeft().isEmpty()) << hiddenLeft().join(", ").toStdString();
}

// A restore replaces only the plug-in the list showed: another item renamed onto its name
// since is left as it is, and so is the plug-in wherever it went.
TEST_P(SeenItemTest, ARestoreReplacesOnlyThePlugInTheListShowed)
{
    PackageMaker::makeFolder(m_category, "Glow", glowOld);
    const Plugin glow = listed("Glow");
    const PluginBackup backup = BackupFixtures::writeBackup("20260101-Glow-AAAA", glow.path, "汉化前备份",
                                                            QDateTime::currentDateTimeUtc());
    ASSERT_TRUE(renameItem(target(), m_category + "/Moved"));
    PackageMaker::makeFolder(m_category, "Glow", others);
    try {
        (void)PluginBackupStore::restore(backup, glow);
        ADD_FAILURE() << "restored over another item";
    } catch (const PluginBackupError& e) {
        EXPECT_TRUE(e.message().contains("已不是显示时的那一项")) << e.message().toStdString();
    }
    EXPECT_EQ(PackageMaker::readTree(target()), others);
    EXPECT_EQ(PackageMaker::readTree(m_category + "/Moved"), glowOld);
    EXPECT_TRUE(hiddenLeft().isEmpty()) << hiddenLeft().join(", ").toStdString();

    // The plug-in the list showed, back at its name, is restored.
    ASSERT_TRUE(renameItem(m_category + "/Moved", target(), RENAME_EXCHANGE));
    EXPECT_TRUE(PluginBackupStore::restore(backup, glow).isEmpty());
    EXPECT_EQ(PackageMaker::readTree(target()), (QMap<QString, QByteArray>{{"content.txt", "20260101-Glow-AAAA"}}));
}
