#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>

#include <SafeFS/Journal.h>
#include "engine/core/WorkerThread.h"
#include "engine/core/FsPath.h"
#include "engine/files/AppJournal.h"
#include "engine/files/TemplateEditError.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/StartUp.h"
#include "support/app/TestEnv.h"

using namespace PluginFixtures;

namespace {

// A new entry of the application's journal for a change of `kind` in `folder`.
SafeFS::JournalEntry entryIn(const QString& folder, const char* kind)
{
    SafeFS::JournalEntry entry;
    entry.id = SafeFS::newJournalId();
    entry.kind = kind;
    entry.places = {AppJournal::placeOf(folder)};
    return entry;
}

} // namespace

// Start-up puts right only what the application's own journal names. A name of our hidden
// forms, a record or a staged file in a library proves nothing: anyone who may write there
// can give one.
//
// A neighbour who may not delete the owner's plug-ins in the system library renames them to
// our hidden forms (a staging folder, an old copy beside its plug-in, one whose plug-in is
// gone). A rewrite's record of the old form, planted in a plug-in of the user's library, names
// a file outside it: by climbing with "..", by its absolute path, through a link in the
// plug-in; beside that file lies a staged file of the old form. The owner's next start, in a
// new process, moves nothing.
TEST(StartUpRecovery, OurHiddenFormsAndPlantedRecordsMoveNothing)
{
    if (StartUp::isChild()) {
        StartUp::run();
        return;
    }
    for (const QString& folder : {categoryFolder(PluginRoot::system, ZFCPluginType::effect),
                                  categoryFolder(PluginRoot::user, ZFCPluginType::effect)}) {
        PackageMaker::makeFolder(folder, ".Good.loomwork-install-0123456789abcdef", {{"Good.motn", "good"}});
        PackageMaker::makeFolder(folder, ".Blur.loomwork-replaced-0123456789abcdef", {{"Blur.motn", "old blur"}});
        PackageMaker::makeFolder(folder, "Blur", {{"Blur.motn", "blur"}});
        PackageMaker::makeFolder(folder, ".Gone.loomwork-replaced-fedcba9876543210", {{"Gone.motn", "gone"}});
    }
    const QString outside = TestEnv::root() + "/Outside";
    writeBytes(outside + "/secret.txt", "secret");
    const QString staged = ".loomwork-rewrite-00000000000000aa";
    writeBytes(outside + "/" + staged, "planted");
    const QStringList targets{"../../../../Outside/secret.txt", outside + "/secret.txt", "Link/secret.txt"};
    for (qsizetype i = 0; i < targets.size(); ++i) {
        const QString plugin = categoryFolder(PluginRoot::user, ZFCPluginType::effect) + "/Planted" + QString::number(i);
        writeBytes(plugin + "/A.motn", "template");
        makeSymlink(outside, plugin + "/Link");
        writeBytes(plugin + "/" + staged, "planted");
        writeBytes(plugin + "/.loomwork-rewrite-0123456789abcdef.record",
                   QByteArray("loomwork rewrite record 1\n") + QFile::encodeName(targets[i]) + '\0' + staged.toUtf8() + '\0'
                       + "end\n");
    }
    const QString places[] = {TestEnv::systemLibrary(), TestEnv::userLibrary(), outside};
    QList<QMap<QString, QByteArray>> before;
    for (const QString& place : places)
        before.append(PackageMaker::readTree(place, true));
    ASSERT_TRUE(StartUp::runInNewProcess("StartUpRecovery.OurHiddenFormsAndPlantedRecordsMoveNothing"));
    for (qsizetype i = 0; i < before.size(); ++i)
        EXPECT_EQ(PackageMaker::readTree(places[i], true), before[i]) << places[i].toStdString();
    QDir(outside).removeRecursively();
}

// What recovery cannot put right (an old copy another user moved away) is told once, in an
// alert of its own, with where the new plug-in stays; so is an entry too damaged to read.
TEST(StartUpRecovery, WhatCannotBePutRightIsToldOnce)
{
    const QString category = categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    PackageMaker::makeFolder(category, "Glow", {{"new.txt", "new"}});
    SafeFS::Journal journal;
    ASSERT_EQ(AppJournal::open(journal), 0);
    SafeFS::JournalEntry entry = entryIn(category, "install");
    SafeFS::Identity glow;
    ASSERT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(category + "/Glow"), glow), 0);
    entry.items.push_back({SafeFS::JournalItem::Role::made, 0, ".Glow.loomwork-incoming-" + entry.id, "Glow", glow});
    entry.items.push_back({SafeFS::JournalItem::Role::old, 0, ".Glow.loomwork-incoming-" + entry.id, "Glow", {1, 2, 3}});
    ASSERT_EQ(journal.write(entry), 0);
    const QString damaged = AppJournal::folder() + "/" + QString::fromStdString(SafeFS::newJournalId()) + ".entry";
    writeBytes(damaged, "loomwork journal 1\n");
    ::chmod(QFile::encodeName(damaged).constData(), 0600);

    FakeAlertPresenter alerts;
    AppJournal::recover();
    WorkerThread::waitForAll();
    ASSERT_EQ(alerts.questions().size(), 1);
    EXPECT_EQ(alerts.questions()[0].title, "上次的操作没有完成");
    EXPECT_TRUE(alerts.questions()[0].message.contains(category + "/Glow")) << alerts.questions()[0].message.toStdString();
    EXPECT_TRUE(alerts.questions()[0].message.contains(".damaged")) << alerts.questions()[0].message.toStdString();
    EXPECT_EQ(PackageMaker::readTree(category + "/Glow"), (QMap<QString, QByteArray>{{"new.txt", "new"}}));
    AppJournal::recover();
    WorkerThread::waitForAll();
    EXPECT_EQ(alerts.questions().size(), 1) << "told once";
}

namespace {

// The questions titled `title` asked so far.
int asked(const FakeAlertPresenter& alerts, const QString& title)
{
    int count = 0;
    for (const FakeAlertPresenter::Question& question : alerts.questions())
        count += question.title == title;
    return count;
}

QString messages(const FakeAlertPresenter& alerts)
{
    QStringList all;
    for (const FakeAlertPresenter::Question& question : alerts.questions())
        all.append(question.message);
    return all.join('\n');
}

} // namespace

// A disk not mounted at the next start: the change recorded there waits, and every start says
// so, naming the place; an operation before it comes back does not nag again. Once the disk is
// back the change is put right.
TEST(StartUpRecovery, AChangeOnADiskThatIsNotMountedWaitsAndIsSaidAtEveryStart)
{
    if (StartUp::isChild()) {
        FakeAlertPresenter alerts;
        StartUp::run();
        WorkerThread::waitForAll();
        EXPECT_EQ(alerts.questions().size(), 1);
        EXPECT_TRUE(messages(alerts).contains("Unplugged/Effects.localized：")) << messages(alerts).toStdString();
        return;
    }
    const QString disk = TestEnv::root() + "/Unplugged";
    const QString folder = disk + "/Effects.localized";
    PackageMaker::makeFolder(folder, "Glow", {{"new.txt", "new"}});
    PackageMaker::makeFolder(folder, ".Glow.loomwork-incoming-0123456789abcdef", {{"old.txt", "old"}});
    const auto identityOf = [](const QString& path) {
        SafeFS::Identity identity;
        EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(path), identity), 0);
        return identity;
    };
    SafeFS::Journal journal;
    ASSERT_EQ(AppJournal::open(journal), 0);
    SafeFS::JournalEntry entry = entryIn(folder, "swap");
    const std::string hidden = ".Glow.loomwork-incoming-0123456789abcdef";
    entry.items.push_back({SafeFS::JournalItem::Role::made, 0, hidden, "Glow", identityOf(folder + "/Glow")});
    entry.items.push_back({SafeFS::JournalItem::Role::old, 0, hidden, "Glow", identityOf(folder + "/" + QString::fromStdString(hidden))});
    ASSERT_EQ(journal.write(entry), 0);
    ASSERT_TRUE(QDir().rename(disk, TestEnv::root() + "/away"));

    FakeAlertPresenter alerts;
    AppJournal::recover(AppJournal::When::startUp);
    WorkerThread::waitForAll();
    ASSERT_EQ(alerts.questions().size(), 1);
    EXPECT_TRUE(alerts.questions()[0].message.contains(folder + "：")) << alerts.questions()[0].message.toStdString();
    AppJournal::recover();
    WorkerThread::waitForAll();
    EXPECT_EQ(alerts.questions().size(), 1) << "not again before each operation";
    EXPECT_EQ(journal.entries().size(), 1u);
    ASSERT_TRUE(StartUp::runInNewProcess("StartUpRecovery.AChangeOnADiskThatIsNotMountedWaitsAndIsSaidAtEveryStart"));
    EXPECT_EQ(journal.entries().size(), 1u);

    ASSERT_TRUE(QDir().rename(TestEnv::root() + "/away", disk));
    AppJournal::recover();
    WorkerThread::waitForAll();
    EXPECT_EQ(PackageMaker::readTree(folder), (QMap<QString, QByteArray>{{"Glow", "<dir>"}, {"Glow/old.txt", "old"}}));
    EXPECT_TRUE(journal.entries().empty());
    QDir(disk).removeRecursively();
}

// A journal folder that cannot be used keeps every change recorded in it from being put right:
// the start says so, naming the folder, and a template change names the journal, not the
// template, as what stopped it.
TEST(StartUpRecovery, AJournalFolderThatCannotBeUsedIsSaidAtStartAndNamedByATemplateChange)
{
    const QString journal = AppJournal::folder();
    const QString data = QFileInfo(journal).path();
    const QString elsewhere = TestEnv::root() + "/elsewhere";
    const struct Case {
        const char* name;
        std::function<void()> spoil;
        QString atFault;
        bool needsRoot = false;
    } cases[] = {
        {"open to its group and others to read", [&] { ::chmod(QFile::encodeName(journal).constData(), 0755); }, journal},
        {"open to all", [&] { ::chmod(QFile::encodeName(journal).constData(), 0777); }, journal},
        {"a link", [&] {
             QDir().mkpath(elsewhere);
             ::chmod(QFile::encodeName(elsewhere).constData(), 0700);
             QDir(journal).removeRecursively();
             makeSymlink(elsewhere, journal);
         }, journal},
        {"another user's", [&] { ::chown(QFile::encodeName(journal).constData(), 4242, 4242); }, journal, true},
        {"the data folder reached through another user's link", [&] {
             QDir(data).removeRecursively();
             QDir().mkpath(elsewhere + "/journal");
             ::chmod(QFile::encodeName(elsewhere + "/journal").constData(), 0700);
             makeSymlink(elsewhere, data);
             ::lchown(QFile::encodeName(data).constData(), 4242, 4242);
         }, data, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0)
            continue;
        TestEnv::reset();
        QDir(elsewhere).removeRecursively();
        SafeFS::Journal usable;
        ASSERT_EQ(AppJournal::open(usable), 0);
        const QString plugin = makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
        const QMap<QString, QByteArray> before = PackageMaker::readTree(plugin, true);
        c.spoil();

        FakeAlertPresenter alerts;
        AppJournal::recover(AppJournal::When::startUp);
        WorkerThread::waitForAll();
        ASSERT_EQ(alerts.questions().size(), 1);
        EXPECT_TRUE(alerts.questions()[0].message.contains("操作记录文件夹不能使用：" + c.atFault))
            << alerts.questions()[0].message.toStdString();

        QString failure;
        try {
            TemplateInspector::setVersion(plugin, "5.13", "5.6");
        } catch (const TemplateEditError& e) {
            failure = e.message();
        }
        EXPECT_TRUE(failure.startsWith("无法写入操作记录：" + c.atFault)) << failure.toStdString();
        EXPECT_EQ(PackageMaker::readTree(plugin, true), before);
        if (QFileInfo(data).isSymLink())
            QFile::remove(data);
        QFile::remove(journal);
    }
    QDir(elsewhere).removeRecursively();
}

// What a helper that died left, root's, the user cannot remove: each start offers the
// administrator's step again (a declined offer is not repeated within the run) until it is
// done, and then the entry is settled. So too for an old copy an install left beside its
// plug-in when the administrator's step was stopped before it moved anything, its room gone.
TEST(StartUpRecovery, RootsRemainsAreOfferedToTheAdministratorAtEachStart)
{
    constexpr uid_t user = 4321;
    const QString offer = "需要管理员删除";
    const QByteArray phase = qgetenv("LOOMWORK_TEST_ADMIN_PHASE");
    if (StartUp::isChild() && !phase.isEmpty()) {
        ASSERT_EQ(::geteuid(), user);
        FakeAlertPresenter alerts;
        alerts.setDefaultAnswer(phase == "agree");
        RecordingAdminRunner runner;
        StartUp::run();
        WorkerThread::waitForAll();
        AppJournal::recover(); // the next operation's
        WorkerThread::waitForAll();
        EXPECT_EQ(asked(alerts, offer), phase == "done" ? 0 : 1) << messages(alerts).toStdString();
        if (phase == "agree") {
            ASSERT_EQ(runner.commands().size(), 1);
            const QStringList command = runner.commands()[0];
            EXPECT_EQ(command.value(1), qEnvironmentVariable("LOOMWORK_TEST_ADMIN_OP")) << command.join(' ').toStdString();
            EXPECT_TRUE(command.contains(qEnvironmentVariable("LOOMWORK_TEST_ADMIN_NAME"))) << command.join(' ').toStdString();
        } else {
            EXPECT_TRUE(runner.commands().isEmpty());
        }
        // The plug-in whose old copy it was, never the hidden room it lies in.
        if (phase != "done" && qEnvironmentVariable("LOOMWORK_TEST_ADMIN_OP") == "remove-in-room") {
            EXPECT_TRUE(messages(alerts).contains(qEnvironmentVariable("LOOMWORK_TEST_ADMIN_PLUGIN"))) << messages(alerts).toStdString();
            EXPECT_FALSE(messages(alerts).contains(qEnvironmentVariable("LOOMWORK_TEST_ADMIN_NAME"))) << messages(alerts).toStdString();
        }
        EXPECT_EQ(QDir(AppJournal::folder()).entryList(QDir::Files).size(), phase == "done" ? 0 : 1);
        return;
    }
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to play a user beside root";
    const QByteArray home = QFile::encodeName(TestEnv::root());
    ASSERT_EQ(::chmod(home.constData(), 0711), 0);
    const auto closeHome = qScopeGuard([&] { ::chmod(home.constData(), 0700); });
    const QString category = categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    ::chmod(QFile::encodeName(category).constData(), 0777);
    const auto identityOf = [](const QString& path) {
        SafeFS::Identity identity;
        EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(path), identity), 0) << path.toStdString();
        return identity;
    };
    const struct {
        const char* label;
        bool inRoom;
    } cases[] = {{"half removed in the room of a helper that died", true}, {"an old copy beside, its room gone", false}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        // The user's own data and temporary folders.
        const QString data = TestEnv::root() + "/data-user-" + QString::number(++n);
        const QString temporary = TestEnv::root() + "/tmp-user-" + QString::number(n);
        QDir().mkpath(data + "/com.loomwork.app");
        QDir().mkpath(temporary);
        SafeFS::JournalEntry entry = entryIn(category, c.inRoom ? "admin" : "install");
        entry.state = SafeFS::JournalEntry::State::finish;
        const QString room = (c.inRoom ? ".Glow.loomwork-removing-" : ".Glow.loomwork-install-") + QString::fromStdString(entry.id);
        // What the administrator is to remove, root's: in adminRemove's room, or where an
        // install's exchange left it, as its entry names it after the commit.
        const QString left = c.inRoom ? room + "/Glow" : ".Glow.loomwork-incoming-" + QString::fromStdString(entry.id);
        writeBytes(category + "/" + left + "/Sub/f", "root's");
        if (c.inRoom) {
            ASSERT_EQ(::chown(QFile::encodeName(category + "/" + room).constData(), user, user), 0);
            ASSERT_EQ(::chmod(QFile::encodeName(category + "/" + room).constData(), 0700), 0);
            entry.items.push_back({SafeFS::JournalItem::Role::room, 0, room.toStdString(), "", identityOf(category + "/" + room)});
            entry.items.push_back({SafeFS::JournalItem::Role::old, 0, left.toStdString(), "Glow", identityOf(category + "/" + left)});
        } else {
            entry.items.push_back({SafeFS::JournalItem::Role::room, 0, room.toStdString(), "", {1, 2, 3}});
            entry.items.push_back({SafeFS::JournalItem::Role::made, 0, left.toStdString(), "", identityOf(category + "/" + left)});
        }
        const QString journalFolder = data + "/com.loomwork.app/journal";
        {
            SafeFS::Journal journal;
            ASSERT_EQ(journal.open(FsPath::toBytes(journalFolder)), 0);
            ASSERT_EQ(journal.write(entry), 0);
        }
        for (const QString& path : {temporary, data, data + "/com.loomwork.app", journalFolder,
                                    journalFolder + "/" + QString::fromStdString(entry.id) + ".entry"})
            ASSERT_EQ(::chown(QFile::encodeName(path).constData(), user, user), 0);

        // Each phase is a start of his, in a process of its own.
        const auto start = [&](const QByteArray& phase) {
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("LOOMWORK_START_UP_CHILD", "1");
            env.insert("LOOMWORK_START_UP_CHILD_HOME", TestEnv::root());
            env.insert("LOOMWORK_START_UP_CHILD_XDG_DATA_HOME", data);
            env.insert("LOOMWORK_START_UP_CHILD_LOOMWORK_SYSTEM_LIBRARY", TestEnv::systemLibrary());
            env.insert("LOOMWORK_TEST_ADMIN_PHASE", phase);
            env.insert("LOOMWORK_TEST_ADMIN_OP", c.inRoom ? "remove-in-room" : "remove");
            env.insert("LOOMWORK_TEST_ADMIN_NAME", c.inRoom ? room : left);
            env.insert("LOOMWORK_TEST_ADMIN_PLUGIN", category + "/Glow");
            env.insert("TMPDIR", temporary);
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start("/usr/bin/setpriv", {"--reuid=" + QString::number(user), "--regid=" + QString::number(user),
                                             "--clear-groups", QCoreApplication::applicationFilePath(),
                                             "--gtest_filter=StartUpRecovery.RootsRemainsAreOfferedToTheAdministratorAtEachStart"});
            EXPECT_TRUE(child.waitForFinished(60000));
            const QByteArray output = child.readAll();
            EXPECT_EQ(child.exitCode(), 0) << phase.toStdString() << "\n" << output.toStdString();
            EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << phase.toStdString() << "\n" << output.toStdString();
        };
        start("decline");
        EXPECT_TRUE(QFileInfo::exists(category + "/" + left + "/Sub/f"));
        start("agree");
        // The administrator's helper did its work.
        QDir(category + "/" + left).removeRecursively();
        start("done");
        EXPECT_EQ(PackageMaker::namesIn(category), QStringList()) << PackageMaker::namesIn(category).join(", ").toStdString();
        EXPECT_TRUE(QDir(journalFolder).isEmpty());
    }
}

// The start's alert says the interrupted change could not all be put right only when that is
// so: an install committed before its cut, whose new plug-in the user has deleted since, is
// settled (said once, naming the plug-in); one whose old copy another user moved away is not.
TEST(StartUpRecovery, TheAlertSaysNothingWasLeftUndoneWhenAllWasSettled)
{
    const struct {
        const char* why;
        bool committed;
        const char* heading;
    } cases[] = {{"committed, its new plug-in deleted since", true, "上次中断的操作已处理完"},
                 {"not committed, its old copy moved away", false, "上次中断的操作没能全部复原"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        TestEnv::reset();
        const QString category = categoryFolder(PluginRoot::user, ZFCPluginType::effect);
        PackageMaker::makeFolder(category, "Glow", {{"new.txt", "new"}});
        PackageMaker::makeFolder(category, "Elsewhere", {{"old.txt", "old"}});
        SafeFS::Journal journal;
        ASSERT_EQ(AppJournal::open(journal), 0);
        SafeFS::JournalEntry entry = entryIn(category, "install");
        entry.state = c.committed ? SafeFS::JournalEntry::State::finish : SafeFS::JournalEntry::State::undo;
        SafeFS::Identity glow, old;
        ASSERT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(category + "/Glow"), glow), 0);
        ASSERT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(category + "/Elsewhere"), old), 0);
        const std::string hidden = ".Glow.loomwork-incoming-" + entry.id;
        entry.items.push_back({SafeFS::JournalItem::Role::made, 0, hidden, "Glow", glow});
        entry.items.push_back({SafeFS::JournalItem::Role::old, 0, hidden, "Glow", old});
        ASSERT_EQ(journal.write(entry), 0);
        if (c.committed) {
            ASSERT_TRUE(QDir().rename(category + "/Glow", TestEnv::root() + "/deleted"));
        }

        FakeAlertPresenter alerts;
        AppJournal::recover(AppJournal::When::startUp);
        WorkerThread::waitForAll();
        ASSERT_EQ(alerts.questions().size(), 1);
        EXPECT_TRUE(alerts.questions()[0].message.startsWith(c.heading)) << alerts.questions()[0].message.toStdString();
        EXPECT_TRUE(alerts.questions()[0].message.contains(category + "/Glow")) << alerts.questions()[0].message.toStdString();
        EXPECT_EQ(journal.entries().size(), c.committed ? 0u : 1u);
        EXPECT_EQ(PackageMaker::readTree(category + "/Elsewhere"), (QMap<QString, QByteArray>{{"old.txt", "old"}}));
        QDir(TestEnv::root() + "/deleted").removeRecursively();
    }
}
