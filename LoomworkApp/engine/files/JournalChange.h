#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <QString>

#include <SafeFS/Durable.h>
#include <SafeFS/Journal.h>

// One change in flight as an entry of the application's journal (AppJournal). Made before the
// change's first step, it first puts right what earlier changes left (AppJournal::recover),
// then counts as running until destroyed, so that recovery leaves its entry alone meanwhile.
// The parts of one change (the plug-ins of one install, a restore's plug-in and its linked
// templates) share one, so that whatever stops it, they end all old or all new.
//
// The change adds its places and items and write()s the entry before the steps that make or
// move the items it names: once for all of them where it can (a group of a thousand plug-ins
// writes as often as one), so that recovery learns which were taken from the identities it
// finds in their places; at its commit point it sets the state `finish`. close() (or else the
// destructor) syncs the file systems of the entry's places, then removes the entry, so that
// whoever reports the change after it reports a durable one; not when keep() was called:
// something could not be put right in-process (a step failed, memory ran out between steps)
// and is left, recorded, for the next recovery. A process killed meanwhile leaves it too.
//
// Each place's file system is synced through a handle held from when the place was added,
// before the change wrote there: only such a handle sees a write-back error that came before
// the sync. A sync that reports one marks the entry `unsynced` and keeps it: the change
// stands, its caller says that the disk reported a write error, and recovery tells the user
// once more when it drops the entry, unless he was told already.
class JournalChange
{
public:
    explicit JournalChange(std::string kind);
    ~JournalChange();
    JournalChange(const JournalChange&) = delete;
    JournalChange& operator=(const JournalChange&) = delete;

    const std::string& id() const { return m_entry.id; }
    const SafeFS::JournalEntry& entry() const { return m_entry; }
    SafeFS::JournalEntry::State state() const { return m_entry.state; }

    // The index of `place` in the entry, added when new.
    std::size_t place(const SafeFS::JournalPlace& place);
    // The entry's items: what the change adds or learns (an identity) goes in with the next
    // write().
    std::vector<SafeFS::JournalItem>& items() { return m_entry.items; }

    // A hidden name for an item of this change in `place`: SafeFS::hiddenName with the
    // entry's id, the label changed where another item of the entry already has that name.
    std::string hiddenName(std::size_t place, std::string_view label, std::string_view purpose) const;

    // Writes the entry durably. 0 or the errno (ENOMEM when memory ran out): a change must
    // not take its step without it. Never throws.
    [[nodiscard]] int write();
    // Sets the state and writes the entry; the state stays as it was when that fails.
    [[nodiscard]] int setState(SafeFS::JournalEntry::State state);
    // Why the last write() failed with `error`, for the user (AppJournal::failureText).
    QString failureText(int error) const;

    // An item of the entry, as the changes name them.
    static SafeFS::JournalItem item(SafeFS::JournalItem::Role role, std::size_t place, std::string path,
                                    std::string target, SafeFS::Identity identity);

    // Syncs the file systems of the entry's places through the handles held since each was
    // added, once the change stands: 0 or the errno of a write error, which keeps the entry,
    // marked. The caller tells the user of a failure.
    [[nodiscard]] int sync();
    // Ends a change that stands: syncs as sync() does, then removes the entry unless it is kept.
    // 0 or the errno of the first sync of the change that failed (sync() included), which the
    // caller tells the user of. Once; later calls return the same. A change that stopped ends
    // with the object.
    [[nodiscard]] int close();

    // The entry stays after the change, for recovery.
    void keep() { m_kept = true; }
    // Puts right now, as recovery would, what the entry names (after another process took
    // steps of the change: the administrator's helper). 0 when nothing is left to do: the
    // entry then goes with the change even where keep() was called.
    [[nodiscard]] int settle();
    bool kept() const { return m_kept; }

    // Tests: `hook` is called, on the thread that wrote it, each time an entry's state
    // `finish` (a change's commit point) has been written; null removes it.
    static void setCommitHookForTests(void (*hook)());
    // Tests: `hook` is given every entry written, as written, on the writing thread; an
    // empty one removes it. Returns the previous.
    using WriteHook = std::function<void(const SafeFS::JournalEntry& entry)>;
    static WriteHook setWriteHookForTests(WriteHook hook);

private:
    int syncHeld(bool told);
    int end(bool told);

    SafeFS::JournalEntry m_entry;
    bool m_written = false;
    bool m_kept = false;
    std::string m_refusedAt; // the folder the last write found at fault
    // A handle on each file system of the entry's places, from before the change wrote there.
    SafeFS::SyncBatch m_held;
    int m_syncError = 0;
    bool m_closed = false;
};
