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
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "engine/core/AppPaths.h"
#include "engine/core/AtomicFile.h"
#include "engine/core/InstanceGuard.h"
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

// Runs this test program again as nobody (root only), in a folder of ours it can reach
// (the test's folder is root's own, 0700, until then), where it keeps its temporary files.
class AsNobody
{
public:
    AsNobody() : m_root(QFile::encodeName(TestEnv::root())), m_shared(TestEnv::root() + QStringLiteral("/tmp/nobody-XXXXXX"))
    {
        ::chmod(m_root.constData(), 0711);
        ::chmod(QFile::encodeName(m_shared.path()).constData(), 0777);
    }
    ~AsNobody() { ::chmod(m_root.constData(), 0700); }

    static bool possible() { return ::geteuid() == 0 && ::access("/usr/bin/setpriv", X_OK) == 0; }
    QString shared() const { return m_shared.path(); }
    QProcess& start(const char* test, const QList<std::pair<QString, QString>>& variables = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", m_shared.path());
        for (const auto& [name, value] : variables)
            env.insert(name, value);
        m_child.setProcessEnvironment(env);
        m_child.setProcessChannelMode(QProcess::MergedChannels);
        m_child.start("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                           QCoreApplication::applicationFilePath(), QStringLiteral("--gtest_filter=") + test});
        return m_child;
    }

private:
    QByteArray m_root;
    QTemporaryDir m_shared;
    QProcess m_child; // ended before its folder goes
};

} // namespace

TEST(InstanceGuard, TheSocketFolderIsOneOnlyTheUserCanEnter)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give folders to another user";
    TestEnv::reset();
    QTemporaryDir dir;
    QTemporaryDir shortBase(QStringLiteral("/tmp/lw-XXXXXX"));
    InstanceGuard::setShortFolderBase(shortBase.path());
    const auto restore = qScopeGuard([] { InstanceGuard::setShortFolderBase({}); });
    const QString fallback = AppPaths::applicationFolder() + "/run";
    const QString shortFolder = shortBase.path() + "/loomwork-0";
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
    // Another user's folder, or a link, is passed over for the short folder, checked alike.
    ASSERT_EQ(::chown(QFile::encodeName(fallback).constData(), 65534, 65534), 0);
    ASSERT_TRUE(QDir().mkdir(shortFolder));
    ::chmod(QFile::encodeName(shortFolder).constData(), 0755);
    EXPECT_EQ(InstanceGuard::socketFolder(), shortFolder) << "another user's folder is refused";
    EXPECT_EQ(statOf(shortFolder).st_mode & 0777, 0700u);
    QDir(fallback).removeRecursively();
    QFile::link(dir.path() + "/private", fallback);
    EXPECT_EQ(InstanceGuard::socketFolder(), shortFolder) << "a link is refused";
    QFile::remove(fallback);
    QDir(shortFolder).removeRecursively();
    QFile::link(dir.path() + "/private", shortFolder);
    qputenv("XDG_RUNTIME_DIR", folder("others2", 0700, 65534));
    ::mkdir(QFile::encodeName(fallback).constData(), 0700);
    ASSERT_EQ(::chown(QFile::encodeName(fallback).constData(), 65534, 65534), 0);
    EXPECT_EQ(InstanceGuard::socketFolder(), QString()) << "no folder of this user's own";
    qunsetenv("XDG_RUNTIME_DIR");
    QDir(fallback).removeRecursively();
}

// As root the test runs itself again as nobody, who plays the other user's server; the
// socket is moved where Loomwork looks, as if the folder had been open to them.
TEST(InstanceGuard, AnotherUsersServerIsHandedNothing)
{
    if (const QByteArray at = qgetenv("LOOMWORK_TEST_SQUAT_AT"); !at.isEmpty())
        return squat(at);
    if (!AsNobody::possible())
        GTEST_SKIP() << "needs root and setpriv to play another user";
    TestEnv::reset();
    AsNobody nobody;
    const QString squatAt = nobody.shared() + "/s";
    QProcess& child = nobody.start("InstanceGuard.AnotherUsersServerIsHandedNothing", {{"LOOMWORK_TEST_SQUAT_AT", squatAt}});
    QByteArray output;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (output += child.readAll()).contains("listening\n"); }, 30000));
    const QString socket = InstanceGuard::socketPath();
    ASSERT_EQ(::rename(QFile::encodeName(squatAt).constData(), QFile::encodeName(socket).constData()), 0);

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
    output += child.readAll();
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

namespace {

// A data folder so deep that a socket's path in it does not fit a socket address; the
// short folder is made in a folder of the test's own, and the environment is restored.
class DeepDataFolder
{
public:
    DeepDataFolder() : m_previous(qgetenv("XDG_DATA_HOME")), m_shortBase(QStringLiteral("/tmp/lw-XXXXXX"))
    {
        TestEnv::reset();
        qunsetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_DATA_HOME", QFile::encodeName(TestEnv::root() + "/data/" + QString(100, QChar('d'))));
        InstanceGuard::setShortFolderBase(m_shortBase.path());
    }
    ~DeepDataFolder()
    {
        InstanceGuard::setShortFolderBase({});
        qputenv("XDG_DATA_HOME", m_previous);
        TestEnv::reset();
    }
    QString shortFolder() const { return m_shortBase.path() + "/loomwork-" + QString::number(::geteuid()); }

private:
    QByteArray m_previous;
    QTemporaryDir m_shortBase;
};

} // namespace

// A data folder too deep for a socket gives way to a short folder; with none to be had
// either, the instance says so beside the lock and a later launch gives up at once instead
// of waiting out its time.
TEST(InstanceGuard, ADataFolderTooDeepForASocketGivesWayToAShortFolder)
{
    DeepDataFolder deep;
    ASSERT_GT(QFile::encodeName(AppPaths::applicationFolder() + "/run/loomwork-123456789012").size(), 107);
    const QList<QUrl> files{QUrl::fromLocalFile("/home/me/Glow.zfcp")};
    {
        InstanceGuard instance;
        ASSERT_EQ(instance.claim({}), InstanceGuard::Claim::instance);
        const QString socket = InstanceGuard::socketPath();
        EXPECT_EQ(QFileInfo(socket).path(), deep.shortFolder());
        EXPECT_TRUE(S_ISSOCK(statOf(socket).st_mode));
        EXPECT_EQ(statOf(deep.shortFolder()).st_mode & 07777, 0700u);
        QSignalSpy handed(&instance, &InstanceGuard::filesHandedOver);
        InstanceGuard later;
        EXPECT_EQ(later.claim(files, 3000), InstanceGuard::Claim::handedOver);
        ASSERT_TRUE(handed.wait(10000));
        EXPECT_EQ(handed.takeFirst().at(0).value<QList<QUrl>>(), files);
    }

    QDir(deep.shortFolder()).removeRecursively();
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QFile::link(elsewhere.path(), deep.shortFolder())); // a link is refused
    {
        InstanceGuard instance;
        ASSERT_EQ(instance.claim({}), InstanceGuard::Claim::instance);
        EXPECT_EQ(InstanceGuard::socketPath(), QString());
        EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
        InstanceGuard later;
        QElapsedTimer waited;
        waited.start();
        EXPECT_EQ(later.claim(files, 120000), InstanceGuard::Claim::unreachable);
        EXPECT_LT(waited.elapsed(), 60000) << "waited out its time";
    }
    EXPECT_FALSE(QFile::exists(InstanceGuard::socketRecordPath())) << "the record goes with the instance";

    // A record a dead instance left is no reason to give up: its pid is not the lock's.
    ASSERT_EQ(AtomicFile::write(InstanceGuard::socketRecordPath(), "none 1"), 0);
    QLockFile held(InstanceGuard::lockPath());
    ASSERT_TRUE(held.tryLock(0));
    InstanceGuard later;
    QElapsedTimer waited;
    waited.start();
    EXPECT_EQ(later.claim({}, 300), InstanceGuard::Claim::unreachable);
    EXPECT_GE(waited.elapsed(), 300) << "gave up at once";
    QFile::remove(deep.shortFolder());
}

// A runtime folder of the user's own at 0500 is private but takes no socket. As root
// (whom permissions never stop) the test runs itself again as nobody.
TEST(InstanceGuard, ARuntimeFolderClosedToWritingGivesWay)
{
    if (::geteuid() == 0) {
        if (!AsNobody::possible())
            GTEST_SKIP() << "needs setpriv to run as another user";
        TestEnv::reset();
        AsNobody nobody;
        QProcess& child = nobody.start("InstanceGuard.ARuntimeFolderClosedToWritingGivesWay");
        ASSERT_TRUE(child.waitForFinished(60000));
        const QByteArray output = child.readAll();
        EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
        return;
    }
    TestEnv::reset();
    QTemporaryDir runtime;
    const QByteArray runtimePath = QFile::encodeName(runtime.path());
    ASSERT_EQ(::chmod(runtimePath.constData(), 0500), 0);
    qputenv("XDG_RUNTIME_DIR", runtimePath);
    // As nobody the data folder lies deeper, and may need the short folder as well.
    QTemporaryDir shortBase(QStringLiteral("/tmp/lw-XXXXXX"));
    InstanceGuard::setShortFolderBase(shortBase.path());
    const auto restore = qScopeGuard([&] {
        InstanceGuard::setShortFolderBase({});
        qunsetenv("XDG_RUNTIME_DIR");
        ::chmod(runtimePath.constData(), 0700);
    });
    InstanceGuard instance;
    ASSERT_EQ(instance.claim({}), InstanceGuard::Claim::instance);
    const QString folder = InstanceGuard::socketFolder();
    EXPECT_TRUE(folder == AppPaths::applicationFolder() + "/run" || folder.startsWith(shortBase.path() + "/"))
        << folder.toStdString();
    QSignalSpy handed(&instance, &InstanceGuard::filesHandedOver);
    const QList<QUrl> files{QUrl::fromLocalFile("/home/me/Glow.zfcp")};
    InstanceGuard later;
    EXPECT_EQ(later.claim(files, 3000), InstanceGuard::Claim::handedOver);
    ASSERT_TRUE(handed.wait(10000));
    EXPECT_EQ(handed.takeFirst().at(0).value<QList<QUrl>>(), files);
}

// A quitting instance keeps serving launches until it ends: a launch while it still waits, or
// one that got through just as it stopped waiting, brings it back with the files; once it has
// stopped listening, a launch no longer reaches it (and waits for the lock instead).
TEST(InstanceGuard, ALaunchWhileTheInstanceQuitsIsNeverLost)
{
    struct Case
    {
        const char* name;
        bool duringTheWait;
        bool justBefore;
        bool runsOn;
    };
    const Case cases[] = {
        {"handed over while it waits", true, false, true},
        {"handed over as the wait ends", false, true, true},
        {"nobody launched", false, false, false},
    };
    const QList<QUrl> files{QUrl::fromLocalFile("/home/me/Glow.zfcp")};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        InstanceGuard instance;
        ASSERT_EQ(instance.claim({}), InstanceGuard::Claim::instance);
        QSignalSpy handed(&instance, &InstanceGuard::filesHandedOver);
        if (c.justBefore) {
            ASSERT_TRUE(InstanceGuard::handOver(files));
        }
        QElapsedTimer waiting;
        waiting.start();
        bool sent = false;
        const bool runsOn = instance.serveWhile([&] {
            if (!c.duringTheWait)
                return false;
            if (!sent)
                sent = InstanceGuard::handOver(files);
            return handed.isEmpty() && !waiting.hasExpired(20000);
        });
        EXPECT_EQ(runsOn, c.runsOn);
        ASSERT_EQ(handed.size(), c.runsOn ? 1 : 0);
        if (c.runsOn) {
            EXPECT_EQ(handed.takeFirst().at(0).value<QList<QUrl>>(), files);
        }
        // Running on, it is reached as before; quitting, it is not.
        EXPECT_EQ(InstanceGuard::handOver(files), c.runsOn);
        if (c.runsOn) {
            ASSERT_TRUE(handed.wait(10000));
            EXPECT_FALSE(instance.serveWhile([] { return false; }));
        }
    }
}
