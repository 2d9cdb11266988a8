#include "engine/files/AdminAuth.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <syslog.h>

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include "LoomworkKit/ZFCPluginType.h"
#include "engine/core/AlertPresenter.h"
#include <SafeFS/DirHandle.h>
#include <SafeFS/Room.h>
#include "engine/core/EngineText.h"
#include "engine/files/AppJournal.h"
#include "engine/core/FsPath.h"
#include "engine/files/JournalChange.h"
#include "engine/files/PluginOwner.h"
#include "engine/model/Plugin.h"
#include "engine/files/SystemPath.h"

namespace {

std::atomic<bool> g_explained{false};
thread_local AdminAuth::Failure t_failure = AdminAuth::Failure::none;

bool exists(const QString& path)
{
    // Any kind of item counts, a dangling link included.
    return QFileInfo(path).exists() || QFileInfo(path).isSymLink();
}

QStringList rootAndCategories(const QString& root)
{
    QStringList paths{root};
    for (const ZFCPluginType type : ZFCPluginType::allCases())
        paths.append(root + QLatin1Char('/') + EngineText::directoryName(type));
    return paths;
}

bool preExplain()
{
    if (g_explained.load())
        return true;
    // Each system asks in its own window: macOS names it after osascript and wants the
    // login password; polkit shows its authentication window and asks for the user's own.
    // Linux has no /Library: the folder in use is named.
    const QString message = AdminRunner::current().flavor() == AdminRunner::Flavor::macOS
        ? QStringLiteral("接下来系统会弹出密码输入框，用于读写系统FCPX插件目录（/Library/…）。\n\n"
                         "系统弹窗标题显示为「osascript」属于正常现象，输入开机密码点「好」即可；授权一次后一般不再询问。")
        : QStringLiteral("接下来系统会弹出身份验证窗口，用于读写系统FCPX插件目录（")
            + FsPath::displayText(PluginRoot(PluginRoot::system).path())
            + QStringLiteral("）。\n\n在窗口中输入你当前登录账户的密码并确认即可；授权一次后一般不再询问。");
    const bool agreed = AlertPresenter::current().confirm(QStringLiteral("需要管理员授权"), message,
                                                          AlertPresenter::Style::informational,
                                                          QStringLiteral("继续"), QStringLiteral("取消"));
    if (agreed)
        g_explained.store(true);
    return agreed;
}

void logLine(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    ::syslog(LOG_ERR, "%s", bytes.constData());
    qWarning().noquote() << text;
}

struct LogTexts {
    const char* launchError;
    const char* failed;
};

// The diagnostic form logs why it failed; the plain form only says false.
bool runCommand(const QStringList& command, const LogTexts* log)
{
    if (command.isEmpty()) {
        t_failure = AdminAuth::Failure::declined;
        return false;
    }
    const auto outcome = AdminRunner::current().run(command, log != nullptr);
    if (!outcome.launched) {
        t_failure = AdminAuth::Failure::notLaunched;
        if (log)
            logLine(QString::fromUtf8(log->launchError).arg(outcome.launchError));
        return false;
    }
    if (outcome.exitStatus != 0) {
        t_failure = AdminAuth::Failure::failed;
        if (log)
            logLine(QString::fromUtf8(log->failed).arg(outcome.standardError));
        return false;
    }
    t_failure = AdminAuth::Failure::none;
    return true;
}

using Rule = QString (*)(const QString& path, QString* resolved);

// Checked right before each command, and the user told why when one is refused. Gives the
// resolved paths the command is to run on.
std::optional<QStringList> allowed(const QStringList& paths, Rule rule = AdminAuth::refusal)
{
    QStringList resolved;
    for (const QString& path : paths) {
        QString at;
        QString refusal = rule(path, &at);
        if (refusal.isEmpty()) {
            resolved.append(at);
            continue;
        }
        logLine(QStringLiteral("[AdminAuth] refused: ") + refusal);
        // A link refusal says why already.
        if (!refusal.endsWith(AdminAuth::systemLinkReason()))
            refusal += QStringLiteral("\n\n为安全起见，管理员操作只在系统插件库内、且不经过符号链接的位置进行。");
        AlertPresenter::current().confirm(QStringLiteral("已拒绝管理员操作"), refusal,
                                          AlertPresenter::Style::critical, QStringLiteral("好"), QString());
        return std::nullopt;
    }
    return resolved;
}

bool explained()
{
    t_failure = AdminAuth::Failure::declined;
    return preExplain();
}

bool runChecked(const QStringList& paths, const std::function<QStringList(const QStringList&)>& command,
                const LogTexts* log, Rule rule = AdminAuth::refusal)
{
    if (!explained())
        return false;
    const auto resolved = allowed(paths, rule);
    return resolved && runCommand(command(*resolved), log);
}


thread_local QStringList t_notes;
// Where the last adminRemove() left an item its helper had moved into a room of its own before
// it stopped: no longer at the name it was asked for.
thread_local std::optional<AdminAuth::Item> t_movedInto;

QString identityWord(const SafeFS::Identity& identity)
{
    return QString::number(identity.device) + QLatin1Char(':') + QString::number(identity.inode) + QLatin1Char(':')
        + QString::number(identity.born);
}

// The folder `folder` of the system library, reached from its root one handle at a time.
int openSystemFolder(const QString& folder, DirHandle::Fd& out)
{
    const auto in = SystemPath::inside(folder);
    if (!in)
        return EINVAL;
    const QString below = in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
    return DirHandle::openPath(FsPath::toBytes(in->root), FsPath::toBytes(below), out);
}

// The helper's report of what it left, one "left" line each (hexadecimal bytes of a path
// inside the folder), as the user reads it.
void readNotes(const QString& folder, const QString& standardError, const std::optional<uid_t>& told)
{
    for (const QString& line : standardError.split(QLatin1Char('\n'))) {
        static const QString left = QStringLiteral("loomwork-admin: left ");
        static const QString back = QStringLiteral("loomwork-admin: not the recorded item, left at ");
        static const QString owner = QStringLiteral("loomwork-admin: not the owner told, ");
        if (line.startsWith(owner)) {
            // "UID, left at HEX"
            const QString rest = line.mid(owner.size());
            const qsizetype comma = rest.indexOf(QStringLiteral(", left at "));
            bool number = false;
            const uid_t found = uid_t(rest.left(comma).toUInt(&number));
            if (comma < 0 || !number)
                continue;
            const QByteArray bytes = QByteArray::fromHex(rest.mid(comma + 10).trimmed().toLatin1());
            const QString name = FsPath::fromBytes(bytes.toStdString());
            const QString toldName = told ? PluginOwner::userName(*told) : QStringLiteral("你");
            t_notes.append(QStringLiteral("「") + FsPath::displayText(name) + QStringLiteral("」现在属于用户「")
                           + PluginOwner::userName(found) + QStringLiteral("」，不是确认时告知的「") + toldName
                           + QStringLiteral("」，管理员没有删除或替换它：")
                           + FsPath::displayText(folder + QLatin1Char('/') + name));
            continue;
        }
        const bool isLeft = line.startsWith(left);
        if (!isLeft && !line.startsWith(back))
            continue;
        const QByteArray bytes = QByteArray::fromHex(line.mid(isLeft ? left.size() : back.size()).trimmed().toLatin1());
        const QString path = FsPath::displayText(folder + QLatin1Char('/') + FsPath::fromBytes(bytes.toStdString()));
        t_notes.append(isLeft ? QStringLiteral("其他用户的文件未删除：") + path
                              : QStringLiteral("要删除的插件已被换成别的项目，未删除：") + path);
    }
}

// Runs a helper command that takes an item into a room; its report read into t_notes.
bool runReporting(const QStringList& command, const QString& folder, const std::optional<uid_t>& told)
{
    if (command.isEmpty()) {
        t_failure = AdminAuth::Failure::declined;
        return false;
    }
    const auto outcome = AdminRunner::current().run(command, true);
    if (!outcome.launched) {
        t_failure = AdminAuth::Failure::notLaunched;
        return false;
    }
    readNotes(folder, outcome.standardError, told);
    constexpr int kNotTheItem = 3; // loomwork-admin's exit statuses for them
    constexpr int kNotTheOwner = 5;
    t_failure = outcome.exitStatus == 0             ? AdminAuth::Failure::none
              : outcome.exitStatus == kNotTheItem  ? AdminAuth::Failure::notTheItem
              : outcome.exitStatus == kNotTheOwner ? AdminAuth::Failure::notTheOwner
                                                   : AdminAuth::Failure::failed;
    return outcome.exitStatus == 0;
}

// A room of ours beside the item, named in `change` before it is made and by identity once
// it is: the helper moves what it acts on in there, where only we (and it) can reach it.
bool makeRoom(JournalChange& change, std::size_t place, int folder, const QString& label, const char* purpose,
              SafeFS::Room& room)
{
    const std::string name = change.hiddenName(place, FsPath::toBytes(label), purpose);
    change.items().push_back(JournalChange::item(SafeFS::JournalItem::Role::room, place, name, {}, {}));
    if (change.write() != 0 || room.make(folder, name) != 0)
        return false;
    change.items().back().identity = room.identity();
    return change.write() == 0;
}

// The folder of the system library the helper is to act in, and a room of ours in it for
// `label`'s item, named in `change`.
bool openWithRoom(const QString& folderPath, const QString& label, const char* purpose, JournalChange& change,
                  DirHandle::Fd& folder, SafeFS::Room& room, std::size_t& place)
{
    if (openSystemFolder(folderPath, folder) != 0)
        return false;
    place = change.place(AppJournal::placeOf(folderPath));
    return makeRoom(change, place, folder.get(), label, purpose, room);
}

// The room goes once the helper is done with it; a room that still holds something stays with
// the journal entry, for recovery.
void removeRoom(JournalChange& change, const SafeFS::Room& room, int folder)
{
    if (room.removeIfEmpty(folder) != 0)
        change.keep();
}

bool isUnder(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// The helper and its arguments: the operation, the system library's root and then `args`
// (paths inside it, names, identities as "device:inode:born"). A process's arguments are
// handed over as UTF-8, which would lose a name's bytes that are not: such arguments all go
// as hexadecimal bytes ("--hex").
QStringList helperCommand(const QString& operation, const QString& root, const QStringList& args)
{
    QStringList words{root};
    words += args;
    const bool bytes = std::any_of(words.begin(), words.end(),
                                   [](const QString& p) { return FsPath::encode(p) != p.toUtf8(); });
    QStringList command{AdminRunner::helperPath()};
    if (bytes)
        command.append(QStringLiteral("--hex"));
    command.append(operation);
    for (const QString& word : words)
        command.append(bytes ? QString::fromLatin1(FsPath::encode(word).toHex()) : word);
    return command;
}

// The root and the path below it of `path` in the system library; none outside it (or, with
// `withRelative`, for the root itself).
std::optional<std::pair<QString, QString>> rootAndBelow(const QString& path, bool withRelative)
{
    const auto in = SystemPath::inside(path);
    if (!in || (withRelative && in->relative.isEmpty()))
        return std::nullopt;
    return std::make_pair(in->root, in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/')));
}

} // namespace

QString AdminAuth::refusal(const QString& path, QString* resolved)
{
    const QString root = PluginRoot(PluginRoot::system).path();
    // Resolved once: a link above the library would otherwise be followed by every command.
    const QString realRoot = SystemPath::resolvedRoot();
    const QStringList parts = path.split(QLatin1Char('/'));
    // Compared as written: ".." is never resolved, it is refused.
    const QString& base = isUnder(path, root) ? root : realRoot;
    if (!isUnder(path, base) || parts.contains(QStringLiteral("..")) || parts.contains(QStringLiteral(".")))
        return QStringLiteral("路径不在系统插件库内：") + FsPath::displayText(path);
    // The library is open to everyone: any folder in it may have been swapped for a link.
    QString at = realRoot;
    QString shown = base;
    const QStringList below = path.mid(base.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (qsizetype i = -1; i < below.size(); ++i) {
        if (i >= 0) {
            at += QLatin1Char('/') + below[i];
            shown += QLatin1Char('/') + below[i];
        }
        struct stat st {};
        if (::lstat(FsPath::toNative(at).c_str(), &st) != 0)
            break; // missing from here down: the command makes it
        if (S_ISLNK(st.st_mode))
            return linkRefusal(shown);
    }
    if (resolved)
        *resolved = realRoot + path.mid(base.size());
    return {};
}

QString AdminAuth::writeRefusal(const QString& path, QString* resolved)
{
    if (!SystemPath::inside(path)) {
        if (resolved)
            *resolved = path;
        return {}; // the user's own: links are followed
    }
    return refusal(path, resolved);
}

QString AdminAuth::removalRefusal(const QString& item, QString* resolved)
{
    const qsizetype slash = item.lastIndexOf(QLatin1Char('/'));
    const QString name = item.mid(slash + 1);
    QString folder;
    if (SystemPath::inside(item) && slash > 0 && !name.isEmpty() && name != QLatin1String(".")
        && name != QLatin1String("..") && refusal(item.left(slash), &folder).isEmpty()) {
        if (resolved)
            *resolved = folder + QLatin1Char('/') + name;
        return {};
    }
    return writeRefusal(item, resolved);
}

QString AdminAuth::linkRefusal(const QString& link)
{
    return QStringLiteral("路径经过符号链接：") + FsPath::displayText(link) + QLatin1Char('\n') + systemLinkReason();
}

QString AdminAuth::systemLinkReason()
{
    return QStringLiteral("系统插件库对本机所有用户开放，为安全起见不经过符号链接写入或删除。");
}

QString AdminAuth::quote(const QString& path)
{
    QString quoted = QStringLiteral("'");
    for (qsizetype i = 0; i < path.size(); ++i) {
        // A name byte that is not UTF-8 is written by printf, so the shell sees that byte.
        // A lone U+DC80..U+DCFF stands for one byte of the name (FsPath).
        const char16_t c = path[i].unicode();
        if (c >= 0xDC80 && c <= 0xDCFF && !(i > 0 && path[i - 1].isHighSurrogate()))
            quoted += QStringLiteral("'\"$(printf '\\%1')\"'").arg(int(c - 0xDC00), 3, 8, QLatin1Char('0'));
        else if (path[i] == QLatin1Char('\''))
            quoted += QStringLiteral("'\\''");
        else
            quoted += path[i];
    }
    return quoted + QLatin1Char('\'');
}

QString AdminAuth::appleScript(const QString& shellCommand)
{
    QString escaped = shellCommand;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    escaped.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QStringLiteral("do shell script \"") + escaped + QStringLiteral("\" with administrator privileges");
}

QStringList AdminAuth::requestPermissionCommand(const QString& root)
{
    const auto at = rootAndBelow(root, false);
    return at ? helperCommand(QStringLiteral("permit"), at->first, {}) : QStringList();
}

QStringList AdminAuth::removeCommand(const Item& item)
{
    const auto at = rootAndBelow(item.folder, true);
    if (!at || item.room.isEmpty())
        return {};
    const QString asker = QString::number(::geteuid());
    // The owner the user was told goes last, where a confirmation named one.
    const QStringList told = item.owner ? QStringList{QString::number(*item.owner)} : QStringList();
    if (item.inRoom)
        return helperCommand(QStringLiteral("remove-in-room"), at->first,
                             QStringList{at->second, item.room, identityWord(item.roomIdentity), item.name,
                                         identityWord(item.identity), item.shownName.isEmpty() ? item.name : item.shownName,
                                         asker} + told);
    return helperCommand(QStringLiteral("remove"), at->first,
                         QStringList{at->second, item.name, item.room, identityWord(item.roomIdentity),
                                     identityWord(item.identity), asker} + told);
}

QStringList AdminAuth::createDirectoryCommand(const QString& folder)
{
    const auto at = rootAndBelow(folder, true);
    return at ? helperCommand(QStringLiteral("mkdir"), at->first, {at->second}) : QStringList();
}

QStringList AdminAuth::prepareRootCommand(const QString& root)
{
    const auto at = rootAndBelow(root, false);
    return at ? helperCommand(QStringLiteral("prepare-root"), at->first, {}) : QStringList();
}

QStringList AdminAuth::replaceCommand(const QString& source, const Item& destination)
{
    const auto at = rootAndBelow(destination.folder, true);
    if (!at || destination.room.isEmpty())
        return {};
    const QStringList told = destination.owner ? QStringList{QString::number(*destination.owner)} : QStringList();
    return helperCommand(QStringLiteral("replace"), at->first,
                         QStringList{at->second, destination.name, source, destination.room,
                                     identityWord(destination.roomIdentity), identityWord(destination.identity),
                                     QString::number(::geteuid())} + told);
}

AdminAuth::Failure AdminAuth::lastFailure()
{
    return t_failure;
}

// The probe is made through one handle of the folder: in the system library the one walked to
// from the root, so a folder swapped for a link never gets (or keeps) it.
bool AdminAuth::isWritable(const QString& folder)
{
    if (!exists(folder))
        return false;
    DirHandle::Fd at;
    if (const auto in = SystemPath::inside(folder)) {
        const QString below = in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
        if (DirHandle::openPath(FsPath::toBytes(in->root), FsPath::toBytes(below), at) != 0)
            return false;
    } else {
        at = DirHandle::Fd(::open(FsPath::toBytes(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!at.valid())
            return false;
    }
#if defined(O_TMPFILE)
    // A file without a name: nothing to remove again by a name someone else may have reused.
    const DirHandle::Fd unnamed(::openat(at.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (unnamed.valid())
        return true;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return false;
#endif
    // Where files cannot be made without a name: an empty room of ours, which goes only while
    // it is itself and empty.
    SafeFS::Room probe;
    const std::string name = ".loomwork_write_test_" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    if (probe.make(at.get(), name) != 0)
        return false;
    (void)probe.removeIfEmpty(at.get());
    return true;
}

// The helper opens the root's whole tree, the existing category folders with it.
bool AdminAuth::requestPermission(const QString& root)
{
    if (!explained())
        return false;
    if (!exists(root))
        return false;
    static const LogTexts log{"[AdminAuth] osascript launch error: %1", "[AdminAuth] osascript failed: %1"};
    const auto resolved = allowed({root});
    return resolved && runCommand(requestPermissionCommand((*resolved)[0]), &log);
}

bool AdminAuth::adminRemove(const Item& item)
{
    t_notes.clear();
    t_movedInto.reset();
    if (!explained())
        return false;
    // The helper walks from the root itself; the folder must pass the same rule first.
    const auto resolved = allowed({item.folder});
    if (!resolved)
        return false;
    Item at = item;
    at.folder = resolved->first();
    // A room of the caller's, named in its journal entry with the item.
    if (!at.room.isEmpty())
        return runReporting(removeCommand(at), at.folder, at.owner);
    JournalChange change("admin");
    DirHandle::Fd folder;
    SafeFS::Room room;
    std::size_t place = 0;
    if (!openWithRoom(at.folder, at.name, "removing", change, folder, room, place)) {
        t_failure = Failure::failed;
        return false;
    }
    at.room = FsPath::fromBytes(room.name());
    at.roomIdentity = room.identity();
    // Killed while the helper works: the item in the room is the removal's to finish.
    change.items().push_back(JournalChange::item(SafeFS::JournalItem::Role::old, place,
                                                 room.name() + "/" + FsPath::toBytes(at.name), FsPath::toBytes(at.name),
                                                 at.identity));
    if (change.setState(SafeFS::JournalEntry::State::finish) != 0) {
        removeRoom(change, room, folder.get());
        t_failure = Failure::failed;
        return false;
    }
    const bool done = runReporting(removeCommand(at), at.folder, at.owner);
    SafeFS::Identity there;
    if (!done && SafeFS::identityAt(room.fd(), FsPath::toBytes(at.name), there) == 0 && there == at.identity) {
        t_movedInto = at;
        t_movedInto->inRoom = true;
    }
    removeRoom(change, room, folder.get());
    return done;
}

bool AdminAuth::adminRemove(const QString& path, const SafeFS::Identity& identity)
{
    Item item;
    item.folder = QFileInfo(path).path();
    item.name = QFileInfo(path).fileName();
    item.identity = identity;
    return adminRemove(item);
}

QStringList AdminAuth::lastNotes()
{
    return t_notes;
}

QString AdminAuth::leftoverNote(const Item& asked)
{
    const bool moved = t_movedInto && t_movedInto->name == asked.name && t_movedInto->identity == asked.identity;
    const Item& item = moved ? *t_movedInto : asked;
    const QString at = item.folder + QLatin1Char('/')
        + (item.inRoom && !item.room.isEmpty() ? item.room + QLatin1Char('/') + item.name : item.name);
    const QString why = t_failure == Failure::declined || t_failure == Failure::notLaunched ? QStringLiteral("未获得管理员授权")
        : t_failure == Failure::notTheOwner ? QStringLiteral("它不属于确认时告知的用户，管理员没有删除")
                                            : QStringLiteral("管理员操作没有完成");
    return QStringLiteral("「") + FsPath::displayText(item.shownName.isEmpty() ? item.name : item.shownName)
        + QStringLiteral("」的旧版本未能删除（") + why + QStringLiteral("），留在：") + FsPath::displayText(at)
        + QStringLiteral("；下次启动时会再请求授权。");
}

bool AdminAuth::adminCreateDirectory(const QString& folder)
{
    return runChecked({folder}, [](const QStringList& at) { return createDirectoryCommand(at[0]); }, nullptr);
}

bool AdminAuth::prepareRoot(const QString& root)
{
    static const LogTexts log{"[AdminAuth] prepareRoot error: %1", "[AdminAuth] prepareRoot failed: %1"};
    return runChecked(rootAndCategories(root), [](const QStringList& at) { return prepareRootCommand(at[0]); },
                      &log);
}

// The source is our own copy in the user's data folder; only the destination is the library's.
// The helper copies it into a room of ours beside the destination and exchanges the two, taking
// the old item only while it is the one that stood there when the user asked.
bool AdminAuth::adminReplace(const QString& source, const QString& destination, const SafeFS::Identity& seen,
                             std::optional<uid_t> owner)
{
    t_notes.clear();
    if (!explained())
        return false;
    const auto resolved = allowed({destination});
    if (!resolved)
        return false;
    Item at;
    at.folder = QFileInfo(resolved->first()).path();
    at.name = QFileInfo(resolved->first()).fileName();
    JournalChange change("admin");
    DirHandle::Fd folder;
    SafeFS::Room room;
    std::size_t place = 0;
    if (!openWithRoom(at.folder, at.name, "restoring", change, folder, room, place)) {
        t_failure = Failure::failed;
        return false;
    }
    // The helper takes only the item the user saw (else what stands there as he asks).
    if (seen.known()) {
        SafeFS::Identity there;
        if (SafeFS::identityAt(folder.get(), FsPath::toBytes(at.name), there) != 0 || !(there == seen)) {
            t_notes.append(QStringLiteral("「") + FsPath::displayText(at.name)
                           + QStringLiteral("」已不是显示时的那一项（可能被其他用户改动或替换），未作更改：")
                           + FsPath::displayText(destination));
            removeRoom(change, room, folder.get());
            t_failure = Failure::failed;
            return false;
        }
        at.identity = seen;
    } else {
        (void)SafeFS::identityAt(folder.get(), FsPath::toBytes(at.name), at.identity);
    }
    at.room = FsPath::fromBytes(room.name());
    at.roomIdentity = room.identity();
    at.owner = owner;
    const std::string name = FsPath::toBytes(at.name);
    // The helper fills a folder we make and record here, and puts it in place only once it is
    // whole: standing at the name it says the replace is done, whenever this process stops
    // (recovery finishes it, the old copy goes); anywhere else it is removed and the old item
    // stays. Recorded at its name only, so that recovery never moves a half-filled one there.
    SafeFS::Identity incoming;
    if (DirHandle::makeFolderAt(room.fd(), "incoming", 0700) != 0
        || SafeFS::identityAt(room.fd(), "incoming", incoming) != 0) {
        removeRoom(change, room, folder.get());
        t_failure = Failure::failed;
        return false;
    }
    change.items().push_back(JournalChange::item(SafeFS::JournalItem::Role::made, place, name, name, incoming));
    if (at.identity.known()) {
        change.items().push_back(JournalChange::item(SafeFS::JournalItem::Role::old, place, room.name() + "/incoming", name, at.identity));
        change.items().push_back(JournalChange::item(SafeFS::JournalItem::Role::old, place, room.name() + "/replaced", name, at.identity));
    }
    // Our folder, while it is ours and empty (a helper that died may have left another item
    // exchanged in at its name).
    const auto leave = [&] {
        SafeFS::Identity there;
        if (SafeFS::identityAt(room.fd(), "incoming", there) == 0 && there == incoming)
            (void)::unlinkat(room.fd(), "incoming", AT_REMOVEDIR);
        removeRoom(change, room, folder.get());
    };
    if (change.setState(SafeFS::JournalEntry::State::finish) != 0) {
        leave();
        t_failure = Failure::failed;
        return false;
    }
    const bool done = runReporting(replaceCommand(source, at), at.folder, at.owner);
    leave();
    // A helper stopped after its exchange has put the whole copy in place: the replace stands,
    // and what it left of the old copy is the journal's, for the administrator at the next start.
    SafeFS::Identity there;
    if (done || SafeFS::identityAt(folder.get(), name, there) != 0 || !(there == incoming))
        return done;
    if (change.kept())
        t_notes.append(QStringLiteral("「") + FsPath::displayText(at.name)
                       + QStringLiteral("」的旧版本未能全部删除（管理员操作没有完成），操作记录已保留，下次启动时会再请求授权。"));
    t_failure = Failure::none;
    return true;
}

void AdminAuth::resetExplanation()
{
    g_explained.store(false);
}
