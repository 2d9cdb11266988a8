#pragma once

#include <atomic>
#include <cerrno>

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>

#include "engine/files/FileOps.h"
#include "engine/model/Plugin.h"
#include "engine/backup/PluginBackup.h"

// Helpers for backup and translation tests.
namespace BackupFixtures {

// PackageMaker::readTree with modes and modification times: two equal snapshots mean the
// same tree, byte for byte.
QMap<QString, QByteArray> snapshot(const QString& folder);

// A Plugin value for a folder made with PluginFixtures.
Plugin pluginAt(const QString& path, PluginRoot root = PluginRoot::user, qint64 sizeBytes = 4096);

// A plug-in folder with nested folders, a binary file, an empty file, an empty folder, an
// executable script and a relative link inside it.
QString makeRichPlugin(PluginRoot root, ZFCPluginType type, const QString& name);

// A backup folder written by hand under the backup root, as an older run would have left
// it. `withPayload` false leaves the payload folder empty.
PluginBackup writeBackup(const QString& id, const QString& originalPath, const QString& reason,
                         const QDateTime& createdAt, bool withPayload = true);

// Names in the backup root.
QStringList backupFolderNames();

} // namespace BackupFixtures

// Real file operations, except that a chosen operation fails with a chosen errno when its
// path contains a marker. Installs itself for its lifetime.
class FaultyFileOps final : public FileOps
{
public:
    enum class Op {
        makePath,
        copyTree,
        removeTree,
        rename,
        exchange,
        writeFile,
        writeJournal // a change's journal entry (by the journal's folder)
    };

    FaultyFileOps();
    ~FaultyFileOps() override;

    // `op` fails with `errorCode` whenever its path contains `marker` (copyTree, and the copy
    // of an open folder: the destination; rename: the item moved). An exchange moves both its
    // items, so it also fails on a rename rule matching either.
    void failOn(Op op, const QString& marker, int errorCode);
    // Every operation succeeds from now on (a disk that had room made).
    void failNoMore();
    // The process kills itself (SIGKILL) as the `call`-th call (from 1) starts, as a crash would.
    void killAtCall(int call);
    // "op from [to]" for every call, in order.
    QStringList calls() const;

    int makePath(const QString& folder) override;
    int copyTree(const QString& source, const QString& destination) override;
    int copyFolder(int folder, const QString& destination) override;
    int removeTree(const QString& path) override;
    int rename(const QString& from, const QString& to) override;
    int exchange(const QString& a, const QString& b) override;
    int writeFile(const QString& path, const QByteArray& bytes) override;
    // The steps taken through folder handles: a rename or an exchange matches its rules by
    // "from\nto", a removal as removeTree, a folder made as makePath.
    int stepFault(Step step, const QString& paths) override;

private:
    int fault(Op op, const QString& path, const QString& call);

    struct Rule {
        Op op;
        QString marker;
        int errorCode;
    };
    mutable QMutex m_mutex;
    QList<Rule> m_rules;
    QStringList m_calls;
    int m_killAtCall = 0;
    FileOps* m_previous = nullptr;
};

// Counts the journal writes of the changes, passing every step.
class CountingFileOps : public FileOps
{
public:
    CountingFileOps() : m_previous(FileOps::setCurrent(this)) {}
    ~CountingFileOps() override { FileOps::setCurrent(m_previous); }
    int stepFault(Step step, const QString& paths) override
    {
        if (step == Step::writeJournal)
            ++writes;
        return FileOps::stepFault(step, paths);
    }
    std::atomic<int> writes{0};

private:
    FileOps* m_previous;
};
