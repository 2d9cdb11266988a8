// One Loomwork per user: the lock decides, the hand-over socket sits where only the user
// can enter, and nothing is handed to a server another user runs.
#include <cstdio>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "engine/AppPaths.h"
#include "engine/InstanceGuard.h"
#include "support/app/TestEnv.h"

namespace {

struct stat statOf(const QString& path)
{
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

// Run as another user: listens at `path`, takes connections until none came for three
// seconds and says what came.
void squat(const QByteArray& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.constData());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 64), 0);
    std::printf("listening\n");
    std::fflush(stdout);
    std::size_t total = 0;
    int connections = 0;
    for (pollfd p{fd, POLLIN, 0}; ::poll(&p, 1, 3000) > 0; ++connections) {
        const int peer = ::accept(fd, nullptr, nullptr);
        char buffer[256];
        for (ssize_t n; (n = ::read(peer, buffer, sizeof buffer)) > 0;)
            total += std::size_t(n);
        ::close(peer);
    }
    std::printf("received %zu bytes in %d connections\n", total, connections);
}

QStringList g_warnings;

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
    // The child works in a folder of ours it can reach (the test's folder is root's own,
    // 0700, until then), and keeps its own temporary files there.
    const QByteArray root = QFile::encodeName(TestEnv::root());
    ::chmod(root.constData(), 0711);
    const auto closeRoot = qScopeGuard([&] { ::chmod(root.constData(), 0700); });
    QTemporaryDir shared(TestEnv::root() + QStringLiteral("/tmp/squat-XXXXXX"));
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
    // A launch waiting on it asks less and less often, and says so once.
    QLockFile held(InstanceGuard::lockPath());
    ASSERT_TRUE(held.tryLock(0));
    g_warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
        g_warnings.append(text);
    });
    InstanceGuard later;
    EXPECT_EQ(later.claim({QUrl::fromLocalFile("/home/me/Paid.zfcp")}, 2000), InstanceGuard::Claim::unreachable);
    qInstallMessageHandler(previous);
    EXPECT_EQ(g_warnings.size(), 1) << g_warnings.join('\n').toStdString();
    if (!child.waitForFinished(30000))
        child.kill();
    output += child.readAllStandardOutput();
    int connections = 0;
    ASSERT_EQ(std::sscanf(output.mid(output.indexOf("received")).constData(), "received 0 bytes in %d", &connections), 1)
        << output.toStdString();
    EXPECT_LE(connections, 8) << "one hand-over, then a claim backing off over two seconds";
    QFile::remove(socket);
}

// Every launch with the same data folder finds the instance, whatever runtime folder each
// of them was given.
TEST(InstanceGuard, ALaunchWithAnotherRuntimeFolderFindsTheInstance)
{
    TestEnv::reset();
    QTemporaryDir first, second; // 0700, this user's
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(first.path()));
    InstanceGuard instance;
    ASSERT_EQ(instance.claim({}), InstanceGuard::Claim::instance);
    QSignalSpy handed(&instance, &InstanceGuard::filesHandedOver);
    const QList<QUrl> files{QUrl::fromLocalFile("/home/me/Glow.zfcp")};
    for (const QByteArray& runtime : {QByteArray(), QFile::encodeName(second.path())}) {
        SCOPED_TRACE(runtime.toStdString());
        qputenv("XDG_RUNTIME_DIR", runtime);
        InstanceGuard later;
        EXPECT_EQ(later.claim(files, 3000), InstanceGuard::Claim::handedOver);
        ASSERT_TRUE(handed.wait(10000));
        EXPECT_EQ(handed.takeFirst().at(0).value<QList<QUrl>>(), files);
    }
    qunsetenv("XDG_RUNTIME_DIR");
}
