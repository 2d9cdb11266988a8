#include "engine/files/PluginFolderSwap.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <SafeFS/DirHandle.h>
#include "engine/files/AdminAuth.h"
#include "engine/files/AppJournal.h"
#include "engine/core/FsPath.h"
#include "engine/files/JournalChange.h"
#include "engine/files/SystemPath.h"

namespace {

using Clock = std::chrono::system_clock;
using Role = SafeFS::JournalItem::Role;

// The new item beside the target; after an exchange, the old one.
constexpr char kIncoming[] = "incoming";
// The old item moved aside where the exchange is refused.
constexpr char kReplaced[] = "replaced";
// The purposes of staging folders, chosen by our callers.
constexpr std::string_view kStagingPurposes[] = {"install", "restoring", "market"};

const Clock::time_point g_startedAt = Clock::now();



// Every local user may write in the system library, so a folder there may have been swapped
// for a link to elsewhere: nothing is replaced through one. Why not, for the user; else empty.
QString linkRefusal(const QString& path, bool metLink = false)
{
    const QString why = AdminAuth::writeRefusal(path);
    // A link met by a step may be gone again by now; the step's word holds.
    if (why.isEmpty() && metLink && SystemPath::inside(path))
        return AdminAuth::linkRefusal(path);
    return why;
}

} // namespace

PluginFolderSwap::PluginFolderSwap(const QString& folder, FileOps& files, std::shared_ptr<JournalChange> change)
    : m_files(files), m_folder(folder),
      m_change(change ? std::move(change) : std::make_shared<JournalChange>("swap"))
{
}

PluginFolderSwap::~PluginFolderSwap()
{
    finish();
    if (!m_staging.isEmpty() && m_files.removeTree(m_staging) != 0)
        m_change->keep();
}

Clock::time_point PluginFolderSwap::startedAt()
{
    return g_startedAt;
}

QString PluginFolderSwap::pathOf(const std::string& hidden) const
{
    return m_folder + QLatin1Char('/') + FsPath::fromBytes(hidden);
}

bool PluginFolderSwap::refused(const QString& path)
{
    m_refusal = linkRefusal(path);
    return !m_refusal.isEmpty();
}

// Every step in the system library refuses a link it meets (ELOOP): the user is told why.
int PluginFolderSwap::failed(int error, const QString& path)
{
    if (error == ELOOP && m_refusal.isEmpty())
        m_refusal = linkRefusal(path, true);
    return error;
}

int PluginFolderSwap::makeStaging(const QString& purpose, const QString& label, QString* staging)
{
    const std::string purposeBytes = purpose.toStdString();
    if (std::find(std::begin(kStagingPurposes), std::end(kStagingPurposes), purposeBytes) == std::end(kStagingPurposes))
        return EINVAL;
    if (refused(m_folder))
        return ELOOP;
    if (!m_files.exists(m_folder)) {
        if (const int error = m_files.makePath(m_folder))
            return failed(error, m_folder);
    }
    m_place = m_change->place(AppJournal::placeOf(m_folder));
    const std::string name = m_change->hiddenName(m_place, FsPath::toBytes(label), purposeBytes);
    m_change->items().push_back(JournalChange::item(Role::made, m_place, name, {}, {}));
    if (const int error = m_change->write())
        return error;
    const QString path = pathOf(name);
    if (const int error = m_files.makeFolder(path))
        return failed(error, m_folder);
    m_stagingName = name;
    m_staging = path;
    for (SafeFS::JournalItem& made : m_change->items()) {
        if (made.place == m_place && made.path == name)
            made.identity = JournalChange::identityOf(path);
    }
    // By identity before anything goes in: recovery removes an item without one only while
    // it is empty.
    if (const int error = m_change->write())
        return error;
    *staging = path;
#if defined(__linux__)
    if (const auto in = SystemPath::inside(path); in && ::access("/proc/self/fd", X_OK) == 0) {
        const QString below = in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
        if (const int opened = DirHandle::openPath(FsPath::toBytes(in->root), FsPath::toBytes(below), m_stagingHandle))
            return failed(opened, m_folder);
        *staging = QStringLiteral("/proc/self/fd/") + QString::number(m_stagingHandle.get());
    }
#endif
    return 0;
}

int PluginFolderSwap::commit(const QString& staged, const QString& name)
{
    int error = place(staged, name);
    if (error == 0 && (error = settle()) != 0)
        undo();
    return error;
}

int PluginFolderSwap::commitKeepingOld(const QString& staged, const QString& name)
{
    return place(staged, name);
}

int PluginFolderSwap::place(const QString& staged, const QString& name)
{
    finish(); // one replace at a time
    if (m_stagingName.empty())
        return EINVAL; // the entry names the staged item in the staging folder
    const QString target = m_folder + QLatin1Char('/') + name;
    if (refused(target))
        return ELOOP;
    const std::string nameBytes = FsPath::toBytes(name);
    const SafeFS::Identity fresh = JournalChange::identityOf(staged);
    auto& items = m_change->items();
    if (!m_files.exists(target)) {
        items.push_back(JournalChange::item(Role::made, m_place, m_stagingName + "/" + nameBytes, nameBytes, fresh));
        if (const int error = m_change->write())
            return error;
        if (const int error = m_files.rename(staged, target))
            return failed(error, target);
        m_target = target;
        m_name = nameBytes;
        m_new = fresh;
        m_pending = true;
        return 0;
    }
    // The swap stays within `folder`: moving a folder to another parent needs write rights on
    // it (its ".." changes), which an old plug-in of the system library may not give us. The
    // old item ends at one of two hidden names, both recorded before either step.
    const SafeFS::Identity old = JournalChange::identityOf(target);
    const std::string incoming = m_change->hiddenName(m_place, nameBytes, kIncoming);
    const std::string replaced = m_change->hiddenName(m_place, nameBytes, kReplaced);
    items.push_back(JournalChange::item(Role::made, m_place, incoming, nameBytes, fresh));
    if (old.known()) {
        items.push_back(JournalChange::item(Role::old, m_place, incoming, nameBytes, old));
        items.push_back(JournalChange::item(Role::old, m_place, replaced, nameBytes, old));
    }
    if (const int error = m_change->write())
        return error;
    m_incoming = pathOf(incoming);
    if (const int error = m_files.rename(staged, m_incoming))
        return failed(error, target);
    int error = m_files.exchange(m_incoming, target);
    if (error == 0)
        m_old = m_incoming; // the old item, once the new one stands at `target`
    else if (FileOps::refusesExchange(error))
        error = moveAside(m_incoming, target, pathOf(replaced));
    if (error) {
        if (m_files.removeTree(m_incoming) != 0)
            m_change->keep();
        return failed(error, target);
    }
    m_target = target;
    m_name = nameBytes;
    m_new = fresh;
    m_oldIdentity = old;
    m_pending = true;
    return 0;
}

// Two renames leave a moment without the name: a kill there leaves the old item hidden, and
// recovery puts it back under the name the entry gives.
int PluginFolderSwap::moveAside(const QString& incoming, const QString& target, const QString& replaced)
{
    if (const int error = m_files.rename(target, replaced))
        return error;
    if (const int error = m_files.rename(incoming, target)) {
        if (m_files.rename(replaced, target) != 0)
            m_change->keep(); // the old item waits hidden, recorded, for recovery
        return error;
    }
    m_old = replaced;
    m_movedAside = true;
    return 0;
}

// This swap's commit point: from here its new item stays whatever becomes of the rest of the
// change. Where the change as a whole has not passed its own, the entry stops naming the new
// item and names the old one as surplus.
int PluginFolderSwap::settle()
{
    if (!m_pending)
        return 0;
    if (m_change->state() != SafeFS::JournalEntry::State::finish) {
        auto& items = m_change->items();
        const auto before = items;
        std::erase_if(items, [&](const SafeFS::JournalItem& i) {
            return i.role == Role::made && i.place == m_place && i.target == m_name && i.identity == m_new;
        });
        for (SafeFS::JournalItem& i : items) {
            if (i.role == Role::old && i.place == m_place && i.identity == m_oldIdentity) {
                i.role = Role::made;
                i.target.clear();
            }
        }
        if (const int error = m_change->write()) {
            items = before;
            return error;
        }
    }
    m_pending = false;
    if (!m_old.isEmpty())
        discard(m_old);
    m_old.clear();
    m_movedAside = false;
    return 0;
}

void PluginFolderSwap::finish()
{
    settle();
}

int PluginFolderSwap::undo()
{
    if (!m_pending)
        return 0;
    if (m_old.isEmpty()) {
        // The new item goes back into the staging folder, which goes with this object.
        if (const int error = m_files.rename(m_target, m_staging + QLatin1Char('/') + FsPath::fromBytes(m_name)))
            return error;
    } else if (!m_movedAside) {
        // Exchanged: exchanged back in one step.
        if (const int error = m_files.exchange(m_old, m_target))
            return error;
        discard(m_old);
    } else {
        // Moved aside: back by two renames; a kill between them leaves the old item hidden,
        // recorded, and recovery puts it back.
        if (const int error = m_files.rename(m_target, m_incoming))
            return error;
        if (const int error = m_files.rename(m_old, m_target)) {
            if (m_files.rename(m_incoming, m_target) != 0) {
                // Neither stands at the name: the old item stays hidden, recorded, for
                // recovery to put back.
                m_pending = false;
                m_old.clear();
                m_change->keep();
            }
            return error;
        }
        discard(m_incoming);
    }
    m_pending = false;
    m_old.clear();
    m_movedAside = false;
    return 0;
}

void PluginFolderSwap::discard(const QString& path)
{
    if (m_files.removeTree(path) != 0) {
        m_leftover = path;
        m_change->keep();
    }
}

PluginSwapGroup::PluginSwapGroup() : m_change(std::make_shared<JournalChange>("install")) {}

std::unique_ptr<PluginFolderSwap> PluginSwapGroup::makeSwap(const QString& folder, FileOps& files) const
{
    return std::make_unique<PluginFolderSwap>(folder, files, m_change);
}

void PluginSwapGroup::add(std::unique_ptr<PluginFolderSwap> swap, const QString& staged, const QString& name)
{
    m_items.push_back(Item{std::move(swap), staged, name});
}

int PluginSwapGroup::commit()
{
    m_failedAt = -1;
    m_notRestored.clear();
    const auto undoBefore = [this](std::size_t end) {
        // Latest first: a later item may have replaced an earlier one of the same name.
        for (std::size_t done = end; done-- > 0;) {
            PluginFolderSwap& swap = *m_items[done].swap;
            if (swap.undo() != 0) {
                m_notRestored.prepend(swap.target());
                swap.finish();
            }
        }
    };
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        Item& item = m_items[i];
        const int error = item.swap->commitKeepingOld(item.staged, item.name);
        if (error == 0)
            continue;
        m_failedAt = qsizetype(i);
        undoBefore(i);
        return error;
    }
    if (m_items.empty())
        return 0;
    if (const int error = m_change->setState(SafeFS::JournalEntry::State::finish)) {
        m_failedAt = qsizetype(m_items.size()) - 1;
        undoBefore(m_items.size());
        return error;
    }
    for (Item& item : m_items)
        item.swap->finish();
    return 0;
}

QStringList PluginSwapGroup::leftovers() const
{
    QStringList paths;
    for (const Item& item : m_items) {
        if (!item.swap->leftover().isEmpty())
            paths.append(item.swap->leftover());
    }
    return paths;
}
