#include "engine/library/OperationsCenter.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QThreadPool>
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
#include "engine/files/FsPath.h"
#include "engine/market/MarketInstallRegistry.h"
#include "engine/core/NotificationHub.h"
#include "engine/files/PackageFiles.h"
#include "engine/files/PluginFolderSwap.h"
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

// A failure whose text is already for the user (the staging path replaced by the target's).
struct StagedFailure : std::exception {
    QString text;
    explicit StagedFailure(QString t) : text(std::move(t)) {}
    const char* what() const noexcept override { return "install failed"; }
};

// The alert text of whatever a worker caught; nothing is rethrown across threads.
QString describe(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const StagedFailure& e) {
        return e.text;
    } catch (...) {
        return PackageFiles::describe(std::current_exception(), true);
    }
}

// Extracts into a hidden folder beside the target and hands the result to `group`, which
// swaps it in once every plug-in of the install is ready: a package that fails halfway
// leaves the library as it was. Returns the target.
QString stageInstall(PluginSwapGroup& group, ZFCPackageReader& reader, const ZFCPlugin& plugin, const QString& category,
                     const std::optional<std::string>& name, const ZFCProgressCallback& progress)
{
    auto swap = group.makeSwap(category);
    QString staging;
    if (const int error = swap->makeStaging(QStringLiteral("install"), QString(), &staging)) {
        if (!swap->refusal().isEmpty())
            throw StagedFailure(swap->refusal());
        throw fs::filesystem_error("install", nativePath(category), std::error_code(error, std::generic_category()));
    }

    QString folderName;
    try {
        reader.extract(plugin, nativePath(staging), name, true, progress);
        // The reader decides the folder name (trimmed, made safe); it is the one item made.
        for (const fs::directory_entry& entry : fs::directory_iterator(nativePath(staging))) {
            folderName = fromNative(entry.path().filename());
            break;
        }
    } catch (...) {
        // Messages name the plug-in's place in the library, never the hidden folder.
        throw StagedFailure(describe(std::current_exception()).replace(staging, category));
    }
    if (folderName.isEmpty())
        throw ZFCPackageError::metadataCorrupted();
    group.add(std::move(swap), staging + QLatin1Char('/') + folderName, folderName);
    return category + QLatin1Char('/') + folderName;
}

// Every package opens before anything is written; each with its index in `files`.
std::vector<std::pair<int, ZFCPackageReader>> openPackages(const QStringList& files)
{
    std::vector<std::pair<int, ZFCPackageReader>> readers;
    for (qsizetype i = 0; i < files.size(); ++i) {
        ZFCPackageReader reader(nativePath(files[i]));
        if (reader.plugins().empty())
            throw ZFCPackageError::metadataCorrupted();
        readers.emplace_back(int(i), std::move(reader));
    }
    return readers;
}

// A system library that does not exist yet is created rather than refused.
bool grantSystemLibrary(const QString& library)
{
    return FileOps::current().exists(library) ? AdminAuth::requestPermission(library)
                                              : AdminAuth::prepareRoot(library);
}

// Which package failed, and where: nothing was installed, unless plug-ins could not be
// swapped back (`kept`), which are named.
QString failurePlace(const QString& file, int position, const QStringList& kept, bool several)
{
    QString place = QStringLiteral("\n封包：") + FsPath::displayText(QFileInfo(file).fileName());
    if (!kept.isEmpty()) {
        QStringList names;
        for (const QString& path : kept)
            names.append(FsPath::displayText(QFileInfo(path).fileName()));
        place += QStringLiteral("（第 %1 个失败；%2 未能还原，已是封包里的版本）")
                     .arg(QString::number(position), names.join(QStringLiteral("、")));
    } else if (several) {
        place += QStringLiteral("（第 %1 个失败，未安装任何插件）").arg(position);
    }
    return place;
}

// Like the file manager's remove: an item that is not there is a failure (ENOENT). In the
// system library a link met on the way, even one swapped in after the check, fails with ELOOP.
int removeItem(const QString& path)
{
    if (!FileOps::current().exists(path))
        return ENOENT;
    return FileOps::current().removeTree(path);
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

OperationsCenter::Callback g_beep;
OperationsCenter::RevealHandler g_reveal;

} // namespace

OperationsCenter::OperationsCenter(QObject* parent)
    : QObject(parent), m_guard(this)
{
}

OperationsCenter::~OperationsCenter() = default;

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

// ---- install

void OperationsCenter::install(const QStringList& files, const InstallPlan& plan, Callback onFinished)
{
    if (m_isBusy || files.isEmpty())
        return;
    begin(QStringLiteral("准备安装…"));
    QThreadPool::globalInstance()->start([guard = m_guard, files, plan, onFinished] {
        guarded(guard, QStringLiteral("安装失败"), [&] { runInstall(guard, files, plan, onFinished); });
    });
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
        readers = openPackages(files);
    } catch (...) {
        fail(QStringLiteral("安装失败"), describe(std::current_exception()));
        return;
    }

    for (const auto& [index, reader] : readers) {
        const QString refusal = PackageFiles::hiddenNameRefusal(reader.plugins());
        if (!refusal.isEmpty()) {
            fail(QStringLiteral("安装失败"), refusal + failurePlace(files[index], 1, {}, false));
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

    // A library we can write gets its missing category folders from us; only one we
    // cannot write needs the administrator, whose refusal stops the install.
    const bool libraryWritable = AdminAuth::isWritable(library);
    const auto refused = [&] {
        fail(QStringLiteral("无法写入系统库"), QStringLiteral("未获得管理员授权，请重试或在设置中改用用户库。"));
    };
    int installed = 0;
    int renamed = 0;
    int current = 0;          // the package being installed
    int stagedOfCurrent = 0;
    qsizetype known = 0;      // plug-ins of a known type in all packages
    for (const auto& [index, reader] : readers) {
        known += std::count_if(reader.plugins().begin(), reader.plugins().end(),
                               [](const ZFCPlugin& plugin) { return plugin.pluginType().has_value(); });
    }
    // Every plug-in is staged before any is swapped in, so that a failure leaves the library
    // as it was: the old versions stay, and nothing of this install is in it. The group (its
    // staging folders, the test's file operations) goes before the outcome is published:
    // whoever hears of it may look at the library at once.
    std::optional<PluginSwapGroup> group;
    group.emplace();
    struct Staged {
        int package;
        int position; // within its package, from 1
        QString target;
    };
    QList<Staged> staged;
    const auto removeLeftovers = [&] {
        // An old copy we may not delete ourselves goes the way a deleted system plug-in goes.
        if (plan.root == PluginRoot::system) {
            for (const QString& path : group->leftovers())
                AdminAuth::adminRemove(path);
        }
    };
    try {
        for (auto& [index, reader] : readers) {
            current = index;
            stagedOfCurrent = 0;
            // Plug-ins of one type and name within a package are told apart as the plan does.
            QHash<QString, int> occurrences;
            for (const ZFCPlugin& plugin : reader.plugins()) {
                const std::optional<ZFCPluginType> type = plugin.pluginType();
                if (!type)
                    continue;
                const QString category = library + QLatin1Char('/') + EngineText::directoryName(*type);
                if (!FileOps::current().exists(category)) {
                    if (plan.root == PluginRoot::user || libraryWritable) {
                        QDir().mkpath(category);
                    } else if (!AdminAuth::adminCreateDirectory(category)) {
                        group.reset();
                        refused();
                        return;
                    }
                }
                const QString stored = QString::fromStdString(plugin.name);
                const int occurrence = ++occurrences[InstallPlan::key(index, *type, stored)];
                const auto rename = plan.renames.constFind(InstallPlan::key(index, *type, stored, occurrence));
                std::optional<std::string> name;
                if (rename != plan.renames.constEnd()) {
                    name = rename->toStdString();
                    if (*rename != stored)
                        ++renamed;
                }
                const QString target = stageInstall(*group, reader, plugin, category, name, progress);
                throttle.flush();
                ++installed;
                ++stagedOfCurrent;
                staged.append({index, stagedOfCurrent, target});
            }
        }
        if (const int error = group->commit()) {
            const Staged& failed = staged.at(group->failedAt());
            current = failed.package;
            stagedOfCurrent = failed.position - 1;
            if (!group->at(group->failedAt()).refusal().isEmpty())
                throw StagedFailure(group->at(group->failedAt()).refusal());
            throw fs::filesystem_error("install", nativePath(failed.target), std::error_code(error, std::generic_category()));
        }
    } catch (...) {
        removeLeftovers();
        const QStringList kept = group->notRestored();
        group.reset();
        // The lists must show a plug-in that could not be swapped back.
        if (!kept.isEmpty())
            NotificationHub::instance().post(Notifications::pluginsDidChange);
        fail(QStringLiteral("安装失败"),
             describe(std::current_exception()) + failurePlace(files[current], stagedOfCurrent + 1, kept, known > 1));
        return;
    }
    removeLeftovers();
    group.reset();

    throttle.flush();
    QString text = QStringLiteral("已安装 ") + QString::number(installed) + QStringLiteral(" 个插件");
    if (renamed > 0)
        text += QStringLiteral("（") + QString::number(renamed) + QStringLiteral(" 个已重命名）");
    post(guard, [text, onFinished](OperationsCenter& center) {
        center.setBusy(false);
        center.setStatusText(text);
        if (onFinished)
            onFinished();
    });
}

// ---- remove

void OperationsCenter::remove(const QList<Plugin>& plugins, Callback onFinished)
{
    if (m_isBusy || plugins.isEmpty())
        return;
    begin(QStringLiteral("正在删除…"));
    QThreadPool::globalInstance()->start([guard = m_guard, plugins, onFinished] {
        guarded(guard, QStringLiteral("部分插件删除失败"), [&] { runRemove(guard, plugins, onFinished); });
    });
}

void OperationsCenter::runRemove(const Guard& guard, const QList<Plugin>& plugins, const Callback& onFinished)
{
    int succeeded = 0;
    QStringList failedNames;
    QStringList linkedNames;
    QStringList deletedMarket;
    const qsizetype count = plugins.size();
    for (qsizetype i = 0; i < count; ++i) {
        const Plugin& plugin = plugins[i];
        // In the system library nothing is deleted through a linked folder (anyone may have put
        // it there); a plug-in that is itself a link goes as a link.
        QString path;
        bool linked = !AdminAuth::removalRefusal(plugin.path, &path).isEmpty();
        const int error = linked ? ELOOP : removeItem(path);
        linked = linked || (error == ELOOP && plugin.root == PluginRoot::system);
        bool removed = error == 0;
        if (!removed && !linked && plugin.root == PluginRoot::system)
            removed = AdminAuth::adminRemove(path);
        if (linked) {
            linkedNames.append(plugin.name);
        } else if (removed) {
            ++succeeded;
            if (plugin.isMarket)
                deletedMarket.append(plugin.path);
        } else {
            failedNames.append(plugin.name);
        }
        const QString text = QStringLiteral("删除：") + plugin.name;
        const double fraction = double(i + 1) / double(count);
        post(guard, [text, fraction](OperationsCenter& center) {
            center.setStatusText(text);
            center.setProgress(fraction);
        });
    }

    // Only folders that are really gone leave the registry; a plug-in that is still there
    // stays marked as from the market.
    MarketInstallRegistry::unregisterPaths(deletedMarket);

    const QString text = QStringLiteral("已删除 ") + QString::number(succeeded) + QStringLiteral(" 个插件");
    QStringList lines;
    if (!failedNames.isEmpty())
        lines << failedNames.join(QStringLiteral("、")) + QStringLiteral("\n可能因权限或文件占用导致。");
    if (!linkedNames.isEmpty())
        lines << linkedNames.join(QStringLiteral("、")) + QStringLiteral("\n经过符号链接，未删除。")
                + AdminAuth::systemLinkReason();
    post(guard, [text, lines, onFinished](OperationsCenter& center) {
        center.setBusy(false);
        center.setStatusText(text);
        if (!lines.isEmpty()) {
            center.setAlertTitle(QStringLiteral("部分插件删除失败"));
            center.setAlertMessage(lines.join(QLatin1Char('\n')));
        }
        if (onFinished)
            onFinished();
    });
}

// ---- backup

void OperationsCenter::backup(const QList<Plugin>& plugins, BackupMode mode,
                              const std::optional<QString>& defaultFileName, Callback onFinished)
{
    if (m_isBusy || plugins.isEmpty())
        return;
    std::vector<ZFCPackItem> items;
    items.reserve(std::size_t(plugins.size()));
    for (const Plugin& plugin : plugins) {
        // The folder's own name bytes, which the packer checks, not the decoded display name.
        const fs::path folder = nativePath(plugin.path);
        items.push_back(ZFCPackItem{plugin.type, folder.filename().native(), folder});
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
    AlertPresenter::current().presentPanel(panel, [self, items, mode, onFinished](const QList<QUrl>& urls) {
        if (!self || urls.isEmpty())
            return;
        // The panel may answer after another operation has started; the backup then does not run.
        if (self->m_isBusy)
            return;
        const QString destination = urls.first().toLocalFile();
        if (destination.isEmpty())
            return;
        self->startPack(items, mode, destination, onFinished);
    });
}

void OperationsCenter::startPack(const std::vector<ZFCPackItem>& items, BackupMode mode,
                                 const QString& destination, Callback onFinished)
{
    begin(QStringLiteral("正在打包…"));
    QThreadPool::globalInstance()->start([guard = m_guard, items, mode, destination, onFinished] {
        guarded(guard, QStringLiteral("备份失败"), [&] { runPack(guard, items, mode, destination, onFinished); });
    });
}

void OperationsCenter::runPack(const Guard& guard, const std::vector<ZFCPackItem>& items, BackupMode mode,
                               const QString& destination, const Callback& onFinished)
{
    ProgressThrottle throttle([guard](const QString& text, double fraction) {
        post(guard, [text, fraction](OperationsCenter& center) {
            center.setStatusText(text);
            center.setProgress(fraction);
        });
    });
    const ZFCProgressCallback progress = [&throttle](const ZFCProgress& report) { throttle.report(report); };
    // A system plug-in that is a link, or lies behind one, is not the library's to pack.
    for (const ZFCPackItem& item : items) {
        const QString refusal = AdminAuth::writeRefusal(fromNative(item.sourceDir));
        if (!refusal.isEmpty()) {
            post(guard, [refusal](OperationsCenter& center) { center.publishFailure(QStringLiteral("备份失败"), refusal); });
            return;
        }
    }
    // In the system library each plug-in is read through its own folder's handle, reached from
    // the library's root without following a link: one swapped in since the check is never
    // read through (the packer opens nothing below it through a link either). Its messages
    // still name the plug-in's folder.
    std::vector<ZFCPackItem> reading = items;
    std::vector<DirHandle::Fd> held;
    for (ZFCPackItem& item : reading) {
        const QString folder = fromNative(item.sourceDir);
        const auto in = SystemPath::inside(folder);
        if (!in)
            continue;
        DirHandle::Fd fd;
        const QString below = in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
        if (const int error = DirHandle::openPath(FsPath::toBytes(in->root), FsPath::toBytes(below), fd)) {
            const QString why = error == ELOOP || error == ENOTDIR ? AdminAuth::linkRefusal(folder)
                                                                   : FsPath::displayText(folder) + QStringLiteral("：") + SystemError::describe(error);
            post(guard, [why](OperationsCenter& center) { center.publishFailure(QStringLiteral("备份失败"), why); });
            return;
        }
        item.sourceFolder = fd.get();
        held.push_back(std::move(fd));
    }
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
        const QString message = describe(std::current_exception());
        post(guard, [message](OperationsCenter& center) { center.publishFailure(QStringLiteral("备份失败"), message); });
        return;
    }
    throttle.flush();
    post(guard, [destination, onFinished](OperationsCenter& center) {
        center.setBusy(false);
        center.setStatusText(QStringLiteral("备份完成"));
        if (g_beep)
            g_beep();
        reveal(destination);
        if (onFinished)
            onFinished();
    });
}
