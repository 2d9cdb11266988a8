// Launches of the application itself: one instance per user and data folder.
#include <algorithm>
#include <csignal>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QTest>

#include "engine/core/InstanceGuard.h"
#include "support/app/TestEnv.h"

namespace {

struct stat statOf(const QString& path)
{
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

} // namespace

// Three launches at once leave one; when it dies, the next launch takes its lock and socket.
TEST(AppLaunch, ThreeCopiesStartedTogetherLeaveOne)
{
    TestEnv::reset();
    std::vector<std::unique_ptr<QProcess>> copies;
    const auto launch = [&] {
        copies.push_back(std::make_unique<QProcess>());
        copies.back()->start(LOOMWORK_APP_PATH, {"-serverBaseURL", "http://127.0.0.1:9/"});
        return copies.back().get();
    };
    const auto lockHolder = [] {
        qint64 pid = 0;
        QString host, app;
        QLockFile(InstanceGuard::lockPath()).getLockInfo(&pid, &host, &app);
        return pid;
    };
    for (int i = 0; i < 3; ++i)
        launch();
    const auto exited = [&] {
        return std::count_if(copies.begin(), copies.end(), [](const auto& c) { return c->state() == QProcess::NotRunning; });
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return exited() == 2; }, 60000)) << "one copy left running";
    for (const auto& copy : copies)
        EXPECT_TRUE(copy->state() != QProcess::NotRunning || copy->exitCode() == 0) << "handed over, then quit";
    const auto instance = std::find_if(copies.begin(), copies.end(), [](const auto& c) { return c->state() != QProcess::NotRunning; });
    ASSERT_NE(instance, copies.end());
    EXPECT_EQ(lockHolder(), (*instance)->processId());
    const QString socket = InstanceGuard::socketPath();
    EXPECT_TRUE(S_ISSOCK(statOf(socket).st_mode));
    EXPECT_EQ(statOf(QFileInfo(socket).path()).st_mode & 0777, 0700u);
    EXPECT_EQ(statOf(QFileInfo(socket).path()).st_uid, ::geteuid());

    ::kill(pid_t((*instance)->processId()), SIGKILL);
    (*instance)->waitForFinished();
    QProcess* next = launch();
    ASSERT_TRUE(QTest::qWaitFor([&] { return lockHolder() == next->processId(); }, 60000)) << "a dead one's lock is taken over";
    EXPECT_TRUE(QTest::qWaitFor([] { return InstanceGuard::handOver({}); }, 30000)) << "and its socket";
    ::kill(pid_t(next->processId()), SIGKILL);
    next->waitForFinished();
}
