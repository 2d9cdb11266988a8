#include "support/app/BackupFixtures.h"

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "engine/core/FsPath.h"
#include "engine/backup/PluginBackupStore.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"

QMap<QString, QByteArray> BackupFixtures::snapshot(const QString& folder)
{
    return PackageMaker::readTree(folder, true);
}

Plugin BackupFixtures::pluginAt(const QString& path, PluginRoot root, qint64 sizeBytes)
{
    Plugin plugin;
    plugin.name = QFileInfo(path).fileName();
    plugin.root = root;
    plugin.path = path;
    plugin.sizeBytes = sizeBytes;
    return plugin;
}

QString BackupFixtures::makeRichPlugin(PluginRoot root, ZFCPluginType type, const QString& name)
{
    const QString folder = PluginFixtures::makeTemplatePlugin(root, type, name);
    QByteArray binary;
    for (int i = 0; i < 70000; ++i)
        binary.append(char((i * 131) & 0xFF));
    PluginFixtures::writeBytes(folder + QStringLiteral("/Media/Deep/er/clip.mov"), binary);
    PluginFixtures::writeBytes(folder + QStringLiteral("/Media/empty.txt"), {});
    PluginFixtures::writeBytes(folder + QStringLiteral("/tool.sh"), "#!/bin/sh\necho hi\n");
    QFile::setPermissions(folder + QStringLiteral("/tool.sh"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                              | QFile::ExeGroup);
    QDir().mkpath(folder + QStringLiteral("/Empty Folder"));
    PluginFixtures::makeSymlink(QStringLiteral("Media/thumbnail.png"), folder + QStringLiteral("/Preview.png"));
    // Old times, so that a copy that does not keep them shows.
    PluginFixtures::setModified(folder + QStringLiteral("/Media/Deep/er/clip.mov"), 1500000000);
    PluginFixtures::setModified(folder + QStringLiteral("/Media/Deep"), 1500000000);
    return folder;
}

PluginBackup BackupFixtures::writeBackup(const QString& id, const QString& originalPath, const QString& reason,
                                         const QDateTime& createdAt, bool withPayload)
{
    PluginBackupStore::Meta meta;
    meta.pluginName = QFileInfo(originalPath).fileName();
    meta.originalPath = originalPath;
    meta.createdAt = createdAt;
    meta.reason = reason;
    meta.byteCount = 1234;
    const QString directory = PluginBackupStore::root() + QLatin1Char('/') + id;
    QDir().mkpath(directory + QStringLiteral("/payload"));
    PluginFixtures::writeBytes(directory + QStringLiteral("/meta.json"), meta.toJson());
    if (withPayload)
        PluginFixtures::writeBytes(directory + QStringLiteral("/payload/") + meta.pluginName
                                       + QStringLiteral("/content.txt"),
                                   id.toUtf8());
    return PluginBackup{id, directory, meta.pluginName, originalPath, createdAt, reason, meta.byteCount};
}

QStringList BackupFixtures::backupFolderNames()
{
    return QDir(PluginBackupStore::root())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

FaultyFileOps::FaultyFileOps()
{
    m_previous = FileOps::setCurrent(this);
}

FaultyFileOps::~FaultyFileOps()
{
    FileOps::setCurrent(m_previous);
}

void FaultyFileOps::failNoMore()
{
    const QMutexLocker lock(&m_mutex);
    m_rules.clear();
}

void FaultyFileOps::failOn(Op op, const QString& marker, int errorCode)
{
    QMutexLocker lock(&m_mutex);
    m_rules.append({op, marker, errorCode});
}

void FaultyFileOps::killAtCall(int call)
{
    QMutexLocker lock(&m_mutex);
    m_killAtCall = call;
}

QStringList FaultyFileOps::calls() const
{
    QMutexLocker lock(&m_mutex);
    return m_calls;
}

namespace {

// A path through a folder's handle (/proc/self/fd/N/...) as the folder's own path, so that
// markers and recorded calls read the same either way.
QString realPath(QString path)
{
    static const QString prefix = QStringLiteral("/proc/self/fd/");
    if (!path.startsWith(prefix))
        return path;
    const qsizetype end = path.indexOf(QLatin1Char('/'), prefix.size());
    const QString handle = end < 0 ? path : path.left(end);
    char target[4096];
    const ssize_t length = ::readlink(QFile::encodeName(handle).constData(), target, sizeof target);
    if (length <= 0)
        return path;
    return FsPath::fromBytes(std::string(target, std::size_t(length))) + path.mid(handle.size());
}

} // namespace

int FaultyFileOps::fault(Op op, const QString& given, const QString& givenCall)
{
    QStringList words = givenCall.split(QLatin1Char(' '));
    for (QString& word : words)
        word = realPath(word);
    const QString call = words.join(QLatin1Char(' '));
    QStringList lines = given.split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = realPath(line);
    const QString path = lines.join(QLatin1Char('\n'));
    QMutexLocker lock(&m_mutex);
    m_calls.append(call);
    if (m_calls.size() == m_killAtCall)
        ::kill(::getpid(), SIGKILL);
    for (const Rule& rule : m_rules) {
        const bool moves = rule.op == op || (op == Op::exchange && rule.op == Op::rename);
        if (moves && path.contains(rule.marker))
            return rule.errorCode;
    }
    return 0;
}

int FaultyFileOps::makePath(const QString& folder)
{
    if (const int error = fault(Op::makePath, folder, QStringLiteral("makePath ") + folder))
        return error;
    return FileOps::makePath(folder);
}

int FaultyFileOps::copyTree(const QString& source, const QString& destination)
{
    if (const int error = fault(Op::copyTree, destination,
                                QStringLiteral("copyTree ") + source + QLatin1Char(' ') + destination))
        return error;
    return FileOps::copyTree(source, destination);
}

int FaultyFileOps::copyFolder(int folder, const QString& destination)
{
    if (const int error = fault(Op::copyTree, destination, QStringLiteral("copyTree fd ") + destination))
        return error;
    return FileOps::copyFolder(folder, destination);
}

int FaultyFileOps::removeTree(const QString& path)
{
    if (const int error = fault(Op::removeTree, path, QStringLiteral("removeTree ") + path))
        return error;
    return FileOps::removeTree(path);
}

int FaultyFileOps::rename(const QString& from, const QString& to)
{
    if (const int error = fault(Op::rename, from, QStringLiteral("rename ") + from + QLatin1Char(' ') + to))
        return error;
    return FileOps::rename(from, to);
}

int FaultyFileOps::exchange(const QString& a, const QString& b)
{
    if (const int error = fault(Op::exchange, a + QLatin1Char('\n') + b,
                                QStringLiteral("exchange ") + a + QLatin1Char(' ') + b))
        return error;
    return FileOps::exchange(a, b);
}

int FaultyFileOps::writeFile(const QString& path, const QByteArray& bytes)
{
    if (const int error = fault(Op::writeFile, path, QStringLiteral("writeFile ") + path))
        return error;
    return FileOps::writeFile(path, bytes);
}

int FaultyFileOps::stepFault(Step step, const QString& paths)
{
    static const char* const words[] = {"makeFolder", "rename", "exchange", "remove", "writeJournal"};
    const Op ops[] = {Op::makePath, Op::rename, Op::exchange, Op::removeTree, Op::writeJournal};
    QString call = QString::fromLatin1(words[int(step)]);
    for (const QString& path : paths.split(QLatin1Char('\n')))
        call += QLatin1Char(' ') + path;
    // A rule matches "from\nto" (an exchange's, either way round): a marker may name the move.
    return fault(ops[int(step)], paths, call);
}
