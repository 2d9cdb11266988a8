#include "engine/AdminAuth.h"

#include <atomic>

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
    const bool agreed = AlertPresenter::current().confirm(
        QStringLiteral("需要管理员授权"),
        QStringLiteral("接下来系统会弹出密码输入框，用于读写系统FCPX插件目录（/Library/…）。\n\n"
                       "系统弹窗标题显示为「osascript」属于正常现象，输入开机密码点「好」即可；授权一次后一般不再询问。"),
        AlertPresenter::Style::informational, QStringLiteral("继续"), QStringLiteral("取消"));
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

// Checked right before each command, and the user told why when one is refused.
bool allowed(const QStringList& paths)
{
    for (const QString& path : paths) {
        const QString refusal = AdminAuth::refusal(path);
        if (refusal.isEmpty())
            continue;
        logLine(QStringLiteral("[AdminAuth] refused: ") + refusal);
        AlertPresenter::current().confirm(
            QStringLiteral("已拒绝管理员操作"),
            refusal + QStringLiteral("\n\n为安全起见，管理员操作只在系统插件库内、且不经过符号链接的位置进行。"),
            AlertPresenter::Style::critical, QStringLiteral("好"), QString());
        return false;
    }
    return true;
}

bool runChecked(const QStringList& paths, const QString& command, const LogTexts* log)
{
    return preExplain() && allowed(paths) && runCommand(command, log);
}

} // namespace

QString AdminAuth::refusal(const QString& path)
{
    const QString root = PluginRoot(PluginRoot::system).path();
    const QStringList parts = path.split(QLatin1Char('/'));
    // Compared as written: the shell resolves ".." after any link, not before.
    const bool inside = (path == root || path.startsWith(root + QLatin1Char('/')))
        && !parts.contains(QStringLiteral("..")) && !parts.contains(QStringLiteral("."));
    if (!inside)
        return QStringLiteral("路径不在系统插件库内：") + FsPath::displayText(path);
    // The library is open to everyone: any folder in it may have been swapped for a link.
    QString at = root;
    const QStringList below = path.mid(root.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (qsizetype i = -1; i < below.size(); ++i) {
        if (i >= 0)
            at += QLatin1Char('/') + below[i];
        struct stat st {};
        if (::lstat(FsPath::toNative(at).c_str(), &st) != 0)
            break; // missing from here down: the command makes it
        if (S_ISLNK(st.st_mode))
            return QStringLiteral("路径经过符号链接：") + FsPath::displayText(at);
    }
    return {};
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
    return allowed(existing) && runCommand(requestPermissionCommand(existing), &log);
}

bool AdminAuth::adminRemove(const QString& item)
{
    return runChecked({item}, removeCommand(item), nullptr);
}

bool AdminAuth::adminCreateDirectory(const QString& folder)
{
    return runChecked({folder}, createDirectoryCommand(folder), nullptr);
}

bool AdminAuth::prepareRoot(const QString& root)
{
    static const LogTexts log{"[AdminAuth] prepareRoot error: %1", "[AdminAuth] prepareRoot failed: %1"};
    return runChecked(rootAndCategories(root), prepareRootCommand(root), &log);
}

// The source is our own copy in the user's data folder; only the destination is the library's.
bool AdminAuth::adminReplace(const QString& source, const QString& destination)
{
    return runChecked({destination}, replaceCommand(source, destination, AdminRunner::current().flavor()),
                      nullptr);
}

void AdminAuth::resetExplanation()
{
    g_explained.store(false);
}
