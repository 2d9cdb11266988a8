#pragma once

#include <memory>
#include <optional>
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
class PluginRemoval
{
public:
    // `seen`: the plug-in as the list showed it; unknown takes what stands at `path` now.
    // `spared`: the other plug-ins the list shows.
    explicit PluginRemoval(const QString& path, const SafeFS::Identity& seen = {},
                           std::vector<SafeFS::Identity> spared = {});
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
    // After run() answered 0: 0, or the errno of a write error the disk reported when the
    // delete was synced. The plug-in is gone, but that may not have reached the disk; the
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

    QString m_path;
    QString m_folder;
    QString m_name;
    SafeFS::Identity m_seen;
    std::vector<SafeFS::Identity> m_spared;
    SafeFS::Identity m_item;
    DirHandle::Fd m_parent;
    DirHandle::Fd m_held;
    SafeFS::Room m_room;
    std::unique_ptr<JournalChange> m_change;
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
