#include "engine/operations/OperationsCenter.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QThread>
#include <QUrl>

#ifdef LOOMWORK_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#endif

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCLeftovers.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "LoomworkKit/ZFCPackItem.h"
#include <SafeFS/DirHandle.h>
#include "engine/files/AdminAuth.h"
#include "engine/core/AlertPresenter.h"
#include "engine/core/EngineText.h"
#include "engine/files/FileOps.h"
#include "engine/files/HeldFolders.h"
#include "engine/core/FsPath.h"
#include "engine/market/MarketInstallRegistry.h"
#include "engine/core/NotificationHub.h"
#include "engine/files/PackageFiles.h"
#include "engine/files/PluginFolderSwap.h"
#include "engine/files/PluginRemoval.h"
#include "engine/files/PluginLease.h"
#include "engine/operations/Installation.h"
#include "engine/files/SystemPath.h"
#include "engine/core/ProgressThrottle.h"
#include "engine/core/SystemError.h"

namespace {

namespace fs = std::filesystem;

using FsPath::fromNative;

fs::path nativePath(const QString& path)
{
    return FsPath::toNative(path);
}

// The alert text of whatever a worker caught; nothing is rethrown across threads.
QString describe(const std::exception_ptr& error)
{
    return PackageFiles::describe(error, true);
}

// The first plug-in of a backup found exchanged since the list showed it (its index); none is
// SIZE_MAX. Set where no memory may be asked for.
using UnlikeShown = std::atomic<std::size_t>;

QString changedAfterShown(const QString& name)
{
    return QStringLiteral("「") + name + QStringLiteral("」在列表显示后已被改动或替换，未备份。请刷新列表后重试。");
}

// Opens the folder of the backup's plug-in `index` when the packer gets to it, and only the one
// the list showed (`seen`; unknown checks nothing): the package is read through that handle,
// so a folder exchanged onto the plug-in's name since is never packed under it. In the system
// library the folder is reached from the library's root without following a link, and a
// backup of many plug-ins holds few handles at a time. The packer's messages still name the
// plug-in's folder.
std::function<int()> shownFolder(const QString& path, const SafeFS::Identity& seen, std::size_t index,
                                 const std::shared_ptr<UnlikeShown>& unlike)
{
    const auto unlikeShown = [unlike, index] {
        std::size_t none = SIZE_MAX;
        unlike->compare_exchange_strong(none, index);
        errno = ESTALE;
        return -1;
    };
    const auto in = SystemPath::inside(path);
    if (!in) {
        // The user's own library: nobody else renames there, so a look at the name just before
        // it is opened tells what is opened (a linked plug-in folder is followed).
        return [native = FsPath::toBytes(path), seen, unlikeShown] {
            SafeFS::Identity found;
            if (seen.known() && SafeFS::identityAt(AT_FDCWD, native, found) == 0 && !(found == seen))
                return unlikeShown();
            return ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        };
    }
    const std::string root = FsPath::toBytes(in->root);
    const std::string below = FsPath::toBytes(in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/')));
    return [root, below, seen, unlikeShown] {
        DirHandle::Fd fd;
        if (const int error = DirHandle::openPath(root, below, fd)) {
            errno = error;
            return -1;
        }
        SafeFS::Identity found;
        if (seen.known() && (SafeFS::identityAt(fd.get(), {}, found) != 0 || !(found == seen)))
            return unlikeShown();
        return fd.release();
    };
}

// A system library that does not exist yet is created rather than refused.
bool grantSystemLibrary(const QString& library)
{
    return FileOps::current().exists(library) ? AdminAuth::requestPermission(library)
                                              : AdminAuth::prepareRoot(library);
}

// What became of one plug-in of a delete, decided on disk.
enum class Removed {
    yes,    // it left the library (what is said besides is in the notes)
    no,     // it still stands, or never stood (ENOENT): a failure
    partly, // its folder stays, holding only what is not ours to remove (named in the notes)
    told    // not removed, and why is in the notes (not the item the list showed, a journal refused)
};

// A plug-in out of its library whose rest could not be removed yet.
QString remainsNote(const Plugin& plugin, int error, const QString& remains)
{
    return QStringLiteral("「") + FsPath::displayText(plugin.name) + QStringLiteral("」已移出插件库，但有文件未能删除（")
        + SystemError::describe(error) + QStringLiteral("）")
        + (remains.isEmpty() ? QString() : QStringLiteral("，留在：") + FsPath::displayText(remains))
        + QStringLiteral("；下次启动时会再试。");
}

// A plug-in someone moved or deleted since the list showed it: nothing of it was touched.
QString notWhereShown(const Plugin& plugin)
{
    return QStringLiteral("「") + FsPath::displayText(plugin.name)
        + QStringLiteral("」已不在列表显示的位置（可能已被移动或删除），未删除。请刷新列表后重试。");
}

// What the administrator's helper did with a plug-in a removal left to him.
struct AdminStep {
    bool removed = false;
    QStringList notes;
    AdminAuth::Failure failure{};
};

AdminStep adminStep(const PluginRemoval& removal)
{
    AdminStep step;
    step.removed = AdminAuth::adminRemove(*removal.forAdministrator());
    step.notes = AdminAuth::lastNotes();
    step.failure = AdminAuth::lastFailure();
    return step;
}

// What a removal's step answered (`error`), decided on disk; with what the administrator's
// step did (`admin`) where the removal left the plug-in to him.
Removed removalOutcome(const Plugin& plugin, PluginRemoval& removal, int& error, QStringList& notes,
                       const AdminStep* admin)
{
    notes += removal.notes();
    if (error == ENOENT && !removal.forAdministrator() && removal.refusal().isEmpty()) {
        notes += notWhereShown(plugin);
        return Removed::told;
    }
    // Why it was refused (a journal it cannot keep), when the errno does not say it.
    if (!removal.refusal().isEmpty() && error != ELOOP) {
        // One refused write of a delete's entry stops all its plug-ins: said once.
        if (!notes.contains(removal.refusal()))
            notes += removal.refusal();
        return Removed::told;
    }
    if (error == ESTALE)
        return Removed::told;
    if (error && removal.forAdministrator() && admin) {
        notes += admin->notes;
        // Another item stood at the name when the helper took it, or its owner is not the one
        // the user was told: nothing was removed.
        if ((admin->failure == AdminAuth::Failure::notTheItem || admin->failure == AdminAuth::Failure::notTheOwner)
            && removal.standsInLibrary())
            return Removed::told;
        // The helper also answers 0 when nothing stood at the name: the plug-in is looked for.
        if (admin->removed)
            error = removal.standsInLibrary() ? ENOENT : 0;
    }
    if (error == ENOTEMPTY) {
        notes.prepend(QStringLiteral("「") + FsPath::displayText(plugin.name)
                      + QStringLiteral("」里能删除的文件已删除，文件夹里只留下以下项目："));
        return Removed::partly;
    }
    if (error == 0)
        return Removed::yes;
    if (removal.standsInLibrary())
        return Removed::no;
    // Out of the library, but not all gone: the rest waits for the next start's recovery.
    const QString remains = removal.remainsAt();
    if (remains.isEmpty() && removal.forAdministrator())
        return Removed::yes; // what the helper left, settling took
    if (!removal.leftInRoom())
        return Removed::yes; // nothing was left, so nothing waits for the next start
    notes.append(remainsNote(plugin, error, remains));
    return Removed::yes;
}

// removalOutcome() where memory may run out on the way: what is said is what the disk shows.
// Out of its library the plug-in is deleted; its rest waits in the room, recorded for the next
// start.
Removed judged(const Plugin& plugin, PluginRemoval& removal, int& error, QStringList& notes,
               const AdminStep* admin = nullptr)
{
    try {
        return removalOutcome(plugin, removal, error, notes, admin);
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
        if (!removal.leftLibrary())
            return Removed::no;
        // Only what still waits in the room is recorded, and tried again at the next start.
        if (!removal.leftInRoom())
            return Removed::yes;
        try {
            notes.append(remainsNote(plugin, error, removal.remainsAt()));
        } catch (const std::bad_alloc&) {
        }
        return Removed::yes;
    }
}

// Like the file manager's remove: an item that is not there is a failure (ENOENT), and no
// removal is made for it.
std::optional<Removed> notThere(const Plugin& plugin, const QString& path, int& error, QStringList& notes,
                                HeldFolders* held)
{
    if (held || FileOps::current().exists(path))
        return std::nullopt;
    struct stat st {};
    error = ENOENT;
    if (::lstat(FsPath::toBytes(path).c_str(), &st) != 0 && errno == ENOENT) {
        notes += notWhereShown(plugin);
        return Removed::told;
    }
    return Removed::no;
}

// What became of each plug-in of a delete, decided as soon as it is known: a delete is per
// plug-in. `succeeded` is the caller's count, which must be right when memory runs out.
struct RemovalOutcomes {
    RemovalOutcomes(const QList<Plugin>& plugins, int& succeeded)
        : plugins(plugins)
        , succeeded(succeeded)
        , removedAt(std::size_t(plugins.size()), Removed::no)
        , errorAt(std::size_t(plugins.size()), 0)
        , linkedAt(std::size_t(plugins.size()), 0)
    {
    }

    void decide(qsizetype i, Removed removed, int error, bool linked)
    {
        const auto at = std::size_t(i);
        removedAt[at] = removed;
        errorAt[at] = error;
        linkedAt[at] = linked || (error == ELOOP && plugins[i].root == PluginRoot::system);
        if (!linkedAt[at] && removed == Removed::yes)
            ++succeeded;
    }

    const QList<Plugin>& plugins;
    int& succeeded;
    std::vector<Removed> removedAt;
    std::vector<int> errorAt;
    std::vector<char> linkedAt;
};

// A plug-in's place in the delete's group: none where it was decided before it had a removal.
constexpr std::size_t kNoMember = std::size_t(-1);

// Gives each plug-in that stands where the list showed it a removal in `group`; the others are
// decided at once. Returns each plug-in's place in the group.
std::vector<std::size_t> joinGroup(PluginRemovalGroup& group, const std::vector<SafeFS::Identity>& spared,
                                   HeldFolders* held, RemovalOutcomes& outcomes, QStringList& notes)
{
    const QList<Plugin>& plugins = outcomes.plugins;
    const qsizetype count = plugins.size();
    std::vector<std::size_t> member(std::size_t(count), kNoMember);
    for (qsizetype i = 0; i < count; ++i) {
        const Plugin& plugin = plugins[i];
        // In the system library nothing is deleted through a linked folder (anyone may have put
        // it there); a plug-in that is itself a link goes as a link.
        QString path;
        if (!AdminAuth::removalRefusal(plugin.path, &path).isEmpty()) {
            outcomes.decide(i, Removed::no, ELOOP, true);
            continue;
        }
        int error = 0;
        if (const std::optional<Removed> removed = notThere(plugin, path, error, notes, held)) {
            outcomes.decide(i, *removed, error, false);
            continue;
        }
        PluginRemoval& removal = group.add(path, plugin.identity, spared);
        // Acted in as the confirmation read it.
        if (held) {
            int openError = 0;
            const int folder = held->folderOf(plugin.path, &openError);
            removal.actIn(folder, held->toldOwner(plugin.path), openError);
        }
        member[std::size_t(i)] = group.size() - 1;
    }
    return member;
}

// A removal's answer to the group's preparation; one it never answered had no memory.
int readiness(const std::vector<int>& ready, std::size_t index)
{
    return index < ready.size() ? ready[index] : ENOMEM;
}

// Prepares the group's removals; a plug-in whose removal is not ready is decided here.
// Returns what the preparation answered for each removal.
std::vector<int> prepareGroup(PluginRemovalGroup& group, const std::vector<std::size_t>& member,
                              RemovalOutcomes& outcomes, QStringList& notes)
{
    std::vector<int> ready = group.prepare();
    const qsizetype count = outcomes.plugins.size();
    for (qsizetype i = 0; i < count; ++i) {
        const std::size_t index = member[std::size_t(i)];
        if (index == kNoMember || readiness(ready, index) == 0)
            continue;
        int error = readiness(ready, index);
        // Judged first: it may change the error (memory), and the outcome is decided on that.
        const Removed removed = judged(outcomes.plugins[i], group.at(index), error, notes);
        outcomes.decide(i, removed, error, false);
    }
    return ready;
}

// A plug-in whose move the administrator finished: decided once his steps are settled.
struct ForAdministrator {
    qsizetype index;
    int error;
    AdminStep step;
};

// The moves, each plug-in the administrator must remove given to him in its turn; his steps
// are settled after the last move, so that settling never meets a room still waiting for its
// plug-in. `progress(i)` reports each plug-in's turn, those stopped before their move too.
template <class Progress>
std::vector<ForAdministrator> moveEach(PluginRemovalGroup& group, const std::vector<std::size_t>& member,
                                       const std::vector<int>& ready, RemovalOutcomes& outcomes, QStringList& notes,
                                       const Progress& progress)
{
    std::vector<ForAdministrator> forAdministrator;
    const qsizetype count = outcomes.plugins.size();
    for (qsizetype i = 0; i < count; ++i) {
        const std::size_t index = member[std::size_t(i)];
        if (index != kNoMember && readiness(ready, index) == 0) {
            PluginRemoval& removal = group.at(index);
            int error = 0;
            try {
                error = removal.moveOut();
            } catch (const std::bad_alloc&) {
                error = ENOMEM;
            }
            if (error && removal.forAdministrator()) {
                forAdministrator.push_back({i, error, {}});
                // Memory that runs out here leaves the outcome to what the disk shows.
                try {
                    forAdministrator.back().step = adminStep(removal);
                } catch (const std::bad_alloc&) {
                }
            } else {
                const Removed removed = judged(outcomes.plugins[i], removal, error, notes);
                outcomes.decide(i, removed, error, false);
            }
        }
        progress(i);
    }
    return forAdministrator;
}

// The helper's steps are done (or it died): the entry goes now where nothing is left.
void settleForAdministrator(PluginRemovalGroup& group, std::vector<ForAdministrator>& forAdministrator,
                            const std::vector<std::size_t>& member, RemovalOutcomes& outcomes, QStringList& notes)
{
    if (forAdministrator.empty())
        return;
    group.settle();
    for (ForAdministrator& admin : forAdministrator) {
        const qsizetype i = admin.index;
        const Removed removed = judged(outcomes.plugins[i], group.at(member[std::size_t(i)]), admin.error, notes, &admin.step);
        outcomes.decide(i, removed, admin.error, false);
    }
}

// Synced once for all, before anything is reported; the group is gone after. Returns how many
// notes only say the disk reported a write error.
int closeGroup(std::unique_ptr<PluginRemovalGroup>& group, const RemovalOutcomes& outcomes, QStringList& notes)
{
    QStringList deleted;
    const qsizetype count = outcomes.plugins.size();
    for (qsizetype i = 0; i < count; ++i) {
        const Removed removed = outcomes.removedAt[std::size_t(i)];
        if (!outcomes.linkedAt[std::size_t(i)] && (removed == Removed::yes || removed == Removed::partly))
            deleted.append(outcomes.plugins[i].path);
    }
    int writeErrors = 0;
    const int writeError = group->close();
    group.reset();
    if (writeError && !deleted.isEmpty()) {
        ++writeErrors;
        notes.prepend(SystemError::writeErrorText(SystemError::pluginNames(deleted) + QStringLiteral("已删除"), writeError));
    }
    return writeErrors;
}

// The plug-ins of a delete sorted by what the user is told of them.
struct RemovalNames {
    QStringList failed;
    QStringList memory; // memory ran out before they left the library
    QStringList linked;
    QStringList deletedMarket; // paths, for the market's registry
};

RemovalNames sortedNames(const RemovalOutcomes& outcomes)
{
    RemovalNames names;
    const qsizetype count = outcomes.plugins.size();
    for (qsizetype i = 0; i < count; ++i) {
        const Plugin& plugin = outcomes.plugins[i];
        const Removed removed = outcomes.removedAt[std::size_t(i)];
        if (outcomes.linkedAt[std::size_t(i)])
            names.linked.append(plugin.name);
        else if (removed == Removed::yes && plugin.isMarket)
            names.deletedMarket.append(plugin.path);
        else if (removed == Removed::no && outcomes.errorAt[std::size_t(i)] == ENOMEM)
            names.memory.append(plugin.name);
        else if (removed == Removed::no)
            names.failed.append(plugin.name);
    }
    return names;
}

// The alert's lines: the failures by kind, then the notes.
QStringList removalLines(const RemovalNames& names, const QStringList& notes)
{
    QStringList lines;
    if (!names.failed.isEmpty())
        lines << names.failed.join(QStringLiteral("、")) + QStringLiteral("\n可能因权限或文件占用导致。");
    if (!names.memory.isEmpty())
        lines << names.memory.join(QStringLiteral("、")) + QStringLiteral("\n内存不足，没有删除。");
    if (!names.linked.isEmpty())
        lines << names.linked.join(QStringLiteral("、")) + QStringLiteral("\n经过符号链接，未删除。")
                + AdminAuth::systemLinkReason();
    lines += notes;
    return lines;
}

void revealInFileManager(const QString& path)
{
    const auto openFolder = [path] {
        const QFileInfo info(path);
        const QString folder = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    };
#if defined(Q_OS_MACOS)
    if (!QProcess::startDetached(QStringLiteral("/usr/bin/open"), {QStringLiteral("-R"), path}))
        openFolder();
#elif defined(LOOMWORK_HAVE_DBUS)
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openFolder();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    // Asynchronous: a file manager that never answers must not hold up the GUI thread.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [openFolder](QDBusPendingCallWatcher* finished) {
                         if (finished->isError())
                             openFolder();
                         finished->deleteLater();
                     });
#else
    openFolder();
#endif
}

// A backup's failure before anything was written; memory that runs out while this is said
// is said in a text that needs none.
QString nothingWritten(const std::exception_ptr& error) noexcept
{
    try {
        return describe(error) + QStringLiteral("，未写入任何文件。");
    } catch (...) {
        return QStringLiteral("内存不足，未写入任何文件。");
    }
}

OperationsCenter::Callback g_beep;
OperationsCenter::RevealHandler g_reveal;

} // namespace

OperationsCenter::OperationsCenter(QObject* parent)
    : QObject(parent), m_guard(this)
{
}

OperationsCenter::~OperationsCenter()
{
    if (m_worker)
        m_worker->wait();
}

void OperationsCenter::setBeepHandler(Callback handler)
{
    g_beep = std::move(handler);
}

void OperationsCenter::setRevealHandler(RevealHandler handler)
{
    g_reveal = std::move(handler);
}

void OperationsCenter::reveal(const QString& path)
{
    if (g_reveal)
        g_reveal(path);
    else
        revealInFileManager(path);
}

void OperationsCenter::setAlertTitle(const std::optional<QString>& title)
{
    if (m_alertTitle == title)
        return;
    m_alertTitle = title;
    emit alertChanged();
}

void OperationsCenter::setAlertMessage(const std::optional<QString>& message)
{
    if (m_alertMessage == message)
        return;
    m_alertMessage = message;
    emit alertChanged();
}

void OperationsCenter::begin(const QString& text)
{
    setBusy(true);
    setProgress(0);
    setStatusText(text);
}

void OperationsCenter::setBusy(bool busy)
{
    if (m_isBusy == busy)
        return;
    m_isBusy = busy;
    emit isBusyChanged(busy);
}

void OperationsCenter::setStatusText(const QString& text)
{
    if (m_statusText == text)
        return;
    m_statusText = text;
    emit statusTextChanged(text);
}

void OperationsCenter::setProgress(double progress)
{
    if (m_progress == progress)
        return;
    m_progress = progress;
    emit progressChanged(progress);
}

void OperationsCenter::publishFailure(const QString& title, const QString& message)
{
    setBusy(false);
    setStatusText(QString());
    setAlertTitle(title);
    setAlertMessage(message);
}

void OperationsCenter::failBeforeStart(const QString& title, const QString& message) noexcept
{
    try {
        // The worker may have started after all: then it ends the operation itself.
        if (m_worker && m_worker->isRunning())
            return;
        m_worker.reset();
        publishFailure(title, message);
    } catch (...) {
        // Not even the alert: at least nothing stays busy.
        m_isBusy = false;
        m_statusText = QString();
        try {
            emit isBusyChanged(false);
        } catch (...) {
        }
    }
}

void OperationsCenter::post(const Guard& guard, std::function<void(OperationsCenter&)> change)
{
    guard(std::move(change));
}

// The operations catch what they expect themselves; anything else (memory running out)
// still ends the operation with an alert instead of leaving the runner busy for good.
void OperationsCenter::guarded(const Guard& guard, const QString& failureTitle, const std::function<void()>& work)
{
    try {
        work();
    } catch (...) {
        const QString message = describe(std::current_exception());
        post(guard, [failureTitle, message](OperationsCenter& center) { center.publishFailure(failureTitle, message); });
    }
}

template <class Make>
void OperationsCenter::startWorker(const Make& make, const QString& title, const QString& failure)
{
    // The operation before has told its end: its thread has finished, or is just returning.
    if (m_worker) {
        m_worker->wait();
        m_worker.reset();
    }
    QString message;
    try {
        m_worker.reset(QThread::create(make()));
        m_worker->start();
        // A thread the system could not make leaves no other sign: it neither runs nor ran,
        // and nothing would ever end the operation.
        if (!m_worker->isRunning() && !m_worker->isFinished())
            message = failure;
    } catch (...) {
        message = failure;
    }
    if (!message.isEmpty()) {
        m_worker.reset();
        publishFailure(title, message);
    }
}

// ---- install

void OperationsCenter::install(const QStringList& files, const InstallPlan& plan, Callback onFinished)
{
    if (m_isBusy || files.isEmpty())
        return;
    begin(QStringLiteral("准备安装…"));
    startWorker(
        [&] {
            return [guard = m_guard, files, plan, onFinished] {
                guarded(guard, QStringLiteral("安装失败"), [&] { runInstall(guard, files, plan, onFinished); });
            };
        },
        QStringLiteral("安装失败"), QStringLiteral("无法启动安装线程（内存或系统资源不足），插件没有改动。"));
}

void OperationsCenter::runInstall(const Guard& guard, const QStringList& files, const InstallPlan& plan,
                                  const Callback& onFinished)
{
    ProgressThrottle throttle([guard](const QString& text, double fraction) {
        post(guard, [text, fraction](OperationsCenter& center) {
            center.setStatusText(text);
            center.setProgress(fraction);
        });
    });
    const ZFCProgressCallback progress = [&throttle](const ZFCProgress& report) { throttle.report(report); };
    const auto fail = [&](const QString& title, const QString& message) {
        throttle.flush();
        post(guard, [title, message](OperationsCenter& center) { center.publishFailure(title, message); });
    };

    std::vector<std::pair<int, ZFCPackageReader>> readers;
    try {
        readers = Installation::openPackages(files);
    } catch (...) {
        fail(QStringLiteral("安装失败"), describe(std::current_exception()));
        return;
    }
    for (const auto& [index, reader] : readers) {
        const QString refusal = PackageFiles::hiddenNameRefusal(reader.plugins());
        if (!refusal.isEmpty()) {
            fail(QStringLiteral("安装失败"), refusal + Installation::failurePlace(files[index], 1, {}, false));
            return;
        }
    }
    const QString library = plan.root.path();
    if (plan.root == PluginRoot::system && !AdminAuth::isWritable(library)) {
        post(guard, [](OperationsCenter& center) { center.setStatusText(QStringLiteral("等待管理员授权…")); });
        if (!grantSystemLibrary(library)) {
            fail(QStringLiteral("无法写入系统库"), QStringLiteral("未获得管理员授权，请重试或在设置中改用用户库。"));
            return;
        }
    }

    // The plug-ins it replaces are leased at its commit; a wait for one is shown.
    const PluginLease::StatusScope waits([&throttle, guard](const QString& text) {
        throttle.flush();
        post(guard, [text](OperationsCenter& center) { center.setStatusText(text); });
    });
    Installation installation(files, plan, progress, [&throttle] { throttle.flush(); });
    const Installation::Outcome outcome = installation.run(readers);
    if (outcome.ok) {
        installed(guard, outcome, throttle, onFinished);
        return;
    }
    throttle.flush();
    // The lists must show a plug-in that could not be swapped back.
    if (outcome.listsChanged)
        NotificationHub::instance().post(Notifications::pluginsDidChange);
    QString message = outcome.text;
    if (!outcome.notes.isEmpty())
        message += QLatin1Char('\n') + outcome.notes.join(QLatin1Char('\n'));
    fail(outcome.title, message);
}

// Past the commit: the plug-ins stand. Memory running out from here on costs the report's
// details (the progress, the notes), never turns the install into a failure, and never leaves
// the runner busy.
void OperationsCenter::installed(const Guard& guard, const Installation::Outcome& outcome, ProgressThrottle& throttle,
                                 const Callback& onFinished) noexcept
{
    try {
        throttle.flush();
    } catch (...) {
    }
    try {
        const QString text = outcome.text.isEmpty() ? QStringLiteral("安装完成") : outcome.text;
        const QStringList notes = outcome.notes;
        const bool writeError = outcome.writeError != 0; // the first note says it
        post(guard, [text, notes, writeError, onFinished](OperationsCenter& center) {
            center.setBusy(false);
            center.setStatusText(text);
            if (!notes.isEmpty()) {
                center.setAlertTitle(writeError ? QStringLiteral("磁盘报告了写入错误") : QStringLiteral("部分旧版本未删除"));
                center.setAlertMessage(notes.join(QLatin1Char('\n')));
            }
            if (onFinished)
                onFinished();
        });
        return;
    } catch (...) {
    }
    postDone(guard, outcome.text, onFinished);
}

void OperationsCenter::postDone(const Guard& guard, const QString& text, const Callback& onFinished) noexcept
{
    // A few tries: an allocation that failed once may not fail again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        try {
            post(guard, [text, onFinished](OperationsCenter& center) {
                center.setBusy(false);
                center.setStatusText(text);
                if (onFinished)
                    onFinished();
            });
            return;
        } catch (...) {
        }
    }
}

// ---- remove

void OperationsCenter::remove(const QList<Plugin>& plugins, Callback onFinished, std::vector<SafeFS::Identity> spared,
                              std::shared_ptr<HeldFolders> held)
{
    if (m_isBusy || plugins.isEmpty())
        return;
    // Called from the GUI: memory that runs out before the worker has started ends the delete
    // here, before any file was touched.
    try {
        begin(QStringLiteral("正在删除…"));
        startWorker(
            [&] {
                return [guard = m_guard, plugins, spared, onFinished, held] {
                    guarded(guard, QStringLiteral("部分插件删除失败"), [&] { runRemove(guard, plugins, spared, onFinished, held.get()); });
                };
            },
            QStringLiteral("删除失败"), QStringLiteral("无法启动删除线程（内存或系统资源不足），插件没有删除。"));
    } catch (...) {
        failBeforeStart(QStringLiteral("删除失败"), QStringLiteral("内存不足，插件没有删除。"));
    }
}

void OperationsCenter::runRemove(const Guard& guard, const QList<Plugin>& plugins,
                                 const std::vector<SafeFS::Identity>& spared, const Callback& onFinished,
                                 HeldFolders* held)
{
    int succeeded = 0;
    try {
        removeEach(guard, plugins, spared, onFinished, succeeded, held);
    } catch (const std::bad_alloc&) {
        // What was deleted is deleted: said plainly when that is all of them; else the failure
        // (guarded()) says memory ran out.
        if (succeeded != plugins.size())
            throw;
        QString text = QStringLiteral("删除完成");
        try {
            text = QStringLiteral("已删除 ") + QString::number(succeeded) + QStringLiteral(" 个插件");
        } catch (const std::bad_alloc&) {
        }
        postDone(guard, text, onFinished);
    }
}

void OperationsCenter::removeEach(const Guard& guard, const QList<Plugin>& plugins,
                                  const std::vector<SafeFS::Identity>& spared, const Callback& onFinished,
                                  int& succeeded, HeldFolders* held)
{
    QStringList notes;
    const qsizetype count = plugins.size();
    // Never beside another operation on them, nor a change of one still removing its old
    // contents; the wait is shown.
    std::vector<PluginLease::Target> targets;
    for (const Plugin& plugin : plugins)
        targets.push_back({plugin.path, plugin.name});
    const PluginLease lease = PluginLease::take(targets, [guard](const QString& text) {
        post(guard, [text](OperationsCenter& center) { center.setStatusText(text); });
    });

    RemovalOutcomes outcomes(plugins, succeeded);
    // One journal change for the whole delete: its writes and syncs do not grow with the count.
    // Gone before the end is posted: a kept entry is recovery's once the user is told.
    auto group = std::make_unique<PluginRemovalGroup>();
    const std::vector<std::size_t> member = joinGroup(*group, spared, held, outcomes, notes);
    const std::vector<int> ready = prepareGroup(*group, member, outcomes, notes);
    std::vector<ForAdministrator> forAdministrator =
        moveEach(*group, member, ready, outcomes, notes, [&](qsizetype i) {
            // Progress is only a report: memory running out for it stops nothing.
            try {
                const QString text = QStringLiteral("删除：") + plugins[i].name;
                const double fraction = double(i + 1) / double(count);
                post(guard, [text, fraction](OperationsCenter& center) {
                    center.setStatusText(text);
                    center.setProgress(fraction);
                });
            } catch (const std::bad_alloc&) {
            }
        });
    settleForAdministrator(*group, forAdministrator, member, outcomes, notes);
    const int writeErrors = closeGroup(group, outcomes, notes);

    const RemovalNames names = sortedNames(outcomes);
    // Only folders that are really gone leave the registry; a plug-in that is still there
    // stays marked as from the market.
    if (const int error = MarketInstallRegistry::unregisterPaths(names.deletedMarket))
        notes += MarketInstallRegistry::saveFailure(error);

    const QString text = QStringLiteral("已删除 ") + QString::number(succeeded) + QStringLiteral(" 个插件");
    const QStringList lines = removalLines(names, notes);
    const bool allRemoved = succeeded == count;
    try {
        // Only a write error to tell: the plug-ins are deleted, not partly.
        const bool onlyWriteError = writeErrors > 0 && allRemoved && lines.size() == writeErrors;
        post(guard, [text, lines, allRemoved, onlyWriteError, onFinished](OperationsCenter& center) {
            center.setBusy(false);
            center.setStatusText(text);
            if (!lines.isEmpty()) {
                center.setAlertTitle(onlyWriteError ? QStringLiteral("磁盘报告了写入错误")
                                     : allRemoved   ? QStringLiteral("部分文件未删除")
                                                    : QStringLiteral("部分插件删除失败"));
                center.setAlertMessage(lines.join(QLatin1Char('\n')));
            }
            if (onFinished)
                onFinished();
        });
    } catch (const std::bad_alloc&) {
        postDone(guard, text, onFinished); // what was deleted is deleted: said plainly
    }
}

// ---- backup

void OperationsCenter::backup(const QList<Plugin>& plugins, BackupMode mode,
                              const std::optional<QString>& defaultFileName, Callback onFinished)
{
    if (m_isBusy || plugins.isEmpty())
        return;
    // Called from the GUI: memory that runs out before the worker has started ends the backup
    // here, before any file was written.
    try {
        askAndPack(plugins, mode, defaultFileName, std::move(onFinished));
    } catch (...) {
        failBeforeStart(QStringLiteral("备份失败"), QStringLiteral("内存不足，未写入任何文件。"));
    }
}

void OperationsCenter::askAndPack(const QList<Plugin>& plugins, BackupMode mode,
                                  const std::optional<QString>& defaultFileName, Callback onFinished)
{
    std::vector<ZFCPackItem> items;
    std::vector<SafeFS::Identity> seen;
    items.reserve(std::size_t(plugins.size()));
    for (const Plugin& plugin : plugins) {
        // The folder's own name bytes, which the packer checks, not the decoded display name.
        const fs::path folder = nativePath(plugin.path);
        items.push_back(ZFCPackItem{plugin.type, folder.filename().native(), folder});
        seen.push_back(plugin.identity);
    }

    AlertPresenter::Panel panel;
    if (mode == BackupMode::multi) {
        panel.kind = AlertPresenter::Panel::Kind::open;
        panel.title = QStringLiteral("选择备份保存位置");
        panel.message = QStringLiteral("每个插件会单独打包成一个 .zfcp 文件放到这个目录");
        panel.canChooseDirectories = true;
        panel.canChooseFiles = false;
        panel.canCreateDirectories = true;
        panel.prompt = QStringLiteral("选择");
    } else {
        panel.kind = AlertPresenter::Panel::Kind::save;
        panel.title = QStringLiteral("保存备份文件");
        panel.message = QStringLiteral("选择备份保存位置，文件名为「插件名.zfcp」");
        panel.nameFieldValue = defaultFileName.value_or(QStringLiteral("插件备份.zfcp"));
        panel.canCreateDirectories = true;
    }

    QPointer<OperationsCenter> self(this);
    AlertPresenter::current().presentPanel(panel, [self, items, seen, mode, onFinished](const QList<QUrl>& urls) {
        if (!self || urls.isEmpty())
            return;
        // The panel may answer after another operation has started; the backup then does not run.
        if (self->m_isBusy)
            return;
        QString destination;
        try {
            destination = urls.first().toLocalFile();
        } catch (...) {
            // Nothing may reach the event loop.
            self->publishFailure(QStringLiteral("备份失败"), nothingWritten(std::current_exception()));
            return;
        }
        if (destination.isEmpty())
            return;
        try {
            self->startPack(items, seen, mode, destination, onFinished);
        } catch (...) {
            self->failBeforeStart(QStringLiteral("备份失败"), QStringLiteral("内存不足，未写入任何文件。"));
        }
    });
}

void OperationsCenter::startPack(const std::vector<ZFCPackItem>& items, const std::vector<SafeFS::Identity>& seen,
                                 BackupMode mode, const QString& destination, Callback onFinished)
{
    begin(QStringLiteral("正在打包…"));
    startWorker(
        [&] {
            return [guard = m_guard, items, seen, mode, destination, onFinished] {
                guarded(guard, QStringLiteral("备份失败"),
                        [&] { runPack(guard, items, seen, mode, destination, onFinished); });
            };
        },
        QStringLiteral("备份失败"), QStringLiteral("无法启动备份线程（内存或系统资源不足），未写入任何文件。"));
}

void OperationsCenter::runPack(const Guard& guard, const std::vector<ZFCPackItem>& items,
                               const std::vector<SafeFS::Identity>& seen, BackupMode mode, const QString& destination,
                               const Callback& onFinished)
{
    ProgressThrottle throttle([guard](const QString& text, double fraction) {
        post(guard, [text, fraction](OperationsCenter& center) {
            center.setStatusText(text);
            center.setProgress(fraction);
        });
    });
    const ZFCProgressCallback progress = [&throttle](const ZFCProgress& report) { throttle.report(report); };
    // Never beside another operation on these plug-ins, nor a change of one still removing its
    // old contents (in rooms inside the plug-in); the wait is shown.
    std::vector<PluginLease::Target> targets;
    for (const ZFCPackItem& item : items)
        targets.push_back({fromNative(item.sourceDir), {}});
    const PluginLease lease = PluginLease::take(targets, [&throttle, guard](const QString& text) {
        throttle.flush();
        post(guard, [text](OperationsCenter& center) { center.setStatusText(text); });
    });
    // A system plug-in that is a link, or lies behind one, is not the library's to pack.
    for (const ZFCPackItem& item : items) {
        const QString refusal = AdminAuth::writeRefusal(fromNative(item.sourceDir));
        if (!refusal.isEmpty()) {
            post(guard, [refusal](OperationsCenter& center) { center.publishFailure(QStringLiteral("备份失败"), refusal); });
            return;
        }
    }
    const auto unlike = std::make_shared<UnlikeShown>(SIZE_MAX);
    std::vector<ZFCPackItem> reading = items;
    for (std::size_t i = 0; i < reading.size(); ++i)
        reading[i].openFolder = shownFolder(fromNative(reading[i].sourceDir), seen.at(i), i, unlike);
    // A pack killed earlier left its temporaries where this one writes.
    const fs::path target = nativePath(destination);
    ZFCLeftovers::removeStalePackTemporaries(mode == BackupMode::single ? target.parent_path() : target,
                                             PluginFolderSwap::startedAt());
    try {
        if (mode == BackupMode::single)
            ZFCPacker::pack(reading, nativePath(destination), progress);
        else
            ZFCPacker::packEach(reading, nativePath(destination), progress);
    } catch (...) {
        throttle.flush();
        const std::size_t unlikeAt = unlike->load();
        const QString message = unlikeAt < items.size()
            ? changedAfterShown(FsPath::displayText(fromNative(items[unlikeAt].sourceDir.filename())))
            : describe(std::current_exception());
        post(guard, [message](OperationsCenter& center) { center.publishFailure(QStringLiteral("备份失败"), message); });
        return;
    }
    // The packages stand: what follows may find no memory, but never reports a failure. The
    // last progress may be lost; the end is posted again if its first post fails.
    try {
        throttle.flush();
    } catch (...) {
    }
    for (int tries = 0; tries < 2; ++tries) {
        try {
            post(guard, [destination, onFinished](OperationsCenter& center) {
                center.setBusy(false);
                center.setStatusText(QStringLiteral("备份完成"));
                if (g_beep)
                    g_beep();
                reveal(destination);
                if (onFinished)
                    onFinished();
            });
            return;
        } catch (...) {
        }
    }
}
