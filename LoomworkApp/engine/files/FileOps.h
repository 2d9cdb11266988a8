#pragma once

#include <QByteArray>
#include <QString>

// The file operations behind installs, backups and restores (and PluginFolderSwap). Each
// returns 0 or the errno of the failure, so that callers can tell a refusal that
// administrator rights would cure from one they would not, and a full disk reads as ENOSPC.
// Tests install a subclass that fails chosen calls; the base class does the real work.
// Paths go through FsPath, so names that are not UTF-8 keep their bytes.
class FileOps
{
public:
    virtual ~FileOps();

    // Creates `folder` with its missing parents; an existing folder is no error.
    [[nodiscard]] virtual int makePath(const QString& folder);
    // Copies `source` to `destination`, which must not exist. Links are copied as links and
    // never followed; permission bits (no set-ID bits) and modification times come along; a
    // FIFO, socket or device becomes an empty file without being opened. In the system
    // library both sides are reached through folder handles.
    [[nodiscard]] virtual int copyTree(const QString& source, const QString& destination);
    // copyTree() of the open folder `folder`: what that handle holds, whatever stands at its
    // name by now.
    [[nodiscard]] virtual int copyFolder(int folder, const QString& destination);
    // Creates the one folder `folder` (mode 0755); EEXIST when anything is there.
    [[nodiscard]] virtual int makeFolder(const QString& folder);
    // Removes a file, a link or a whole folder; nothing there is no error. Read-only folders
    // inside are made writable first (never following a link), since their entries could
    // not be removed otherwise.
    [[nodiscard]] virtual int removeTree(const QString& path);
    [[nodiscard]] virtual int rename(const QString& from, const QString& to);
    // Swaps the items at `a` and `b` in one step, so that neither name is ever missing. A file
    // system that cannot gives EINVAL, ENOSYS or ENOTSUP (DirHandle::refusesFlags).
    [[nodiscard]] virtual int exchange(const QString& a, const QString& b);
    // rename() that never replaces an existing item; NFS and some FUSE file systems refuse it
    // with EINVAL, ENOSYS or ENOTSUP.
    [[nodiscard]] virtual int renameNoReplace(const QString& from, const QString& to);
    // Atomic: a failed write leaves any earlier file as it was.
    [[nodiscard]] virtual int writeFile(const QString& path, const QByteArray& bytes);

    // Whether anything is at `path`, a dangling link included.
    virtual bool exists(const QString& path);

    // The steps a plug-in swap takes through folder handles, each named by the paths it acts
    // on as the user would name them (an exchange by both, one per line). Each asks here
    // first: the real operations answer 0; a test's subclass answers an errno to make the step
    // fail as the file system would.
    enum class Step {
        makeFolder,
        rename,
        exchange,
        remove,
        writeJournal // a change's journal entry, named by the journal's folder
    };
    [[nodiscard]] virtual int stepFault(Step step, const QString& paths);

    // The operations in force; the real ones unless a replacement is installed.
    static FileOps& current();
    // Installs `files` (not owned; null restores the real ones). Returns the previous.
    static FileOps* setCurrent(FileOps* files);
};
