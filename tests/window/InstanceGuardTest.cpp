// One Loomwork per user: the lock decides, the hand-over socket sits where only the user
// can enter, and nothing is handed to a server another user runs.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "engine/AppPaths.h"
#include "support/app/TestEnv.h"
#include "window/InstanceGuard.h"

namespace {

struct stat statOf(const QString& path)
{
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

// Run as another user: listens at `path`, takes one connection and says what came.
void squat(const QByteArray& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.constData());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    std::printf("listening\n");
    std::fflush(stdout);
    const int peer = ::accept(fd, nullptr, nullptr);
    std::size_t total = 0;
    char buffer[256];
    for (ssize_t n; (n = ::read(peer, buffer, sizeof buffer)) > 0;)
        total += std::size_t(n);
    std::printf("received %zu bytes\n", total);
}

} // namespace

TEST(InstanceGuard, TheSocketFolderIsOneOnlyTheUserCanEnter)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give folders to another user";
    TestEnv::reset();
    QTemporaryDir dir;
    const QString fallback = AppPaths::applicationFolder() + "/run";
    const auto folder = [&](const char* name, mode_t mode, uid_t owner) {
        const QByteArray path = QFile::encodeName(dir.path() + "/" + name);
        ::mkdir(path.constData(), mode);
        ::chmod(path.constData(), mode);
        EXPECT_EQ(::chown(path.constData(), owner, owner), 0);
        return path;
    };
    const std::pair<QByteArray, QString> cases[] = {
        {{}, fallback},
        {folder("private", 0700, 0), dir.path() + "/private"},
        {folder("open", 0777, 0), fallback},
        {folder("others", 0700, 65534), fallback},
        {"relative", fallback},
    };
    for (const auto& [runtime, expected] : cases) {
        SCOPED_TRACE(runtime.toStdString());
        qputenv("XDG_RUNTIME_DIR", runtime);
        EXPECT_EQ(InstanceGuard::socketFolder(), expected);
    }
    qunsetenv("XDG_RUNTIME_DIR");

    ::chmod(QFile::encodeName(fallback).constData(), 0755);
    EXPECT_EQ(InstanceGuard::socketFolder(), fallback);
    EXPECT_EQ(statOf(fallback).st_mode & 0777, 0700u) << "others' access taken away";
    ASSERT_EQ(::chown(QFile::encodeName(fallback).constData(), 65534, 65534), 0);
    EXPECT_EQ(InstanceGuard::socketFolder(), QString()) << "another user's folder is refused";
    QDir(fallback).removeRecursively();
    QFile::link(dir.path() + "/private", fallback);
    EXPECT_EQ(InstanceGuard::socketFolder(), QString()) << "a link is refused";
    QFile::remove(fallback);
}

// As root the test runs itself again as nobody, who plays the other user's server; the
// socket is moved where Loomwork looks, as if the folder had been open to them.
TEST(InstanceGuard, AnotherUsersServerIsHandedNothing)
{
    if (const QByteArray at = qgetenv("LOOMWORK_TEST_SQUAT_AT"); !at.isEmpty())
        return squat(at);
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to play another user";
    TestEnv::reset();
    // The temporary folder may be root's own (0700): the child works where it can reach,
    // and keeps its own temporary files there.
    QTemporaryDir shared(QStringLiteral("/tmp/loomwork-squat-XXXXXX"));
    ASSERT_TRUE(shared.isValid());
    ::chmod(QFile::encodeName(shared.path()).constData(), 0777);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LOOMWORK_TEST_SQUAT_AT", shared.path() + "/s");
    env.insert("TMPDIR", shared.path());
    child.setProcessEnvironment(env);
    child.start("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                     QCoreApplication::applicationFilePath(),
                                     "--gtest_filter=InstanceGuard.AnotherUsersServerIsHandedNothing"});
    QByteArray output;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (output += child.readAllStandardOutput()).contains("listening\n"); }, 30000));
    const QString socket = InstanceGuard::socketPath();
    ASSERT_EQ(::rename(QFile::encodeName(shared.path() + "/s").constData(), QFile::encodeName(socket).constData()), 0);

    EXPECT_FALSE(InstanceGuard::handOver({QUrl::fromLocalFile("/home/me/Paid.zfcp")}));
    if (!child.waitForFinished(30000))
        child.kill();
    EXPECT_TRUE((output += child.readAllStandardOutput()).contains("received 0 bytes")) << output.toStdString();
    QFile::remove(socket);
}

// Three launches at once leave one; when it dies, the next launch takes its lock and socket.
TEST(InstanceGuard, ThreeCopiesStartedTogetherLeaveOne)
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
