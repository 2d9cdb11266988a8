#include "engine/files/PluginFolderSwap.h"

#include <algorithm>
#include <functional>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QHash>

#include <SafeFS/DirHandle.h>
#include "engine/files/AdminAuth.h"
#include "engine/files/AppJournal.h"
#include "engine/core/FsPath.h"
#include "engine/core/SystemError.h"
#include "engine/files/JournalChange.h"
#include "engine/files/SystemPath.h"

namespace {

using Clock = std::chrono::system_clock;
using Role = SafeFS::JournalItem::Role;

// The new item beside the target where it cannot be exchanged into the room; after an
// exchange, the old one.
constexpr char kIncoming[] = "incoming";
// The old item moved aside where the exchange is refused.
constexpr char kReplaced[] = "replaced";
// The purposes of rooms, chosen by our callers.
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

// An old folder of another user's (or root's) cannot be given another parent by us.
bool lacksRights(int error)
{
    return error == EACCES || error == EPERM;
}

// What the room holds goes, as long as it is ours: another user's item in it (none can get in,
// but one may have been carried in inside an old plug-in) stays.
int emptyOurs(int room, const std::string& name)
{
    struct stat st {};
    if (::fstatat(room, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : errno;
    if (st.st_uid != ::geteuid())
        return ENOTEMPTY;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(room, name.c_str(), 0) == 0 ? 0 : errno;
    if ((st.st_mode & S_IRWXU) != S_IRWXU && ::fchmodat(room, name.c_str(), (st.st_mode & 07777) | S_IRWXU, 0) != 0)
        return errno;
    DirHandle::Fd folder;
    if (const int error = DirHandle::openChild(room, name, folder))
        return error;
    std::vector<std::string> left;
    if (const int error = DirHandle::emptyFolder(folder.get(), DirHandle::Owners{false, {::geteuid()}, {}}, left))
        return error;
    if (!left.empty())
        return ENOTEMPTY;
    return ::unlinkat(room, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

} // namespace

PluginFolderSwap::PluginFolderSwap(const QString& folder, FileOps& files, std::shared_ptr<JournalChange> change)
    : m_files(files), m_folder(folder),
      m_change(change ? std::move(change) : std::make_shared<JournalChange>("swap"))
{
}

PluginFolderSwap::~PluginFolderSwap()
{
    try {
        if (finish() != 0)
            (void)undo();
        clearRoom();
    } catch (...) {
        m_change->keep(); // out of memory: what is left is the journal's
    }
}

Clock::time_point PluginFolderSwap::startedAt()
{
    return g_startedAt;
}

QString PluginFolderSwap::pathOf(const std::string& name) const
{
    return m_folder + QLatin1Char('/') + FsPath::fromBytes(name);
}

QString PluginFolderSwap::roomPathOf(const std::string& inside) const
{
    return pathOf(m_room.name()) + QLatin1Char('/') + FsPath::fromBytes(inside);
}

std::string PluginFolderSwap::freshName(const std::string& stem)
{
    return stem + "-" + std::to_string(++m_names);
}

SafeFS::Identity PluginFolderSwap::identityIn(int folder, const std::string& name) const
{
    SafeFS::Identity identity;
    if (SafeFS::identityAt(folder, name, identity) != 0)
        return {};
    return identity;
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

int PluginFolderSwap::step(FileOps::Step step, const QString& paths)
{
    return m_files.stepFault(step, paths);
}

// Each rename or exchange is named to the file operations first (tests fail chosen ones).
DirHandle::Mover PluginFolderSwap::mover()
{
    return [this](int fromFd, std::string_view from, int toFd, std::string_view to, DirHandle::Rename how) {
        const auto shown = [this](int fd, std::string_view name) {
            return fd == m_room.fd() ? roomPathOf(std::string(name)) : pathOf(std::string(name));
        };
        if (const int error = step(how == DirHandle::Rename::exchange ? FileOps::Step::exchange : FileOps::Step::rename,
                                   shown(fromFd, from) + QLatin1Char('\n') + shown(toFd, to)))
            return error;
        return DirHandle::renameAt(fromFd, from, toFd, to, how);
    };
}

int PluginFolderSwap::writeJournal()
{
    const int error = m_change->write();
    if (error) {
        m_refusal = m_change->failureText(error);
        m_journalRefused = true;
    }
    return error;
}

// In the system library the folder is reached from the library's root one handle at a time,
// refusing any link; the user's own folder is opened as its path says.
int PluginFolderSwap::openFolder()
{
    if (const auto in = SystemPath::inside(m_folder)) {
        const QString below = in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
        return DirHandle::openPath(FsPath::toBytes(in->root), FsPath::toBytes(below), m_parent);
    }
    m_parent = DirHandle::Fd(::open(FsPath::toBytes(m_folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return m_parent.valid() ? 0 : errno;
}

int PluginFolderSwap::makeStaging(const QString& purpose, const QString& label, QString* staging)
{
    return guarded([&] { return makeRoom(purpose, label, staging); });
}

int PluginFolderSwap::makeRoom(const QString& purpose, const QString& label, QString* staging)
{
    if (const int error = nameRoom(purpose, label))
        return error;
    // Named before it is made, by identity before anything is built in it: recovery removes a
    // room without one only while it is empty.
    if (const int error = writeJournal())
        return error;
    if (const int error = buildRoom())
        return error;
    if (const int written = writeJournal())
        return written;
    *staging = m_staging;
    return 0;
}

int PluginFolderSwap::nameRoom(const QString& purpose, const QString& label)
{
    const std::string purposeBytes = purpose.toStdString();
    if (std::find(std::begin(kStagingPurposes), std::end(kStagingPurposes), purposeBytes) == std::end(kStagingPurposes))
        return EINVAL;
    if (m_room.valid() || !m_roomName.empty())
        return EEXIST; // one room a swap
    if (refused(m_folder))
        return ELOOP;
    if (!m_files.exists(m_folder)) {
        if (const int error = m_files.makePath(m_folder))
            return failed(error, m_folder);
    }
    if (const int error = openFolder())
        return failed(error, m_folder);
    m_place = m_change->place(AppJournal::placeOf(m_folder));
    m_roomName = m_change->hiddenName(m_place, FsPath::toBytes(label), purposeBytes);
    m_change->items().push_back(JournalChange::item(Role::room, m_place, m_roomName, {}, {}));
    return 0;
}

int PluginFolderSwap::buildRoom()
{
    if (m_roomName.empty() || m_room.valid())
        return EINVAL;
    const std::string name = m_roomName;
    int error = step(FileOps::Step::makeFolder, pathOf(name));
    if (!error)
        error = m_room.make(m_parent.get(), name);
    if (error)
        return failed(error, m_folder);
    // The room item is the last of its name (a group adds its rooms in order).
    auto& items = m_change->items();
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        if (it->role == Role::room && it->place == m_place && it->path == name) {
            it->identity = m_room.identity();
            break;
        }
    }
    const std::string byHandle = DirHandle::handlePath(m_room.fd());
    m_staging = SystemPath::inside(m_folder) && !byHandle.empty() ? FsPath::fromBytes(byHandle) : pathOf(name);
    return 0;
}

int PluginFolderSwap::clearStaging()
{
    if (!m_room.valid())
        return EINVAL;
    return guarded([&] {
        std::vector<std::string> names;
        if (const int error = DirHandle::listNames(m_room.fd(), names))
            return error;
        for (const std::string& name : names) {
            if (const int error = DirHandle::removeAt(m_room.fd(), name))
                return error;
        }
        return 0;
    });
}

// Memory running out between two steps leaves them where the journal says: recovery's.
int PluginFolderSwap::guarded(const std::function<int()>& steps)
{
    try {
        return steps();
    } catch (...) {
        m_change->keep();
        return ENOMEM;
    }
}

int PluginFolderSwap::commit(const QString& staged, const QString& name, const Seen& seen)
{
    return guarded([&] {
        int error = place(staged, name, seen);
        if (error == 0 && (error = settle()) != 0)
            (void)undo();
        return error;
    });
}

int PluginFolderSwap::commitKeepingOld(const QString& staged, const QString& name, const Seen& seen)
{
    return guarded([&] { return place(staged, name, seen); });
}

int PluginFolderSwap::place(const QString& staged, const QString& name, const Seen& seen)
{
    if (const int error = prepare(staged, name, seen))
        return error;
    if (const int error = writeJournal()) {
        m_prepared = false;
        return error;
    }
    return exchangePrepared();
}

int PluginFolderSwap::prepare(const QString& staged, const QString& name, const Seen& seen, bool lookNow)
{
    if (const int error = finish()) // one replace at a time
        return error;
    m_prepared = false;
    if (!m_room.valid() || !staged.startsWith(m_staging + QLatin1Char('/')))
        return EINVAL; // the entry names the staged item in the room
    const std::string inside = FsPath::toBytes(staged.mid(m_staging.size() + 1));
    const std::string nameBytes = FsPath::toBytes(name);
    if (!DirHandle::isPlainName(inside) || !DirHandle::isPlainName(nameBytes))
        return EINVAL;
    const QString target = m_folder + QLatin1Char('/') + name;
    if (refused(target))
        return ELOOP;
    const SafeFS::Identity fresh = identityIn(m_room.fd(), inside);
    if (!fresh.known())
        return ENOENT;
    if (!m_stagedSynced) {
        SafeFS::SyncBatch batch;
        int error = addStagedTo(batch);
        if (!error)
            error = batch.sync();
        if (error)
            return failed(error, target);
    }
    m_stagedSynced = false; // a later copy staged in this room is synced again
    // Only the item the user saw is replaced; the name only says where to look for it.
    const SafeFS::Identity old = seen ? *seen : identityIn(m_parent.get(), nameBytes);
    if (lookNow && old.known() && !(identityIn(m_parent.get(), nameBytes) == old)) {
        m_refusal = QStringLiteral("「") + FsPath::displayText(name)
            + QStringLiteral("」已不是显示时的那一项（可能被其他用户改动或替换），未作更改：") + FsPath::displayText(target);
        return ESTALE;
    }
    const std::string inRoom = m_room.name() + "/" + inside;
    auto& items = m_change->items();
    items.push_back(JournalChange::item(Role::made, m_place, inRoom, nameBytes, fresh));
    m_new = fresh;
    m_name = nameBytes;
    m_from = inside;
    m_oldIdentity = old;
    m_seenEmpty = seen.has_value();
    m_preparedTarget = target;
    m_aside.clear();
    if (old.known()) {
        // The old item goes straight into the room: after an exchange it lies where the new one
        // was staged, else moved aside there first. Both places are recorded before either step.
        m_aside = freshName(kReplaced);
        items.push_back(JournalChange::item(Role::old, m_place, inRoom, nameBytes, old));
        items.push_back(JournalChange::item(Role::old, m_place, m_room.name() + "/" + m_aside, nameBytes, old));
    }
    m_prepared = true;
    return 0;
}

void PluginFolderSwap::forgetOld(const std::string& name, const SafeFS::Identity& old)
{
    std::erase_if(m_change->items(), [&](const SafeFS::JournalItem& item) {
        return item.role == Role::old && item.place == m_place && item.target == name && item.identity == old;
    });
}

// A prepared step not to be taken: the entry stops naming its items, so that the staged copy
// goes with the room (an old item of a later one of the same target is this one's new copy).
void PluginFolderSwap::unprepare()
{
    if (!m_prepared)
        return;
    m_prepared = false;
    const std::string inRoom = m_room.name() + "/";
    std::erase_if(m_change->items(), [&](const SafeFS::JournalItem& item) {
        return item.role != Role::room && item.place == m_place && item.path.starts_with(inRoom)
            && item.target == m_name && (item.identity == m_new || item.identity == m_oldIdentity);
    });
}

// The step prepare() recorded, the entry written since.
int PluginFolderSwap::exchangePrepared()
{
    if (!m_prepared)
        return EINVAL;
    m_prepared = false;
    m_placedSynced = false;
    const std::string inside = m_from;
    const std::string nameBytes = m_name;
    const SafeFS::Identity old = m_oldIdentity;
    const QString& target = m_preparedTarget;
    if (!old.known()) {
        if (const int error = placeNew(inside, nameBytes, target, m_seenEmpty))
            return error;
        m_pending = true;
        m_target = target;
        return 0;
    }
    // Looked at again: the item may have changed since the entry was written.
    if (!(identityIn(m_parent.get(), nameBytes) == old)) {
        forgetOld(nameBytes, old);
        (void)writeJournal();
        m_refusal = QStringLiteral("「") + FsPath::displayText(FsPath::fromBytes(nameBytes))
            + QStringLiteral("」已不是显示时的那一项（可能被其他用户改动或替换），未作更改：") + FsPath::displayText(target);
        return ESTALE;
    }
    int error = DirHandle::swapIn(m_room.fd(), inside, m_parent.get(), nameBytes, m_room.fd(), m_aside, m_exchanged, mover());
    if (lacksRights(error))
        error = placeBeside(inside, nameBytes, m_new, old);
    else if (!error)
        m_old = Old::inRoom;
    if (error) {
        // The old item not back at its name waits where the entry says: recovery's. Back
        // there, the entry stops naming it, so that a later step of the change (the
        // administrator's replace) is not taken for its loss.
        if (!(identityIn(m_parent.get(), nameBytes) == old)) {
            m_change->keep();
        } else {
            forgetOld(nameBytes, old);
            if (const int written = writeJournal())
                return written;
        }
        return failed(error, target);
    }
    m_pending = true;
    // Another user may exchange the name between the look and the exchange: what came out
    // must be the item seen, or it goes back at once.
    if (const int error = checkDisplaced(nameBytes, old))
        return error;
    m_target = target;
    return 0;
}

// Before the first exchange that commits it, the staged copy is on disk: a power cut after
// the exchange must not leave its name holding empty files.
int PluginFolderSwap::addStagedTo(SafeFS::SyncBatch& batch)
{
    if (!m_room.valid())
        return EINVAL;
    if (const int error = batch.addTree(m_room.fd()))
        return error;
    m_stagedSynced = true;
    return 0;
}

// Through the journal change's handles, held from before anything was written: only they see
// a write-back error that came before this sync. A failed sync leaves the replace standing;
// the change keeps and marks its entry, and its close() gives the error to be told.
int PluginFolderSwap::syncPlaced()
{
    if (m_placedSynced || !m_parent.valid())
        return 0;
    m_placedSynced = true;
    return m_change->sync();
}

// A new copy where nothing stood replaces nothing: whatever appeared at the name meanwhile is
// a conflict, and stays.
int PluginFolderSwap::placeNew(const std::string& inside, const std::string& name, const QString& target, bool seenEmpty)
{
    const int error = DirHandle::moveAt(m_room.fd(), inside, m_parent.get(), name, mover());
    if (error == EEXIST) {
        m_refusal = QStringLiteral("「") + FsPath::displayText(FsPath::fromBytes(name))
            + (seenEmpty ? QStringLiteral("」处出现了显示时没有的项目（可能是其他用户放的），未覆盖它：")
                         : QStringLiteral("」处刚出现了别的项目，未覆盖它："))
            + FsPath::displayText(target);
    }
    if (error)
        return failed(error, target);
    m_old = Old::none;
    return 0;
}

// After an exchange: the displaced item is the one expected, else both go back as they were.
int PluginFolderSwap::checkDisplaced(const std::string& name, const SafeFS::Identity& expected)
{
    const bool inRoom = m_old == Old::inRoom;
    const std::string at = m_exchanged ? m_from : m_aside;
    if (identityIn(inRoom ? m_room.fd() : m_parent.get(), at) == expected)
        return 0;
    if (undoSteps() != 0) {
        m_change->keep();
    } else {
        // The item seen never left its place (another user moved it): the entry stops naming it.
        forgetOld(name, expected);
    }
    m_refusal = QStringLiteral("「") + FsPath::displayText(FsPath::fromBytes(name))
        + QStringLiteral("」在替换时被其他用户换成了别的项目，已放回，未作更改：") + FsPath::displayText(pathOf(name));
    return ESTALE;
}

// A folder we may not give another parent is exchanged beside the target, within the folder,
// and left to the administrator, by identity.
int PluginFolderSwap::placeBeside(const std::string& inside, const std::string& name, const SafeFS::Identity& fresh,
                                  const SafeFS::Identity& old)
{
    const std::string incoming = m_change->hiddenName(m_place, name, kIncoming);
    const std::string replaced = m_change->hiddenName(m_place, name, kReplaced);
    auto& items = m_change->items();
    items.push_back(JournalChange::item(Role::made, m_place, incoming, name, fresh));
    items.push_back(JournalChange::item(Role::old, m_place, incoming, name, old));
    items.push_back(JournalChange::item(Role::old, m_place, replaced, name, old));
    if (const int error = writeJournal())
        return error;
    int error = DirHandle::moveAt(m_room.fd(), inside, m_parent.get(), incoming, mover());
    if (error)
        return error;
    m_from = incoming;
    m_aside = replaced;
    error = DirHandle::swapIn(m_parent.get(), incoming, m_parent.get(), name, m_parent.get(), replaced, m_exchanged, mover());
    if (error) {
        if (takeBack(incoming) != 0)
            m_change->keep(); // the new item waits beside, recorded
        return error;
    }
    m_old = Old::beside;
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
        // The entry records the replace as done only once the folder's disk has the exchange.
        (void)syncPlaced();
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
        if (const int error = writeJournal()) {
            items = before;
            return error;
        }
    }
    m_pending = false;
    // The new item stands: an old copy that cannot go now (memory ran out) is recovery's, and
    // never turns the change into a failure.
    try {
        discard();
    } catch (...) {
        m_change->keep();
    }
    return 0;
}

int PluginFolderSwap::finish()
{
    return guarded([&] { return settle(); });
}

// The old item goes: checked and emptied in the room. What we may not remove is the
// administrator's, by identity; what is not the old item (another user exchanged it with his
// own beside the target) goes back out untouched.
void PluginFolderSwap::discard()
{
    if (m_old == Old::none)
        return;
    const Old where = m_old;
    m_old = Old::none;
    const std::string at = m_exchanged ? m_from : m_aside;
    const int holder = where == Old::inRoom ? m_room.fd() : m_parent.get();
    const QString shown = where == Old::inRoom ? roomPathOf(at) : pathOf(at);
    const DirHandle::Owners owners = SafeFS::ownersOf(holder, at, ::geteuid());
    const QString name = FsPath::fromBytes(m_name);
    SafeFS::Removal removal;
    int error = step(FileOps::Step::remove, shown);
    if (!error) {
        error = where == Old::inRoom
            ? SafeFS::removeInRoom(m_room.fd(), at, m_oldIdentity, owners, m_parent.get(), m_name, removal)
            : SafeFS::removeThroughRoom(m_parent.get(), at, m_room.fd(), freshName("old"), m_oldIdentity, owners, removal);
    }
    if (removal.mismatch)
        m_notes.append(QStringLiteral("「") + name + QStringLiteral("」的旧版本已被移动，未删除：")
                       + FsPath::displayText(pathOf(removal.returnedAs)));
    for (const std::string& left : removal.left)
        m_notes.append(QStringLiteral("其他用户的文件未删除：")
                       + FsPath::displayText(pathOf(removal.returnedAs) + (left.empty() ? QString() : QLatin1Char('/') + FsPath::fromBytes(left))));
    if (error && removal.returnedAs.empty()) {
        // Still where it was: the administrator's to remove, as we recorded it.
        AdminAuth::Item item;
        item.folder = m_folder;
        item.name = FsPath::fromBytes(at);
        item.identity = m_oldIdentity;
        // Beside the target it goes into our room by the helper's own rename.
        item.room = FsPath::fromBytes(m_room.name());
        item.roomIdentity = m_room.identity();
        item.inRoom = where == Old::inRoom;
        item.shownName = name;
        m_leftover = item;
        // The entry stays unless the administrator removes it before this swap goes.
    }
}

int PluginFolderSwap::takeBack(const std::string& name)
{
    SafeFS::Removal removal;
    const std::string inside = freshName("undone");
    int error = step(FileOps::Step::rename, pathOf(name) + QLatin1Char('\n') + roomPathOf(inside));
    if (!error)
        error = SafeFS::removeThroughRoom(m_parent.get(), name, m_room.fd(), inside, m_new,
                                          DirHandle::Owners{false, {::geteuid()}, {}}, removal);
    if (removal.mismatch)
        m_notes.append(QStringLiteral("新版本已被移动，未能撤回：") + FsPath::displayText(pathOf(removal.returnedAs)));
    return error;
}

int PluginFolderSwap::undo()
{
    return guarded([&] { return undoSteps(); });
}

int PluginFolderSwap::undoSteps()
{
    if (!m_pending)
        return 0;
    int error = 0;
    switch (m_old) {
    case Old::none:
        error = takeBack(m_name);
        break;
    case Old::inRoom: {
        error = DirHandle::swapBack(m_room.fd(), m_from, m_parent.get(), m_name, m_room.fd(), m_aside, m_exchanged, mover());
        if (error)
            break;
        // What stood at the target is in the room now: gone, while it is the new item.
        SafeFS::Removal removal;
        error = SafeFS::removeInRoom(m_room.fd(), m_from, m_new, DirHandle::Owners{false, {::geteuid()}, {}},
                                     m_parent.get(), m_name, removal);
        if (removal.mismatch)
            m_notes.append(QStringLiteral("新版本已被移动，未能撤回：") + FsPath::displayText(pathOf(removal.returnedAs)));
        break;
    }
    case Old::beside:
        error = DirHandle::swapBack(m_parent.get(), m_from, m_parent.get(), m_name, m_parent.get(), m_aside, m_exchanged, mover());
        if (!error)
            error = takeBack(m_from);
        break;
    }
    if (error) {
        // Both items are where the entry says they may be; the caller says which stands
        // (finish()), else recovery puts the old one back.
        m_change->keep();
        return error;
    }
    m_pending = false;
    m_old = Old::none;
    return 0;
}

// Whatever the room still holds goes with it (a staged plug-in never swapped in); the old item
// left to the administrator stays until it is removed.
void PluginFolderSwap::clearRoom()
{
    // An old copy left beside the plug-in and still there is the journal's to remove.
    if (m_leftover && !m_leftover->inRoom && identityIn(m_parent.get(), FsPath::toBytes(m_leftover->name)) == m_leftover->identity)
        m_change->keep();
    if (!m_room.valid())
        return;
    std::vector<std::string> names;
    if (DirHandle::listNames(m_room.fd(), names) != 0) {
        m_change->keep();
        return;
    }
    for (const std::string& name : names) {
        // An old item still recorded (one that could not go back, one left to the
        // administrator) stays for whoever is to put it right.
        const SafeFS::Identity here = identityIn(m_room.fd(), name);
        const bool recorded = std::any_of(m_change->items().begin(), m_change->items().end(), [&](const SafeFS::JournalItem& item) {
            return item.role == Role::old && item.place == m_place && item.identity == here;
        });
        if (recorded || step(FileOps::Step::remove, roomPathOf(name)) != 0 || emptyOurs(m_room.fd(), name) != 0)
            m_change->keep();
    }
    if (m_room.removeIfEmpty(m_parent.get()) != 0)
        m_change->keep();
}

PluginSwapGroup::PluginSwapGroup() : m_change(std::make_shared<JournalChange>("install")) {}

std::unique_ptr<PluginFolderSwap> PluginSwapGroup::makeSwap(const QString& folder, FileOps& files) const
{
    return std::make_unique<PluginFolderSwap>(folder, files, m_change);
}

int PluginSwapGroup::makeStagings(const std::vector<PluginFolderSwap*>& swaps, const QString& purpose,
                                  const QStringList& labels, qsizetype* failed)
{
    *failed = 0;
    if (swaps.empty())
        return 0;
    try {
        for (std::size_t i = 0; i < swaps.size(); ++i) {
            *failed = qsizetype(i);
            if (const int error = swaps[i]->nameRoom(purpose, labels.value(qsizetype(i))))
                return error;
        }
        // Every room named before the first is made, and recorded made before anything is
        // built in any: a kill leaves none that recovery does not know.
        *failed = 0;
        if (const int error = swaps.front()->writeJournal())
            return error;
        for (std::size_t i = 0; i < swaps.size(); ++i) {
            *failed = qsizetype(i);
            if (const int error = swaps[i]->buildRoom())
                return error;
        }
        *failed = 0;
        return swaps.front()->writeJournal();
    } catch (...) {
        m_change->keep();
        return ENOMEM;
    }
}

void PluginSwapGroup::add(std::unique_ptr<PluginFolderSwap> swap, const QString& staged, const QString& name,
                          const PluginFolderSwap::Seen& seen)
{
    m_items.push_back(Item{std::move(swap), staged, name, seen});
}

// Latest first: a later item may have replaced an earlier one of the same name.
void PluginSwapGroup::undoBefore(std::size_t end)
{
    for (std::size_t done = end; done-- > 0;) {
        PluginFolderSwap& swap = *m_items[done].swap;
        if (swap.undo() != 0) {
            // It stays new, as the failure's message says: the old copy goes.
            m_notRestored.prepend(swap.target());
            (void)swap.finish();
        }
    }
}

// The library's file systems synced past the exchanges, once for the group, before the entry
// records them as done. A failed sync leaves the plug-ins standing and the entry kept, marked:
// the journal change's close() gives the error to be told.
int PluginSwapGroup::syncPlaced()
{
    for (Item& item : m_items)
        item.swap->m_placedSynced = true;
    return m_change->sync();
}

int PluginSwapGroup::commitAll()
{
    if (m_items.empty())
        return 0;
    // Every staged copy on disk before the first exchange: one sync per file system for all.
    // Its failure is the group's, not that of whichever plug-in was added last.
    SafeFS::SyncBatch batch;
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        if (const int error = m_items[i].swap->addStagedTo(batch)) {
            m_failedAt = qsizetype(i);
            return error;
        }
    }
    if (const int error = batch.sync()) {
        // No one plug-in is at fault: the folders they were to go into are named.
        QStringList folders;
        for (const Item& item : m_items) {
            const QString folder = FsPath::displayText(item.swap->folder());
            if (!folders.contains(folder))
                folders.append(folder);
        }
        m_refusal = QStringLiteral("解压好的插件未能写入磁盘（") + SystemError::describe(error) + QStringLiteral("）：")
            + folders.join(QStringLiteral("、"));
        return error;
    }
    // Each item recorded against what it replaces; a later item of one target replaces the
    // new copy an earlier one put there.
    QHash<QString, SafeFS::Identity> placed;
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        Item& item = m_items[i];
        const QString target = item.swap->folder() + QLatin1Char('/') + item.name;
        const auto earlier = placed.constFind(target);
        // An earlier item's new copy is not there yet: it is looked for at the exchange.
        const bool later = earlier != placed.constEnd();
        const int error = item.swap->prepare(item.staged, item.name, later ? PluginFolderSwap::Seen(*earlier) : item.seen, !later);
        if (error) {
            m_failedAt = qsizetype(i);
            return error;
        }
        placed.insert(target, item.swap->placed());
    }
    // One write names every item of the change before the first exchange.
    if (const int error = m_change->write()) {
        m_refusal = m_change->failureText(error);
        return error;
    }
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        if (const int error = m_items[i].swap->exchangePrepared()) {
            m_failedAt = qsizetype(i);
            undoBefore(i);
            return error;
        }
    }

    (void)syncPlaced();
    if (const int error = m_change->setState(SafeFS::JournalEntry::State::finish)) {
        m_refusal = m_change->failureText(error);
        undoBefore(m_items.size());
        return error;
    }
    // Past the commit point: a failure to discard an old copy leaves it to the journal.
    for (Item& item : m_items) {
        if (item.swap->finish() != 0)
            m_change->keep();
    }
    return 0;
}

int PluginSwapGroup::commit()
{
    m_failedAt = -1;
    m_refusal.clear();
    m_notRestored.clear();
    try {
        const int error = commitAll();
        if (error) {
            for (Item& item : m_items)
                item.swap->unprepare();
        }
        return error;
    } catch (...) {
        // Memory ran out between steps: whatever was swapped in goes back where it can, and
        // the journal keeps what cannot (its entry says undo unless the commit point was
        // written, in which case the change stands).
        m_change->keep();
        if (m_change->state() == SafeFS::JournalEntry::State::finish)
            return 0;
        if (m_refusal.isEmpty() && m_failedAt < 0)
            m_refusal = QStringLiteral("内存不足");
        try {
            undoBefore(m_items.size());
        } catch (...) {
        }
        return ENOMEM;
    }
}

std::vector<AdminAuth::Item> PluginSwapGroup::leftovers() const
{
    std::vector<AdminAuth::Item> out;
    for (const Item& item : m_items) {
        if (item.swap->leftover())
            out.push_back(*item.swap->leftover());
    }
    return out;
}

QStringList PluginSwapGroup::notes() const
{
    QStringList out;
    for (const Item& item : m_items)
        out += item.swap->notes();
    return out;
}

QStringList PluginSwapGroup::targets() const
{
    QStringList out;
    for (const Item& item : m_items) {
        if (!item.swap->target().isEmpty() && !out.contains(item.swap->target()))
            out.append(item.swap->target());
    }
    return out;
}
