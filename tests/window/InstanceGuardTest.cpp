// One Loomwork per user: the lock decides, the hand-over socket sits where only the user
// can enter, and nothing is handed to a server another user runs.
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
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "engine/AppPaths.h"
#include "support/app/TestEnv.h"
#include "window/InstanceGuard.h"

namespace {

constexpr const char* kSquatEnv = "LOOMWORK_TEST_SQUAT_AT";

struct stat statOf(const QString& path)
{
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

qint64 lockHolder()
{
    qint64 pid = 0;
    QString host, app;
    QLockFile(InstanceGuard::lockPath()).getLockInfo(&pid, &host, &app);
    return pid;
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
    ::close(peer);
    ::close(fd);
}

} // namespace

TEST(InstanceGuard, TheSocketFolderIsOneOnlyTheUserCanEnter)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give folders to another user";
    TestEnv::reset();
    QTemporaryDir dir;
    const QString fallback = AppPaths::applicationFolder() + "/run";
    const auto folder = [&](const QString& name, mode_t mode, uid_t owner) {
        const QString path = dir.path() + "/" + name;
        QDir().mkpath(path);
        ::chmod(QFile::encodeName(path).constData(), mode);
        EXPECT_EQ(::chown(QFile::encodeName(path).constData(), owner, owner), 0);
        return path;
    };
    const uid_t me = ::geteuid();
    const struct {
        const char* runtime;
        QString expected;
    } cases[] = {
        {nullptr, fallback},
        {"private", dir.path() + "/private"},
        {"open", fallback},
        {"others", fallback},
        {"link", fallback},
    };
    folder("private", 0700, me);
    folder("open", 0777, me);
    folder("others", 0700, 65534);
    QFile::link(dir.path() + "/private", dir.path() + "/link");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.runtime ? c.runtime : "unset");
        if (c.runtime)
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path() + "/" + c.runtime));
        EXPECT_EQ(InstanceGuard::socketFolder(), c.expected);
        qunsetenv("XDG_RUNTIME_DIR");
    }
    EXPECT_EQ(statOf(fallback).st_mode & 0777, 0700u);

    ::chmod(QFile::encodeName(fallback).constData(), 0755);
    EXPECT_EQ(InstanceGuard::socketFolder(), fallback) << "others' access taken away";
    EXPECT_EQ(statOf(fallback).st_mode & 0777, 0700u);
    ASSERT_EQ(::chown(QFile::encodeName(fallback).constData(), 65534, 65534), 0);
    EXPECT_EQ(InstanceGuard::socketFolder(), QString()) << "another user's folder is refused";
    QDir(fallback).removeRecursively();
    QFile::link(dir.path() + "/open", fallback);
    EXPECT_EQ(InstanceGuard::socketFolder(), QString()) << "a link is refused";
    QFile::remove(fallback);
}

TEST(InstanceGuard, ALaterClaimHandsItsFilesToTheInstance)
{
    TestEnv::reset();
    const QList<QUrl> files{QUrl::fromLocalFile("/tmp/A.zfcp")};
    auto first = std::make_unique<InstanceGuard>();
    ASSERT_EQ(first->claim({}), InstanceGuard::Claim::instance);
    QSignalSpy received(first.get(), &InstanceGuard::filesHandedOver);
    InstanceGuard later;
    EXPECT_EQ(later.claim(files), InstanceGuard::Claim::handedOver);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.count() == 1; }, 10000));
    EXPECT_EQ(received[0][0].value<QList<QUrl>>(), files);

    first.reset();
    EXPECT_EQ(InstanceGuard().claim({}), InstanceGuard::Claim::instance) << "the lock goes with its holder";
}

// As root the test runs itself again as nobody, who plays the other user's server; the
// socket is moved where Loomwork looks, as if the folder had been open to them.
TEST(InstanceGuard, AnotherUsersServerIsHandedNothing)
{
    if (const QByteArray at = qgetenv(kSquatEnv); !at.isEmpty())
        return squat(at);
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to play another user";
    TestEnv::reset();
    QTemporaryDir shared;
    ::chmod(QFile::encodeName(shared.path()).constData(), 0777);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kSquatEnv, shared.path() + "/s");
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
    output += child.readAllStandardOutput();
    EXPECT_TRUE(output.contains("received 0 bytes")) << output.toStdString();
    QFile::remove(socket);
}

// Three launches at once leave one; when it dies, the next launch takes its lock and socket.
TEST(InstanceGuard, ThreeCopiesStartedTogetherLeaveOne)
{
    TestEnv::reset();
    std::vector<std::unique_ptr<QProcess>> copies;
    const auto launch = [&] {
        copies.push_back(std::make_unique<QProcess>());
        copies.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        copies.back()->start(LOOMWORK_APP_PATH, {"-serverBaseURL", "http://127.0.0.1:9/"});
        return copies.back().get();
    };
    for (int i = 0; i < 3; ++i)
        launch();
    const auto running = [&] {
        QProcess* last = nullptr;
        int count = 0;
        for (const auto& copy : copies) {
            if (copy->state() != QProcess::NotRunning) {
                last = copy.get();
                ++count;
            }
        }
        return count == 1 ? last : nullptr;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return running() != nullptr; }, 60000)) << "one copy left running";
    QProcess* instance = running();
    for (const auto& copy : copies)
        EXPECT_TRUE(copy.get() == instance || copy->exitCode() == 0) << "handed over, then quit";
    EXPECT_EQ(lockHolder(), instance->processId());
    const QString socket = InstanceGuard::socketPath();
    EXPECT_TRUE(S_ISSOCK(statOf(socket).st_mode));
    EXPECT_EQ(statOf(QFileInfo(socket).path()).st_mode & 0777, 0700u);
    EXPECT_EQ(statOf(QFileInfo(socket).path()).st_uid, ::geteuid());

    ::kill(pid_t(instance->processId()), SIGKILL);
    instance->waitForFinished();
    QProcess* next = launch();
    ASSERT_TRUE(QTest::qWaitFor([&] { return lockHolder() == next->processId(); }, 60000)) << "a dead one's lock is taken over";
    EXPECT_TRUE(QTest::qWaitFor([] { return InstanceGuard::handOver({}); }, 30000)) << "and its socket";
    ::kill(pid_t(next->processId()), SIGKILL);
    next->waitForFinished();
}
