#pragma once

#include <chrono>

#include <QString>

#include "engine/DirHandle.h"
#include "engine/FileOps.h"

// Replaces a plug-in folder atomically: the new plug-in is built in a hidden staging folder
// beside the target, then exchanged with the old one in a single step, so that the name
// always holds a whole plug-in, whenever the process dies; if it cannot be put in place,
// the old plug-in stays where it was. Used by installs, restores and the market installer.
//
//     PluginFolderSwap swap(categoryFolder);             // the folder holding the plug-in
//     QString staging;
//     if (int e = swap.makeStaging(QStringLiteral("install"), name, &staging)) fail(e);
//     ... build staging + "/" + name (extract, copy) ...
//     if (int e = swap.commit(staging + "/" + name, name)) fail(e);  // old plug-in intact
//     if (!swap.leftover().isEmpty()) adminRemove(swap.leftover());   // old one kept its rights
//
// Every hidden folder is named ".<label>.loomwork-<purpose>-<16 hex digits>", unique to one
// run (the label hashed when too long), so runs never collide and recover() tells them from
// the user's own hidden items. What a killed run leaves is put right by recover(), before
// each staging and at start-up. The destructor removes the staging folder, read-only
// subfolders included. Errors are errno values (ENOSPC for a full disk); nothing here names
// the hidden paths to the user: callers name the target.
// Every local user may write in the system library, so nothing there is replaced through a
// symbolic link: each step walks from the library's root through folder handles (FileOps),
// a link met on the way fails it with ELOOP, and refusal() says why. In the user's own
// library links are followed.
// All file changes go through FileOps::current(), so tests make any step fail or stop.
class PluginFolderSwap
{
public:
    explicit PluginFolderSwap(const QString& folder, FileOps& files = FileOps::current());
    ~PluginFolderSwap();
    PluginFolderSwap(const PluginFolderSwap&) = delete;
    PluginFolderSwap& operator=(const PluginFolderSwap&) = delete;

    // Recovers what killed runs left in `folder` (see recover()), then creates the staging
    // folder (and `folder` when it is missing) and puts its path in `staging`. `purpose` is
    // "install", "restoring" or "market" (EINVAL otherwise); `label` (may be empty) only
    // makes the hidden name readable. 0 or the errno. In the system library on Linux the
    // path leads through the staging folder's own handle (/proc/self/fd/N), so that what is
    // written into it never follows a link put in the way; it is valid while this object lives.
    int makeStaging(const QString& purpose, const QString& label, QString* staging);

    // Moves `staged` to folder/`name`, replacing whatever item is there: by one exchange, or,
    // where the file system refuses that, by moving the old item aside first. 0 on success;
    // else the errno of the failed step, with the old item back at its place.
    int commit(const QString& staged, const QString& name);

    // After a commit: the hidden path holding the old item when it could not be removed (a
    // system library without rights), for an administrator removal; else empty.
    QString leftover() const { return m_leftover; }
    // After ELOOP: why the path was refused, for the user.
    QString refusal() const { return m_refusal; }

    const QString& folder() const { return m_folder; }
    // The hidden path a staging or replaced copy of `label` gets for `purpose` in `folder`.
    static QString hiddenSibling(const QString& folder, const QString& label, const QString& purpose);

    // When this process started: what is older cannot belong to a run still going.
    static std::chrono::system_clock::time_point startedAt();
    // Puts right the hidden folders of this class in `folder` that last changed before
    // `olderThan` (left by a killed run): a replaced copy whose plug-in is missing goes back
    // under its own name (it may be the only copy); staging folders, copies a completed
    // replace left, and replaced copies whose plug-in is there, are removed. Only the exact
    // names this class makes count: newer items and anything else, however close, are left
    // alone. Failures are ignored: a library we may not write keeps its leftovers.
    static void recover(const QString& folder, std::chrono::system_clock::time_point olderThan = startedAt(),
                        FileOps& files = FileOps::current());
    // recover() for every category folder of the library at `library`.
    static void recoverLibrary(const QString& library);

private:
    int moveAside(const QString& incoming, const QString& target, const QString& name, QString* surplus);
    bool refused(const QString& path);
    int failed(int error, const QString& path);

    FileOps& m_files;
    QString m_folder;
    QString m_staging;
    DirHandle::Fd m_stagingHandle;
    QString m_leftover;
    QString m_refusal;
};
