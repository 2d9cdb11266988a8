#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Journal.h>
#include "engine/files/FileOps.h"

class JournalChange;

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
// Every step is written to the application's journal first (JournalChange): the hidden items
// ".<label>.loomwork-<purpose>-<entry id>" it makes, and the old item it moves out of the way,
// by identity. Until the commit point the entry says undo, so recovery of a killed run puts
// the old plug-in back; from then on the old copy is only surplus. The destructor removes the
// staging folder, read-only subfolders included. Errors are errno values (ENOSPC for a full
// disk); nothing here names the hidden paths to the user: callers name the target.
// Every local user may write in the system library, so nothing there is replaced through a
// symbolic link: each step walks from the library's root through folder handles (FileOps),
// a link met on the way fails it with ELOOP, and refusal() says why. In the user's own
// library links are followed.
// All file changes go through FileOps::current(), so tests make any step fail or stop.
class PluginFolderSwap
{
public:
    // `change`: the journal entry of the change this swap is part of, shared with its other
    // parts; none gives the swap one of its own (made here, so recovery runs first).
    explicit PluginFolderSwap(const QString& folder, FileOps& files = FileOps::current(),
                              std::shared_ptr<JournalChange> change = {});
    ~PluginFolderSwap();
    PluginFolderSwap(const PluginFolderSwap&) = delete;
    PluginFolderSwap& operator=(const PluginFolderSwap&) = delete;

    // Creates the staging folder (and `folder` when it is missing) and puts its path in
    // `staging`. `purpose` is "install", "restoring" or "market" (EINVAL otherwise); `label`
    // (may be empty) only makes the hidden name readable. 0 or the errno. In the system
    // library on Linux the path leads through the staging folder's own handle
    // (/proc/self/fd/N), so that what is written into it never follows a link put in the way;
    // it is valid while this object lives.
    int makeStaging(const QString& purpose, const QString& label, QString* staging);

    // Moves `staged` to folder/`name`, replacing whatever item is there: by one exchange, or,
    // where the file system refuses that, by moving the old item aside first. `staged` lies in
    // the staging folder (EINVAL before makeStaging()). 0 on success; else the errno of the
    // failed step, with the old item back at its place.
    int commit(const QString& staged, const QString& name);
    // commit() that keeps the old item, hidden, until finish() discards it or undo() puts it
    // back. A run killed meanwhile is undone by recovery unless the change passed its commit
    // point (JournalChange state `finish`).
    int commitKeepingOld(const QString& staged, const QString& name);
    // After commitKeepingOld(): the old item back at its name (where there was none, the new
    // one gone), so that the folder is as it was. 0, or the errno with the new item still in
    // place and the old one kept (or, should the new one not go back either, the old one
    // hidden and recorded for recovery to put back). Nothing to undo is 0.
    int undo();
    // After commitKeepingOld(): the replace stands, whatever becomes of the rest of the
    // change, and the old item goes (see leftover()). The destructor finishes a commit neither
    // finished nor undone.
    void finish();

    // After a commit: the hidden path holding the old item when it could not be removed (a
    // system library without rights), for an administrator removal; else empty.
    QString leftover() const { return m_leftover; }
    // Where commit() put the item; empty before.
    QString target() const { return m_target; }
    // After ELOOP: why the path was refused, for the user.
    QString refusal() const { return m_refusal; }

    const QString& folder() const { return m_folder; }

    // When this process started: a packer's temporaries that are older belong to no run of it.
    static std::chrono::system_clock::time_point startedAt();

private:
    int place(const QString& staged, const QString& name);
    int moveAside(const QString& incoming, const QString& target, const QString& replaced);
    int settle();
    void discard(const QString& path);
    bool refused(const QString& path);
    int failed(int error, const QString& path);
    QString pathOf(const std::string& hidden) const;

    FileOps& m_files;
    QString m_folder;
    std::shared_ptr<JournalChange> m_change;
    std::size_t m_place = 0;
    std::string m_stagingName;
    QString m_staging;
    DirHandle::Fd m_stagingHandle;
    QString m_leftover;
    QString m_refusal;
    QString m_target;
    // Between place() and finish() or undo(): the new item, and where the old item waits
    // (empty when there was none), moved aside rather than exchanged, or not.
    bool m_pending = false;
    std::string m_name;
    SafeFS::Identity m_new;
    SafeFS::Identity m_oldIdentity;
    QString m_old;
    QString m_incoming;
    bool m_movedAside = false;
};

// Several plug-ins replaced as one: each is staged by its own swap; commit() swaps them all
// in, or none: when one fails, those swapped before it are swapped back (old versions at
// their names, new names gone).
//
//     PluginSwapGroup group;
//     for (each plug-in) { auto swap = group.makeSwap(category);
//                          ... makeStaging, build ...; group.add(std::move(swap), staged, name); }
//     if (int e = group.commit()) fail(group.at(group.failedAt()), e, group.notRestored());
//     for (const QString& old : group.leftovers()) adminRemove(old);
class PluginSwapGroup
{
public:
    PluginSwapGroup();
    // A swap of the plug-in folder `folder` that is part of this group: its steps go to the
    // group's one journal entry.
    std::unique_ptr<PluginFolderSwap> makeSwap(const QString& folder, FileOps& files = FileOps::current()) const;
    void add(std::unique_ptr<PluginFolderSwap> swap, const QString& staged, const QString& name);
    const PluginFolderSwap& at(qsizetype index) const { return *m_items.at(std::size_t(index)).swap; }

    // 0 when every item stands at its name; the group's commit point is one write of the
    // journal entry, so a kill leaves all old or all new. Else the errno of the first that
    // failed (failedAt(); the last when the entry could not be written), with the earlier ones
    // undone.
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
    std::shared_ptr<JournalChange> m_change;
    std::vector<Item> m_items;
    qsizetype m_failedAt = -1;
    QStringList m_notRestored;
};
