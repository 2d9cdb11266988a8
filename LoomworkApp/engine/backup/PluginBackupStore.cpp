#include "engine/backup/PluginBackupStore.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTextBoundaryFinder>
#include <QUuid>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Durable.h>

#include "engine/files/AdminAuth.h"
#include "engine/core/AppPaths.h"
#include "engine/core/SystemError.h"
#include "engine/files/FileOps.h"
#include "engine/core/FsPath.h"
#include "engine/core/JsonRead.h"
#include "engine/files/LibraryWalk.h"
#include "engine/backup/PluginBackupError.h"
#include "engine/files/JournalChange.h"
#include "engine/files/PluginFolderSwap.h"
#include "engine/files/SystemPath.h"
#include "engine/core/ReferenceDate.h"
#include "engine/files/PluginLease.h"
#include "engine/files/TemplateChange.h"
#include "engine/templates/TemplateInspector.h"

namespace {

constexpr int kNameCharacters = 40;
// Room left for the name in a 255-byte file name after the date and the suffix.
constexpr qsizetype kNameBytes = 200;

QString payloadFolder(const QString& backupDirectory)
{
    return backupDirectory + QStringLiteral("/payload");
}

QString lastComponent(const QString& path)
{
    return QFileInfo(path).fileName();
}

// A last component that names an entry of its folder, not the folder or its parent.
bool isEntryName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..");
}

QString parentFolder(const QString& path)
{
    return QFileInfo(path).absolutePath();
}

bool isRealFolder(const QString& path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
}

// The names in `folder`, sorted; none when it cannot be read. Memory that runs out while it is
// read is never taken for an empty folder, as a listing through QDir takes it: it throws.
QStringList namesIn(const QString& folder)
{
    const DirHandle::Fd fd(::open(FsPath::toBytes(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid() && errno == ENOMEM)
        throw std::bad_alloc();
    std::vector<std::string> names;
    const int error = fd.valid() ? DirHandle::listNames(fd.get(), names) : errno;
    if (error == ENOMEM)
        throw std::bad_alloc();
    QStringList listed;
    if (error)
        return listed;
    listed.reserve(qsizetype(names.size()));
    for (const std::string& name : names)
        listed.append(FsPath::fromBytes(name));
    listed.sort();
    return listed;
}

bool mayNeedAdmin(int errorCode)
{
    return errorCode == EACCES || errorCode == EPERM;
}

QString quoted(const QString& name)
{
    return QStringLiteral("“") + name + QStringLiteral("”");
}

// The linked templates of a plug-in of the user's own library that lead to regular files, as
// paths inside the plug-in: those a translation rewrites where they point. Linked folders are
// passed over, as every walk does.
std::vector<std::string> linkedTemplates(const QString& folder)
{
    const std::string native = FsPath::toBytes(folder);
    std::vector<std::string> found;
    for (const std::string& link : LibraryWalk::walk(native, LibraryWalk::links).links) {
        struct stat st;
        if (::stat(link.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            found.push_back(link.substr(native.size() + 1));
    }
    return found;
}

QString below(const QString& folder, const std::string& relative)
{
    return folder + QLatin1Char('/') + FsPath::fromBytes(relative);
}

// A backup folder on its way out: "." + its name + this. Never listed, and removed by a prune.
const QLatin1String kDiscarded(".discarded");

bool isDiscarded(const QString& name)
{
    return name.startsWith(QLatin1Char('.')) && name.endsWith(kDiscarded) && name.size() > 1 + kDiscarded.size();
}

std::optional<PluginBackup> readBackup(const QString& rootFolder, const QString& name)
{
    QFile file(rootFolder + QLatin1Char('/') + name + QStringLiteral("/meta.json"));
    if (!file.open(QIODevice::ReadOnly) || file.size() > PluginBackupStore::kMaxMetaBytes)
        return std::nullopt;
    const auto meta = PluginBackupStore::Meta::fromJson(file.read(PluginBackupStore::kMaxMetaBytes));
    if (!meta)
        return std::nullopt;
    return PluginBackup{name,
                        rootFolder + QLatin1Char('/') + name,
                        meta->pluginName,
                        meta->originalPath,
                        meta->createdAt,
                        meta->reason,
                        meta->byteCount};
}

} // namespace

std::optional<PluginBackupStore::Meta> PluginBackupStore::Meta::fromJson(const QByteArray& json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isObject())
        return std::nullopt;
    const QJsonObject object = doc.object();
    const auto pluginName = object.value(QLatin1String("pluginName"));
    const auto originalPath = object.value(QLatin1String("originalPath"));
    const auto createdAt = object.value(QLatin1String("createdAt"));
    const auto reason = object.value(QLatin1String("reason"));
    const auto byteCount = object.value(QLatin1String("byteCount"));
    if (!pluginName.isString() || !originalPath.isString() || !createdAt.isDouble() || !reason.isString())
        return std::nullopt;
    const auto created = ReferenceDate::fromSeconds(createdAt.toDouble());
    if (!created)
        return std::nullopt;
    const auto bytes = JsonRead::wholeNumber(byteCount);
    if (!bytes)
        return std::nullopt;
    Meta meta;
    meta.pluginName = pluginName.toString();
    meta.originalPath = originalPath.toString();
    meta.createdAt = *created;
    meta.reason = reason.toString();
    meta.byteCount = *bytes;
    return meta;
}

QByteArray PluginBackupStore::Meta::toJson() const
{
    const QJsonObject object{{QStringLiteral("pluginName"), pluginName},
                             {QStringLiteral("originalPath"), originalPath},
                             {QStringLiteral("createdAt"), ReferenceDate::toSeconds(createdAt)},
                             {QStringLiteral("reason"), reason},
                             {QStringLiteral("byteCount"), byteCount}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString PluginBackupStore::root()
{
    return AppPaths::applicationFolder() + QStringLiteral("/Backups");
}

QString PluginBackupStore::folderName(const QDateTime& localTime, const QString& pluginName,
                                      const QString& suffix)
{
    static const QString unsafe = QStringLiteral("/:\\?%*|\"<>");
    QString name = pluginName;
    for (QChar& c : name) {
        if (unsafe.contains(c))
            c = QLatin1Char('-');
    }
    // Cut between user-perceived characters, never inside one.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, name);
    qsizetype end = 0;
    for (int count = 0; count < kNameCharacters; ++count) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0 || name.left(next).toUtf8().size() > kNameBytes)
            break;
        end = next;
    }
    return localTime.toString(QStringLiteral("yyyyMMdd-HHmmss")) + QLatin1Char('-') + name.left(end)
        + QLatin1Char('-') + suffix;
}

namespace {

// The backup `name` in `rootFolder`, its copy and its name, durable: one sync per file system.
int syncBackup(const QString& rootFolder, const QString& name)
{
    DirHandle::Fd root(::open(FsPath::toBytes(rootFolder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid())
        return errno;
    DirHandle::Fd backup;
    if (const int error = DirHandle::openChild(root.get(), FsPath::toBytes(name), backup))
        return error;
    SafeFS::SyncBatch batch;
    int error = batch.addTree(backup.get());
    if (!error)
        error = batch.addFolder(root.get());
    return error ? error : batch.sync();
}

} // namespace

PluginBackup PluginBackupStore::createBackup(const Plugin& plugin, const QString& reason, qint64 byteCount, int folder)
{
    const QString action = QStringLiteral("无法拷贝插件") + quoted(plugin.name);
    // A copy never reads rooms a change of the plug-in is still emptying.
    const PluginLease lease = PluginLease::take(plugin.path, plugin.name);
    // A system plug-in that is a link, or lies behind one, is refused before anything is made.
    const bool system = SystemPath::inside(plugin.path).has_value();
    if (system) {
        if (const QString why = AdminAuth::writeRefusal(plugin.path); !why.isEmpty())
            throw PluginBackupError::refused(action, why);
    }
    FileOps& files = FileOps::current();
    const QString rootFolder = root();
    if (const int error = files.makePath(rootFolder))
        throw PluginBackupError::fileSystem(QStringLiteral("无法创建备份文件夹"), error);

    // Two backups in one second differ only by the suffix; never reuse an existing folder.
    QString name;
    QString directory;
    do {
        name = folderName(QDateTime::currentDateTime(), plugin.name,
                          QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().left(4));
        directory = rootFolder + QLatin1Char('/') + name;
    } while (files.exists(directory));

    const auto fail = [&](const QString& action, int error) {
        (void)discard(directory); // what stays of it is never listed, and goes at the next prune
        return PluginBackupError::fileSystem(action, error);
    };
    // Whatever stops the copy, memory running out included, nothing of the new backup stays:
    // without meta.json it would never be listed nor pruned.
    bool complete = false;
    const auto unfinished = qScopeGuard([&] {
        if (complete)
            return;
        try {
            (void)discard(directory);
        } catch (...) {
        }
    });
    if (const int error = files.makePath(payloadFolder(directory)))
        throw fail(QStringLiteral("无法创建备份文件夹"), error);
    const QString copy = payloadFolder(directory) + QLatin1Char('/') + lastComponent(plugin.path);
    if (system) {
        // Read through handles from the library root (FileOps), so a plug-in or a folder on the
        // way swapped for a link after the check never brings what it leads to into the backup,
        // from where a restore would put it in the shared library: a plug-in swapped for a link
        // copies as that link, which is refused here.
        const int error = folder >= 0 ? files.copyFolder(folder, copy) : files.copyTree(plugin.path, copy);
        struct stat st;
        const bool copiedLink = !error && ::lstat(FsPath::toBytes(copy).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        if (error || copiedLink) {
            (void)discard(directory); // what stays of it is never listed, and goes at the next prune
            // A link met on the way may be swapped back by now: the copy's word holds.
            const QString met = AdminAuth::writeRefusal(plugin.path);
            if (copiedLink || error == ELOOP || !met.isEmpty())
                throw PluginBackupError::refused(action, met.isEmpty() ? AdminAuth::linkRefusal(plugin.path) : met);
            throw PluginBackupError::fileSystem(action, error);
        }
    } else {
        // The backup must hold the plug-in itself, not a link that later edits would follow.
        const QFileInfo source(plugin.path);
        const QString sourcePath = source.isSymLink() ? source.canonicalFilePath() : plugin.path;
        if (sourcePath.isEmpty())
            throw fail(action, ENOENT);
        if (const int error = folder >= 0 ? files.copyFolder(folder, copy) : files.copyTree(sourcePath, copy))
            throw fail(action, error);
        // A translation rewrites the user's linked templates where they point, so the backup
        // keeps their text (the links themselves are the plug-in's, and a restore keeps them).
        for (const std::string& file : linkedTemplates(sourcePath)) {
            char* resolved = ::realpath(FsPath::toBytes(below(sourcePath, file)).c_str(), nullptr);
            if (!resolved)
                continue;
            const QString real = FsPath::fromBytes(resolved);
            ::free(resolved);
            int error = files.removeTree(below(copy, file));
            if (!error)
                error = files.copyTree(real, below(copy, file));
            if (error)
                throw fail(action, error);
        }
    }

    Meta meta;
    meta.pluginName = plugin.name;
    meta.originalPath = plugin.path;
    meta.createdAt = QDateTime::currentDateTimeUtc();
    meta.reason = reason;
    meta.byteCount = byteCount;
    if (const int error = files.writeFile(directory + QStringLiteral("/meta.json"), meta.toJson()))
        throw fail(QStringLiteral("无法写入备份信息"), error);

    // A translation relies on this copy to give the plug-in back: it is on disk before any
    // template changes.
    if (const int error = syncBackup(rootFolder, name))
        throw fail(action, error);

    PluginBackup made{name, directory, meta.pluginName, meta.originalPath, meta.createdAt, meta.reason, meta.byteCount};
    complete = true;
    return made;
}

QList<PluginBackup> PluginBackupStore::allBackups()
{
    const QString rootFolder = root();
    const QStringList names = namesIn(rootFolder);
    QList<PluginBackup> result;
    for (const QString& name : names) {
        if (isDiscarded(name))
            continue;
        if (auto backup = readBackup(rootFolder, name))
            result.append(std::move(*backup));
    }
    std::stable_sort(result.begin(), result.end(), [](const PluginBackup& a, const PluginBackup& b) {
        return a.createdAt > b.createdAt;
    });
    return result;
}

QList<PluginBackup> PluginBackupStore::backups(const Plugin& plugin)
{
    QList<PluginBackup> result;
    for (const PluginBackup& backup : allBackups()) {
        if (backup.originalPath == plugin.path)
            result.append(backup);
    }
    return result;
}

int PluginBackupStore::discard(const QString& directory)
{
    FileOps& files = FileOps::current();
    const QFileInfo info(directory);
    const QString hidden = info.path() + QStringLiteral("/.") + info.fileName() + kDiscarded;
    const int error = files.rename(directory, hidden);
    if (error == ENOENT)
        return 0;
    return files.removeTree(error ? directory : hidden);
}

void PluginBackupStore::prune(int keepPerPlugin)
{
    const qsizetype keep = std::max(keepPerPlugin, 0);
    // What earlier removals left, cut short.
    const QString rootFolder = root();
    for (const QString& name : QDir(rootFolder).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (isDiscarded(name))
            (void)FileOps::current().removeTree(rootFolder + QLatin1Char('/') + name); // tried again next time
    }
    QHash<QString, QList<PluginBackup>> groups;
    for (const PluginBackup& backup : allBackups())
        groups[backup.originalPath].append(backup);
    for (const QList<PluginBackup>& group : std::as_const(groups)) {
        if (group.size() <= keep)
            continue;
        const auto original = originalTranslationBackup(group);
        for (qsizetype i = keep; i < group.size(); ++i) {
            if (original && group[i].id == original->id)
                continue;
            (void)discard(group[i].directory); // tried again at the next prune
        }
    }
}

std::optional<QString> PluginBackupStore::payloadCopy(const PluginBackup& backup)
{
    const QString payload = payloadFolder(backup.directory);
    const QString named = payload + QLatin1Char('/') + lastComponent(backup.originalPath);
    if (isEntryName(lastComponent(backup.originalPath)) && isRealFolder(named))
        return named;
    // Hidden entries (a stray .DS_Store) are never taken for the plug-in.
    for (const QString& name : namesIn(payload)) {
        if (!name.startsWith(QLatin1Char('.')) && isRealFolder(payload + QLatin1Char('/') + name))
            return payload + QLatin1Char('/') + name;
    }
    return std::nullopt;
}

bool PluginBackupStore::isTranslationBackup(const PluginBackup& backup)
{
    return backup.reason.contains(QStringLiteral("汉化"));
}

std::optional<PluginBackup> PluginBackupStore::originalTranslationBackup(const QList<PluginBackup>& newestFirst)
{
    for (auto it = newestFirst.crbegin(); it != newestFirst.crend(); ++it) {
        if (isTranslationBackup(*it) && payloadCopy(*it))
            return *it;
    }
    return std::nullopt;
}

namespace {

// The backup's copy staged in the swap's room. Short of space, the old contents of earlier
// changes on this disk may be what holds it: once their removals have ended, it is copied again.
int copyIntoStaging(PluginFolderSwap& swap, const QString& source, const QString& staged)
{
    int error = FileOps::current().copyTree(source, staged);
    if ((error == ENOSPC || error == EDQUOT) && PluginLease::waitForRemovalsOn(swap.stagingDevice())
        && swap.clearStaging() == 0)
        error = FileOps::current().copyTree(source, staged);
    return error;
}

// What the user hears of a restore that stands. Memory running out here costs the notes, not
// the success.
QStringList restoredNotes(const PluginFolderSwap& swap, const Plugin& plugin, std::optional<uid_t> told)
{
    try {
        QStringList notes = swap.notes();
        // An old copy we may not delete ourselves is the administrator's, as recorded, and only
        // while it has the owner the user was told.
        if (swap.leftover() && plugin.root == PluginRoot::system) {
            AdminAuth::Item old = *swap.leftover();
            old.owner = told;
            const bool removed = AdminAuth::adminRemove(old);
            notes += AdminAuth::lastNotes();
            if (!removed)
                notes += AdminAuth::leftoverNote(old);
        }
        return notes;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

// The links to the user's linked templates, made again in the staged copy as they stand in
// the plug-in (`pluginPath`). 0 or the errno of a link that could not be made.
int relink(const QString& pluginPath, const std::vector<std::string>& linkedInside, const QString& staged)
{
    for (const std::string& link : linkedInside) {
        char pointsTo[PATH_MAX];
        const ssize_t length = ::readlink(FsPath::toBytes(below(pluginPath, link)).c_str(), pointsTo, sizeof pointsTo);
        if (length <= 0 || std::size_t(length) >= sizeof pointsTo)
            continue;
        // The link's creation below tells whether these made room for it.
        (void)FileOps::current().removeTree(below(staged, link));
        (void)FileOps::current().makePath(QFileInfo(below(staged, link)).path());
        const std::string at = FsPath::toBytes(below(staged, link));
        if (::symlink(std::string(pointsTo, std::size_t(length)).c_str(), at.c_str()) != 0)
            return errno;
    }
    return 0;
}

// Once the swap's room is gone: synced through handles held from before the copy, so that a
// write error since is told with what was restored.
QStringList closeRestored(JournalChange& journal, const Plugin& plugin, QStringList restored)
{
    if (const int failed = journal.close()) {
        try {
            restored.append(SystemError::writeErrorText(QStringLiteral("插件") + quoted(plugin.name) + QStringLiteral("已还原"), failed));
        } catch (const std::bad_alloc&) {
        }
    }
    return restored;
}

} // namespace

QStringList PluginBackupStore::restore(const PluginBackup& backup, const Plugin& plugin, std::optional<uid_t> told)
{
    const auto source = payloadCopy(backup);
    if (!source)
        throw PluginBackupError::payloadMissing();

    QString target = plugin.path;
    // Everything below is relative to the plug-in's folder; never guess one.
    if (!QFileInfo(target).isAbsolute() || !isEntryName(lastComponent(target)))
        throw PluginBackupError::fileSystem(QStringLiteral("无法还原插件") + quoted(plugin.name), ENOENT);
    // The user's own plug-in folder may be a link to another disk: the copy goes where it
    // points and the link stays. (In the system library the swap refuses links.)
    const QFileInfo linked(target);
    if (plugin.root == PluginRoot::user && linked.isSymLink() && linked.isDir())
        target = linked.canonicalFilePath();
    // One change in the journal for the plug-in and its linked templates; what killed changes
    // left is put right first. A link inside a system plug-in refuses the restore before
    // anything changes, as it refuses a rewrite.
    // Not beside another operation on the plug-in, nor a change of it still removing its old
    // contents; the wait is shown where the caller shows its status.
    const PluginLease lease = PluginLease::take(target, plugin.name);
    const auto journal = std::make_shared<JournalChange>("restore");
    const QString inside = TemplateChange::refusal(target);
    if (!inside.isEmpty())
        throw PluginBackupError::refused(QStringLiteral("无法还原插件") + quoted(plugin.name), inside);
    if (plugin.root == PluginRoot::system && !AdminAuth::isWritable(parentFolder(target))
        && !AdminAuth::requestPermission(PluginRoot(PluginRoot::system).path())
        && AdminAuth::lastFailure() == AdminAuth::Failure::declined)
        throw PluginBackupError::refused(QStringLiteral("无法还原插件") + quoted(plugin.name),
                                         QStringLiteral("未获得管理员授权，插件没有改动。"));

    // The user's linked templates get their text back where they point, and the links
    // themselves stay in the restored plug-in. Both parts are staged before either is put in
    // place; the plug-in is swapped in keeping the old one, and the templates' finish state is
    // the commit point of both, so a failure or a kill leaves both as they were or both
    // restored.
    std::vector<std::string> linkedInside;
    if (plugin.root != PluginRoot::system && QFileInfo(target).isDir())
        linkedInside = linkedTemplates(target);
    std::optional<TemplateChange> change;
    const auto refusedBy = [&](const TemplateEditError& e) {
        return PluginBackupError::refused(QStringLiteral("无法还原插件") + quoted(plugin.name), e.message());
    };
    if (!linkedInside.empty()) {
        try {
            change.emplace(target, journal);
            const std::string native = FsPath::toBytes(target);
            for (const std::string& file : linkedInside) {
                QByteArray bytes;
                const std::string saved = FsPath::toBytes(below(*source, file));
                if (LibraryWalk::readRegularFile(saved, TemplateInspector::kMaxTemplateBytes, bytes))
                    change->stage(native + '/' + file, bytes);
            }
        } catch (const TemplateEditError& e) {
            throw refusedBy(e);
        }
    }
    const auto commitTemplates = [&] {
        try {
            if (change)
                change->commit();
        } catch (const TemplateEditError& e) {
            throw refusedBy(e);
        }
    };
    const QString name = lastComponent(target);
    // Only the plug-in the list showed is replaced (a followed link's folder was not looked at).
    const PluginFolderSwap::Seen seen = plugin.identity.known() && target == plugin.path
        ? PluginFolderSwap::Seen(plugin.identity) : std::nullopt;
    int error = 0;
    QString refusal;
    std::optional<QStringList> restored;
    {
        PluginFolderSwap swap(parentFolder(target), FileOps::current(), journal);
        QString staging;
        // A category folder removed meanwhile comes back, as the plug-in itself does.
        error = swap.makeStaging(QStringLiteral("restoring"), name, &staging);
        const QString staged = staging + QLatin1Char('/') + name;
        if (error == 0)
            error = copyIntoStaging(swap, *source, staged);
        if (error == 0 && (error = relink(plugin.path, linkedInside, staged)) == 0 && (error = swap.commitKeepingOld(staged, name, seen)) == 0) {
            // The library's disk has the exchange before the templates' entry records the
            // change as done (the journal may be on another disk). A failed sync is told below.
            (void)swap.syncPlaced();
            try {
                commitTemplates();
            } catch (const PluginBackupError&) {
                // Left recorded as finished, the templates are recovery's to complete: the
                // plug-in stays restored with them. Whatever cannot be settled now is the
                // journal's (the swap keeps its entry).
                if (journal->state() == SafeFS::JournalEntry::State::finish)
                    (void)swap.finish();
                else
                    (void)swap.undo();
                throw;
            }
            error = swap.finish();
            if (error == 0)
                restored = restoredNotes(swap, plugin, told);
            else
                (void)swap.undo();
        }
        if (!restored) {
            refusal = swap.refusal();
            // The step the journal was to record was not taken: the plug-in is as it was.
            if (swap.journalRefused() && swap.target().isEmpty())
                refusal += QStringLiteral("\n插件没有改动。");
        }
    }
    if (restored)
        return closeRestored(*journal, plugin, *restored);
    if (!refusal.isEmpty())
        throw PluginBackupError::refused(QStringLiteral("无法还原插件") + quoted(plugin.name), refusal);
    // Administrator rights help only where rights were missing; anything else (a full disk,
    // a missing folder) would fail the same way after the old plug-in had been removed.
    if (mayNeedAdmin(error)) {
        if (AdminAuth::adminReplace(*source, target, seen.value_or(SafeFS::Identity{}), told)) {
            commitTemplates();
            return AdminAuth::lastNotes();
        }
        // Not the plug-in the list showed, or another user's item it held: said as found.
        if (!AdminAuth::lastNotes().isEmpty())
            throw PluginBackupError::refused(QStringLiteral("无法还原插件") + quoted(plugin.name),
                                             AdminAuth::lastNotes().join(QLatin1Char('\n')));
    }
    throw PluginBackupError::fileSystem(QStringLiteral("无法还原插件") + quoted(plugin.name), error);
}
