#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include "engine/core/WorkerThread.h"
#include "engine/files/AppJournal.h"
#include "engine/operations/MarketInstaller.h"
#include "engine/operations/OperationsCenter.h"
#include "support/app/BackupFixtures.h"
#include "support/app/ChildTest.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// The system refuses one thread an install, a delete or a market install needs (the
// operation's own or one of the unpacker's): the operation ends, in Chinese, and what it says
// stands on disk. Each try runs in a child of its own, with the refusing library preloaded.
namespace {

constexpr char kChildOperation[] = "LOOMWORK_THREAD_SWEEP_OPERATION";
constexpr char kChildWorker[] = "LOOMWORK_THREAD_WORKER";

enum class Operation { install, remove, market };
const char* const kOperationNames[] = {"install", "delete", "market install"};

const QMap<QString, QByteArray> kGlow{{"new.txt", "new"}};

using Arm = void (*)();

// Said for the user: Chinese, not the system's English for a refused thread.
void expectChinese(const QString& said)
{
    EXPECT_TRUE(said.contains(QRegularExpression("[\\x{4e00}-\\x{9fff}]"))) << said.toStdString();
    EXPECT_FALSE(said.contains(QString::fromLocal8Bit(std::strerror(EAGAIN)))) << said.toStdString();
}

void tryOnce(Operation operation)
{
    const PluginRoot root = operation == Operation::market ? PluginRoot::system : PluginRoot::user;
    const QString category = PluginFixtures::categoryFolder(root, ZFCPluginType::effect);
    QDir().mkpath(category);
    const QString package = TestEnv::root() + "/one.zfcp";
    PackageMaker::pack(package, {{ZFCPluginType::effect, "Glow", kGlow}}, TestEnv::root() + "/work");
    if (operation == Operation::remove)
        PackageMaker::makeFolder(category, "Glow", kGlow);
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    const auto arm = reinterpret_cast<Arm>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_arm"));
    const auto disarm = reinterpret_cast<Arm>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_disarm"));
    ASSERT_TRUE(arm && disarm);

    bool done = false;
    QString said;
    if (operation == Operation::market) {
        arm();
        try {
            MarketInstaller::install(package, "p1", "市场名");
            done = true;
        } catch (...) {
            said = MarketInstaller::describe(std::current_exception());
        }
        disarm();
    } else {
        OperationsCenter center;
        arm();
        if (operation == Operation::install)
            center.install({package}, InstallPlan{});
        else
            center.remove({BackupFixtures::pluginAt(category + "/Glow", root)});
        const bool ended = QTest::qWaitFor([&] { return !center.isBusy(); }, 20000);
        disarm();
        QCoreApplication::processEvents();
        ASSERT_TRUE(ended) << "still busy: " << center.statusText().toStdString();
        done = !center.alertTitle().has_value();
        said = center.alertMessage().value_or(center.statusText());
        if (done) {
            EXPECT_EQ(center.statusText(), operation == Operation::install ? "已安装 1 个插件" : "已删除 1 个插件");
        }
    }
    if (!done)
        expectChinese(said);
    // Installed or deleted as said; else as it was.
    const bool stands = operation == Operation::remove ? !done : done;
    if (stands) {
        EXPECT_EQ(PackageMaker::readTree(category + "/Glow"), kGlow) << said.toStdString();
    } else {
        EXPECT_FALSE(QFileInfo::exists(category + "/Glow")) << said.toStdString();
    }
    AppJournal::recover();
    EXPECT_EQ(QFileInfo::exists(category + "/Glow"), stands) << said.toStdString();
}

} // namespace

TEST(ThreadRefused, OneTryInAChild)
{
    if (qEnvironmentVariableIsEmpty(kChildOperation))
        GTEST_SKIP() << "run by the sweep";
    tryOnce(Operation(qEnvironmentVariableIntValue(kChildOperation)));
}

TEST(ThreadRefused, AnOperationWhoseThreadCannotBeMadeEndsSayingSo)
{
#ifndef LOOMWORK_FAILMALLOC_PATH
    GTEST_SKIP() << "the failing allocator is not built here (sanitizers bring their own)";
#else
    QTemporaryDir dir;
    for (const Operation operation : {Operation::install, Operation::remove, Operation::market}) {
        SCOPED_TRACE(kOperationNames[int(operation)]);
        int refused = 0;
        // The first thread made after the start, then the next, to the last the operation makes.
        for (long thread = 1;; ++thread) {
            SCOPED_TRACE(thread);
            const QString root = dir.path() + "/scene";
            const QString fired = dir.path() + "/fired";
            QDir(root).removeRecursively();
            QDir().mkpath(root);
            QFile::remove(fired);
            EXPECT_TRUE(runTestInChild("ThreadRefused.OneTryInAChild",
                                       {{"LOOMWORK_TEST_ROOT", root},
                                        {"LOOMWORK_FAILMALLOC_MARK", "call"},
                                        {"LOOMWORK_FAILMALLOC_THREAD", QString::number(thread)},
                                        {"LOOMWORK_FAILMALLOC_FIRED", fired},
                                        {kChildOperation, QString::number(int(operation))}},
                                       LOOMWORK_FAILMALLOC_PATH))
                << "ended by a signal";
            if (HasFailure() || !QFile::exists(fired))
                break;
            ++refused;
        }
        EXPECT_GT(refused, 0) << "the operation makes a thread";
        QDir(dir.path() + "/scene").removeRecursively();
    }
#endif
}

TEST(ThreadRefused, AWorkerInAChild)
{
    if (qEnvironmentVariableIsEmpty(kChildWorker))
        GTEST_SKIP() << "run by the test below";
    const auto arm = reinterpret_cast<Arm>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_arm"));
    const auto disarm = reinterpret_cast<Arm>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_disarm"));
    ASSERT_TRUE(arm && disarm);
    std::atomic<int> ran{0};
    arm();
    const bool refused = !WorkerThread::start([&ran] { ++ran; });
    disarm();
    EXPECT_TRUE(refused) << "the refusal is seen";
    ASSERT_TRUE(WorkerThread::start([&ran] { ran += 10; }));
    WorkerThread::waitForAll();
    EXPECT_EQ(ran.load(), 10) << "the refused work never ran; the next did";
}

// The system refuses a worker its thread: the start says so, rather than dropping the work.
TEST(ThreadRefused, AWorkerWhoseThreadIsRefusedIsToldAndNeverRuns)
{
#ifndef LOOMWORK_FAILMALLOC_PATH
    GTEST_SKIP() << "the failing allocator is not built here (sanitizers bring their own)";
#else
    QTemporaryDir dir;
    const QString fired = dir.path() + "/fired";
    QDir().mkpath(dir.path() + "/scene");
    EXPECT_TRUE(runTestInChild("ThreadRefused.AWorkerInAChild",
                               {{"LOOMWORK_TEST_ROOT", dir.path() + "/scene"},
                                {"LOOMWORK_FAILMALLOC_MARK", "call"},
                                {"LOOMWORK_FAILMALLOC_THREAD", "1"},
                                {"LOOMWORK_FAILMALLOC_FIRED", fired},
                                {kChildWorker, "1"}},
                               LOOMWORK_FAILMALLOC_PATH));
    EXPECT_TRUE(QFile::exists(fired)) << "a thread was refused";
#endif
}

namespace {
constexpr char kChildLastWorker[] = "LOOMWORK_THREAD_LAST_WORKER";
QPointer<QThread> g_lastWorker;
} // namespace

TEST(WorkerThreadExit, ALastWorkerInAChild)
{
    if (qEnvironmentVariableIsEmpty(kChildLastWorker))
        GTEST_SKIP() << "run by the test below";
    std::atexit([] {
        if (!g_lastWorker.isNull())
            std::_Exit(7); // the application went and left the worker's object behind
    });
    ASSERT_TRUE(WorkerThread::start([] { g_lastWorker = QThread::currentThread(); }));
    WorkerThread::waitForAll(); // no events are served from here to the end
    EXPECT_FALSE(g_lastWorker.isNull());
}

// A worker that finishes after the last events were served still has its object deleted
// before the application object goes, not leaked past it.
TEST(WorkerThreadExit, NoWorkerOutlivesTheApplication)
{
    EXPECT_TRUE(runTestInChild("WorkerThreadExit.ALastWorkerInAChild", {{kChildLastWorker, "1"}}, {}));
}
