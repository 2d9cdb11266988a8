// Every operation on a plug-in's folder takes its lease: it waits for that plug-in's pending
// removal (and only that one's), shows the wait, and touches nothing meanwhile.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "engine/core/WorkerThread.h"
#include "engine/backup/PluginBackupError.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/files/PluginLease.h"
#include "engine/files/TemplateChange.h"
#include "engine/files/TemplateEditError.h"
#include "engine/model/InstallPlan.h"
#include "engine/operations/Installation.h"
#include "engine/operations/OperationsCenter.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/BackupFixtures.h"
#include "support/app/BackupTest.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

namespace {

constexpr ZFCPluginType effect{ZFCPluginType::effect};

QString effects()
{
    return PluginRoot(PluginRoot::user).path() + "/" + QString::fromStdString(std::string(effect.directoryName()));
}

Plugin glow()
{
    Plugin plugin = BackupFixtures::pluginAt(effects() + "/Glow");
    plugin.name = "Glow";
    plugin.type = effect;
    return plugin;
}

SafeFS::Identity identityOf(const QString& folder)
{
    SafeFS::Identity identity;
    EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, QFile::encodeName(folder).toStdString(), identity), 0);
    return identity;
}

// What an operation showed and whether it has ended, seen on the GUI thread.
struct Watched
{
    QStringList statuses;
    bool finished = false;
    std::thread worker; // for operations run outside the operations center
};

// Runs `work` on a thread of its own whose waits are shown as a sheet shows them.
void onThread(Watched& run, std::function<void()> work)
{
    run.worker = std::thread([&run, work = std::move(work)] {
        const auto show = [&run](const QString& text) {
            QMetaObject::invokeMethod(qApp, [&run, text] { run.statuses << text; }, Qt::QueuedConnection);
        };
        try {
            const PluginLease::StatusScope shown(show);
            work();
        } catch (const std::exception& e) {
            show(QStringLiteral("failed: ") + QString::fromUtf8(e.what()));
        }
        QMetaObject::invokeMethod(qApp, [&run] { run.finished = true; }, Qt::QueuedConnection);
    });
}

void throughCenter(Watched& run, OperationsCenter& center, const std::function<void(OperationsCenter::Callback)>& start)
{
    QObject::connect(&center, &OperationsCenter::statusTextChanged, &center,
                     [&run](const QString& text) { run.statuses << text; });
    start([&run] { run.finished = true; });
}

class PluginLeaseTest : public BackupTest
{
protected:
    void TearDown() override
    {
        WorkerThread::waitForAll();
        PluginLease::setWaitHook(nullptr);
        TemplateChange::setStepFault(nullptr);
        BackupTest::TearDown();
    }
};

QMap<QString, QByteArray> treeOf(const QMap<QString, QByteArray>& files)
{
    QTemporaryDir dir;
    return PackageMaker::readTree(PackageMaker::makeFolder(dir.path(), "plug-in", files));
}

// With `pending`, a removal pending on the library's disk (of the plug-in "Other") until an
// operation waits for it; `then` runs as that wait starts.
class PendingOnTheDisk
{
public:
    PendingOnTheDisk(bool pending, std::function<void()> then = {})
    {
        const QString other = PackageMaker::makeFolder(effects(), "Other", {{"o", "o"}});
        if (pending)
            m_pending = std::make_unique<PluginLease::Removal>(identityOf(other));
        PluginLease::setWaitHook([this, then = std::move(then)] {
            waited = true;
            m_pending.reset();
            if (then)
                then();
        });
    }
    ~PendingOnTheDisk()
    {
        PluginLease::setWaitHook(nullptr);
        m_pending.reset();
    }
    PendingOnTheDisk(const PendingOnTheDisk&) = delete;
    PendingOnTheDisk& operator=(const PendingOnTheDisk&) = delete;

    bool waited = false;

private:
    std::unique_ptr<PluginLease::Removal> m_pending;
};

const QMap<QString, QByteArray> oldGlow{{"Glow.moef", "old glow"}, {"Media/a.png", "A"}};
const QMap<QString, QByteArray> changedGlow{{"Glow.moef", "changed since"}, {"Media/a.png", "A"}};
const QMap<QString, QByteArray> newGlow{{"Glow.moef", "new glow"}, {"Media/a.png", "A"}};

} // namespace

TEST_F(PluginLeaseTest, EveryOperationOnAPluginWaitsForItsOwnPendingRemovalOnly)
{
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString package = work.filePath("glow.zfcp");
    PackageMaker::pack(package, {{effect, "Glow", newGlow}}, work.path());
    OperationsCenter center;
    FakeAlertPresenter presenter;

    std::optional<PluginBackup> backup;
    struct Case
    {
        const char* name;
        const char* pendingOn; // the plug-in whose old contents are still being removed
        std::function<void(Watched&)> start;
        QMap<QString, QByteArray> expected; // Glow's files once it has ended
    };
    const auto remove = [&](Watched& run) {
        throughCenter(run, center, [&](auto done) { center.remove({glow()}, std::move(done)); });
    };
    const QList<Case> cases{
        {"delete", "Glow", remove, {}},
        {"delete beside another plug-in's removal", "Other", remove, {}},
        {"install over it", "Glow",
         [&](Watched& run) {
             throughCenter(run, center, [&](auto done) { center.install({package}, InstallPlan(), std::move(done)); });
         },
         treeOf(newGlow)},
        {"backup", "Glow",
         [&](Watched& run) {
             presenter.queuePick({QUrl::fromLocalFile(work.filePath("backup.zfcp"))});
             throughCenter(run, center,
                           [&](auto done) { center.backup({glow()}, BackupMode::single, std::nullopt, std::move(done)); });
         },
         treeOf(changedGlow)},
        {"restore", "Glow",
         [&](Watched& run) { onThread(run, [&backup] { PluginBackupStore::restore(*backup, glow()); }); },
         treeOf(oldGlow)},
        // A translation's backup, made before it rewrites anything.
        {"backup into the store", "Glow",
         [&](Watched& run) { onThread(run, [] { (void)PluginBackupStore::createBackup(glow(), "汉化", 1); }); },
         treeOf(changedGlow)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        PackageMaker::makeFolder(effects(), "Glow", oldGlow);
        PackageMaker::makeFolder(effects(), "Other", {{"o", "o"}});
        // What a restore brings back differs from what stands.
        backup = PluginBackupStore::createBackup(glow(), "r", 1);
        PluginFixtures::writeBytes(effects() + "/Glow/Glow.moef", "changed since");
        auto pending = std::make_unique<PluginLease::Removal>(identityOf(effects() + "/" + c.pendingOn));
        ASSERT_TRUE(pending->made());
        const bool own = QString(c.pendingOn) == "Glow";
        const QString waiting = PluginLease::waitingText("Glow");
        const QMap<QString, QByteArray> before = PackageMaker::readTree(effects() + "/Glow");

        Watched run;
        c.start(run);
        ASSERT_TRUE(QTest::qWaitFor([&] { return run.finished || run.statuses.contains(waiting); }, 20000));
        EXPECT_EQ(run.statuses.contains(waiting), own) << run.statuses.join(" | ").toStdString();
        EXPECT_EQ(run.finished, !own);
        if (own) {
            EXPECT_EQ(PackageMaker::readTree(effects() + "/Glow"), before) << "touched while it waited";
        }
        pending.reset();
        ASSERT_TRUE(QTest::qWaitFor([&] { return run.finished; }, 20000));
        if (run.worker.joinable())
            run.worker.join();
        QCoreApplication::processEvents();
        EXPECT_FALSE(run.statuses.join(" | ").contains("failed")) << run.statuses.join(" | ").toStdString();
        EXPECT_EQ(PackageMaker::readTree(effects() + "/Glow"), c.expected);
    }
}

// A lease held by one operation holds another off until it is released; the other says so.
TEST_F(PluginLeaseTest, TwoOperationsOnOnePluginNeverWorkBesideEachOther)
{
    const QString folder = PackageMaker::makeFolder(effects(), "Glow", oldGlow);
    PluginLease first = PluginLease::take(folder);
    ASSERT_TRUE(first.held());
    std::atomic<bool> waited{false};
    std::atomic<bool> taken{false};
    PluginLease::setWaitHook([&] {
        waited = true;
        waited.notify_all();
    });
    std::thread second([&] {
        const PluginLease lease = PluginLease::take(std::vector<PluginLease::Target>{{effects() + "/Other", {}}, {folder, {}}});
        taken = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return waited || taken; }, 20000));
    EXPECT_TRUE(waited);
    EXPECT_FALSE(taken) << "taken while the first held it";
    first.release();
    second.join();
    EXPECT_TRUE(taken);
}

// A change short of space waits for the removals pending on its disk and stages once more;
// only then is the disk called full.
TEST_F(PluginLeaseTest, ARewriteShortOfSpaceWaitsForPendingRemovalsAndTriesOnceMore)
{
    struct Case
    {
        const char* name;
        int faults;     // how many staging steps fail with `error`
        int error;
        bool pending;   // a removal on the same disk
        bool succeeds;
        bool waits;
    };
    const Case cases[] = {
        {"space freed by the removal", 1, ENOSPC, true, true, true},
        {"still full after it", 2, ENOSPC, true, false, true},
        {"full with nothing pending", 1, ENOSPC, false, false, false},
        {"another error", 1, EIO, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        const QString folder = effects() + "/Glow";
        for (const char* name : {"A.motn", "Scenes/B.moef"})
            PluginFixtures::writeBytes(folder + "/" + name, PluginFixtures::templateBytes());
        const auto before = PackageMaker::readTree(folder);
        int failed = 0;
        TemplateChange::setStepFault([&](int) { return failed++ < c.faults ? c.error : 0; });
        std::optional<PendingOnTheDisk> pending(std::in_place, c.pending);
        QString message;
        try {
            TemplateInspector::setVersion(folder, "5.13", "5.6");
        } catch (const TemplateEditError& e) {
            message = e.message();
        }
        const bool waited = pending->waited;
        pending.reset();
        TemplateChange::setStepFault(nullptr);
        EXPECT_EQ(waited, c.waits);
        EXPECT_EQ(message.isEmpty(), c.succeeds) << message.toStdString();
        if (c.error == ENOSPC && !c.succeeds) {
            EXPECT_TRUE(message.contains("磁盘空间不足")) << message.toStdString();
        }
        const QMap<QString, QByteArray> after = PackageMaker::readTree(folder);
        if (c.succeeds) {
            EXPECT_TRUE(after["A.motn"].contains("5.13"));
        } else {
            EXPECT_EQ(after, before);
        }
        const QStringList hidden = QDir(folder).entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot)
                                       .filter(QRegularExpression("^\\."));
        EXPECT_EQ(hidden, QStringList()) << "no staging left";
    }
}

// A restore short of space waits for the removals pending on its disk and copies once more;
// only then is the disk called full, with the plug-in as it was.
TEST_F(PluginLeaseTest, ARestoreShortOfSpaceWaitsForPendingRemovalsAndCopiesOnceMore)
{
    struct Case
    {
        const char* name;
        bool pending;   // a removal on the same disk
        bool freesSpace; // the copy succeeds once the removal has ended
        bool waits;
        bool restored;
    };
    const Case cases[] = {
        {"space freed by the removal", true, true, true, true},
        {"still full after it", true, false, true, false},
        {"full with nothing pending", false, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        const QString path = PackageMaker::makeFolder(effects(), "Keep", oldGlow);
        const Plugin plugin = BackupFixtures::pluginAt(path);
        const PluginBackup backup = PluginBackupStore::createBackup(plugin, "r", 1);
        PackageMaker::makeFolder(effects(), "Keep", changedGlow);
        FaultyFileOps files;
        files.failOn(FaultyFileOps::Op::copyTree, ".Keep.loomwork-restoring", ENOSPC);
        std::optional<PendingOnTheDisk> pending(std::in_place, c.pending, [&] {
            if (c.freesSpace)
                files.failNoMore();
        });
        QString message;
        try {
            PluginBackupStore::restore(backup, BackupFixtures::pluginAt(path));
        } catch (const PluginBackupError& e) {
            message = e.message();
        }
        const bool waited = pending->waited;
        pending.reset();
        EXPECT_EQ(waited, c.waits);
        EXPECT_EQ(message.isEmpty(), c.restored) << message.toStdString();
        EXPECT_EQ(PackageMaker::readTree(path), treeOf(c.restored ? oldGlow : changedGlow));
        if (!c.restored) {
            EXPECT_TRUE(message.contains("磁盘空间不足")) << message.toStdString();
        }
        const QStringList hidden = QDir(effects()).entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot)
                                       .filter(QRegularExpression("^\\."));
        EXPECT_EQ(hidden, QStringList()) << "no staging left";
    }
}

// An install whose extraction runs short of space part-way through a package waits for the
// removals pending on its disk and goes on from the plug-in that met it; only then is the
// disk called full, with nothing of the install left.
TEST_F(PluginLeaseTest, AnInstallShortOfSpaceWaitsForPendingRemovalsAndGoesOn)
{
    struct Case
    {
        const char* name;
        bool pending;    // a removal on the same disk
        bool freesSpace; // its end frees the filler
        bool waits;
        bool installed;
    };
    const Case cases[] = {
        {"space freed by the removal", true, true, true, true},
        {"still full after it", true, false, true, false},
        {"full with nothing pending", false, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        const QString package = TestEnv::root() + "/three.zfcp";
        QList<PackageMaker::Source> sources;
        for (const char* name : {"One", "Two", "Three"})
            sources.append({effect, name, {{"a.bin", PackageMaker::noise(60000, quint32(sources.size()) + 7)}}});
        PackageMaker::pack(package, sources, TestEnv::root() + "/work");
        QDir().mkpath(effects());
        // 64 pages: the filler and two plug-ins fit, the third does not.
        if (::mount("tmpfs", QFile::encodeName(effects()).constData(), "tmpfs", 0, "size=256k") != 0)
            GTEST_SKIP() << "cannot mount a small tmpfs here";
        const QString filler = effects() + "/filler";
        PluginFixtures::writeBytes(filler, QByteArray(100000, 'f'));
        Installation::Outcome outcome;
        bool waited = false;
        {
            PendingOnTheDisk pending(c.pending, [&] {
                if (c.freesSpace)
                    QFile::remove(filler);
            });
            auto readers = Installation::openPackages({package});
            outcome = Installation({package}, InstallPlan(), {}, {}).run(readers);
            waited = pending.waited;
        }
        const QStringList names = QDir(effects()).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
        ::umount(QFile::encodeName(effects()).constData());
        EXPECT_EQ(waited, c.waits);
        EXPECT_EQ(outcome.ok, c.installed) << outcome.text.toStdString();
        if (c.installed) {
            EXPECT_EQ(names, QStringList({"One", "Other", "Three", "Two"}));
        } else {
            EXPECT_TRUE(outcome.text.contains("磁盘空间不足")) << outcome.text.toStdString();
            EXPECT_EQ(names, QStringList({"Other"})) << "nothing of the install left";
        }
    }
}

// On a disk that a rewrite's old contents fill, the next change runs out of space part-way
// through a file: what it wrote goes, and once the old contents are gone it is written again.
// Played on a small file system of a mount namespace of its own, in a child.
TEST_F(PluginLeaseTest, AChangeThatFillsTheDiskTriesAgainOnceTheOldContentsAreGone)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    const QString library = effects();
    QDir().mkpath(library);
    QTemporaryDir outside;
    // 100 KB that do not compress: more than is free while A's old contents stay.
    QByteArray big(100 * 1024, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char((i * 2654435761u) >> 13);
    const QString package = outside.path() + "/C.zfcp";
    PackageMaker::pack(package, {{effect, "C", {{"C.moef", big}}}}, outside.path() + "/work");
    struct Case
    {
        const char* name;
        std::function<bool()> second; // true when it did what it was asked
    };
    const Case cases[] = {
        {"a rewrite", [&] { return TemplateInspector::setVersion(library + "/B", "5.13", "5.6").filesChanged == 1; }},
        {"an install",
         [&] {
             auto readers = Installation::openPackages({package});
             const Installation::Outcome outcome = Installation({package}, InstallPlan(), {}, {}).run(readers);
             if (!outcome.ok)
                 std::fprintf(stderr, "%s\n", outcome.text.toUtf8().constData());
             return outcome.ok && PackageMaker::readTree(library + "/C").value("C.moef") == big;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TemplateChange::waitForRemovals();
        const pid_t child = ::fork();
        if (child == 0) {
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                || ::mount("none", QFile::encodeName(library).constData(), "tmpfs", 0, "size=280k") != 0)
                ::_exit(77);
            PluginFixtures::TemplateOptions options;
            options.approxBytes = 48 * 1024;
            for (const char* name : {"A/1.motn", "A/2.motn", "B/1.motn"})
                PluginFixtures::writeBytes(library + "/" + name, PluginFixtures::templateBytes(options));
            // A's old contents stay until the second change has run short of space.
            static std::atomic<bool> released{false};
            static const std::thread::id main = std::this_thread::get_id();
            TemplateChange::setStepFault([](int) {
                if (std::this_thread::get_id() != main)
                    released.wait(false);
                return 0;
            });
            static std::atomic<bool> waited{false};
            const auto release = [] {
                released = true;
                released.notify_all();
            };
            TemplateChange::setRemovalWaitHook([release] {
                waited = true;
                release();
            });
            int status = 0;
            try {
                TemplateInspector::setVersion(library + "/A", "5.13", "5.6");
                status = c.second() ? 0 : 1;
            } catch (const TemplateEditError& e) {
                std::fprintf(stderr, "%s\n", e.message().toUtf8().constData());
                status = 2;
            }
            release();
            TemplateChange::waitForRemovals();
            ::_exit(status != 0 ? status : waited ? 0 : 3);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        if (WEXITSTATUS(status) == 77)
            GTEST_SKIP() << "no mount namespace here";
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not done, 2: refused, 3: never short of space";
    }
}
