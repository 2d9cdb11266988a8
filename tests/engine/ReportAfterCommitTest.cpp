#include <gtest/gtest.h>

#include <atomic>
#include <new>

#include <csignal>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "engine/files/AppJournal.h"
#include "engine/files/JournalChange.h"
#include "engine/model/InstallPlan.h"
#include "engine/operations/OperationsCenter.h"
#include "support/app/ChildTest.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// Once an install's plug-ins stand, memory running out at any allocation after that (the old
// copies' removal, the report's text, its post to the runner) never turns it into a reported
// failure, nor leaves the runner busy; where it ends the process, the next start's recovery
// leaves the new plug-in and nothing of ours. Each try runs in a child of its own with the
// failing allocator preloaded, counting from the install's commit point (the journal's entry
// written saying finish) on.
namespace {

constexpr char kChildAt[] = "LOOMWORK_REPORT_SWEEP_AT";
constexpr char kChildPackage[] = "LOOMWORK_REPORT_SWEEP_PACKAGE";
constexpr char kChildAfterCrash[] = "LOOMWORK_REPORT_SWEEP_AFTER_CRASH";

const QMap<QString, QByteArray> kNew{{"new.txt", "new"}};

QString category()
{
    return PluginFixtures::categoryFolder(PluginRoot::user, ZFCPluginType::effect);
}

// Made by a child that ends itself where memory ran out in Qt.
QString killedOnPurpose()
{
    return TestEnv::root() + "/killed-on-purpose";
}

// Counting starts at the first commit point only.
void armOnce()
{
    static std::atomic_bool armed{false};
    if (armed.exchange(true))
        return;
    if (const auto arm = reinterpret_cast<void (*)()>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_arm")))
        arm();
}

// What a child left, put right by the next start (after a kill): the new plug-in, nothing of
// ours.
void expectPutRight()
{
    AppJournal::recover();
    EXPECT_EQ(PackageMaker::readTree(category() + "/Glow"), kNew);
    const QStringList hidden = QDir(category()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                                   .filter(QRegularExpression("^\\."));
    EXPECT_TRUE(hidden.isEmpty()) << hidden.join(", ").toStdString();
    EXPECT_TRUE(QDir(AppJournal::folder()).entryList(QDir::Files).isEmpty()) << "nothing left for good";
}

} // namespace

TEST(ReportAfterCommit, OneTryInAChild)
{
    if (qEnvironmentVariableIsEmpty(kChildAt))
        GTEST_SKIP() << "run by the sweep";
    if (!qEnvironmentVariableIsEmpty(kChildAfterCrash)) {
        expectPutRight();
        return;
    }
    QDir().mkpath(category());
    const QString package = qEnvironmentVariable(kChildPackage);
    const std::string chosen = QFile::encodeName(killedOnPurpose()).toStdString(); // no allocation once armed
    JournalChange::setCommitHookForTests(armOnce);
    OperationsCenter center;
    bool idle = false;
    try {
        center.install({package}, InstallPlan{});
        idle = QTest::qWaitFor([&] { return !center.isBusy(); }, 20000);
        QCoreApplication::processEvents();
    } catch (const std::bad_alloc&) {
        // On the GUI thread, inside Qt's event delivery: the app ends there. Said so, so that
        // any other end by a signal is a fault.
        ::close(::open(chosen.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        ::kill(::getpid(), SIGKILL);
    }
    if (const auto disarm = reinterpret_cast<void (*)()>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_disarm")))
        disarm();
    JournalChange::setCommitHookForTests(nullptr);
    ASSERT_TRUE(idle) << "the runner stays busy";
    ASSERT_EQ(PackageMaker::readTree(category() + "/Glow"), kNew) << "the failure came before the commit point";
    EXPECT_NE(center.alertTitle().value_or(QString()), QStringLiteral("安装失败"))
        << center.alertMessage().value_or(QString()).toStdString();
    EXPECT_TRUE(center.statusText() == "已安装 1 个插件" || center.statusText() == "安装完成")
        << center.statusText().toStdString();
    expectPutRight();
}

TEST(ReportAfterCommit, AnInstallThatStandsIsNeverReportedFailed)
{
#ifndef LOOMWORK_FAILMALLOC_PATH
    GTEST_SKIP() << "the failing allocator is not built here (sanitizers bring their own)";
#else
    QTemporaryDir dir;
    const QString package = dir.path() + "/one.zfcp";
    PackageMaker::pack(package, {{ZFCPluginType::effect, "Glow", kNew}}, dir.path() + "/work");
    int crashes = 0;
    const int tries = sweepAllocations(dir.path(), 1, [&](long at, const QString& root, const QString& fired) {
        // Qt's own event loop: GLib's ends the process wherever its memory runs out.
        QList<QPair<QString, QString>> settings{{"QT_NO_GLIB", "1"},
                                                {"LOOMWORK_TEST_ROOT", root},
                                                {"LOOMWORK_FAILMALLOC_MARK", "call"},
                                                {"LOOMWORK_FAILMALLOC_AT", QString::number(at)},
                                                {"LOOMWORK_FAILMALLOC_FIRED", fired},
                                                {kChildAt, QString::number(at)},
                                                {kChildPackage, package}};
        if (runTestInChild("ReportAfterCommit.OneTryInAChild", settings, LOOMWORK_FAILMALLOC_PATH))
            return;
        EXPECT_TRUE(QFile::exists(root + "/killed-on-purpose")) << "the child ended by a signal of its own";
        ++crashes;
        settings.append(qMakePair(QString(kChildAfterCrash), QStringLiteral("1")));
        EXPECT_TRUE(runTestInChild("ReportAfterCommit.OneTryInAChild", settings, {}));
    });
    EXPECT_GT(tries, 20) << "the sweep reached the report";
    EXPECT_LT(crashes, tries / 4) << "most failures end in a report";
#endif
}
