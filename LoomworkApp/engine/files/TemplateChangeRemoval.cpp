#include "engine/files/TemplateChange.h"

#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <SafeFS/DirHandle.h>

#include "engine/files/JournalChange.h"
#include "engine/files/PluginLease.h"

namespace {

// The process does not end before the removals it started are done: made with the first one,
// so that it goes before the statics that a removal uses.
struct WaitAtExit
{
    ~WaitAtExit() { PluginLease::waitForRemovals(); }
};

} // namespace

// The old contents go on a worker of their own once the call has returned (a change that is
// part of a larger one removes them itself): the user waits for the new state only, and a kill
// meanwhile is finished by recovery from the entry, which the worker holds until it is done.
// The worker holds the plug-in as a pending removal from before the change's own lease goes,
// so no other operation gets in between.
void TemplateChange::removeLater() noexcept
{
    if (!m_ownsChange) {
        removeOld();
        return;
    }
    // The removal outlives the change it holds the plug-in for.
    std::unique_ptr<PluginLease::Removal> removal;
    std::unique_ptr<TemplateChange> pending;
    try {
        static WaitAtExit waitAtExit;
        removal = std::make_unique<PluginLease::Removal>(m_pluginIdentity);
        if (!removal->made())
            throw std::bad_alloc();
        pending.reset(new TemplateChange(std::move(*this)));
    } catch (...) {
        // No room for a worker: done here, as a change of a larger one does it.
        (pending ? *pending : *this).removeOld();
        return;
    }
    pending->m_lease.release();
    TemplateChange* work = pending.get();
    PluginLease::Removal* held = removal.get();
    try {
        std::thread([work, held] {
            std::unique_ptr<TemplateChange>(work)->removeOld();
            delete held;
        }).detach();
        (void)pending.release(); // the worker's now
        (void)removal.release();
    } catch (...) {
        pending->removeOld();
    }
}

// Waits for the removals pending on the disk of a staging step that ran short of space, then
// removes what that step left in its room; false when none was pending (nothing to gain by
// trying again) or what it left could not go.
bool TemplateChange::dropPartial(std::size_t made)
{
    const std::uint64_t device = m_made.size() > made ? m_made.back().second.device : m_pluginIdentity.device;
    if (!PluginLease::waitForRemovalsOn(device))
        return false;
    while (m_made.size() > made) {
        const auto [folder, identity] = m_made.back();
        int room = -1;
        std::vector<std::string> names;
        if (opened(folder, true, room) != 0 || DirHandle::listNames(room, names) != 0)
            return false;
        for (const std::string& name : names) {
            SafeFS::Identity found;
            if (SafeFS::identityAt(room, name, found) == 0 && found == identity && DirHandle::removeAt(room, name) != 0)
                return false;
        }
        m_made.pop_back();
    }
    return true;
}

void TemplateChange::waitForRemovals()
{
    PluginLease::waitForRemovals();
}
