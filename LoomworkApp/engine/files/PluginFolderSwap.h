#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include <QString>
#include <QStringList>

#include <SafeFS/DirHandle.h>
#include "engine/files/FileOps.h"

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
// Several plug-ins replaced as one go through PluginSwapGroup, which commits each keeping
// the old item (commitKeepingOld()) and, when a later one fails, undoes the earlier ones.
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
    // commit() that keeps the old item, hidden under one of our exact names, until finish()
    // discards it or undo() puts it back. A run killed meanwhile leaves the new item in
    // place (recover() then drops the old copy; where the name went missing it puts the old
    // one back).
    int commitKeepingOld(const QString& staged, const QString& name);
    // After commitKeepingOld(): the old item back at its name (where there was none, the new
    // one gone), so that the folder is as it was. 0, or the errno with the new item still in
    // place and the old one kept (or, should the new one not go back either, the old one
    // hidden for recover() to put back). Nothing to undo is 0.
    int undo();
    // After commitKeepingOld(): the replace stands and the old item goes (see leftover()).
    // The destructor finishes a commit neither finished nor undone.
    void finish();

    // After a commit: the hidden path holding the old item when it could not be removed (a
    // system library without rights), for an administrator removal; else empty.
    QString leftover() const { return m_leftover; }
    // Where commit() put the item; empty before.
    QString target() const { return m_target; }
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
    // names this class makes count: newer items, another user's in the system library, and
    // anything else, however close, are left alone. Failures are ignored: a library we may
    // not write keeps its leftovers.
    static void recover(const QString& folder, std::chrono::system_clock::time_point olderThan = startedAt(),
                        FileOps& files = FileOps::current());
    // recover() for every category folder of the library at `library`.
    static void recoverLibrary(const QString& library);

private:
    int place(const QString& staged, const QString& name);
    int moveAside(const QString& incoming, const QString& target, const QString& name);
    void discard(const QString& path);
    bool refused(const QString& path);
    int failed(int error, const QString& path);

    FileOps& m_files;
    QString m_folder;
    QString m_staging;
    DirHandle::Fd m_stagingHandle;
    QString m_leftover;
    QString m_refusal;
    QString m_target;
    // Between place() and finish() or undo(): where the old item waits (empty when there
    // was none), and, when it was moved aside rather than exchanged, the name it gets once
    // surplus and the folder keeping its full name.
    bool m_pending = false;
    QString m_old;
    QString m_discard;
    QString m_nameKeeper;
};

// Several plug-ins replaced as one: each is staged by its own swap; commit() swaps them all
// in, or none: when one fails, those swapped before it are swapped back (old versions at
// their names, new names gone).
//
//     PluginSwapGroup group;
//     for (each plug-in) { auto swap = std::make_unique<PluginFolderSwap>(category);
//                          ... makeStaging, build ...; group.add(std::move(swap), staged, name); }
//     if (int e = group.commit()) fail(group.at(group.failedAt()), e, group.notRestored());
//     for (const QString& old : group.leftovers()) adminRemove(old);
class PluginSwapGroup
{
public:
    void add(std::unique_ptr<PluginFolderSwap> swap, const QString& staged, const QString& name);
    const PluginFolderSwap& at(qsizetype index) const { return *m_items.at(std::size_t(index)).swap; }

    // 0 when every item stands at its name. Else the errno of the first that failed
    // (failedAt()), with the earlier ones undone.
    int commit();
    // The index of the item whose commit failed; -1 when none did.
    qsizetype failedAt() const { return m_failedAt; }
    // After a failed commit: the items that could not be swapped back and stay new, in order.
    const QStringList& notRestored() const { return m_notRestored; }
    // Hidden copies (old or undone items) the swaps could not remove, for an administrator.
    QStringList leftovers() const;

private:
    struct Item {
        std::unique_ptr<PluginFolderSwap> swap;
        QString staged;
        QString name;
    };
    std::vector<Item> m_items;
    qsizetype m_failedAt = -1;
    QStringList m_notRestored;
};
