#pragma once

#include <string>

#include <QString>

#include <SafeFS/Journal.h>

// The application's journal of changes in flight (SafeFS::Journal): the folder "journal" in
// its data folder, 0700, where only this user writes. Every change writes its entry there
// through a JournalChange before its first visible step; recover() puts right what killed or
// failed changes left, at start-up and before each change, acting only on those entries.
namespace AppJournal {

// <application folder>/journal.
QString folder();
// Opens (and creates) the journal folder. 0 or the errno (EPERM when it, or a folder on the
// way to it, is not safe to keep a journal in: see SafeFS::Journal, which names the folder at
// fault in `refusedAt`).
[[nodiscard]] int open(SafeFS::Journal& journal, std::string* refusedAt = nullptr);
// Why the journal could not be written, for the user: the folder at fault (the journal's own
// when none was named) and the error. A change that cannot write its entry takes no step, and
// says this instead of naming the library, then what stands on disk (which only it knows).
QString failureText(int error, const std::string& refusedAt);

// SafeFS::recoverJournal over the journal, leaving alone the entries of changes still
// running in this process. Failures are left for the next time: an entry that cannot be
// settled stays. What the user must hear of is said in an alert of its own that does not hold
// up the caller: once, what something left that could not be put right and each damaged
// entry, and what was settled for good (a plug-in removed since), said as such; at start-up, besides, every change that waits on a place that cannot be opened, and
// a journal folder that cannot be used. What needs the administrator (root's remains of a
// helper that died) is offered to him once a run, at start-up or before the next change; a
// declined offer is made again at the next start.
enum class When { startUp, beforeChange };
void recover(When when = When::beforeChange);
// recover(When::startUp) on the start's worker, where nothing may escape: memory that runs
// out leaves what was not finished in its entry for the next start, and the user is told.
void recoverAtStartUp() noexcept;

// Where the folder `folder` is for an entry: in the system library walked from its root
// without following links, elsewhere reached as its path says (links followed).
SafeFS::JournalPlace placeOf(const QString& folder);

// The user was told that the change of the entry `id` met a write error (JournalChange): its
// recovery drops it without saying so again. Any other entry marked so is told of, once, when
// recovery drops it.
void toldUnsynced(const std::string& id);
// What recovery says of a dropped entry whose change met a write error, naming what it covers.
QString unsyncedText(const SafeFS::JournalEntry& entry);

// A change's entry counts as running (recover() leaves it) from started() to stopped().
void started(const std::string& id);
void stopped(const std::string& id);

} // namespace AppJournal
