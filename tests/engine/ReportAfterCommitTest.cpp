#include <gtest/gtest.h>

#include <new>

#include <csignal>

#include <dlfcn.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "engine/model/InstallPlan.h"
#include "engine/operations/OperationsCenter.h"
#include "support/app/ChildTest.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// Once an install's plug-ins stand, memory running out at any allocation after that (the old
// copies' removal, the report's text, its post to the runner) never turns it into a reported
// failure, nor leaves the runner busy. Each try runs in a child of its own with the failing
// allocator preloaded, counting from the install's commit point (the journal's rename that
// says finish) on.
namespace {

constexpr char kChildAt[] = "LOOMWORK_REPORT_SWEEP_AT";
constexpr char kChildPackage[] = "LOOMWORK_REPORT_SWEEP_PACKAGE"; // made by the parent: no rename of its own
// The successful renames of a one plug-in install before its commit point counts: the entry
// written with the room, with its identity, with the staged item; the plug-in moved in; the
// entry saying finish.
constexpr int kCommitRename = 5;

const QMap<QString, QByteArray> kNew{{"new.txt", "new"}};

} // namespace

TEST(ReportAfterCommit, OneTryInAChild)
{
    if (qEnvironmentVariableIsEmpty(kChildAt))
        GTEST_SKIP() << "run by the sweep";
    const QString category = PluginFixtures::categoryFolder(PluginRoot::user, ZFCPluginType::effect);
    QDir().mkpath(category);
    const QString package = qEnvironmentVariable(kChildPackage);
    OperationsCenter center;
    bool idle = false;
    try {
        center.install({package}, InstallPlan{});
        idle = QTest::qWaitFor([&] { return !center.isBusy(); }, 20000);
        QCoreApplication::processEvents();
    } catch (const std::bad_alloc&) {
        ::kill(::getpid(), SIGKILL); // on the GUI thread, inside Qt's event delivery: the app ends there
    }
    if (const auto disarm = reinterpret_cast<void (*)()>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_disarm")))
        disarm();
    ASSERT_TRUE(idle) << "the runner stays busy";
    ASSERT_EQ(PackageMaker::readTree(category + "/Glow"), kNew) << "the failure came before the commit point";
    EXPECT_NE(center.alertTitle().value_or(QString()), QStringLiteral("安装失败"))
        << center.alertMessage().value_or(QString()).toStdString();
    EXPECT_TRUE(center.statusText() == "已安装 1 个插件" || center.statusText() == "安装完成")
        << center.statusText().toStdString();
}

TEST(ReportAfterCommit, AnInstallThatStandsIsNeverReportedFailed)
{
#ifndef LOOMWORK_FAILMALLOC_PATH
    GTEST_SKIP() << "the failing allocator is not built here (sanitizers bring their own)";
#else
    QTemporaryDir dir;
    const QString package = dir.path() + "/one.zfcp";
    PackageMaker::pack(package, {{ZFCPluginType::effect, "Glow", kNew}}, dir.path() + "/work");
    const int tries = sweepAllocations(dir.path(), 1, [&](long at, const QString& root, const QString& fired) {
        runTestInChild("ReportAfterCommit.OneTryInAChild",
                       {{"LOOMWORK_TEST_ROOT", root},
                        {"LOOMWORK_FAILMALLOC_MARK", "rename:" + QString::number(kCommitRename)},
                        {"LOOMWORK_FAILMALLOC_AT", QString::number(at)},
                        {"LOOMWORK_FAILMALLOC_FIRED", fired},
                        {kChildAt, QString::number(at)},
                        {kChildPackage, package}},
                       LOOMWORK_FAILMALLOC_PATH);
    });
    EXPECT_GT(tries, 20) << "the sweep reached the report";
#endif
}
