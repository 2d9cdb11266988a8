#include "engine/AdminAuth.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <optional>

#include <sys/stat.h>
#include <syslog.h>

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include "LoomworkKit/ZFCPluginType.h"
#include "engine/AlertPresenter.h"
#include "engine/EngineText.h"
#include "engine/FsPath.h"
#include "engine/Plugin.h"

namespace {

std::atomic<bool> g_explained{false};

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
    const QString message = AdminRunner::current().flavor() == AdminRunner::Flavor::macOS
        ? QStringLiteral("接下来系统会弹出密码输入框，用于读写系统FCPX插件目录（/Library/…）。\n\n"
                         "系统弹窗标题显示为「osascript」属于正常现象，输入开机密码点「好」即可；授权一次后一般不再询问。")
        : QStringLiteral("接下来系统会弹出身份验证窗口，用于读写系统FCPX插件目录（/Library/…）。\n\n"
                         "在窗口中输入你当前登录账户的密码并确认即可；授权一次后一般不再询问。");
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
bool runCommand(const QString& command, const LogTexts* log)
{
    const auto outcome = AdminRunner::current().run(command, log != nullptr);
    if (!outcome.launched) {
        if (log)
            logLine(QString::fromUtf8(log->launchError).arg(outcome.launchError));
        return false;
    }
    if (outcome.exitStatus != 0) {
        if (log)
            logLine(QString::fromUtf8(log->failed).arg(outcome.standardError));
        return false;
    }
    return true;
}

// Checked right before each command, and the user told why when one is refused. Gives the
// resolved paths the command is to run on.
std::optional<QStringList> allowed(const QStringList& paths)
{
    QStringList resolved;
    for (const QString& path : paths) {
        QString at;
        const QString refusal = AdminAuth::refusal(path, &at);
        if (refusal.isEmpty()) {
            resolved.append(at);
            continue;
        }
        logLine(QStringLiteral("[AdminAuth] refused: ") + refusal);
        AlertPresenter::current().confirm(
            QStringLiteral("已拒绝管理员操作"),
            refusal + QStringLiteral("\n\n为安全起见，管理员操作只在系统插件库内、且不经过符号链接的位置进行。"),
            AlertPresenter::Style::critical, QStringLiteral("好"), QString());
        return std::nullopt;
    }
    return resolved;
}

bool runChecked(const QStringList& paths, const std::function<QString(const QStringList&)>& command,
                const LogTexts* log)
{
    if (!preExplain())
        return false;
    const auto resolved = allowed(paths);
    return resolved && runCommand(command(*resolved), log);
}

bool isUnder(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// The root with every link above it resolved; the root itself is kept as it is, so that a
// root which is a link is still seen as one. A missing part is taken as written.
QString resolvedRoot(const QString& root)
{
    QString existing = QFileInfo(root).path();
    QString missing = QLatin1Char('/') + QFileInfo(root).fileName();
    for (;;) {
        if (char* real = ::realpath(FsPath::toNative(existing).c_str(), nullptr)) {
            QString resolved = FsPath::fromBytes(real);
            ::free(real);
            if (resolved == QLatin1String("/"))
                resolved.clear();
            return resolved + missing;
        }
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            return root;
        missing.prepend(QLatin1Char('/') + QFileInfo(existing).fileName());
        existing = parent;
    }
}

} // namespace

QString AdminAuth::refusal(const QString& path, QString* resolved)
{
    const QString root = PluginRoot(PluginRoot::system).path();
    // Resolved once: a link above the library would otherwise be followed by every command.
    const QString realRoot = resolvedRoot(root);
    const QStringList parts = path.split(QLatin1Char('/'));
    // Compared as written: the shell resolves ".." after any link, not before.
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
            return QStringLiteral("路径经过符号链接：") + FsPath::displayText(shown);
    }
    if (resolved)
        *resolved = realRoot + path.mid(base.size());
    return {};
}

QString AdminAuth::writeRefusal(const QString& path, QString* resolved)
{
    const QString root = PluginRoot(PluginRoot::system).path();
    if (!isUnder(path, root) && !isUnder(path, resolvedRoot(root))) {
        if (resolved)
            *resolved = path;
        return {}; // the user's own: links are followed
    }
    const QString why = refusal(path, resolved);
    if (why.isEmpty())
        return {};
    return why + QLatin1Char('\n') + systemLinkReason();
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

QString AdminAuth::requestPermissionCommand(const QStringList& existing)
{
    QStringList commands;
    for (const QString& path : existing)
        commands.append(QStringLiteral("chmod -R 777 ") + quote(path));
    return commands.join(QStringLiteral(" && "));
}

QString AdminAuth::removeCommand(const QString& item)
{
    return QStringLiteral("rm -rf ") + quote(item);
}

QString AdminAuth::createDirectoryCommand(const QString& folder)
{
    return QStringLiteral("mkdir -p ") + quote(folder) + QStringLiteral(" && chmod -R 777 ") + quote(folder);
}

QString AdminAuth::prepareRootCommand(const QString& root)
{
    QStringList commands;
    for (const QString& path : rootAndCategories(root))
        commands.append(QStringLiteral("mkdir -p ") + quote(path));
    return commands.join(QStringLiteral(" && ")) + QStringLiteral(" && chmod -R 777 ") + quote(root);
}

QString AdminAuth::replaceCommand(const QString& source, const QString& destination,
                                  AdminRunner::Flavor flavor)
{
    const QString copy = flavor == AdminRunner::Flavor::macOS ? QStringLiteral(" && ditto ")
                                                              : QStringLiteral(" && cp -a ");
    return QStringLiteral("rm -rf ") + quote(destination) + copy + quote(source) + QLatin1Char(' ')
        + quote(destination);
}

bool AdminAuth::isWritable(const QString& folder)
{
    if (!exists(folder))
        return false;
    const QString probe = folder + QStringLiteral("/.loomwork_write_test_")
        + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    QFile file(probe);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    file.close();
    QFile::remove(probe);
    return true;
}

bool AdminAuth::requestPermission(const QString& root)
{
    if (!preExplain())
        return false;
    QStringList existing;
    for (const QString& path : rootAndCategories(root)) {
        if (exists(path))
            existing.append(path);
    }
    if (existing.isEmpty())
        return false;
    static const LogTexts log{"[AdminAuth] osascript launch error: %1", "[AdminAuth] osascript failed: %1"};
    const auto resolved = allowed(existing);
    return resolved && runCommand(requestPermissionCommand(*resolved), &log);
}

bool AdminAuth::adminRemove(const QString& item)
{
    return runChecked({item}, [](const QStringList& at) { return removeCommand(at[0]); }, nullptr);
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
    const auto command = [&source](const QStringList& at) {
        return replaceCommand(source, at[0], AdminRunner::current().flavor());
    };
    return runChecked({destination}, command, nullptr);
}

void AdminAuth::resetExplanation()
{
    g_explained.store(false);
}
