#include <csignal>
#include <functional>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include "engine/files/TemplateChange.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/StartUp.h"
#include "support/app/TestEnv.h"

using namespace PluginFixtures;

// Start-up puts right only what the application's own journal names. A name of our hidden
// forms, a record or a staged file in a library proves nothing: anyone who may write there
// can give one.
namespace {

// Every hidden name below `folder`, with its content and mode.
QMap<QString, QByteArray> everything(const QString& folder)
{
    return PackageMaker::readTree(folder, true);
}

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

// Runs `change` in a child killed (SIGKILL) after its step `step`.
void killedAt(int step, const std::function<void()>& change)
{
    const pid_t child = ::fork();
    if (child == 0) {
        TemplateChange::setStepHook([step](int at) {
            if (at == step)
                ::kill(::getpid(), SIGKILL);
        });
        try {
            change();
        } catch (...) {
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

} // namespace

// A neighbour who may not delete the owner's plug-ins in the system library renames them to
// our hidden forms (a staging folder, an old copy beside its plug-in, one whose plug-in is
// gone). The owner's next start, in a new process, leaves every one where it is.
TEST(StartUpRecovery, PluginsRenamedToOurHiddenFormsAreLeftAlone)
{
    if (StartUp::isChild()) {
        StartUp::run();
        return;
    }
    const QString effects = categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    const QString user = categoryFolder(PluginRoot::user, ZFCPluginType::effect);
    for (const QString& folder : {effects, user}) {
        PackageMaker::makeFolder(folder, ".Good.loomwork-install-0123456789abcdef", {{"Good.motn", "good"}});
        PackageMaker::makeFolder(folder, ".Blur.loomwork-replaced-0123456789abcdef", {{"Blur.motn", "old blur"}});
        PackageMaker::makeFolder(folder, "Blur", {{"Blur.motn", "blur"}});
        PackageMaker::makeFolder(folder, ".Gone.loomwork-replaced-fedcba9876543210", {{"Gone.motn", "gone"}});
        for (const QString& name : QDir(folder).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot))
            setModified(folder + "/" + name, 1000000000);
    }
    const auto system = everything(TestEnv::systemLibrary());
    const auto mine = everything(TestEnv::userLibrary());
    ASSERT_TRUE(StartUp::runInNewProcess("StartUpRecovery.PluginsRenamedToOurHiddenFormsAreLeftAlone"));
    EXPECT_EQ(everything(TestEnv::systemLibrary()), system);
    EXPECT_EQ(everything(TestEnv::userLibrary()), mine);
}

// A rewrite's record of the old form, planted in a plug-in of the user's library, names a
// file outside the library: by climbing with "..", by its absolute path, through a link in the
// plug-in. Beside that file lies a staged file of the old form. Start-up moves nothing.
TEST(StartUpRecovery, APlantedRecordMovesNothingOutsideTheLibrary)
{
    const QString outside = TestEnv::root() + "/Outside";
    writeBytes(outside + "/secret.txt", "secret");
    const QString staged = ".loomwork-rewrite-00000000000000aa";
    writeBytes(outside + "/" + staged, "planted");
    const QString effects = categoryFolder(PluginRoot::user, ZFCPluginType::effect);
    const QStringList targets{"../../../../Outside/secret.txt", outside + "/secret.txt", "Link/secret.txt"};
    for (qsizetype i = 0; i < targets.size(); ++i) {
        const QString plugin = effects + "/Planted" + QString::number(i);
        writeBytes(plugin + "/A.motn", "template");
        makeSymlink(outside, plugin + "/Link");
        writeBytes(plugin + "/" + staged, "planted");
        writeBytes(plugin + "/.loomwork-rewrite-0123456789abcdef.record",
                   QByteArray("loomwork rewrite record 1\n") + QFile::encodeName(targets[i]) + '\0' + staged.toUtf8() + '\0'
                       + "end\n");
        for (const QString& path : hiddenEntries(plugin))
            setModified(path, 1000000000);
    }
    setModified(outside + "/" + staged, 1000000000);
    const auto before = everything(outside);
    const auto library = everything(TestEnv::userLibrary());
    StartUp::run();
    EXPECT_EQ(readBytes(outside + "/secret.txt"), "secret");
    EXPECT_EQ(everything(outside), before);
    EXPECT_EQ(everything(TestEnv::userLibrary()), library);
    QDir(outside).removeRecursively();
}

// A rewrite killed after staging a linked template's new content beside the file it points to
// (outside the library): the next start puts that right, as its journal entry says.
TEST(StartUpRecovery, WhatAKilledRewriteLeftBesideALinkedTemplateGoes)
{
    const QString outside = TestEnv::root() + "/Outside";
    TemplateOptions options;
    options.approxBytes = 2048;
    const QByteArray original = templateBytes(options);
    writeBytes(outside + "/A.motn", original);
    const QString plugin = categoryFolder(PluginRoot::user, ZFCPluginType::effect) + "/Linked";
    writeBytes(plugin + "/B.moef", original);
    makeSymlink(outside + "/A.motn", plugin + "/A.motn");
    // Killed once both are staged, before anything is recorded as finished.
    killedAt(2, [&] { TemplateInspector::setVersion(plugin, "5.13", "5.6"); });
    ASSERT_FALSE(hiddenEntries(outside).isEmpty());
    for (const QString& path : hiddenEntries(outside) + hiddenEntries(plugin))
        setModified(path, 1000000000);
    StartUp::run();
    EXPECT_EQ(hiddenEntries(outside), QStringList());
    EXPECT_EQ(hiddenEntries(plugin), QStringList());
    EXPECT_EQ(readBytes(outside + "/A.motn"), original);
    EXPECT_EQ(readBytes(plugin + "/B.moef"), original);
    QDir(outside).removeRecursively();
}
