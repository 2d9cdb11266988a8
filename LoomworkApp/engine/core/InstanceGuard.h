#pragma once

#include <functional>
#include <memory>

#include <QList>
#include <QObject>
#include <QUrl>

class QLocalServer;
class QLockFile;

// One Loomwork per user and data folder. A lock file in the data folder decides which
// process is the instance (a lock left by a dead process is taken over); the instance
// listens on a socket in a folder only this user can enter and records that socket's path
// beside the lock, so every later launch with the same data folder finds it, whatever its
// own runtime folder, hands its files to it and quits (an instance that could listen
// nowhere records that instead, and a later launch gives up at once). On Linux the desktop
// starts a process per opened file, so this is how those files reach the window already open.
class InstanceGuard : public QObject
{
    Q_OBJECT
public:
    enum class Claim {
        instance,   // this process holds the lock: run
        handedOver, // the instance took the files: quit
        unreachable // another process holds the lock but could not be reached in time, or
                    // could listen nowhere (known at once)
    };

    static constexpr int kClaimTimeoutMs = 15000;

    explicit InstanceGuard(QObject* parent = nullptr);
    ~InstanceGuard() override;

    // Becomes the instance, or hands `files` to the one running (retrying, less and less
    // often, while it starts, and taking the lock over should it die meanwhile).
    Claim claim(const QList<QUrl>& files, int timeoutMs = kClaimTimeoutMs);

    // For a quitting instance: keeps serving later launches while `busy()` holds (polled), so
    // that none is lost. Then no later launch reaches this one any more (it waits for the lock
    // and becomes the instance), and what launches had already sent is read. True when files
    // were handed over meanwhile: the app is to run on, and this instance listens again.
    bool serveWhile(const std::function<bool()>& busy);

    // Sends `files` to the instance's socket (the recorded one, else socketPath()), once, and
    // only when that socket belongs to this user. True when they were sent.
    static bool handOver(const QList<QUrl>& files);

    // The first folder where a socket can be made: $XDG_RUNTIME_DIR when it is this user's,
    // private and writable, else the data folder's "run" folder, else "loomwork-<uid>" under
    // /tmp (both made 0700, repaired when others may enter them, refused when a link or
    // another user's). A folder where the socket's path would not fit a socket address is
    // passed over. Empty when none can be had.
    static QString socketFolder();
    // The socket in socketFolder(), named for the data folder; empty without a folder.
    static QString socketPath();
    // Tests: where the short folder is made instead of /tmp (empty: /tmp again).
    static void setShortFolderBase(const QString& base);
    static QString lockPath();
    // Beside the lock: the path the instance listens on.
    static QString socketRecordPath();

signals:
    // Files a later launch handed over (none: it only asked to bring the window forward).
    void filesHandedOver(const QList<QUrl>& files);

private:
    void listen();
    bool stopListening();

    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
    bool m_recorded = false;
    int m_handedOver = 0;
};
