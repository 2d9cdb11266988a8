#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <stdio.h>

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

#include <SafeFS/Durable.h>
#include "engine/core/WorkerThread.h"
#include "engine/files/AppJournal.h"
#include "engine/files/FileOps.h"
#include "engine/core/FsPath.h"
#include "engine/files/PluginFolderSwap.h"
#include "engine/core/SystemError.h"
#include "support/app/BackupFixtures.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

namespace {

// The files of the application's journal.
QStringList journalEntries()
{
    return QDir(AppJournal::folder()).entryList(QDir::Files | QDir::Hidden).replaceInStrings(".entry", "");
}

QStringList hiddenIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).filter(QRegularExpression("^\\."));
}

// Stages a new `name` holding new.txt in `folder` and swaps it in; returns commit's result.
int replaceGlow(const QString& folder, const QString& purpose = "install", const QString& label = {},
                const QString& name = "Glow")
{
    PluginFolderSwap swap(folder);
    QString staging;
    if (const int error = swap.makeStaging(purpose, label, &staging))
        return error;
    PackageMaker::makeFolder(staging, name, {{"new.txt", "new"}});
    return swap.commit(staging + "/" + name, name);
}

// Whether this file system swaps two names in one step, asked of the system itself: the
// product's exchange is what the kill test checks.
bool exchangeWorksIn(const QString& folder)
{
    const QByteArray a = QFile::encodeName(folder + "/a"), b = QFile::encodeName(folder + "/b");
    ::mkdir(a.constData(), 0700);
    ::mkdir(b.constData(), 0700);
#if defined(__linux__) && defined(RENAME_EXCHANGE)
    const bool works = ::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_EXCHANGE) == 0;
#elif defined(__APPLE__)
    const bool works = ::renamex_np(a.constData(), b.constData(), RENAME_SWAP) == 0;
#else
    const bool works = false;
#endif
    return ::rmdir(a.constData()) + ::rmdir(b.constData()) == 0 && works;
}

constexpr const char* kChildDir = "LOOMWORK_SWAP_CHILD_DIR";

// Stages each of `names` holding new.txt in `folder` and swaps them in as one group, the
// rooms made together as an install makes them; the group's commit result.
int replaceAsOne(const QString& folder, const QStringList& names, PluginSwapGroup* group)
{
    std::vector<std::unique_ptr<PluginFolderSwap>> swaps;
    std::vector<PluginFolderSwap*> raw;
    for (int i = 0; i < names.size(); ++i) {
        swaps.push_back(group->makeSwap(folder));
        raw.push_back(swaps.back().get());
    }
    qsizetype failed = -1;
    if (const int error = group->makeStagings(raw, "market", names, &failed))
        return error;
    for (int i = 0; i < names.size(); ++i) {
        const QString staging = swaps[std::size_t(i)]->staging();
        PackageMaker::makeFolder(staging, names[i], {{"new.txt", "new " + names[i].toUtf8()}});
        group->add(std::move(swaps[std::size_t(i)]), staging + "/" + names[i], names[i]);
    }
    return group->commit();
}

} // namespace

TEST(PluginFolderSwap, AFailedSwapLeavesTheOldPluginInPlace)
{
    QTemporaryDir dir;
    // Markers in "from\nto" of a move; "@" stands for the plug-in's folder.
    const struct {
        const char* label;
        bool exchangeRefused;
        QList<QPair<QString, int>> renameFaults; // marker, errno
        bool oldAtItsPlace;
    } cases[] = {
        {"the exchange fails", false, {{".loomwork-install-", ENOSPC}}, true},
        {"old folder cannot be moved aside", true, {{"aside/Glow\n", EIO}}, true},
        {"new folder cannot be moved in", true, {{"/Glow\n@/Glow", ENOSPC}}, true},
        {"and the way back fails too", true, {{"/Glow\n@/Glow", ENOSPC}, {"replaced-1\n@/Glow", EIO}}, false},
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
                files.failOn(FaultyFileOps::Op::rename, QString(marker).replace("@", folder), error);
            EXPECT_EQ(replaceGlow(folder), c.renameFaults.first().second);
        }
        if (!c.oldAtItsPlace) {
            // Never removed: the old plug-in waits aside in the room, recorded, and recovery
            // puts it back.
            const QStringList rooms = hiddenIn(folder);
            ASSERT_EQ(rooms.size(), 1);
            const QStringList kept = PackageMaker::namesIn(folder + "/" + rooms.first()).filter("replaced-");
            ASSERT_EQ(kept.size(), 1);
            EXPECT_EQ(PackageMaker::readTree(folder + "/" + rooms.first() + "/" + kept.first()), before);
            AppJournal::recover();
        }
        EXPECT_EQ(PackageMaker::readTree(folder + "/Glow"), before);
        EXPECT_TRUE(hiddenIn(folder).isEmpty()) << hiddenIn(folder).join(", ").toStdString();
        EXPECT_TRUE(journalEntries().isEmpty());
    }
}

// A child replaces a plug-in and is killed as its n-th file step starts, for every n. Where
// the exchange works the name holds a whole plug-in right after the kill. Recovery leaves
// alone every hidden item of the user's, however close to ours, and an entry of a change
// still running here; it leaves the old plug-in or the new one, whole, under its own name,
// and no leftover.
TEST(PluginFolderSwap, AKillAtAnyStepLeavesAWholePluginAfterRecovery)
{
    QTemporaryDir dir;
    const bool exchangeWorks = exchangeWorksIn(dir.path());
    const QMap<QString, QByteArray> fresh{{"new.txt", "new"}};
    const QString random = "-0123456789abcdef";
    const QStringList usersFolders{".notes", ".Notes.loomwork-old", ".config.loomwork-settings-2024",
                                   "..loomwork-backup", ".Glow.loomwork-mine", ".Keep.loomwork-replaced",
                                   ".Keep.loomwork-replaced-0123456789ABCDEF", ".Keep.loomwork-stash" + random};
    const QStringList usersFiles{".x.loomwork-notes", ".File.loomwork-replaced" + random};
    const QString longName(240, QLatin1Char('g'));
    const struct {
        const char* purpose;
        QString label;
        bool exchangeRefused;
        QString name;
    } cases[] = {{"install", "", false, "Glow"},
                 {"restoring", "Glow", false, "Glow"},
                 {"install", "", true, "Glow"},
                 {"market", "Glow", true, "Glow"},
                 {"market", longName, true, longName}};
    for (const auto& c : cases) {
        bool finished = false;
        for (int step = 1; step < 20 && !finished; ++step) {
            // <purpose>-<exchange refused>-<name length>-<step killed at>
            const QString folder =
                QString("%1/%2-%3-%4-%5").arg(dir.path(), c.purpose).arg(c.exchangeRefused).arg(c.name.size()).arg(step);
            SCOPED_TRACE(folder.toStdString());
            for (const QString& name : usersFolders)
                PackageMaker::makeFolder(folder, name, {{"mine", "the user's own hidden folder"}});
            for (const QString& name : usersFiles)
                PluginFixtures::writeBytes(folder + "/" + name, "the user's own hidden file");
            PluginFixtures::makeSymlink(".notes", folder + "/.Link.loomwork-replaced" + random);
            const auto old = PackageMaker::readTree(PackageMaker::makeFolder(folder, c.name, {{"old.txt", "old"}}));
            const pid_t child = ::fork();
            if (child == 0) {
                FaultyFileOps files;
                if (c.exchangeRefused)
                    files.failOn(FaultyFileOps::Op::exchange, "", EINVAL);
                files.killAtCall(step);
                ::_exit(replaceGlow(folder, c.purpose, c.label, c.name));
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            ASSERT_TRUE(finished || (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) << status;
            if (exchangeWorks && !c.exchangeRefused) {
                const auto now = PackageMaker::readTree(folder + "/" + c.name);
                EXPECT_TRUE(now == fresh || now == old) << "before recovery: " << now.keys().join(", ").toStdString();
            }

            const QStringList left = PackageMaker::namesIn(folder);
            const QStringList entries = journalEntries();
            if (!entries.isEmpty()) {
                AppJournal::started(entries.first().toStdString());
                AppJournal::recover();
                AppJournal::stopped(entries.first().toStdString());
                EXPECT_EQ(PackageMaker::namesIn(folder), left) << "a running change's entry is left alone";
            }
            AppJournal::recover();
            EXPECT_TRUE(journalEntries().isEmpty());
            const auto now = PackageMaker::readTree(folder + "/" + c.name);
            EXPECT_TRUE(now == fresh || (!finished && now == old)) << now.keys().join(", ").toStdString();
            QStringList expected = usersFolders + usersFiles + QStringList{".Link.loomwork-replaced" + random, c.name};
            expected.sort();
            EXPECT_EQ(PackageMaker::namesIn(folder), expected);
        }
        EXPECT_TRUE(finished);
    }
}

// Three plug-ins swapped in as one, the third failing: the first two go back, the old ones
// at their names exactly as they were, the new name gone, nothing hidden left.
TEST(PluginSwapGroup, AFailureUndoesTheSwapsBeforeIt)
{
    QTemporaryDir dir;
    const QString longName(240, QLatin1Char('g'));
    const struct {
        const char* label;
        bool exchangeRefused;
        QStringList names; // the second is new to the folder
        QString failing = ".Third.loomwork-market-"; // the room whose plug-in cannot go in
        int failedAt = 2;
    } cases[] = {
        {"exchange", false, {"Glow", "Spark", "Third"}},
        {"renames", true, {"Glow", "Spark", "Third"}},
        {"hashed names", true, {longName, "Spark", "Third"}},
        // The first fails; the second, recorded to replace the first's new copy, is not taken.
        {"a later copy of the same name", false, {"Glow", "Glow", "Third"}, ".Glow.loomwork-market-", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const QString folder = dir.path() + "/" + c.label;
        for (const QString& name : {c.names[0], c.names[2]}) {
            PackageMaker::makeFolder(folder, name, {{"old.txt", "old"}, {"Media/a.png", "a"}});
            ::chmod(QFile::encodeName(folder + "/" + name + "/Media").constData(), 0700);
        }
        const auto before = BackupFixtures::snapshot(folder);
        {
            FaultyFileOps files;
            if (c.exchangeRefused)
                files.failOn(FaultyFileOps::Op::exchange, "", EINVAL);
            files.failOn(FaultyFileOps::Op::rename, c.failing, ENOSPC);
            PluginSwapGroup group;
            EXPECT_EQ(replaceAsOne(folder, c.names, &group), ENOSPC);
            EXPECT_EQ(group.failedAt(), c.failedAt);
            EXPECT_TRUE(group.notRestored().isEmpty());
            EXPECT_TRUE(group.leftovers().empty());
        }
        EXPECT_EQ(BackupFixtures::snapshot(folder), before);
        EXPECT_TRUE(journalEntries().isEmpty());

        // Without the fault all three stand, and nothing old is kept.
        {
            PluginSwapGroup group;
            ASSERT_EQ(replaceAsOne(folder, c.names, &group), 0);
            EXPECT_EQ(group.failedAt(), -1);
        }
        for (const QString& name : c.names)
            EXPECT_EQ(PackageMaker::readTree(folder + "/" + name), (QMap<QString, QByteArray>{{"new.txt", "new " + name.toUtf8()}}));
        EXPECT_TRUE(hiddenIn(folder).isEmpty()) << hiddenIn(folder).join(", ").toStdString();
    }
}

// A child swaps two plug-ins in as one and is killed as its n-th file step starts, for every
// n; in some cases the second fails, so that the first is undone. After recovery the two are
// both old or (where none failed) both new, each whole, and nothing hidden is left.
TEST(PluginSwapGroup, AKillAnywhereLeavesBothOldOrBothNewAfterRecovery)
{
    QTemporaryDir dir;
    const QString longName(240, QLatin1Char('g'));
    const struct {
        bool exchangeRefused;
        QString first;
        bool secondFails;
        bool third; // a third plug-in, new to the folder
    } cases[] = {{false, "Glow", true, false}, {true, "Glow", true, false}, {true, longName, true, false},
                 {false, "Glow", false, false}, {true, longName, false, false}, {false, "Glow", false, true},
                 {true, "Glow", true, true}};
    for (const auto& c : cases) {
        bool finished = false;
        int steps = 0;
        for (int step = 1; step < 60 && !finished; ++step) {
            const QString folder = QString("%1/%2-%3-%4-%5-%6").arg(dir.path()).arg(c.exchangeRefused).arg(c.first.size()).arg(c.secondFails).arg(c.third).arg(step);
            SCOPED_TRACE(folder.toStdString());
            const auto oldFirst = PackageMaker::readTree(PackageMaker::makeFolder(folder, c.first, {{"old.txt", "old"}}));
            const auto oldSecond = PackageMaker::readTree(PackageMaker::makeFolder(folder, "Second", {{"old.txt", "old 2"}}));
            QStringList names{c.first, "Second"};
            if (c.third)
                names.append("Third");
            const pid_t child = ::fork();
            if (child == 0) {
                FaultyFileOps files;
                if (c.exchangeRefused)
                    files.failOn(FaultyFileOps::Op::exchange, "", EINVAL);
                if (c.secondFails)
                    files.failOn(FaultyFileOps::Op::rename, ".Second.loomwork-market-", ENOSPC);
                files.killAtCall(step);
                PluginSwapGroup group;
                ::_exit(replaceAsOne(folder, names, &group) == (c.secondFails ? ENOSPC : 0) ? 0 : 1);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            steps = step;
            ASSERT_TRUE(finished || (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) << status;
            AppJournal::recover();
            const auto first = PackageMaker::readTree(folder + "/" + c.first);
            const auto second = PackageMaker::readTree(folder + "/Second");
            const bool thirdGone = !QFileInfo::exists(folder + "/Third");
            const bool old = first == oldFirst && second == oldSecond && thirdGone;
            const bool fresh = first == QMap<QString, QByteArray>{{"new.txt", "new " + c.first.toUtf8()}}
                            && second == QMap<QString, QByteArray>{{"new.txt", "new Second"}}
                            && (!c.third || PackageMaker::readTree(folder + "/Third") == QMap<QString, QByteArray>{{"new.txt", "new Third"}});
            EXPECT_TRUE(c.secondFails ? old : (old && !finished) || fresh)
                << first.keys().join(", ").toStdString() << " / " << second.keys().join(", ").toStdString();
            QStringList expected = fresh ? names : QStringList{c.first, "Second"};
            expected.sort();
            EXPECT_EQ(PackageMaker::namesIn(folder), expected);
            EXPECT_TRUE(journalEntries().isEmpty());
        }
        EXPECT_TRUE(finished);
        // Kills were tried at more than the journal's writes: the exchanges and removals too.
        EXPECT_GT(steps, 5);
    }
}

// Where the exchange is refused and the old copy may not be removed (no rights), it waits
// hidden; once the user deletes the plug-in, recovery must not bring that old version back.
TEST(PluginFolderSwap, ACompletedReplaceNeverBringsTheOldVersionBack)
{
    QTemporaryDir dir;
    PackageMaker::makeFolder(dir.path(), "Glow", {{"old.txt", "old"}});
    {
        FaultyFileOps files;
        files.failOn(FaultyFileOps::Op::exchange, "", EINVAL);
        files.failOn(FaultyFileOps::Op::removeTree, ".loomwork-", EACCES);
        ASSERT_EQ(replaceGlow(dir.path()), 0);
    }
    QDir(dir.path() + "/Glow").removeRecursively();
    AppJournal::recover();
    EXPECT_EQ(PackageMaker::namesIn(dir.path()), QStringList{});
}

// Every local user may write in the system library: through a link there recovery touches
// nothing but its own room, found by identity (staging and commit refuse a link, as the
// installers' and the restore's tests show). The folder recorded is gone from its place: the
// entry is given up, said once, and the room it left where the folder went is cleared.
TEST(PluginFolderSwap, RecoveryThroughALinkInTheSystemLibraryClearsOnlyItsOwnRoom)
{
    QTemporaryDir outside;
    const QString category = TestEnv::systemLibrary() + "/Effects.localized";
    // A child killed once its room is made, as its first file step (a copy) starts.
    QDir().mkpath(category);
    const pid_t child = ::fork();
    if (child == 0) {
        FaultyFileOps files;
        files.killAtCall(4); // the entry, the room, the room's identity recorded, then the copy
        PluginFolderSwap swap(category);
        QString staging;
        (void)swap.makeStaging("install", "Glow", &staging);
        (void)FileOps::current().copyTree(outside.path(), staging + "/Glow");
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    const QStringList stale = PackageMaker::namesIn(category);
    ASSERT_EQ(stale.size(), 1);
    ASSERT_TRUE(QDir().rename(category, outside.path() + "/moved"));
    PluginFixtures::makeSymlink(outside.path() + "/moved", category);
    PackageMaker::makeFolder(outside.path() + "/moved", "Other", {{"o.txt", "o"}});
    FakeAlertPresenter alerts;
    AppJournal::recover();
    WorkerThread::waitForAll();
    EXPECT_EQ(PackageMaker::namesIn(outside.path() + "/moved"), QStringList{"Other"});
    EXPECT_EQ(PackageMaker::readTree(outside.path() + "/moved/Other"), (QMap<QString, QByteArray>{{"o.txt", "o"}}));
    EXPECT_TRUE(journalEntries().isEmpty());
    ASSERT_EQ(alerts.questions().size(), 1);
    EXPECT_TRUE(alerts.questions()[0].message.contains(category)) << alerts.questions()[0].message.toStdString();
    AppJournal::recover(AppJournal::When::startUp);
    WorkerThread::waitForAll();
    EXPECT_EQ(alerts.questions().size(), 1) << "said once";
    TestEnv::reset();
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
        // The child works, and keeps its own temporary files, in a folder of ours: it gets
        // search rights on the way there while it runs. Sticky, as /tmp is: its journal is
        // kept nowhere others may rename.
        QTemporaryDir shared;
        ASSERT_TRUE(shared.isValid());
        ::chmod(QFile::encodeName(shared.path()).constData(), 01777);
        QList<QPair<QByteArray, mode_t>> opened;
        for (QString at = QFileInfo(shared.path()).path(); at.startsWith(TestEnv::root()); at = QFileInfo(at).path()) {
            struct stat st {};
            if (::stat(QFile::encodeName(at).constData(), &st) == 0 && ::chmod(QFile::encodeName(at).constData(), st.st_mode | S_IXOTH) == 0)
                opened.append({QFile::encodeName(at), st.st_mode & 07777});
        }
        const std::shared_ptr<void> restoreModes(nullptr, [&opened](void*) {
            for (const auto& [path, mode] : opened)
                ::chmod(path.constData(), mode);
        });
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
        EXPECT_FALSE(swap.leftover());
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

// In the system library a link anywhere below the root refuses every step; in the user's own
// library links are followed as before.
TEST(FileOps, LinksAreRefusedBelowTheSystemLibraryAndFollowedElsewhere)
{
    QTemporaryDir outside;
    PackageMaker::makeFolder(outside.path(), "Glow", {{"a.txt", "a"}});
    const QString staged = PackageMaker::makeFolder(outside.path(), "Staged", {{"b.txt", "b"}});
    const auto before = PackageMaker::readTree(outside.path(), true);
    FileOps& files = FileOps::current();
    for (const PluginRoot root : {PluginRoot::system, PluginRoot::user}) {
        SCOPED_TRACE(root == PluginRoot::system ? "system" : "user");
        const QString library = PluginRoot(root).path();
        QDir().mkpath(library);
        PluginFixtures::makeSymlink(outside.path(), library + "/Effects.localized");
        const QString glow = library + "/Effects.localized/Glow";
        const int expected = root == PluginRoot::system ? ELOOP : 0;
        EXPECT_EQ(files.makePath(glow + "/Deep/er"), expected);
        EXPECT_EQ(files.makeFolder(glow + "/New"), expected);
        EXPECT_EQ(files.copyTree(staged, glow + "/Copy"), expected);
        EXPECT_EQ(files.rename(glow + "/Copy", glow + "/Moved"), expected);
        EXPECT_EQ(files.renameNoReplace(glow + "/Moved", glow + "/Moved 2"), expected);
        EXPECT_EQ(files.exchange(glow + "/Moved 2", glow + "/New"), expected);
        EXPECT_EQ(files.removeTree(glow), expected);
        if (root == PluginRoot::system) {
            EXPECT_EQ(PackageMaker::readTree(outside.path(), true), before);
            // The link itself is the library's: removing it never touches what it leads to.
            EXPECT_EQ(files.removeTree(library + "/Effects.localized"), 0);
            EXPECT_EQ(PackageMaker::readTree(outside.path(), true), before);
        } else {
            EXPECT_FALSE(QFileInfo::exists(outside.path() + "/Glow"));
        }
    }
    TestEnv::reset();
}

// Every staged copy is on disk before the first exchange: the file systems are synced first,
// and a sync that fails (the disk reports a write error) stops the swap with no exchange made,
// one plug-in or a group. What it staged goes, at once or by the next recovery.
TEST(PluginSwapGroup, AStagedSyncThatFailsStopsBeforeAnyExchange)
{
    QTemporaryDir dir;
    const struct {
        const char* label;
        QStringList names; // empty: one swap of Glow alone
        int syncError;
    } cases[] = {
        {"a group of three", {"Glow", "Spark", "Third"}, EIO},
        {"a group of three synced", {"Glow", "Spark", "Third"}, 0},
        {"one plug-in", {}, EIO},
        {"one plug-in synced", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const QString folder = dir.path() + "/" + c.label;
        for (const char* name : {"Glow", "Third"})
            PackageMaker::makeFolder(folder, name, {{"old.txt", "old"}});
        const auto before = BackupFixtures::snapshot(folder);
        int syncs = 0;
        const SafeFS::SyncHook previous = SafeFS::setSyncHookForTests([&](int) {
            ++syncs;
            return c.syncError;
        });
        int result = 0;
        QMap<QString, QByteArray> glowAfter;
        {
            PluginSwapGroup group;
            result = c.names.isEmpty() ? replaceGlow(folder) : replaceAsOne(folder, c.names, &group);
            glowAfter = PackageMaker::readTree(folder + "/Glow");
        }
        SafeFS::setSyncHookForTests(previous);
        EXPECT_GT(syncs, 0);
        EXPECT_EQ(result, c.syncError);
        const QByteArray glow = c.names.isEmpty() ? "new" : "new Glow";
        EXPECT_EQ(glowAfter, (QMap<QString, QByteArray>{{c.syncError ? "old.txt" : "new.txt", c.syncError ? "old" : glow}}));
        AppJournal::recover();
        if (c.syncError) {
            EXPECT_EQ(BackupFixtures::snapshot(folder), before);
        }
        EXPECT_TRUE(hiddenIn(folder).isEmpty()) << hiddenIn(folder).join(", ").toStdString();
        EXPECT_TRUE(journalEntries().isEmpty());
    }
}
