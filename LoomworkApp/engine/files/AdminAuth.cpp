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
#include "engine/core/EngineText.h"
#include "engine/files/AppJournal.h"
#include "engine/core/FsPath.h"
#include "engine/files/JournalChange.h"
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

// The helper removes a link as a link: only the folders on the way are checked. Nothing
// outside the system library is the administrator's.
QString removeRule(const QString& item, QString* resolved)
{
    return SystemPath::inside(item) ? AdminAuth::removalRefusal(item, resolved) : AdminAuth::refusal(item, resolved);
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


// A helper step that makes a hidden item beside `item` (the item itself moved there, or, with
// `copies`, a copy): the journal names it before the helper runs, with the identity of what we
// can see (the item, and afterwards whatever the helper left), so that recovery removes it
// should the helper be stopped; the helper itself never writes into our journal. A copy the
// helper makes has no identity we could know before: it is named by the entry's id alone.
bool runJournaled(const QString& item, const char* purpose, bool copies,
                  const std::function<QStringList(const QString&, const QString&)>& command,
                  Rule rule = AdminAuth::refusal)
{
    if (!explained())
        return false;
    const auto resolved = allowed({item}, rule);
    if (!resolved)
        return false;
    const QString at = resolved->first();
    const QString folder = QFileInfo(at).path();
    JournalChange change("admin");
    const std::size_t place = change.place(AppJournal::placeOf(folder));
    const std::string hidden = change.hiddenName(place, FsPath::toBytes(QFileInfo(at).fileName()), purpose);
    const auto made = [&](SafeFS::Identity identity) {
        SafeFS::JournalItem out;
        out.place = place;
        out.path = hidden;
        out.identity = identity;
        change.items().push_back(out);
    };
    if (copies)
        made({});
    if (const SafeFS::Identity current = JournalChange::identityOf(at); current.known())
        made(current);
    if (change.write() != 0) {
        t_failure = AdminAuth::Failure::failed;
        return false;
    }
    const bool done = runCommand(command(at, FsPath::fromBytes(hidden)), nullptr);
    if (const SafeFS::Identity left = JournalChange::identityOf(folder + QLatin1Char('/') + FsPath::fromBytes(hidden)); left.known()) {
        made(left);
        change.write();
        change.keep();
    }
    return done;
}

bool isUnder(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// The helper and its arguments for `path`'s place in the system library. A process's
// arguments are handed over as UTF-8, which would lose a name's bytes that are not: such
// paths all go as hexadecimal bytes ("--hex").
QStringList helperCommand(const QString& operation, const QString& path, bool withRelative,
                          const QStringList& more = {})
{
    const auto in = SystemPath::inside(path);
    if (!in || (withRelative && in->relative.isEmpty()))
        return {};
    QStringList paths{in->root};
    if (withRelative)
        paths.append(in->relative);
    paths += more;
    const bool bytes = std::any_of(paths.begin(), paths.end(),
                                   [](const QString& p) { return FsPath::encode(p) != p.toUtf8(); });
    QStringList command{AdminRunner::helperPath()};
    if (bytes)
        command.append(QStringLiteral("--hex"));
    command.append(operation);
    for (const QString& p : paths)
        command.append(bytes ? QString::fromLatin1(FsPath::encode(p).toHex()) : p);
    return command;
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
    return helperCommand(QStringLiteral("permit"), root, false);
}

QStringList AdminAuth::removeCommand(const QString& item, const QString& hidden)
{
    return helperCommand(QStringLiteral("remove"), item, true, {hidden});
}

QStringList AdminAuth::createDirectoryCommand(const QString& folder)
{
    return helperCommand(QStringLiteral("mkdir"), folder, true);
}

QStringList AdminAuth::prepareRootCommand(const QString& root)
{
    return helperCommand(QStringLiteral("prepare-root"), root, false);
}

QStringList AdminAuth::replaceCommand(const QString& source, const QString& destination, const QString& hidden)
{
    return helperCommand(QStringLiteral("replace"), destination, true, {source, hidden});
}

AdminAuth::Failure AdminAuth::lastFailure()
{
    return t_failure;
}

// The probe is made and removed through one handle of the folder: in the system library the
// one walked to from the root, so a folder swapped for a link never gets (or keeps) it.
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
    const std::string probe = ".loomwork_write_test_"
        + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    DirHandle::Fd file;
    if (DirHandle::createFileAt(at.get(), probe, 0644, file) != 0)
        return false;
    ::unlinkat(at.get(), probe.c_str(), 0);
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

bool AdminAuth::adminRemove(const QString& item)
{
    return runJournaled(item, "removing", false,
                        [](const QString& at, const QString& hidden) { return removeCommand(at, hidden); }, removeRule);
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
bool AdminAuth::adminReplace(const QString& source, const QString& destination)
{
    return runJournaled(destination, "restoring", true, [&source](const QString& at, const QString& hidden) {
        return replaceCommand(source, at, hidden);
    });
}

void AdminAuth::resetExplanation()
{
    g_explained.store(false);
}
