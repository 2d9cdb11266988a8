#include <gtest/gtest.h>

#include <csignal>

#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "engine/FileOps.h"
#include "engine/FsPath.h"
#include "engine/PluginFolderSwap.h"
#include "engine/SystemError.h"
#include "support/app/BackupFixtures.h"
#include "support/app/PackageMaker.h"

namespace {

QStringList hiddenIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).filter(QRegularExpression("^\\."));
}

// Stages a new "Glow" holding new.txt in `folder` and swaps it in; returns commit's result.
int replaceGlow(const QString& folder, const QString& purpose = "install", const QString& label = {})
{
    PluginFolderSwap swap(folder);
    QString staging;
    if (const int error = swap.makeStaging(purpose, label, &staging))
        return error;
    PackageMaker::makeFolder(staging, "Glow", {{"new.txt", "new"}});
    return swap.commit(staging + "/Glow", "Glow");
}

constexpr const char* kChildDir = "LOOMWORK_SWAP_CHILD_DIR";

} // namespace

TEST(PluginFolderSwap, AFailedSwapLeavesTheOldPluginInPlace)
{
    QTemporaryDir dir;
    const struct {
        const char* label;
        bool exchangeRefused;
        QList<QPair<QString, int>> renameFaults; // marker in a moved item's path, errno
        bool oldAtItsPlace;
    } cases[] = {
        {"the exchange fails", false, {{".loomwork-incoming", ENOSPC}}, true},
        {"old folder cannot be moved aside", true, {{"aside/Glow", EACCES}}, true},
        {"new folder cannot be moved in", true, {{".loomwork-incoming", ENOSPC}}, true},
        {"and the way back fails too", true, {{".loomwork-incoming", ENOSPC}, {".loomwork-replaced", EIO}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const QString folder = dir.path() + "/" + c.label;
        PackageMaker::makeFolder(folder, "Glow", {{"old.txt", "the user's plug-in"}, {"Media/a.png", "a"}});
        const auto before = PackageMaker::readTree(folder + "/Glow");
        {
            FaultyFileOps files;
            if (c.exchangeRefused)
                files.failOn(FaultyFileOps::Op::exchange, "", EINVAL);
            for (const auto& [marker, error] : c.renameFaults)
                files.failOn(FaultyFileOps::Op::rename, marker, error);
            EXPECT_EQ(replaceGlow(folder), c.renameFaults.first().second);
        }
        if (c.oldAtItsPlace) {
            EXPECT_EQ(PackageMaker::readTree(folder + "/Glow"), before);
            EXPECT_TRUE(hiddenIn(folder).isEmpty()) << hiddenIn(folder).join(", ").toStdString();
        } else {
            // Never removed: the old plug-in waits in its hidden copy.
            const QStringList kept = hiddenIn(folder).filter(".Glow.loomwork-replaced-");
            ASSERT_EQ(kept.size(), 1);
            EXPECT_EQ(PackageMaker::readTree(folder + "/" + kept.first()), before);
        }
    }
}

TEST(PluginFolderSwap, EachRunUsesItsOwnHiddenNames)
{
    const QString a = PluginFolderSwap::hiddenSibling("/f", "Glow", "restoring");
    EXPECT_NE(a, PluginFolderSwap::hiddenSibling("/f", "Glow", "restoring"));
    const QString longName(80, QChar(u'字'));
    EXPECT_LE(FsPath::encode(QFileInfo(PluginFolderSwap::hiddenSibling("/f", longName, "replaced")).fileName()).size(), 255);
}

// A child replaces "Glow" and is killed as its n-th file step starts, for every n. Recovery
// leaves alone what may belong to a run still going (newer than this process); then, as at
// the next start, it leaves the old plug-in or the new one, whole, and no leftover.
TEST(PluginFolderSwap, AKillAtAnyStepLeavesAWholePluginAfterRecovery)
{
    QTemporaryDir dir;
    const QMap<QString, QByteArray> fresh{{"new.txt", "new"}};
    const struct {
        const char* purpose;
        const char* label;
        bool exchangeRefused;
    } cases[] = {{"install", "", false}, {"restoring", "Glow", false}, {"install", "", true}, {"market", "Glow", true}};
    for (const auto& c : cases) {
        bool finished = false;
        for (int step = 1; step < 20 && !finished; ++step) {
            // <purpose>-<exchange refused>-<step killed at>
            const QString folder = QString("%1/%2-%3-%4").arg(dir.path(), c.purpose).arg(c.exchangeRefused).arg(step);
            SCOPED_TRACE(folder.toStdString());
            PackageMaker::makeFolder(folder, ".notes", {{"mine", "the user's own hidden folder"}});
            const auto old = PackageMaker::readTree(PackageMaker::makeFolder(folder, "Glow", {{"old.txt", "old"}}));
            const pid_t child = ::fork();
            if (child == 0) {
                FaultyFileOps files;
                if (c.exchangeRefused)
                    files.failOn(FaultyFileOps::Op::exchange, "", EINVAL);
                files.killAtCall(step);
                ::_exit(replaceGlow(folder, c.purpose, c.label));
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            ASSERT_TRUE(finished || (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) << status;

            const QStringList left = PackageMaker::namesIn(folder);
            PluginFolderSwap::recover(folder, PluginFolderSwap::startedAt());
            EXPECT_EQ(PackageMaker::namesIn(folder), left);
            PluginFolderSwap::recover(folder, std::chrono::system_clock::now());
            const auto now = PackageMaker::readTree(folder + "/Glow");
            EXPECT_TRUE(now == fresh || (!finished && now == old)) << now.keys().join(", ").toStdString();
            EXPECT_EQ(hiddenIn(folder), QStringList{".notes"});
        }
        EXPECT_TRUE(finished);
    }
}

// Removing a folder whose subfolders are read-only needs their write bit first; root never
// notices, so as root the test runs itself again as nobody.
TEST(PluginFolderSwap, ReplacesAPluginWithReadOnlySubfoldersAgainAndAgain)
{
    QString folder = qEnvironmentVariable(kChildDir);
    QTemporaryDir dir;
    if (folder.isEmpty() && ::geteuid() == 0) {
        if (::access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "needs setpriv to drop root";
        // The temporary folder may be root's own (0700): the child works where it can reach,
        // and keeps its own temporary files there.
        QTemporaryDir shared(QStringLiteral("/tmp/loomwork-swap-XXXXXX"));
        ASSERT_TRUE(shared.isValid());
        ::chmod(QFile::encodeName(shared.path()).constData(), 0777);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(kChildDir, shared.path());
        env.insert("TMPDIR", shared.path());
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                         QCoreApplication::applicationFilePath(),
                                         "--gtest_filter=PluginFolderSwap.ReplacesAPluginWithReadOnly*"});
        ASSERT_TRUE(child.waitForFinished(60000));
        const QByteArray output = child.readAll();
        EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
        return;
    }
    if (folder.isEmpty())
        folder = dir.path();
    else
        ASSERT_NE(::geteuid(), 0u);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        PluginFolderSwap swap(folder);
        QString staging;
        ASSERT_EQ(swap.makeStaging("restoring", "Glow", &staging), 0);
        PackageMaker::makeFolder(staging, "Glow", {{"Media/a.png", QByteArray::number(round)}});
        ASSERT_EQ(::chmod(QFile::encodeName(staging + "/Glow/Media").constData(), 0555), 0);
        ASSERT_EQ(swap.commit(staging + "/Glow", "Glow"), 0);
        EXPECT_TRUE(swap.leftover().isEmpty());
    }
    EXPECT_EQ(PackageMaker::readTree(folder + "/Glow").value("Media/a.png"), "2");
    EXPECT_TRUE(hiddenIn(folder).isEmpty()) << hiddenIn(folder).join(", ").toStdString();
    ::chmod(QFile::encodeName(folder + "/Glow/Media").constData(), 0755);
}

TEST(FileOps, AFullDiskReadsAsFullNotAsAnInputOutputError)
{
    QTemporaryDir dir;
    const QString small = dir.path() + "/small";
    QDir().mkpath(small);
    if (::mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    PackageMaker::makeFolder(dir.path(), "Big", {{"big.bin", PackageMaker::noise(400000, 3)}});
    const int error = FileOps::current().copyTree(dir.path() + "/Big", small + "/Big");
    ::umount(QFile::encodeName(small).constData());
    EXPECT_EQ(error, ENOSPC);
    EXPECT_EQ(SystemError::describe(error), QStringLiteral("磁盘空间不足"));
}
