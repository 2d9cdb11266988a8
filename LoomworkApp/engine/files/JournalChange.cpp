#include "engine/files/JournalChange.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <new>
#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <utility>


#include <SafeFS/Durable.h>
#include <SafeFS/HiddenName.h>
#include "engine/files/AppJournal.h"
#include "engine/files/FileOps.h"
#include "engine/core/FsPath.h"

namespace {

std::atomic<void (*)()> g_commitHook{nullptr};
std::mutex g_writeHookMutex;
JournalChange::WriteHook g_writeHook;

} // namespace

JournalChange::JournalChange(std::string kind)
{
    AppJournal::recover();
    m_entry.id = SafeFS::newJournalId();
    m_entry.kind = std::move(kind);
    AppJournal::started(m_entry.id);
}

JournalChange::~JournalChange()
{
    (void)end(false);
    AppJournal::stopped(m_entry.id);
}

int JournalChange::syncHeld(bool told)
{
    const int error = SafeFS::syncPlaces(m_entry, m_held);
    if (error && !m_syncError) {
        m_syncError = error;
        m_kept = true;
        // A change that stands is marked, so that the next recovery tells of it as it drops the
        // entry (its caller tells of it now); one that stopped is recovery's to undo again.
        if (told || m_entry.state == SafeFS::JournalEntry::State::finish) {
            m_entry.unsynced = true;
            (void)write();
        }
    }
    if (error && told)
        AppJournal::toldUnsynced(m_entry.id);
    return error;
}

int JournalChange::sync()
{
    try {
        return m_written ? syncHeld(true) : 0;
    } catch (const std::bad_alloc&) {
        m_kept = true;
        return ENOMEM;
    }
}

int JournalChange::close()
{
    return end(true);
}

int JournalChange::end(bool told)
{
    if (m_closed)
        return m_syncError;
    m_closed = true;
    try {
        // The entry goes only once what it covers is on the library's disks, which may not be
        // the journal's: else a power cut could keep the entry's removal and lose the change.
        // A kept entry's change is synced too: what it reports as done must be on the disk.
        if (m_written && syncHeld(told) == 0 && !m_kept) {
            SafeFS::Journal journal;
            if (AppJournal::open(journal) == 0)
                (void)journal.remove(m_entry.id);
        }
        if (m_syncError && told)
            AppJournal::toldUnsynced(m_entry.id);
    } catch (...) {
        // Out of memory: the entry stays, and recovery finds nothing of its own to do.
        m_kept = true;
    }
    return m_syncError;
}

std::size_t JournalChange::place(const SafeFS::JournalPlace& place)
{
    const auto& places = m_entry.places;
    const auto found = std::find_if(places.begin(), places.end(), [&](const SafeFS::JournalPlace& p) {
        return p.root == place.root && p.folder == place.folder && p.followLinks == place.followLinks;
    });
    if (found != places.end())
        return std::size_t(found - places.begin());
    m_entry.places.push_back(place);
    // Its file system held before anything is written there. One that cannot be opened now is
    // opened at the sync, as recovery would open it.
    DirHandle::Fd folder;
    if (SafeFS::openPlace(place, folder) == 0)
        (void)m_held.addFolder(folder.get());
    return m_entry.places.size() - 1;
}

std::string JournalChange::hiddenName(std::size_t place, std::string_view label, std::string_view purpose) const
{
    const auto holds = [&](const SafeFS::JournalItem& item, std::string_view name) {
        return item.place == place && std::string_view(item.path).substr(0, item.path.find('/')) == name;
    };
    std::string name = SafeFS::hiddenName(label, purpose, m_entry.id);
    if (std::none_of(m_entry.items.begin(), m_entry.items.end(), [&](const SafeFS::JournalItem& item) { return holds(item, name); }))
        return name;
    // Taken: the names in use, gathered once, however many numbers are tried (a group of a
    // thousand rooms of one label).
    std::unordered_set<std::string_view> used;
    for (const SafeFS::JournalItem& item : m_entry.items) {
        if (item.place == place)
            used.insert(std::string_view(item.path).substr(0, item.path.find('/')));
    }
    for (int n = 2; used.count(name) != 0; ++n)
        name = SafeFS::hiddenName(std::string(label) + "-" + std::to_string(n), purpose, m_entry.id);
    return name;
}

int JournalChange::write()
{
    try {
        SafeFS::Journal journal;
        m_refusedAt.clear();
        if (const int error = FileOps::current().stepFault(FileOps::Step::writeJournal, AppJournal::folder()))
            return error;
        if (const int error = AppJournal::open(journal, &m_refusedAt))
            return error;
        // A failed write may still have put the entry in place: it goes with the change.
        m_written = true;
        const int error = journal.write(m_entry);
        if (error == 0) {
            const std::lock_guard lock(g_writeHookMutex);
            if (g_writeHook)
                g_writeHook(m_entry);
        }
        return error;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

QString JournalChange::failureText(int error) const
{
    return AppJournal::failureText(error, m_refusedAt);
}

int JournalChange::setState(SafeFS::JournalEntry::State state)
{
    const auto before = m_entry.state;
    m_entry.state = state;
    const int error = write();
    if (error)
        m_entry.state = before;
    else if (const auto hook = g_commitHook.load(); hook && state == SafeFS::JournalEntry::State::finish)
        hook();
    return error;
}

void JournalChange::setCommitHookForTests(void (*hook)())
{
    g_commitHook.store(hook);
}

JournalChange::WriteHook JournalChange::setWriteHookForTests(WriteHook hook)
{
    const std::lock_guard lock(g_writeHookMutex);
    return std::exchange(g_writeHook, std::move(hook));
}

SafeFS::JournalItem JournalChange::item(SafeFS::JournalItem::Role role, std::size_t place, std::string path,
                                        std::string target, SafeFS::Identity identity)
{
    SafeFS::JournalItem out;
    out.role = role;
    out.place = place;
    out.path = std::move(path);
    out.target = std::move(target);
    out.identity = identity;
    return out;
}

int JournalChange::settle()
{
    try {
        if (!m_written)
            return 0;
        const int error = SafeFS::recoverEntry(m_entry);
        if (error == 0)
            m_kept = false;
        return error;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}
