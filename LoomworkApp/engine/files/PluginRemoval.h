#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Room.h>
#include "engine/files/AdminAuth.h"

class JournalChange;

// Deletes the plug-in the user saw, in either library: the plug-in is checked to be that item
// (the identity the list's scan recorded), moved by one rename into a private room of ours
// beside it (SafeFS/Room.h), checked there again, and only then emptied, of what belongs to
// its owner, root or us; another plug-in of the list found inside (another user may move one
// in) is never removed. Another user's item found inside goes back out with the folders that
// hold it, under the plug-in's name, and is named in notes(). The room and the plug-in in it
// are written to the journal first, so that a killed delete is finished by recovery, and a
// delete that stops halfway leaves no half plug-in in the library. In the system library
// every step walks from the library's root without following a link. A plug-in we may not
// move or empty is the administrator's: forAdministrator() names it as recorded, and the room
// stays until this object goes.
// Several plug-ins deleted together share one entry (PluginRemovalGroup), so that its writes
// and syncs do not grow with their count.
class PluginRemoval
{
public:
    // `seen`: the plug-in as the list showed it; unknown takes what stands at `path` now.
    // `spared`: the other plug-ins the list shows. `change`: the entry shared with the other
    // plug-ins of one delete (PluginRemovalGroup); none gives this delete one of its own.
    explicit PluginRemoval(const QString& path, const SafeFS::Identity& seen = {},
                           std::vector<SafeFS::Identity> spared = {}, std::shared_ptr<JournalChange> change = {});
    ~PluginRemoval();
    PluginRemoval(const PluginRemoval&) = delete;
    PluginRemoval& operator=(const PluginRemoval&) = delete;

    // Acts in `folder` (an open handle of the plug-in's folder, the one the confirmation read;
    // duplicated here; -1 with the errno `openError` when it could not be opened) instead of
    // opening the folder again, and tells the administrator that the plug-in's owner is `told`
    // (the one the user was told; none: this user).
    void actIn(int folder, std::optional<uid_t> told, int openError = 0);

    // 0 when the plug-in is gone; ENOTEMPTY when what is left of it went back out holding
    // another user's items or another listed plug-in, ESTALE when the item at the name is not
    // the plug-in seen (untouched), all named in notes(); ENOENT when nothing is there; ELOOP
    // for a link on the way in the system library (refusal() says why); else the errno, with
    // forAdministrator() set where rights were missing, and remainsAt() where what is left
    // of the plug-in waits in the room for recovery.
    [[nodiscard]] int run();
    // run()'s steps, for a removal whose entry is written by its group: look() checks the item
    // and names its room in the entry; once that is written, makeRoom() makes the room and
    // names the plug-in in it; once that is written (state finish), moveOut() moves it there
    // and empties it. Each answers as run() does. A write of the entry that failed before a
    // step is told through journalRefused().
    [[nodiscard]] int look();
    [[nodiscard]] int makeRoom();
    [[nodiscard]] int moveOut();
    void journalRefused(int error);
    // Whether makeRoom() made the room.
    bool roomMade() const { return m_roomItem != kNoItem && m_room.valid(); }
    // The room goes while it is empty; else the entry stays for recovery. Also at destruction.
    void dropRoom() noexcept;
    // After run() answered 0: 0, or the errno of a write error the disk reported when the
    // delete was synced (a group's: PluginRemovalGroup::close()). The plug-in is gone, but that may not have reached the disk; the
    // journal entry is kept, marked, for recovery to look at again.
    int writeError() const { return m_writeError; }

    // Whether the plug-in seen is still in the library, under its name or any other another
    // user gave it, looked for by its identity now: what decides whether it was deleted.
    bool standsInLibrary() const;
    // Whether the plug-in seen still stands at its name, looked at now.
    bool standsAtName() const;
    // Whether run() took the plug-in out of its library: it went into the room and is no
    // longer in the library. Decides the report when run() or what follows it ran out of
    // memory; with too little memory to look under every name, its own name is looked at.
    bool leftLibrary() const;
    // Where what is left of the plug-in waits, out of the library, for recovery (or the
    // administrator); empty when nothing does.
    QString remainsAt() const;
    // Whether anything of the plug-in waits in the room (and so in the journal, which keeps
    // an entry whose room is not empty). Needs no memory.
    bool leftInRoom() const noexcept;
    // After the administrator's removal: settles the journal entry now when nothing it names is
    // left, instead of at the next start.
    void settle();

    // The owner of the item `seen` (the list's identity of the plug-in at `path`), read through
    // its folder walked from the library's root; none when that folder does not hold it there.
    static std::optional<uid_t> ownerOf(const QString& path, const SafeFS::Identity& seen);

    const std::optional<AdminAuth::Item>& forAdministrator() const { return m_forAdmin; }
    const QStringList& notes() const { return m_notes; }
    QString refusal() const { return m_refusal; }

private:
    int openFolder();
    void holdItem(const std::string& name, const SafeFS::Identity& item);
    void noteRemoval(const SafeFS::Removal& removal);

    static constexpr std::size_t kNoItem = std::size_t(-1);

    QString m_path;
    QString m_folder;
    QString m_name;
    SafeFS::Identity m_seen;
    std::vector<SafeFS::Identity> m_spared;
    SafeFS::Identity m_item;
    DirHandle::Fd m_parent;
    DirHandle::Fd m_held;
    SafeFS::Room m_room;
    std::shared_ptr<JournalChange> m_change;
    bool m_shared = false; // the change is the group's: it ends it
    std::size_t m_place = 0;
    std::string m_roomName;
    std::size_t m_roomItem = kNoItem; // the room's item in the entry
    bool m_moved = false; // the move into the room was tried
    std::string m_nameBytes; // the plug-in's name, in the room too
    int m_writeError = 0;
    std::optional<AdminAuth::Item> m_forAdmin;
    std::optional<uid_t> m_told;
    bool m_given = false; // the folder was given by actIn()
    int m_givenError = 0;
    QStringList m_notes;
    QString m_refusal;
};

// The plug-ins of one delete as one journal change: one write names every room before any is
// made, one more records the rooms made and every plug-in in them before the first move, and
// the entry goes once all are emptied, with one sync of each file system: a constant number
// of writes and syncs, whatever the count. Each plug-in's outcome stays its own: one that
// fails leaves the others deleted, and a kill leaves each either whole at its name or in its
// room, which recovery empties.
//
//     PluginRemovalGroup group;
//     for (each plug-in) group.add(path, seen, spared).actIn(...);
//     const std::vector<int> ready = group.prepare();
//     for (each with ready[i] == 0) group.at(i).moveOut();  ... the administrator's ...
//     const int writeError = group.close();
class PluginRemovalGroup
{
public:
    PluginRemovalGroup();
    ~PluginRemovalGroup();
    PluginRemovalGroup(const PluginRemovalGroup&) = delete;
    PluginRemovalGroup& operator=(const PluginRemovalGroup&) = delete;

    PluginRemoval& add(const QString& path, const SafeFS::Identity& seen, std::vector<SafeFS::Identity> spared);
    std::size_t size() const { return m_removals.size(); }
    PluginRemoval& at(std::size_t index) { return *m_removals.at(index); }

    // Takes every removal added to the point of its move. For each: 0 when it is ready for
    // moveOut(); else the errno of the step that stopped it (nothing of it was moved).
    // Never throws: memory that runs out stops the plug-ins not yet ready, with ENOMEM.
    std::vector<int> prepare();
    // After the administrator's steps: settles the entry now when nothing it names is left.
    void settle();
    // After the moves: the empty rooms go, the change is synced once per file system and its
    // entry removed unless something is left for recovery. 0, or the errno of a write error
    // the disk reported, which concerns every plug-in deleted. Once.
    [[nodiscard]] int close();

private:
    std::shared_ptr<JournalChange> m_change;
    // After the change, so that they go first: their rooms before its entry.
    std::vector<std::unique_ptr<PluginRemoval>> m_removals;
};
