#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <functional>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>

#include <SafeFS/Journal.h>
#include "engine/core/WorkerThread.h"
#include "engine/files/AdminAuth.h"
#include "engine/files/AppJournal.h"
#include "engine/backup/PluginBackupError.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/operations/PluginModifier.h"
#include "engine/library/PluginScanner.h"
#include "engine/core/SystemError.h"
#include "engine/files/TemplateChange.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/BackupFixtures.h"
#include "support/app/BackupTest.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/StartUp.h"
#include "support/app/TestEnv.h"

using namespace BackupFixtures;
using namespace PluginFixtures;

namespace {

// Leaves the libraries as it found them: other suites expect an empty system library.
class TemplateChangeTest : public BackupTest
{
protected:
    void TearDown() override
    {
        if (m_openedRoot)
            ::chmod(QFile::encodeName(TestEnv::root()).constData(), 0700);
        TestEnv::reset();
        for (const QString& name : QDir(TestEnv::root()).entryList({"Outside*"}, QDir::AllEntries | QDir::System))
            QDir(TestEnv::root() + "/" + name).removeRecursively();
    }

    // A data folder of the ordinary user `uid`, who may pass through the test's root to the
    // libraries; its path (for XDG_DATA_HOME in a child run as that user).
    QByteArray dataFolderOf(uid_t uid)
    {
        EXPECT_EQ(::chmod(QFile::encodeName(TestEnv::root()).constData(), 0711), 0);
        m_openedRoot = true;
        const QString data = TestEnv::root() + "/data-user";
        QDir().mkpath(data);
        EXPECT_EQ(::chown(QFile::encodeName(data).constData(), uid, uid), 0);
        return QFile::encodeName(data);
    }

private:
    bool m_openedRoot = false;
};

const QStringList kTemplates{"A.motn", "B.moef", "Scenes/C.motn", "Scenes/D.motr", "Scenes/Deep/E.moti", "F.motn"};

QByteArray smallTemplate()
{
    TemplateOptions options;
    options.approxBytes = 2048;
    return templateBytes(options);
}

QString makeSixTemplates(const QString& folder)
{
    for (const QString& name : kTemplates)
        writeBytes(folder + "/" + name, smallTemplate());
    return folder;
}

// Rewrites the plug-in's templates to 5.13 / 5.6; the refusal's message, empty when done.
QString rewriteRefusal(const QString& folder)
{
    try {
        TemplateInspector::setVersion(folder, "5.13", "5.6");
    } catch (const TemplateEditError& e) {
        return e.message();
    }
    return {};
}

// Every hidden name below `folder`: a rewrite must leave none of its own.
QStringList hiddenEntries(const QString& folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileName().startsWith('.'))
            out.append(it.filePath());
    }
    return out;
}

// How many templates hold `marker`; the rest must hold the original text.
int templatesWith(const QString& folder, const QByteArray& marker)
{
    int count = 0;
    for (const QString& name : kTemplates) {
        const QByteArray bytes = readBytes(folder + "/" + name);
        if (bytes.contains(marker))
            ++count;
        else
            EXPECT_EQ(bytes, smallTemplate()) << name.toStdString();
    }
    return count;
}

// Runs `change` in a child that is killed (SIGKILL) after step `step`, as the user `uid`
// (0: as this process); true when the child finished before that step.
bool runKilledAt(int step, const std::function<void()>& change, uid_t uid = 0)
{
    // A fork copies no thread: no worker of ours may be running then.
    TemplateChange::waitForRemovals();
    const pid_t child = ::fork();
    if (child == 0) {
        if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0))
            ::_exit(3);
        TemplateChange::setStepHook([step](int at) {
            if (at == step)
                ::kill(::getpid(), SIGKILL);
        });
        try {
            change();
        } catch (...) {
            ::_exit(2);
        }
        // The old contents go after the call: killed there too, when the step is one of theirs.
        TemplateChange::waitForRemovals();
        ::_exit(0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE((WIFEXITED(status) && WEXITSTATUS(status) == 0) || (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL))
        << status;
    return WIFEXITED(status);
}

// The six templates with A.motn and Scenes/C.motn linked to `outside` (the user's own
// library follows linked templates).
QString makeSixLinkedTemplates(const QString& folder, const QString& outside)
{
    makeSixTemplates(outside);
    makeSixTemplates(folder);
    for (const QString& name : {QString("A.motn"), QString("Scenes/C.motn")}) {
        QFile::remove(folder + "/" + name);
        makeSymlink(outside + "/" + name, folder + "/" + name);
    }
    return folder;
}

// A kill anywhere leaves the plug-in, once recovered, wholly old (before the finish state) or
// wholly new (from it on), with none of our temporaries and no journal entry; also a kill after
// the call has returned, while its old contents are being removed.
void killAtEveryStep(const QString& library, const std::function<void(const QString&)>& change,
                     const QByteArray& marker, bool linked = false)
{
    // Six staged files, the finish state, six exchanges; after the call, the sync of the
    // changed folders and the emptying of each staging folder (one per folder of templates).
    const int rooms = linked ? 5 : 3;
    const int steps = 6 + 1 + 6 + 1 + rooms;
    for (int step = 1; step <= steps + 1; ++step) {
        const QString plugin = QString("%1/Effects.localized/%2%3").arg(library, linked ? "Linked" : "Glow").arg(step);
        const QString outside = QString("%1/Outside%2").arg(TestEnv::root()).arg(step);
        const QString folder = linked ? makeSixLinkedTemplates(plugin, outside) : makeSixTemplates(plugin);
        SCOPED_TRACE(folder.toStdString());
        const bool finished = runKilledAt(step, [&] { change(folder); });
        EXPECT_EQ(finished, step > steps);
        AppJournal::recover();
        EXPECT_EQ(templatesWith(folder, marker), step <= 6 ? 0 : 6);
        EXPECT_EQ(hiddenEntries(folder), QStringList());
        EXPECT_EQ(hiddenEntries(outside), QStringList());
        EXPECT_TRUE(QDir(AppJournal::folder()).isEmpty());
    }
}

} // namespace

TEST_F(TemplateChangeTest, AKilledRewriteIsWhollyOldOrWhollyNewInBothLibraries)
{
    // Where the file system cannot exchange, each template's old content is moved aside first.
    TemplateChange::setExchangeRefused(true);
    killAtEveryStep(
        TestEnv::systemLibrary(), [](const QString& folder) { TemplateInspector::setVersion(folder, "5.13", "5.6"); },
        "version=\"5.13\"");
    TemplateChange::setExchangeRefused(false);
    QDir(TestEnv::systemLibrary()).removeRecursively();
    for (const QString& library : {TestEnv::userLibrary(), TestEnv::systemLibrary()}) {
        killAtEveryStep(
            library, [](const QString& folder) { TemplateInspector::setVersion(folder, "5.13", "5.6"); },
            "version=\"5.13\"");
        killAtEveryStep(
            library,
            [](const QString& folder) { TemplateInspector::applyTranslations(folder, {{"Font", "字体"}}); },
            "name=\"字体\"");
    }
    // The user's linked templates are part of the same whole.
    killAtEveryStep(
        TestEnv::userLibrary(), [](const QString& folder) { TemplateInspector::setVersion(folder, "5.13", "5.6"); },
        "version=\"5.13\"", true);
}

// The next change, and the start, finish what a killed change recorded before anything else.
TEST_F(TemplateChangeTest, TheNextChangeAndTheStartFinishARecordedChange)
{
    const auto killMidway = [](const QString& folder) {
        makeSixTemplates(folder);
        // Killed after the finish state and two of the six exchanges.
        ASSERT_FALSE(runKilledAt(9, [&] { TemplateInspector::setVersion(folder, "5.13", "5.6"); }));
        ASSERT_EQ(templatesWith(folder, "version=\"5.13\""), 2);
    };
    const QString effects = categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    killMidway(effects + "/Glow");
    EXPECT_EQ(TemplateInspector::applyTranslations(effects + "/Glow", {{"Font", "字体"}}).filesChanged, 6);
    EXPECT_EQ(templatesWith(effects + "/Glow", "version=\"5.13\""), 6);
    EXPECT_EQ(templatesWith(effects + "/Glow", "name=\"字体\""), 6);
    TemplateChange::waitForRemovals();
    EXPECT_EQ(hiddenEntries(effects + "/Glow"), QStringList());

    // At start-up: a recorded change is finished; one killed before its finish state is undone.
    killMidway(effects + "/Recorded");
    const QString unrecorded = makeSixTemplates(effects + "/Unrecorded");
    ASSERT_FALSE(runKilledAt(4, [&] { TemplateInspector::setVersion(unrecorded, "5.13", "5.6"); }));
    const QString user = categoryFolder(PluginRoot::user, ZFCPluginType::effect) + "/Mine";
    killMidway(user);
    StartUp::run();
    for (const QString& folder : {effects + "/Recorded", user}) {
        EXPECT_EQ(templatesWith(folder, "version=\"5.13\""), 6) << folder.toStdString();
        EXPECT_EQ(hiddenEntries(folder), QStringList());
    }
    EXPECT_EQ(templatesWith(unrecorded, "version=\"5.13\""), 0);
    EXPECT_EQ(hiddenEntries(unrecorded), QStringList());
    EXPECT_TRUE(QDir(AppJournal::folder()).isEmpty());
}

// A step that fails is undone at once: the plug-in is wholly old and the message says so.
// Where the undo fails too, the change stays recorded, the message says it will be put back,
// and recovery does.
TEST_F(TemplateChangeTest, AFailedExchangeLeavesThePluginWhollyOldOrRecordedForRecovery)
{
    const QByteArray head = "version=\"5.13\"";
    for (const QString& library : {TestEnv::userLibrary(), TestEnv::systemLibrary()}) {
        for (int failing = 1; failing <= 4; ++failing) {
            for (const int variant : {0, 1, 2}) {
                const bool undoFails = variant == 1;
                const QString folder = makeSixTemplates(
                    QString("%1/Effects.localized/Glow%2-%3").arg(library).arg(failing).arg(variant));
                SCOPED_TRACE(folder.toStdString());
                // The third: a file system that cannot exchange.
                TemplateChange::setExchangeRefused(variant == 2);
                const auto refused = qScopeGuard([] { TemplateChange::setExchangeRefused(false); });
                // Six staged files and the finish state come first; then the exchanges.
                const int step = 7 + failing;
                TemplateChange::setStepFault([&](int at) {
                    return at == step ? EACCES : at == step + 1 && undoFails && failing > 1 ? ENOSPC : 0;
                });
                const QString message = rewriteRefusal(folder);
                TemplateChange::setStepFault(nullptr);
                EXPECT_TRUE(message.startsWith("插件「Glow" + QString::number(failing))) << message.toStdString();
                EXPECT_TRUE(message.contains("」：" + SystemError::describe(EACCES) + "\n")) << message.toStdString();
                if (undoFails && failing > 1) {
                    EXPECT_TRUE(message.endsWith("已改动的模板会在下次启动或下一次修改前改回原样。")) << message.toStdString();
                    EXPECT_EQ(templatesWith(folder, head), failing - 1);
                    EXPECT_FALSE(QDir(AppJournal::folder()).isEmpty());
                    AppJournal::recover();
                } else {
                    EXPECT_TRUE(message.endsWith("插件的模板都没有改动。")) << message.toStdString();
                }
                EXPECT_EQ(templatesWith(folder, head), 0);
                EXPECT_EQ(hiddenEntries(folder), QStringList());
                EXPECT_TRUE(QDir(AppJournal::folder()).isEmpty());
            }
        }
    }
}

// Nothing planted in a plug-in is taken for ours, whatever its name: a record of the old
// form naming a file outside, a staged file, hidden folders of our forms. The next change
// neither follows nor removes them.
TEST_F(TemplateChangeTest, NothingPlantedInAPluginIsFollowedOrRemoved)
{
    const QString folder = makeSixTemplates(categoryFolder(PluginRoot::system, ZFCPluginType::effect) + "/Glow");
    const QString outside = TestEnv::root() + "/Outside.motn";
    writeBytes(outside, "the user's own");
    const QString staged = ".loomwork-rewrite-00000000000000aa";
    writeBytes(folder + "/" + staged, "planted");
    const QByteArray planted = QByteArray("loomwork rewrite record 1\n") + "../../../Outside.motn" + '\0'
        + staged.toUtf8() + '\0' + QFile::encodeName(outside) + '\0' + staged.toUtf8() + '\0' + "end\n";
    writeBytes(folder + "/.loomwork-rewrite-0123456789abcdef.record", planted);
    writeBytes(folder + "/Scenes/.Glow.loomwork-rewrite-0123456789abcdef/0", "planted");
    writeBytes(folder + "/.Glow.loomwork-rewrite-0123456789abcdef/0", "planted");
    for (const QString& path : hiddenEntries(folder))
        setModified(path, 1000000000);
    const QStringList hidden = hiddenEntries(folder);
    EXPECT_EQ(TemplateInspector::setVersion(folder, "5.13", "5.6").filesChanged, 6);
    TemplateChange::waitForRemovals();
    StartUp::run();
    EXPECT_EQ(readBytes(outside), "the user's own");
    EXPECT_EQ(templatesWith(folder, "version=\"5.13\""), 6);
    EXPECT_EQ(hiddenEntries(folder), hidden);
    EXPECT_EQ(readBytes(folder + "/.Glow.loomwork-rewrite-0123456789abcdef/0"), "planted");
}

// In the system library every step acts through the folders opened from the library root:
// a neighbour who swaps a folder for a link while a rewrite runs gets nothing written
// where the link points, and the swap is refused when the rewrite meets it.
TEST_F(TemplateChangeTest, AFolderSwappedForALinkDuringASystemRewriteIsNeverWrittenThrough)
{
    const QString outside = TestEnv::root() + "/Outside";
    const QString library = TestEnv::systemLibrary();
    const QString folder = makeSixTemplates(library + "/Effects.localized/Glow");
    // Swapped once the first file is staged: the category folder, then a folder inside.
    const std::function<void()> swaps[] = {
        [&] {
            ASSERT_TRUE(QDir().rename(library + "/Effects.localized", library + "/Effects.moved"));
            makeSixTemplates(outside + "/Glow");
            makeSymlink(outside, library + "/Effects.localized");
        },
        [&] {
            ASSERT_TRUE(QDir().rename(folder + "/Scenes", folder + "/Scenes.moved"));
            makeSixTemplates(outside);
            makeSymlink(outside + "/Scenes", folder + "/Scenes");
        }};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        TemplateChange::setStepHook([&](int step) {
            if (step == 1)
                swaps[i]();
        });
        const QString message = rewriteRefusal(folder);
        TemplateChange::setStepHook(nullptr);
        const QString outsideGlow = i == 0 ? outside + "/Glow" : outside;
        EXPECT_EQ(templatesWith(outsideGlow, "5.13"), 0);
        EXPECT_EQ(hiddenEntries(outside), QStringList());
        if (i == 0) {
            // The plug-in itself was rewritten where it really is.
            EXPECT_EQ(message, QString());
            EXPECT_EQ(templatesWith(library + "/Effects.moved/Glow", "version=\"5.13\""), 6);
            QFile::remove(library + "/Effects.localized");
            ASSERT_TRUE(QDir().rename(library + "/Effects.moved", library + "/Effects.localized"));
            makeSixTemplates(folder);
        } else {
            // Named by the link itself, also when a file deeper down met it.
            EXPECT_EQ(message, "路径经过符号链接：" + folder + "/Scenes\n" + AdminAuth::systemLinkReason());
            EXPECT_EQ(readBytes(folder + "/A.motn"), smallTemplate());
            // A file staged in the moved folder before the swap waits there for recovery.
            EXPECT_EQ(hiddenEntries(folder).filter("/Scenes.moved/").size(), hiddenEntries(folder).size());
        }
        QDir(outside).removeRecursively();
    }
}

// In the system library a linked template inside a plug-in refuses a rewrite, a translation
// and a restore before anything changes; nothing is reported as done.
TEST_F(TemplateChangeTest, ALinkedTemplateInsideASystemPluginRefusesEveryChange)
{
    const QString outside = TestEnv::root() + "/Outside";
    writeBytes(outside + "/Shared.motn", smallTemplate());
    const QString effects = categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    for (const QString& link : {QString("Linked.motn"), QString("Scenes/Deep/Linked.moti")}) {
        SCOPED_TRACE(link.toStdString());
        const QString folder = makeSixTemplates(effects + "/" + QString(link).replace('/', '-'));
        makeSymlink(outside + "/Shared.motn", folder + "/" + link);
        writeBackup("t-" + QString(link).replace('/', '-'), folder, "插件汉化（原文备份）", at(0));
        const auto before = snapshot(folder);
        const auto outsideBefore = snapshot(outside);
        const QString message = AdminAuth::linkRefusal(folder + "/" + link);
        const Plugin plugin = pluginAt(folder, PluginRoot::system);
        const std::function<void()> changes[] = {
            [&] { TemplateInspector::setVersion(folder, "5.13", "5.6"); },
            [&] { TemplateInspector::applyTranslations(folder, {{"Font", "字体"}}); },
            [&] { PluginModifier::localize(plugin, {{"Font", "字体"}}); }};
        for (const auto& change : changes) {
            try {
                change();
                ADD_FAILURE() << "changed with a linked template inside";
            } catch (const TemplateEditError& e) {
                EXPECT_EQ(e.message(), message);
            }
        }
        try {
            PluginModifier::restoreOriginal(plugin);
            ADD_FAILURE() << "restored with a linked template inside";
        } catch (const PluginBackupError& e) {
            EXPECT_TRUE(e.message().contains(message)) << e.message().toStdString();
        }
        EXPECT_EQ(snapshot(folder), before);
        EXPECT_EQ(snapshot(outside), outsideBefore);
        EXPECT_EQ(PluginBackupStore::backups(plugin).size(), 1) << "no backup made, none removed";
    }
}

// A linked folder is not the plug-in's, in either library: its templates are neither listed,
// counted, named nor changed, and the plug-in's own are changed as usual. In the system
// library a plug-in installed with a link entry (Media -> Assets) is rewritten, translated
// and restored like any other; the user's linked template is still rewritten where it points.
TEST_F(TemplateChangeTest, ALinkedFolderIsPassedOverInBothLibraries)
{
    const QString outside = TestEnv::root() + "/Outside";
    writeBytes(outside + "/Folder/Inner.motn", smallTemplate());
    writeBytes(outside + "/Shared.motn", smallTemplate());
    for (const PluginRoot root : {PluginRoot::system, PluginRoot::user}) {
        SCOPED_TRACE(root.rawValue().toStdString());
        const QString folder = categoryFolder(root, ZFCPluginType::effect) + "/Glow";
        writeBytes(folder + "/Own.motn", smallTemplate());
        writeBytes(folder + "/Assets/Scene.motn", smallTemplate());
        makeSymlink("Assets", folder + "/Media");
        makeSymlink(outside + "/Folder", folder + "/Scenes");
        QStringList changed{folder + "/Own.motn", folder + "/Assets/Scene.motn"};
        if (root == PluginRoot::user) {
            makeSymlink(outside + "/Shared.motn", folder + "/Linked.motn");
            changed.append(outside + "/Shared.motn");
        }
        const auto outsideFolder = snapshot(outside + "/Folder");

        QStringList listed = TemplateInspector::templateFiles(folder);
        listed.sort();
        QStringList expected{folder + "/Assets/Scene.motn", folder + "/Own.motn"};
        if (root == PluginRoot::user)
            expected.insert(1, folder + "/Linked.motn");
        EXPECT_EQ(listed, expected);
        const auto scanned = PluginScanner::scan({root}).plugins;
        ASSERT_EQ(scanned.size(), 1);
        EXPECT_EQ(scanned.first().templateFileCount, changed.size());
        EXPECT_EQ(TemplateInspector::namePairs(folder, std::nullopt).first().count, changed.size());

        const Plugin plugin = pluginAt(folder, root);
        EXPECT_EQ(PluginModifier::localize(plugin, {{"Font", "字体"}}).summary.filesChanged, changed.size());
        EXPECT_EQ(TemplateInspector::setVersion(folder, "5.13", "5.6").filesChanged, changed.size());
        for (const QString& path : changed) {
            EXPECT_TRUE(readBytes(path).contains("name=\"字体\"")) << path.toStdString();
            EXPECT_TRUE(readBytes(path).contains("version=\"5.13\"")) << path.toStdString();
        }
        EXPECT_EQ(snapshot(outside + "/Folder"), outsideFolder);

        EXPECT_EQ(PluginModifier::restoreOriginal(plugin), 1);
        for (const QString& path : changed)
            EXPECT_EQ(readBytes(path), smallTemplate()) << path.toStdString();
        EXPECT_EQ(QFileInfo(folder + "/Media").symLinkTarget(), folder + "/Assets");
        EXPECT_EQ(QFileInfo(folder + "/Scenes").symLinkTarget(), outside + "/Folder");
        EXPECT_EQ(snapshot(outside + "/Folder"), outsideFolder);
        EXPECT_EQ(hiddenEntries(outside), QStringList());
        EXPECT_EQ(hiddenEntries(folder), QStringList());
    }
}

// The system library is every local user's, and each user's Loomwork keeps its own journal:
// recovery puts right only what its own entries name. Another user's entry planted in ours,
// and an item of another user's whose name carries one of our entries' ids, are never acted
// on; hidden folders of our forms, whoever's, are left alone.
TEST_F(TemplateChangeTest, InTheSystemLibraryEachUserRecoversOnlyWhatTheirJournalNames)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to play two other users";
    constexpr uid_t a = 4321, b = 5555;
    const QByteArray root = QFile::encodeName(TestEnv::root());
    ASSERT_EQ(::chmod(root.constData(), 0711), 0);
    const auto closeRoot = qScopeGuard([&] { ::chmod(root.constData(), 0700); });
    const QString effects = categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    const QString folder = makeSixTemplates(effects + "/Glow");
    const QStringList hiddenFolders{".Glow.loomwork-install-00000000000000a1", ".Gone.loomwork-replaced-00000000000000a2",
                                    ".Glow.loomwork-install-00000000000000b1"};
    for (int i = 0; i < 3; ++i) {
        const QByteArray path = QFile::encodeName(effects + "/" + hiddenFolders[i]);
        ASSERT_EQ(::mkdir(path.constData(), 0777), 0);
        ASSERT_EQ(::chown(path.constData(), i < 2 ? a : b, i < 2 ? a : b), 0);
    }
    // Opened to everyone, as a shared library is (chmod -R 777).
    QDirIterator it(TestEnv::systemLibrary(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        ::chmod(QFile::encodeName(it.next()).constData(), 0777);
    // Each user's own data folder.
    const auto dataOf = [&](uid_t uid) {
        const QString data = TestEnv::root() + "/data-" + QString::number(uid);
        QDir().mkpath(data);
        ::chown(QFile::encodeName(data).constData(), uid, uid);
        return data;
    };
    const auto as = [&](uid_t uid, const std::function<void()>& change) {
        return [&, uid, change] {
            ::setenv("XDG_DATA_HOME", QFile::encodeName(dataOf(uid)).constData(), 1);
            change();
        };
    };
    dataOf(a);
    dataOf(b);

    ASSERT_FALSE(runKilledAt(9, as(a, [&] { TemplateInspector::setVersion(folder, "5.13", "5.6"); }), a));
    ASSERT_EQ(templatesWith(folder, "version=\"5.13\""), 2);
    const QStringList left = hiddenEntries(folder);
    const auto entries = [&] { return QDir(effects).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot); };
    const QStringList before = entries();

    // a's entry, planted in our journal, with an item of ours that it names by identity: not
    // ours (another owner), so nothing it names is touched.
    const QString aJournal = dataOf(a) + "/com.loomwork.app/journal";
    const QStringList aEntries = QDir(aJournal).entryList(QDir::Files);
    ASSERT_EQ(aEntries.size(), 1);
    SafeFS::Journal journal;
    ASSERT_EQ(AppJournal::open(journal), 0);
    const QString planted = AppJournal::folder() + "/" + aEntries.first();
    ASSERT_TRUE(QFile::copy(aJournal + "/" + aEntries.first(), planted));
    ASSERT_EQ(::chmod(QFile::encodeName(planted).constData(), 0600), 0);
    ASSERT_EQ(::chown(QFile::encodeName(planted).constData(), a, a), 0);
    // And an entry of ours whose item, of our exact name form with our id, is b's.
    ASSERT_EQ(journal.write({.id = "00000000000000b1", .kind = "install", .places = {AppJournal::placeOf(effects)},
                             .items = {{.path = hiddenFolders[2].toStdString(), .target = {}, .identity = {}}}}),
              0);

    EXPECT_TRUE(runKilledAt(0, as(b, [] { AppJournal::recover(); }), b));
    AppJournal::recover();
    EXPECT_EQ(hiddenEntries(folder), left);
    EXPECT_EQ(templatesWith(folder, "version=\"5.13\""), 2);
    EXPECT_EQ(entries(), before);
    EXPECT_TRUE(QFileInfo::exists(planted)) << "not ours: neither believed nor removed";

    EXPECT_TRUE(runKilledAt(0, as(a, [] { AppJournal::recover(); }), a));
    EXPECT_EQ(templatesWith(folder, "version=\"5.13\""), 6);
    EXPECT_EQ(hiddenEntries(folder), QStringList());
    EXPECT_EQ(entries(), before);
    EXPECT_TRUE(QDir(aJournal).isEmpty());
}

namespace {

// The templates of `folder` in the order a change of them all exchanges them, as paths
// inside it.
QStringList exchangeOrder(const QString& folder)
{
    QStringList order;
    for (const QString& path : TemplateInspector::templateFiles(folder))
        order.append(path.mid(folder.size() + 1));
    return order;
}

bool exchangeNames(const QString& a, const QString& b)
{
    return ::renameat2(AT_FDCWD, QFile::encodeName(a).constData(), AT_FDCWD, QFile::encodeName(b).constData(),
                       RENAME_EXCHANGE) == 0;
}

const QMap<QString, QByteArray> kPrivateFiles{{"notes.txt", "theirs"}, {"Inner/deep.txt", "deep"}};
const QMap<QString, QByteArray> kPrivate{{"notes.txt", "theirs"}, {"Inner", "<dir>"}, {"Inner/deep.txt", "deep"}};

// Opened to everyone, as the library's authorisation leaves a shared library (chmod -R 777).
void openToEveryone(const QString& folder)
{
    ::chmod(QFile::encodeName(folder).constData(), 0777);
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        ::chmod(QFile::encodeName(it.next()).constData(), 0777);
}

} // namespace

// Another user of a shared plug-in puts his own folder at a template's name just before
// Loomwork exchanges it. What comes out is not the template read: it goes back at once, the
// change stops with every template as it was and says so, and nothing of his folder is
// removed, then or by the next recovery; also where the file system cannot exchange.
TEST_F(TemplateChangeTest, AnItemPutAtATemplatesNameGoesBackAtOnceAndTheChangeStops)
{
    const QString effects = categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    for (const bool refused : {false, true}) {
        for (int k = 0; k < 6; ++k) {
            const QString folder = makeSixTemplates(effects + QString("/Glow%1-%2").arg(k).arg(refused));
            PackageMaker::makeFolder(folder, "priv", kPrivateFiles);
            openToEveryone(folder);
            const QString victim = exchangeOrder(folder).at(k);
            SCOPED_TRACE((victim + (refused ? " without exchange" : "")).toStdString());
            TemplateChange::setExchangeRefused(refused);
            // Six staged files and the finish state, then the exchanges.
            TemplateChange::setStepHook([&](int step) {
                if (step == 7 + k) {
                    ASSERT_TRUE(exchangeNames(folder + "/priv", folder + "/" + victim));
                }
            });
            const QString message = rewriteRefusal(folder);
            TemplateChange::setStepHook(nullptr);
            TemplateChange::setExchangeRefused(false);
            EXPECT_EQ(message, "插件「" + QFileInfo(folder).fileName() + "」的文件「" + victim
                                   + "」在修改时被换成了别的项目，那个项目已放回原处，没有删除。\n插件的模板都没有改动。");
            for (int pass = 0; pass < 2; ++pass) {
                EXPECT_EQ(PackageMaker::readTree(folder + "/" + victim), kPrivate) << "pass " << pass;
                EXPECT_EQ(readBytes(folder + "/priv"), smallTemplate());
                for (const QString& name : kTemplates) {
                    if (name != victim) {
                        EXPECT_EQ(readBytes(folder + "/" + name), smallTemplate()) << name.toStdString();
                    }
                }
                EXPECT_EQ(hiddenEntries(folder), QStringList());
                EXPECT_TRUE(QDir(AppJournal::folder()).isEmpty());
                AppJournal::recover();
            }
        }
    }
}

// The same against a third user's folder, Loomwork running as an ordinary user: nothing of
// his is removed or emptied, by the change or by that user's next recovery.
TEST_F(TemplateChangeTest, AThirdUsersFolderExchangedInIsNeverEmptied)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to play two other users";
    constexpr uid_t user = 4321, third = 4242;
    const QByteArray dataPath = dataFolderOf(user);
    const QString data = QFile::decodeName(dataPath);
    const QString folder = makeSixTemplates(categoryFolder(PluginRoot::system, ZFCPluginType::effect) + "/Glow");
    PackageMaker::makeFolder(folder, "priv", kPrivateFiles);
    openToEveryone(TestEnv::systemLibrary());
    // His folder is open to all at the top, as the library leaves it; inside, his own.
    for (const char* inside : {"/priv", "/priv/notes.txt", "/priv/Inner", "/priv/Inner/deep.txt"})
        ASSERT_EQ(::chown(QFile::encodeName(folder + inside).constData(), third, third), 0);
    ::chmod(QFile::encodeName(folder + "/priv/Inner").constData(), 0755);
    ::chmod(QFile::encodeName(folder + "/priv/Inner/deep.txt").constData(), 0644);
    const QString victim = exchangeOrder(folder).at(2);

    // As the user: the change is to stop, saying so (an exception from here fails the child).
    runKilledAt(
        0,
        [&] {
            ::setenv("XDG_DATA_HOME", dataPath.constData(), 1);
            TemplateChange::setStepHook([&](int step) {
                if (step == 9)
                    exchangeNames(folder + "/priv", folder + "/" + victim);
            });
            try {
                TemplateInspector::setVersion(folder, "5.13", "5.6");
            } catch (const TemplateEditError& e) {
                if (e.message().endsWith("在修改时被换成了别的项目，那个项目已放回原处，没有删除。\n插件的模板都没有改动。"))
                    return;
            }
            throw std::runtime_error("not reported as the plug-in stands");
        },
        user);
    EXPECT_EQ(PackageMaker::readTree(folder + "/" + victim), kPrivate);
    runKilledAt(
        0,
        [&] {
            ::setenv("XDG_DATA_HOME", dataPath.constData(), 1);
            AppJournal::recover();
        },
        user);
    AppJournal::recover();
    EXPECT_EQ(PackageMaker::readTree(folder + "/" + victim), kPrivate);
    EXPECT_EQ(readBytes(folder + "/priv"), smallTemplate());
    EXPECT_EQ(hiddenEntries(folder), QStringList());
    EXPECT_TRUE(QDir(data + "/com.loomwork.app/journal").isEmpty());
}

// A rewrite or a translation acts on the plug-in the list showed: when another folder has
// been put at its name since the scan, or none stands there, nothing is written, no backup is
// made, and the message says it changed after it was shown. The one shown, put back, is
// changed; so is a plug-in without a scan's identity, and the user's plug-in that is a link.
TEST_F(TemplateChangeTest, OnlyThePluginTheListShowedIsChanged)
{
    const QString expected = "「Glow」在列表显示后已被改动或替换，未作修改。请刷新列表后重试。";
    const auto refusal = [](const std::function<void()>& change) {
        try {
            change();
        } catch (const TemplateEditError& e) {
            return e.message();
        }
        return QString();
    };
    for (const PluginRoot root : {PluginRoot::system, PluginRoot::user}) {
        SCOPED_TRACE(root.rawValue().toStdString());
        const QString folder = makeSixTemplates(categoryFolder(root, ZFCPluginType::effect) + "/Glow");
        const auto scanned = PluginScanner::scan({root}).plugins;
        ASSERT_EQ(scanned.size(), 1);
        const Plugin shown = scanned.first();
        ASSERT_TRUE(shown.identity.known());

        ASSERT_TRUE(QDir().rename(folder, folder + " moved"));
        makeSixTemplates(folder);
        EXPECT_EQ(refusal([&] { TemplateInspector::setVersion(folder, "5.13", "5.6", shown.identity); }), expected);
        EXPECT_EQ(refusal([&] { PluginModifier::localize(shown, {{"Font", "字体"}}); }), expected);
        EXPECT_TRUE(PluginBackupStore::backups(shown).isEmpty());
        EXPECT_EQ(templatesWith(folder, "5.13"), 0);
        EXPECT_EQ(templatesWith(folder + " moved", "5.13"), 0);
        QDir(folder).removeRecursively();
        EXPECT_EQ(refusal([&] { TemplateInspector::setVersion(folder, "5.13", "5.6", shown.identity); }), expected);

        ASSERT_TRUE(QDir().rename(folder + " moved", folder));
        EXPECT_EQ(TemplateInspector::setVersion(folder, "5.13", "5.6", shown.identity).filesChanged, 6);
        EXPECT_EQ(TemplateInspector::setVersion(folder, "5.12", "5.6", {}).filesChanged, 6);
        TemplateChange::waitForRemovals();
        EXPECT_EQ(hiddenEntries(folder), QStringList());
    }
    const QString outside = makeSixTemplates(TestEnv::root() + "/Outside");
    const QString link = categoryFolder(PluginRoot::user, ZFCPluginType::subtitle) + "/Linked";
    makeSymlink(outside, link);
    const auto linked = PluginScanner::scan({PluginRoot::user}).plugins;
    const auto found = std::find_if(linked.begin(), linked.end(), [&](const Plugin& p) { return p.path == link; });
    ASSERT_NE(found, linked.end());
    EXPECT_EQ(PluginModifier::localize(*found, {{"Font", "字体"}}).summary.filesChanged, 6);
    EXPECT_EQ(templatesWith(outside, "name=\"字体\""), 6);
}

// A journal that cannot be written (its folder opened to others) stops a change before its
// first step, or before its finish state: the message names the journal's folder, not a
// template, and every template is as it was.
TEST_F(TemplateChangeTest, AJournalThatCannotBeWrittenIsNamedAndNothingChanges)
{
    const QString journal = AppJournal::folder();
    const QByteArray journalPath = QFile::encodeName(journal);
    for (const int spoiledAt : {0, 6}) {
        SCOPED_TRACE(spoiledAt);
        QDir().mkpath(journal);
        const QString folder = makeSixTemplates(categoryFolder(PluginRoot::system, ZFCPluginType::effect)
                                                + "/Glow" + QString::number(spoiledAt));
        if (spoiledAt == 0)
            ::chmod(journalPath.constData(), 0777);
        TemplateChange::setStepHook([&](int step) {
            if (step == spoiledAt)
                ::chmod(journalPath.constData(), 0777);
        });
        const QString message = rewriteRefusal(folder);
        TemplateChange::setStepHook(nullptr);
        ::chmod(journalPath.constData(), 0700);
        EXPECT_TRUE(message.startsWith("无法写入操作记录：" + journal + "\n")) << message.toStdString();
        EXPECT_TRUE(message.endsWith("\n插件没有改动。")) << message.toStdString();
        EXPECT_FALSE(message.contains(".motn")) << message.toStdString();
        EXPECT_EQ(templatesWith(folder, "5.13"), 0);
        AppJournal::recover();
        EXPECT_EQ(hiddenEntries(folder), QStringList());
        EXPECT_TRUE(QDir(journal).isEmpty());
    }
}

// Once the call has returned, its old contents are removed on a worker. A kill before that
// worker's first step, as after any of its steps (above), is finished by recovery.
TEST_F(TemplateChangeTest, AKillOnceTheCallHasReturnedIsFinishedByRecovery)
{
    for (const PluginRoot root : {PluginRoot::system, PluginRoot::user}) {
        SCOPED_TRACE(root.rawValue().toStdString());
        const QString folder = makeSixTemplates(categoryFolder(root, ZFCPluginType::effect) + "/Glow");
        TemplateChange::waitForRemovals();
        const pid_t child = ::fork();
        if (child == 0) {
            static std::atomic<bool> returned{false};
            // Six staged files, the finish state, six exchanges, the sync that makes them
            // durable before the call returns: the worker's first step is the 15th; it is
            // killed there once the call is back.
            TemplateChange::setStepFault([](int step) {
                if (step == 15) {
                    returned.wait(false);
                    ::kill(::getpid(), SIGKILL);
                }
                return 0;
            });
            try {
                TemplateInspector::setVersion(folder, "5.13", "5.6");
            } catch (...) {
                ::_exit(2);
            }
            returned = true;
            returned.notify_all();
            TemplateChange::waitForRemovals();
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        EXPECT_EQ(templatesWith(folder, "version=\"5.13\""), 6);
        AppJournal::recover();
        EXPECT_EQ(templatesWith(folder, "version=\"5.13\""), 6);
        EXPECT_EQ(hiddenEntries(folder), QStringList());
        EXPECT_TRUE(QDir(AppJournal::folder()).isEmpty());
    }
}

// A second change of a plug-in begins only once the first has removed its old contents and its
// journal entry: the two never work beside each other.
TEST_F(TemplateChangeTest, ASecondChangeOfAPluginWaitsForTheFirstsRemoval)
{
    const QString folder = makeSixTemplates(categoryFolder(PluginRoot::system, ZFCPluginType::effect) + "/Glow");
    std::atomic<bool> released{false};
    const auto release = [&] {
        released = true;
        released.notify_all();
    };
    // The first change's worker is held before its first step until the second is seen waiting
    // for it (or, were it not to wait, until the second has begun).
    TemplateChange::setStepFault([&](int step) {
        if (step == 15)
            released.wait(false);
        return 0;
    });
    int firstSteps = 0;
    QStringList hiddenAtSecond;
    QStringList entriesAtSecond;
    TemplateChange::setStepHook([&](int step) {
        if (step == 1 && ++firstSteps == 2) {
            hiddenAtSecond = hiddenEntries(folder);
            entriesAtSecond = QDir(AppJournal::folder()).entryList(QDir::Files);
            release();
        }
    });
    TemplateChange::setRemovalWaitHook(release);
    EXPECT_EQ(TemplateInspector::setVersion(folder, "5.13", "5.6").filesChanged, 6);
    const QStringList first = hiddenEntries(folder);
    EXPECT_EQ(first.size(), 3) << "the first change's rooms, held";
    EXPECT_EQ(TemplateInspector::applyTranslations(folder, {{"Font", "字体"}}).filesChanged, 6);
    TemplateChange::setRemovalWaitHook(nullptr);
    TemplateChange::setStepHook(nullptr);
    TemplateChange::setStepFault(nullptr);
    for (const QString& room : first)
        EXPECT_FALSE(hiddenAtSecond.contains(room)) << room.toStdString();
    EXPECT_EQ(entriesAtSecond.size(), 1) << "the second change's entry only";
    EXPECT_EQ(templatesWith(folder, "name=\"字体\""), 6);
    EXPECT_EQ(hiddenEntries(folder), QStringList());
    EXPECT_TRUE(QDir(AppJournal::folder()).isEmpty());
}

// Run in a process of its own by the test below: rewrites, then ends the process the ordinary
// way while the worker removing the old contents is held until the exit has begun.
TEST(TemplateChangeQuit, RewritesAndExits)
{
    const QByteArray folder = qgetenv("LOOMWORK_QUIT_PLUGIN");
    if (folder.isEmpty())
        GTEST_SKIP() << "run by the quit test";
    static std::atomic<bool> exiting{false};
    TemplateChange::setStepFault([](int step) {
        if (step == 15)
            exiting.wait(false);
        return 0;
    });
    try {
        TemplateInspector::setVersion(QFile::decodeName(folder), "5.13", "5.6");
    } catch (...) {
        std::_Exit(2);
    }
    std::atexit([] {
        exiting = true;
        exiting.notify_all();
    });
    std::exit(0);
}

// The process does not end before a change's old contents are removed: what a quit leaves is
// the plug-in wholly new, without a room or a journal entry, before any recovery.
TEST_F(TemplateChangeTest, AProcessEndsOnlyOnceTheOldContentsAreRemoved)
{
    const QString folder = makeSixTemplates(categoryFolder(PluginRoot::system, ZFCPluginType::effect) + "/Glow");
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LOOMWORK_TEST_ROOT", TestEnv::root());
    env.insert("LOOMWORK_QUIT_PLUGIN", folder);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=TemplateChangeQuit.RewritesAndExits"});
    ASSERT_TRUE(child.waitForFinished(60000));
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << child.readAll().toStdString();
    EXPECT_EQ(templatesWith(folder, "version=\"5.13\""), 6);
    EXPECT_EQ(hiddenEntries(folder), QStringList());
    EXPECT_TRUE(QDir(AppJournal::folder()).isEmpty());
}

// A plug-in holding a third user's folder with a template in it, changed by an ordinary user
// who may not write there: the message names that folder and whose it is, not a template of
// the plug-in's own, and nothing is changed.
TEST_F(TemplateChangeTest, AnotherUsersFolderInsideIsNamedWhenItCannotBeChanged)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to play two other users";
    constexpr uid_t user = 4321, third = 4242;
    const QByteArray dataPath = dataFolderOf(user);
    const QString folder = categoryFolder(PluginRoot::system, ZFCPluginType::effect) + "/Good";
    writeBytes(folder + "/Good.moti", smallTemplate());
    writeBytes(folder + "/zsub/Z.motn", smallTemplate());
    openToEveryone(TestEnv::systemLibrary());
    for (const char* inside : {"/zsub", "/zsub/Z.motn"})
        ASSERT_EQ(::chown(QFile::encodeName(folder + inside).constData(), third, third), 0);
    ::chmod(QFile::encodeName(folder + "/zsub").constData(), 0755);
    ::chmod(QFile::encodeName(folder + "/zsub/Z.motn").constData(), 0644);
    const QString messageFile = TestEnv::root() + "/message.txt";
    const QByteArray messagePath = QFile::encodeName(messageFile);
    ASSERT_TRUE(QFile(messageFile).open(QIODevice::WriteOnly));
    ASSERT_EQ(::chmod(messagePath.constData(), 0666), 0);
    runKilledAt(
        0,
        [&] {
            ::setenv("XDG_DATA_HOME", dataPath.constData(), 1);
            try {
                TemplateInspector::setVersion(folder, "5.13", "5.6");
            } catch (const TemplateEditError& e) {
                QFile out(QFile::decodeName(messagePath));
                if (out.open(QIODevice::WriteOnly))
                    out.write(e.message().toUtf8());
            }
        },
        user);
    QFile in(messageFile);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QString message = QString::fromUtf8(in.readAll());
    EXPECT_TRUE(message.contains("的文件夹「zsub」属于其他用户")) << message.toStdString();
    EXPECT_FALSE(message.contains("Good.moti")) << message.toStdString();
    EXPECT_EQ(readBytes(folder + "/Good.moti"), smallTemplate());
    EXPECT_EQ(readBytes(folder + "/zsub/Z.motn"), smallTemplate());
    EXPECT_EQ(hiddenEntries(folder), QStringList());
}

// A rewrite killed midway, then its plug-in removed or renamed before the next start, in
// either library. The start never asks to reconnect a disk for it: a renamed plug-in is
// finished where it is now, all six templates new and none of our rooms left inside it; a
// removed one is settled, said once by its name.
TEST_F(TemplateChangeTest, AKilledRewriteOfAPlugInRemovedOrRenamedSinceIsSettled)
{
    const struct {
        const char* why;
        PluginRoot root;
        bool rename;
        bool nestedOnly = false; // its one template in a folder inside it
    } cases[] = {{"user's library, renamed", PluginRoot::user, true},
                 {"user's library, removed", PluginRoot::user, false},
                 {"system library, renamed", PluginRoot::system, true},
                 {"system library, removed", PluginRoot::system, false},
                 {"user's library, nested template only, removed", PluginRoot::user, false, true},
                 {"system library, nested template only, removed", PluginRoot::system, false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        const QString category = categoryFolder(c.root, ZFCPluginType::effect);
        const QString plugin = category + "/Glow";
        if (c.nestedOnly)
            writeBytes(plugin + "/Scenes/Deep/E.moti", smallTemplate());
        else
            makeSixTemplates(plugin);
        // Killed after the finish state (and two of the six exchanges).
        ASSERT_FALSE(runKilledAt(c.nestedOnly ? 2 : 9, [&] { TemplateInspector::setVersion(plugin, "5.13", "5.6"); }));
        const QString moved = c.rename ? category + "/Glow (renamed)" : TestEnv::root() + "/removed";
        ASSERT_TRUE(QDir().rename(plugin, moved));

        FakeAlertPresenter alerts;
        AppJournal::recover(AppJournal::When::startUp);
        WorkerThread::waitForAll();
        EXPECT_TRUE(QDir(AppJournal::folder()).entryList({"*.entry"}, QDir::Files).isEmpty());
        QStringList said;
        for (const auto& question : alerts.questions())
            said.append(question.message);
        EXPECT_FALSE(said.join("\n").contains("接上磁盘")) << said.join("\n").toStdString();
        if (c.rename) {
            EXPECT_EQ(templatesWith(moved, "version=\"5.13\""), 6);
            EXPECT_EQ(hiddenEntries(moved), QStringList());
            EXPECT_TRUE(said.isEmpty()) << said.join("\n").toStdString();
        } else {
            ASSERT_EQ(said.size(), 1);
            EXPECT_TRUE(said[0].contains(plugin)) << said[0].toStdString();
        }
        QDir(moved).removeRecursively();
    }
}
