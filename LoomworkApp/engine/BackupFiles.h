#pragma once

#include <QByteArray>
#include <QString>

// The file operations behind backups and restores. Each returns 0 or the errno of the
// failure, so that callers can tell a refusal that administrator rights would cure from one
// they would not. Tests install a subclass that fails chosen calls; the base class does the
// real work.
class BackupFiles
{
public:
    virtual ~BackupFiles();

    // Creates `folder` with its missing parents; an existing folder is no error.
    virtual int makePath(const QString& folder);
    // Copies `source` to `destination`, which must not exist. Links are copied as links and
    // never followed; modes and modification times come along; a FIFO, socket or device
    // becomes an empty file without being opened.
    virtual int copyTree(const QString& source, const QString& destination);
    // Removes a file, a link or a whole folder; nothing there is no error.
    virtual int removeTree(const QString& path);
    virtual int rename(const QString& from, const QString& to);
    // Atomic: a failed write leaves any earlier file as it was.
    virtual int writeFile(const QString& path, const QByteArray& bytes);

    // The operations in force; the real ones unless a replacement is installed.
    static BackupFiles& current();
    // Installs `files` (not owned; null restores the real ones). Returns the previous.
    static BackupFiles* setCurrent(BackupFiles* files);
};
