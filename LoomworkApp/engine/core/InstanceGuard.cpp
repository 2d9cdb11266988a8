#include "engine/core/InstanceGuard.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QDebug>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include "engine/core/AppPaths.h"
#include "engine/core/AtomicFile.h"

namespace {

constexpr int kConnectTimeoutMs = 1500;
// A starting instance usually answers within the first retries; one that does not gets
// asked less and less often.
constexpr int kFirstRetryMs = 50;
constexpr int kMaxRetryMs = 1000;
constexpr qint64 kMaxHandOverBytes = 1024 * 1024;
constexpr qint64 kMaxRecordBytes = 4096;
// How often a quitting instance looks whether it may end.
constexpr int kQuitPollMs = 25;
// Set on a connection whose list was read.
constexpr char kReadProperty[] = "loomworkRead";

// A socket address holds this many bytes of path, the NUL aside.
constexpr qsizetype kMaxSocketPathBytes = qsizetype(sizeof(sockaddr_un::sun_path)) - 1;
// The folders the socket may live in, in order of preference.
enum class Place { runtime, dataFolder, shortFolder, count };
// What the instance records when it could listen nowhere, followed by its pid.
constexpr QByteArrayView kNoSocket = "none ";

enum class Reach {
    sent,
    unanswered,
    foreign, // the socket is another user's
    noSocket // the instance could listen nowhere
};

QString& shortFolderBase()
{
    static QString base = QStringLiteral("/tmp");
    return base;
}

bool isPrivate(const struct stat& st)
{
    return st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool isPrivateFolder(const QByteArray& path)
{
    struct stat st {};
    return path.startsWith('/') && ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && isPrivate(st);
}

// Made 0700 when missing; closed to others when they may enter it; refused when it is a
// link or not this user's (whoever owns it could listen in our place).
bool makePrivateFolder(const QByteArray& path)
{
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool made = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid()
        && ((st.st_mode & 077) == 0 || ::fchmod(fd, 0700) == 0);
    ::close(fd);
    return made;
}

// The server's owner, as the kernel recorded it when the server listened.
bool ownedByThisUser(const QLocalSocket& socket)
{
    const int fd = int(socket.socketDescriptor());
#ifdef Q_OS_MACOS
    uid_t uid = 0;
    gid_t gid = 0;
    return ::getpeereid(fd, &uid, &gid) == 0 && uid == ::geteuid();
#else
    struct ucred cred {};
    socklen_t size = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 && cred.uid == ::geteuid();
#endif
}

// Named for the data folder, so that a process with its own HOME (tests) never meets the
// user's running Loomwork in a shared folder.
QString socketName()
{
    const QByteArray data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toUtf8();
    const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex().left(12);
    return QStringLiteral("loomwork-") + QString::fromLatin1(digest);
}

// The socket's path in `place` when one can be made there, its folder made or checked on
// the way; empty otherwise. A runtime folder that is private but closed to writing (0500),
// or a data folder so deep that the path does not fit a socket address, gives way to the
// next place: a short folder of this user's own under /tmp.
QString socketIn(Place place)
{
    QByteArray folder;
    switch (place) {
    case Place::runtime:
        folder = qgetenv("XDG_RUNTIME_DIR");
        break;
    case Place::dataFolder:
        folder = QFile::encodeName(AppPaths::applicationFolder() + QStringLiteral("/run"));
        break;
    case Place::shortFolder:
        folder = QFile::encodeName(shortFolderBase() + QStringLiteral("/loomwork-") + QString::number(::geteuid()));
        break;
    case Place::count:
        return {};
    }
    const QByteArray path = folder + '/' + QFile::encodeName(socketName());
    if (folder.isEmpty() || path.size() > kMaxSocketPathBytes)
        return {};
    const bool usable = place == Place::runtime ? isPrivateFolder(folder) : makePrivateFolder(folder);
    if (!usable || ::access(folder.constData(), W_OK | X_OK) != 0)
        return {};
    return QFile::decodeName(path);
}

qint64 lockHolder()
{
    qint64 pid = 0;
    QString host;
    QString application;
    return QLockFile(InstanceGuard::lockPath()).getLockInfo(&pid, &host, &application) ? pid : 0;
}

Reach send(const QList<QUrl>& files)
{
    // The socket the instance recorded, else the one this launch would use itself.
    QString path;
    QFile record(InstanceGuard::socketRecordPath());
    if (record.open(QIODevice::ReadOnly)) {
        const QByteArray recorded = record.read(kMaxRecordBytes).trimmed();
        // A record of the lock's holder, not one a dead instance left behind.
        if (recorded.startsWith(kNoSocket) && recorded.mid(kNoSocket.size()).toLongLong() == lockHolder())
            return Reach::noSocket;
        if (recorded.startsWith('/'))
            path = QFile::decodeName(recorded);
    }
    if (path.isEmpty())
        path = InstanceGuard::socketPath();
    if (path.isEmpty())
        return Reach::unanswered;
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(kConnectTimeoutMs))
        return Reach::unanswered;
    if (!ownedByThisUser(socket)) {
        socket.abort();
        return Reach::foreign;
    }
    QByteArray payload;
    for (const QUrl& url : files)
        payload += url.toEncoded() + '\n';
    payload += '\n'; // an empty line ends the list; no file just raises the window
    socket.write(payload);
    if (!socket.waitForBytesWritten(kConnectTimeoutMs))
        return Reach::unanswered;
    socket.disconnectFromServer();
    return Reach::sent;
}

void warnNotSent(Reach reach)
{
    if (reach == Reach::foreign)
        qWarning() << "[Instance] the hand-over socket belongs to another user; nothing sent";
    else if (reach == Reach::noSocket)
        qWarning() << "[Instance] the Loomwork holding" << InstanceGuard::lockPath() << "could not listen anywhere";
    else
        qWarning() << "[Instance] another Loomwork holds" << InstanceGuard::lockPath() << "but does not answer yet";
}

} // namespace

InstanceGuard::InstanceGuard(QObject* parent) : QObject(parent) {}

InstanceGuard::~InstanceGuard()
{
    // The socket goes first: once the lock is free, a successor may listen at the same path,
    // and closing removes the path, whoever listens there.
    delete m_server;
    if (m_recorded)
        QFile::remove(socketRecordPath());
}

QString InstanceGuard::lockPath()
{
    return AppPaths::applicationFolder() + QStringLiteral("/loomwork.lock");
}

QString InstanceGuard::socketRecordPath()
{
    return AppPaths::applicationFolder() + QStringLiteral("/loomwork.socket-path");
}

QString InstanceGuard::socketFolder()
{
    const QString path = socketPath();
    return path.left(path.lastIndexOf(u'/'));
}

QString InstanceGuard::socketPath()
{
    for (int place = 0; place < int(Place::count); ++place) {
        if (QString path = socketIn(Place(place)); !path.isEmpty())
            return path;
    }
    return {};
}

void InstanceGuard::setShortFolderBase(const QString& base)
{
    shortFolderBase() = base.isEmpty() ? QStringLiteral("/tmp") : base;
}

InstanceGuard::Claim InstanceGuard::claim(const QList<QUrl>& files, int timeoutMs)
{
    m_lock = std::make_unique<QLockFile>(lockPath());
    // Held for the whole run: only a dead holder makes it stale, never its age.
    m_lock->setStaleLockTime(0);
    const QDeadlineTimer deadline(timeoutMs);
    int retryMs = kFirstRetryMs;
    bool warned = false;
    for (;;) {
        if (m_lock->tryLock(0)) {
            listen();
            return Claim::instance;
        }
        if (m_lock->error() != QLockFile::LockFailedError) {
            qWarning() << "[Instance] cannot lock" << lockPath() << "- running without the single-instance guard";
            return Claim::instance;
        }
        // The instance may still be on its way to listening.
        const Reach reach = send(files);
        if (reach == Reach::sent)
            return Claim::handedOver;
        if (!std::exchange(warned, true))
            warnNotSent(reach);
        // Waiting would not change that.
        if (reach == Reach::noSocket || deadline.hasExpired())
            return Claim::unreachable;
        QThread::msleep(std::min<qint64>(retryMs, std::max<qint64>(deadline.remainingTime(), 1)));
        retryMs = std::min(retryMs * 2, kMaxRetryMs);
    }
}

bool InstanceGuard::handOver(const QList<QUrl>& files)
{
    const Reach reach = send(files);
    if (reach == Reach::foreign || reach == Reach::noSocket)
        warnNotSent(reach);
    return reach == Reach::sent;
}

bool InstanceGuard::serveWhile(const std::function<bool()>& busy)
{
    const int before = m_handedOver;
    if (busy()) {
        QEventLoop loop;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &loop, [&] {
            if (!busy())
                loop.quit();
        });
        const auto handed = connect(this, &InstanceGuard::filesHandedOver, &loop, &QEventLoop::quit, Qt::QueuedConnection);
        poll.start(kQuitPollMs);
        loop.exec();
        disconnect(handed);
    }
    if (m_handedOver != before)
        return true;
    if (!stopListening())
        return false;
    listen();
    return true;
}

// The socket's name goes first, so that nothing more can connect; then every connection
// already made is taken and read to the end of its list.
bool InstanceGuard::stopListening()
{
    if (!m_server || !m_server->isListening())
        return false;
    const int before = m_handedOver;
    ::unlink(QFile::encodeName(m_server->fullServerName()).constData());
    for (;;) {
        bool none = false;
        m_server->waitForNewConnection(0, &none);
        if (none || !m_server->isListening())
            break;
    }
    // Guarded: what a list opens may run an event loop that deletes a finished connection.
    QList<QPointer<QLocalSocket>> sockets;
    for (QLocalSocket* socket : m_server->findChildren<QLocalSocket*>())
        sockets.append(socket);
    for (const QPointer<QLocalSocket>& socket : sockets) {
        while (socket && !socket->property(kReadProperty).toBool() && socket->state() == QLocalSocket::ConnectedState
               && socket->waitForReadyRead(kConnectTimeoutMs)) {
        }
    }
    m_server->close();
    m_server->deleteLater();
    m_server = nullptr;
    if (m_recorded && QFile::remove(socketRecordPath()))
        m_recorded = false;
    return m_handedOver != before;
}

void InstanceGuard::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QString path;
    for (int place = 0; place < int(Place::count) && !m_server->isListening(); ++place) {
        path = socketIn(Place(place));
        if (path.isEmpty())
            continue;
        // The lock is ours, so a socket found here was left by a process that died.
        QLocalServer::removeServer(path);
        if (!m_server->listen(path))
            qWarning() << "[Instance] cannot listen on" << path << m_server->errorString();
    }
    // Later launches learn either way, and do not wait for a socket that will never come.
    const QByteArray record = m_server->isListening() ? QFile::encodeName(path)
                                                      : kNoSocket.toByteArray() + QByteArray::number(::getpid());
    if (const int error = AtomicFile::write(socketRecordPath(), record))
        qWarning() << "[Instance] cannot record the socket beside the lock:" << qt_error_string(error);
    else
        m_recorded = true;
    if (!m_server->isListening()) {
        qWarning() << "[Instance] no folder to listen in; later launches cannot reach this one";
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                if (socket->bytesAvailable() > kMaxHandOverBytes) {
                    socket->abort();
                    return;
                }
                const QByteArray all = socket->peek(socket->bytesAvailable());
                if (!all.endsWith("\n\n") && all != "\n")
                    return; // wait for the end of the list
                socket->readAll();
                socket->setProperty(kReadProperty, true);
                ++m_handedOver;
                QList<QUrl> urls;
                for (const QByteArray& line : all.split('\n')) {
                    const QUrl url = QUrl::fromEncoded(line);
                    if (!line.isEmpty() && url.isLocalFile())
                        urls.append(url);
                }
                emit filesHandedOver(urls);
            });
        }
    });
}
