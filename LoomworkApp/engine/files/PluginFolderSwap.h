#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Durable.h>
#include <SafeFS/Journal.h>
#include <SafeFS/Room.h>
#include "engine/files/AdminAuth.h"
#include "engine/files/FileOps.h"

class JournalChange;

// Replaces a plug-in folder atomically: the new plug-in is built in a private room beside the
// target (a 0700 folder of ours, SafeFS/Room.h), then exchanged with the old one in a single
// step, so that the name always holds a whole plug-in, whenever the process dies; if it cannot
// be put in place, the old plug-in stays where it was. Used by installs, restores and the
// market installer.
//
//     PluginFolderSwap swap(categoryFolder);             // the folder holding the plug-in
//     QString staging;
//     if (int e = swap.makeStaging(QStringLiteral("install"), name, &staging)) fail(e);
//     ... build staging + "/" + name (extract, copy) ...
//     if (int e = swap.commit(staging + "/" + name, name)) fail(e);  // old plug-in intact
//     if (swap.leftover()) AdminAuth::adminRemove(*swap.leftover()); // old one kept its rights
//
// Several plug-ins replaced as one go through PluginSwapGroup, which commits each keeping
// the old item (commitKeepingOld()) and, when a later one fails, undoes the earlier ones.
//
// Every local user may rename or exchange any name in the system library, so nothing there is
// removed by its name: the old item is exchanged straight into the room, where nobody else
// can reach it, checked to be the item that stood at the name, and emptied there (of what
// belongs to its owner, root or us; another user's item found inside goes back out with what
// holds it, and is named in left()). Only an old folder we may not give another parent (a
// plug-in of another user's, or root's) is exchanged beside the target instead, and left, with
// its identity, to the administrator (leftover()). The application's journal (JournalChange)
// names the room before it is made and by identity before anything is built in it, and names
// the staged item and the old one, by identity, with every place the old one may be moved to,
// before the exchange: recovery finds by those identities what was exchanged. Until the
// commit point the entry says undo, so recovery of a killed run puts the old plug-in back;
// from then on the old copy is only surplus. The entry records a replace as done only after
// the folder's file system has been synced past the exchange. The destructor empties and removes
// the room. Errors are errno values (ENOSPC for a full disk); nothing here names the hidden
// paths to the user: callers name the target, or show refusal().
// In the system library each step walks from the library's root through folder handles, a
// link met on the way fails it with ELOOP, and refusal() says why. In the user's own library
// links are followed. Every step asks FileOps::stepFault() first, so tests make any fail.
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

    // Creates the room (and `folder` when it is missing) and puts the path to build in into
    // `staging`. `purpose` is "install", "restoring" or "market" (EINVAL otherwise); `label`
    // (may be empty) only makes the hidden name readable. 0 or the errno. In the system
    // library on Linux the path leads through the room's own handle (/proc/self/fd/N), so that
    // what is written into it never follows a link put in the way; it is valid while this
    // object lives.
    [[nodiscard]] int makeStaging(const QString& purpose, const QString& label, QString* staging);
    // Removes whatever was built in the room so far, to build again (after the disk ran
    // short of space). 0 or the errno; EINVAL before makeStaging().
    [[nodiscard]] int clearStaging();
    // The file system the room is on; 0 before makeStaging().
    std::uint64_t stagingDevice() const { return m_room.valid() ? m_room.identity().device : 0; }
    // The path to build in; empty before the room is made.
    const QString& staging() const { return m_staging; }

    // What the user saw at the target when he chose to replace it: that item (its identity), or
    // nothing there (an unknown identity). Only that is ever replaced; none means whatever
    // stands at the name when the step comes (zfcptool-like callers that looked just before).
    using Seen = std::optional<SafeFS::Identity>;

    // Moves `staged` to folder/`name` in place of the item `seen` there. `staged` lies in the
    // room (EINVAL before makeStaging()). 0 on success; else the errno of the failed step, with
    // the old item back at its place: ESTALE when the item at the name is not the one seen
    // (untouched), EEXIST when something stands where nothing did; refusal() says which.
    [[nodiscard]] int commit(const QString& staged, const QString& name, const Seen& seen = std::nullopt);
    // commit() that keeps the old item until finish() discards it or undo() puts it back. A
    // run killed meanwhile is undone by recovery unless the change passed its commit point
    // (JournalChange state `finish`).
    [[nodiscard]] int commitKeepingOld(const QString& staged, const QString& name, const Seen& seen = std::nullopt);
    // After commitKeepingOld(): the old item back at its name (where there was none, the new
    // one gone), so that the folder is as it was. 0, or the errno with the new item still in
    // place and the old one kept, recorded: finish() makes the new one stand, else recovery
    // puts the old one back. Nothing to undo is 0.
    [[nodiscard]] int undo();
    // After commitKeepingOld(): the replace stands, whatever becomes of the rest of the
    // change, and the old item goes (see leftover()). 0, or the errno of the journal write
    // that makes it stand (the change is then still pending: undo() it). The destructor
    // finishes a commit neither finished nor undone.
    [[nodiscard]] int finish();

    // Adds the staged copy to `batch` (SafeFS/Durable.h), which the caller syncs before any
    // swap of the batch commits; a commit without it syncs the copy itself first.
    [[nodiscard]] int addStagedTo(SafeFS::SyncBatch& batch);
    // After commitKeepingOld(): the change's file systems synced past the exchange (through
    // the handles its journal change held from before the writes), before anything (another
    // part of the change) records the replace as done; finish() does it itself where needed.
    // 0 or the errno; a failed sync leaves the replace standing and the entry kept, marked,
    // and JournalChange::close() gives the error, for the caller to tell.
    int syncPlaced();

    // After a commit: the old item when we could not remove it (a system library without
    // rights), for AdminAuth::adminRemove(); else none.
    const std::optional<AdminAuth::Item>& leftover() const { return m_leftover; }
    // What the user should hear of the old plug-in: other users' items found in it and left,
    // or an old item another user moved, left untouched; each with where it is.
    const QStringList& notes() const { return m_notes; }
    // Where commit() put the item; empty before.
    QString target() const { return m_target; }
    // The new item put there by the last commit; unknown before.
    const SafeFS::Identity& placed() const { return m_new; }
    // Why a step was refused, for the user: a link met (ELOOP), or the journal that could not
    // be written. Empty when the errno says it.
    QString refusal() const { return m_refusal; }
    // Whether the refusal is the journal's: the step it was to record was not taken.
    bool journalRefused() const { return m_journalRefused; }

    const QString& folder() const { return m_folder; }

    // When this process started: a packer's temporaries that are older belong to no run of it.
    static std::chrono::system_clock::time_point startedAt();

private:
    friend class PluginSwapGroup;

    // Where the old item waits between place() and finish() or undo().
    enum class Old {
        none,    // there was no old item
        inRoom,  // exchanged (or moved aside) into the room
        beside   // exchanged (or moved aside) to a hidden name in the folder
    };

    int guarded(const std::function<int()>& steps);
    int makeRoom(const QString& purpose, const QString& label, QString* staging);
    // makeRoom() in two halves, so that a group names all its rooms in one write and records
    // them all made in one more: the room added to the entry, then made.
    int nameRoom(const QString& purpose, const QString& label);
    int buildRoom();
    int undoSteps();
    int place(const QString& staged, const QString& name, const Seen& seen);
    // place() in two halves, so that a group writes its entry once for all its exchanges: the
    // staged and the old item added to the entry (nothing written, nothing moved), then moved.
    // `lookNow`: whether the item seen is looked for at once (else only at the exchange).
    int prepare(const QString& staged, const QString& name, const Seen& seen, bool lookNow = true);
    int exchangePrepared();
    void unprepare();
    // The entry stops naming the old item `old` of target `name` (it never left its place).
    void forgetOld(const std::string& name, const SafeFS::Identity& old);
    int placeNew(const std::string& inside, const std::string& name, const QString& target, bool seenEmpty);
    int checkDisplaced(const std::string& name, const SafeFS::Identity& expected);
    int placeBeside(const std::string& inside, const std::string& name, const SafeFS::Identity& fresh,
                    const SafeFS::Identity& old);
    int openFolder();
    int settle();
    void discard();
    // Takes the new item back from the folder's `name` into the room and removes it there,
    // only while it is the item put there.
    int takeBack(const std::string& name);
    void clearRoom();
    int writeJournal();
    int step(FileOps::Step step, const QString& paths);
    DirHandle::Mover mover();
    bool refused(const QString& path);
    int failed(int error, const QString& path);
    QString pathOf(const std::string& name) const;
    QString roomPathOf(const std::string& inside) const;
    std::string freshName(const std::string& stem);
    SafeFS::Identity identityIn(int folder, const std::string& name) const;

    FileOps& m_files;
    QString m_folder;
    std::shared_ptr<JournalChange> m_change;
    std::size_t m_place = 0;
    DirHandle::Fd m_parent;
    SafeFS::Room m_room;
    QString m_staging;
    std::optional<AdminAuth::Item> m_leftover;
    QStringList m_notes;
    QString m_refusal;
    QString m_target;
    bool m_journalRefused = false;
    bool m_stagedSynced = false;
    std::string m_roomName; // named in the entry, not made yet
    // Between prepare() and exchangePrepared().
    bool m_prepared = false;
    bool m_seenEmpty = false;
    QString m_preparedTarget;
    // Whether the folder's file system was synced since the last exchange.
    bool m_placedSynced = false;
    unsigned m_names = 0;
    // Between place() and finish() or undo(): the new item, and the old one.
    bool m_pending = false;
    std::string m_name;
    SafeFS::Identity m_new;
    SafeFS::Identity m_oldIdentity;
    Old m_old = Old::none;
    std::string m_from;  // where the new item came from: in the room, or beside the target
    std::string m_aside; // where the old item went when the exchange was refused
    bool m_exchanged = false;
};

// Several plug-ins replaced as one: each is staged by its own swap; commit() swaps them all
// in, or none: when one fails, those swapped before it are swapped back (old versions at
// their names, new names gone). The group's one journal entry is written a fixed number of
// times, however many plug-ins it has: once naming every room (makeStagings()), once with
// the rooms made, once before the first exchange naming every staged and old item, once at
// the commit point; then removed.
//
//     PluginSwapGroup group;
//     for (each plug-in) swaps.push_back(group.makeSwap(category));
//     if (int e = group.makeStagings(raw pointers, "install", labels, &at)) fail(*swaps[at], e);
//     for (each plug-in) { ... build in swap->staging() ...; group.add(std::move(swap), staged, name); }
//     if (int e = group.commit()) fail(group.failedAt() < 0 ? group.refusal() : group.at(group.failedAt()), e);
//     for (const AdminAuth::Item& old : group.leftovers()) AdminAuth::adminRemove(old);
class PluginSwapGroup
{
public:
    PluginSwapGroup();
    // A swap of the plug-in folder `folder` that is part of this group: its steps go to the
    // group's one journal entry.
    std::unique_ptr<PluginFolderSwap> makeSwap(const QString& folder, FileOps& files = FileOps::current()) const;
    // makeStaging() for each of `swaps` (of this group, without rooms yet) with `purpose` and
    // the label of the same index in `labels`, in two journal writes for all. 0, or the errno
    // of the swap that failed (its index in `failed`, its refusal() saying why; the rooms made
    // go with their swaps).
    [[nodiscard]] int makeStagings(const std::vector<PluginFolderSwap*>& swaps, const QString& purpose,
                                   const QStringList& labels, qsizetype* failed);
    // `seen`: what the user saw at the target (PluginFolderSwap::Seen). A later item of the
    // group for the same target replaces the earlier one's new copy instead.
    void add(std::unique_ptr<PluginFolderSwap> swap, const QString& staged, const QString& name,
             const PluginFolderSwap::Seen& seen = std::nullopt);
    const PluginFolderSwap& at(qsizetype index) const { return *m_items.at(std::size_t(index)).swap; }

    // 0 when every item stands at its name; the group's commit point is one write of the
    // journal entry, so a kill leaves all old or all new. Else the errno of the first that
    // failed (failedAt()), with the earlier ones undone; or of a step of the group as a whole
    // (the staged copies' sync, a journal write; ENOMEM when memory ran out), failedAt() -1
    // and refusal() saying why. Never throws.
    [[nodiscard]] int commit();
    // The index of the item whose commit failed; -1 when none did, or the group as a whole.
    qsizetype failedAt() const { return m_failedAt; }
    // Why the group as a whole failed, for the user; empty when the errno says it.
    const QString& refusal() const { return m_refusal; }
    // After a failed commit: the items that could not be swapped back and stay new, in order.
    const QStringList& notRestored() const { return m_notRestored; }
    // Old items the swaps could not remove, for the administrator.
    std::vector<AdminAuth::Item> leftovers() const;
    // The swaps' notes(), in order.
    QStringList notes() const;
    // The targets that stand new after a commit, each once (two items of one name are one).
    QStringList targets() const;
    // The group's journal entry: its close() tells whether the disk took the change.
    std::shared_ptr<JournalChange> journal() const { return m_change; }

private:
    struct Item {
        std::unique_ptr<PluginFolderSwap> swap;
        QString staged;
        QString name;
        PluginFolderSwap::Seen seen;
    };
    int commitAll();
    void undoBefore(std::size_t end);
    int syncPlaced();
    std::shared_ptr<JournalChange> m_change;
    std::vector<Item> m_items;
    qsizetype m_failedAt = -1;
    QString m_refusal;
    QStringList m_notRestored;
};
