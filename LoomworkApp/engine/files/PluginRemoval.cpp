#include "engine/files/PluginRemoval.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>

#include "engine/core/FsPath.h"
#include "engine/files/AppJournal.h"
#include "engine/files/FileOps.h"
#include "engine/files/JournalChange.h"
#include "engine/files/PluginOwner.h"
#include "engine/files/SystemPath.h"

namespace {

using Role = SafeFS::JournalItem::Role;

} // namespace

PluginRemoval::PluginRemoval(const QString& path, const SafeFS::Identity& seen, std::vector<SafeFS::Identity> spared,
                             std::shared_ptr<JournalChange> change)
    : m_path(path), m_folder(QFileInfo(path).path()), m_name(QFileInfo(path).fileName()), m_seen(seen),
      m_spared(std::move(spared)), m_change(std::move(change)), m_shared(m_change != nullptr)
{
}

PluginRemoval::~PluginRemoval()
{
    dropRoom();
}

void PluginRemoval::actIn(int folder, std::optional<uid_t> told, int openError)
{
    m_given = true;
    m_told = told.value_or(::geteuid());
    m_givenError = folder >= 0 ? 0 : (openError ? openError : ENOENT);
    if (folder >= 0) {
        m_parent = DirHandle::Fd(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
        if (!m_parent.valid())
            m_givenError = errno;
    }
}

// In the system library the folder is reached from the library's root one handle at a time,
// refusing any link; the user's own folder is opened as its path says.
int PluginRemoval::openFolder()
{
    // The folder the user was asked about: whatever stands at its path now is not looked at.
    if (m_given) {
        if (m_givenError == ELOOP)
            m_refusal = AdminAuth::linkRefusal(m_folder);
        return m_givenError;
    }
    if (const auto in = SystemPath::inside(m_folder)) {
        const QString below = in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
        const int error = DirHandle::openPath(FsPath::toBytes(in->root), FsPath::toBytes(below), m_parent);
        if (error == ELOOP)
            m_refusal = AdminAuth::linkRefusal(m_folder);
        return error;
    }
    m_parent = DirHandle::Fd(::open(FsPath::toBytes(m_folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return m_parent.valid() ? 0 : errno;
}

int PluginRemoval::run()
{
    if (const int error = look())
        return error;
    if (const int error = m_change->write()) {
        journalRefused(error);
        return error;
    }
    if (const int error = makeRoom())
        return error;
    // Once in the room the delete is to be finished, whatever stops it.
    if (const int error = m_change->setState(SafeFS::JournalEntry::State::finish)) {
        journalRefused(error);
        return error;
    }
    return moveOut();
}

int PluginRemoval::look()
{
    const std::string name = FsPath::toBytes(m_name);
    if (!DirHandle::isPlainName(name))
        return EINVAL;
    m_nameBytes = name;
    if (const int error = openFolder())
        return error;
    SafeFS::Identity there;
    if (const int error = SafeFS::identityAt(m_parent.get(), name, there))
        return error;
    holdItem(name, m_seen.known() ? m_seen : there);
    // Only the item the user saw goes; the name only says where to look for it.
    if (m_seen.known() && !(there == m_seen)) {
        m_notes.append(QStringLiteral("「") + FsPath::displayText(m_name)
                       + QStringLiteral("」在列表显示后已被换成别的项目，未删除：") + FsPath::displayText(m_path));
        return ESTALE;
    }
    m_item = m_seen.known() ? m_seen : there;
    if (!m_change)
        m_change = std::make_shared<JournalChange>("remove");
    m_place = m_change->place(AppJournal::placeOf(m_folder));
    m_roomName = m_change->hiddenName(m_place, name, "removing");
    auto& items = m_change->items();
    items.push_back(JournalChange::item(Role::room, m_place, m_roomName, {}, {}));
    m_roomItem = items.size() - 1;
    return 0;
}

void PluginRemoval::journalRefused(int error)
{
    m_refusal = m_change->failureText(error) + QStringLiteral("\n插件没有删除。");
}

int PluginRemoval::makeRoom()
{
    if (m_roomItem == kNoItem)
        return EINVAL;
    int error = FileOps::current().stepFault(FileOps::Step::makeFolder, m_folder + QLatin1Char('/') + FsPath::fromBytes(m_roomName));
    if (!error)
        error = m_room.make(m_parent.get(), m_roomName);
    if (error)
        return error;
    auto& items = m_change->items();
    items[m_roomItem].identity = m_room.identity();
    items.push_back(JournalChange::item(Role::old, m_place, m_roomName + "/" + m_nameBytes, m_nameBytes, m_item));
    return 0;
}

int PluginRemoval::moveOut()
{
    if (!roomMade())
        return EINVAL;
    const std::string& name = m_nameBytes;
    const std::string& roomName = m_roomName;
    DirHandle::Owners owners = SafeFS::ownersOf(m_parent.get(), name, ::geteuid());
    owners.spared = m_spared;
    SafeFS::Removal removal;
    int error = FileOps::current().stepFault(FileOps::Step::rename, m_path + QLatin1Char('\n') + m_folder + QLatin1Char('/')
                                                                      + FsPath::fromBytes(roomName) + QLatin1Char('/') + m_name);
    if (!error) {
        m_moved = true;
        // Memory that runs out while the room is emptied leaves the rest there, recorded.
        try {
            error = SafeFS::removeThroughRoom(m_parent.get(), name, m_room.fd(), name, m_item, owners, removal);
        } catch (const std::bad_alloc&) {
            error = ENOMEM;
        }
    }
    noteRemoval(removal);
    if (error == EACCES || error == EPERM) {
        // In the room when it could be moved there, else still at its name.
        struct stat inRoom {};
        AdminAuth::Item admin;
        admin.folder = m_folder;
        admin.name = m_name;
        admin.identity = m_item;
        admin.room = FsPath::fromBytes(roomName);
        admin.roomIdentity = m_room.identity();
        admin.inRoom = ::fstatat(m_room.fd(), name.c_str(), &inRoom, AT_SYMLINK_NOFOLLOW) == 0;
        admin.shownName = m_name;
        admin.owner = m_told;
        m_forAdmin = admin;
        m_change->keep();
    } else if (error) {
        m_change->keep();
    } else {
        // Done: the room goes, and the delete is synced before it is reported, through handles
        // held from before it (JournalChange); a group's change is synced once, for all.
        dropRoom();
        if (!m_shared)
            m_writeError = m_change->close();
    }
    // Not removed, and told why: another user's item, or not the plug-in that was asked for.
    if (!error && removal.mismatch)
        return ESTALE;
    if (!error && !removal.left.empty())
        return ENOTEMPTY;
    return error;
}

void PluginRemoval::dropRoom() noexcept
{
    try {
        if (m_room.valid() && m_room.removeIfEmpty(m_parent.get()) != 0 && m_change)
            m_change->keep();
    } catch (...) {
        if (m_change)
            m_change->keep(); // out of memory: the room is the journal's
    }
}

void PluginRemoval::noteRemoval(const SafeFS::Removal& removal)
{
    const QString back = m_folder + QLatin1Char('/') + FsPath::fromBytes(removal.returnedAs);
    if (removal.mismatch)
        m_notes.append(QStringLiteral("「") + FsPath::displayText(m_name) + QStringLiteral("」已被换成别的项目，未删除：")
                       + FsPath::displayText(back));
    for (const std::string& left : removal.left) {
        const QString at = back + (left.empty() ? QString() : QLatin1Char('/') + FsPath::fromBytes(left));
        const bool listed = std::any_of(m_spared.begin(), m_spared.end(), [&](const SafeFS::Identity& spared) {
            SafeFS::Identity here;
            return SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(at), here) == 0 && here == spared;
        });
        m_notes.append((listed ? QStringLiteral("列表中的另一个插件被移到了这里，未删除：") : QStringLiteral("其他用户的文件未删除："))
                       + FsPath::displayText(at));
    }
}

// A handle on the item itself, where the system gives one without rights on it: whatever is
// renamed or exchanged in the folder, it tells whether that item is gone (no links left).
void PluginRemoval::holdItem(const std::string& name, const SafeFS::Identity& item)
{
#if defined(O_PATH)
    DirHandle::Fd held(::openat(m_parent.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    SafeFS::Identity opened;
    if (held.valid() && SafeFS::identityAt(held.get(), {}, opened) == 0 && opened == item)
        m_held = std::move(held);
#else
    (void)name;
    (void)item;
#endif
}

bool PluginRemoval::standsInLibrary() const
{
    if (!m_parent.valid())
        return true; // never looked: nothing was done
    const SafeFS::Identity item = m_item.known() ? m_item : m_seen;
    const auto inRoom = [&] {
        SafeFS::Identity there;
        return m_room.valid() && SafeFS::identityAt(m_room.fd(), FsPath::toBytes(m_name), there) == 0 && there == item;
    };
    if (m_held.valid()) {
        struct stat st {};
        if (::fstat(m_held.get(), &st) == 0)
            return st.st_nlink > 0 && !inRoom();
    }
    // Without a handle on it: looked for by its identity under every name in its folder.
    std::vector<std::string> names{FsPath::toBytes(m_name)};
    if (DirHandle::listNames(m_parent.get(), names) != 0)
        return true;
    return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
        SafeFS::Identity there;
        return SafeFS::identityAt(m_parent.get(), name, there) == 0 && there == item;
    });
}

bool PluginRemoval::standsAtName() const
{
    SafeFS::Identity there;
    if (!m_parent.valid())
        return true; // never looked: nothing was done
    return SafeFS::identityAt(m_parent.get(), FsPath::toBytes(m_name), there) == 0
        && there == (m_item.known() ? m_item : m_seen);
}

bool PluginRemoval::leftLibrary() const
{
    if (!m_moved)
        return false;
    try {
        return !standsInLibrary();
    } catch (const std::bad_alloc&) {
        return !standsAtName();
    }
}

std::optional<uid_t> PluginRemoval::ownerOf(const QString& path, const SafeFS::Identity& seen)
{
    if (!seen.known())
        return std::nullopt;
    return PluginOwner::at(path, seen);
}

QString PluginRemoval::remainsAt() const
{
    if (!m_room.valid())
        return {};
    std::vector<std::string> names;
    if (DirHandle::listNames(m_room.fd(), names) != 0 || names.empty())
        return {};
    return m_folder + QLatin1Char('/') + FsPath::fromBytes(m_room.name());
}

bool PluginRemoval::leftInRoom() const noexcept
{
    struct stat st {};
    return m_moved && m_room.valid()
        && ::fstatat(m_room.fd(), m_nameBytes.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void PluginRemoval::settle()
{
    if (m_change)
        (void)m_change->settle();
}

PluginRemovalGroup::PluginRemovalGroup() : m_change(std::make_shared<JournalChange>("remove")) {}

PluginRemovalGroup::~PluginRemovalGroup() = default;

PluginRemoval& PluginRemovalGroup::add(const QString& path, const SafeFS::Identity& seen,
                                       std::vector<SafeFS::Identity> spared)
{
    m_removals.push_back(std::make_unique<PluginRemoval>(path, seen, std::move(spared), m_change));
    return *m_removals.back();
}

std::vector<int> PluginRemovalGroup::prepare()
{
    std::vector<int> errors;
    try {
        errors.assign(m_removals.size(), 0);
    } catch (const std::bad_alloc&) {
        return {};
    }
    const auto each = [&](auto step) {
        bool any = false;
        for (std::size_t i = 0; i < m_removals.size(); ++i) {
            if (errors[i])
                continue;
            try {
                errors[i] = step(*m_removals[i]);
            } catch (const std::bad_alloc&) {
                errors[i] = ENOMEM;
            }
            any = any || errors[i] == 0;
        }
        return any;
    };
    // A write that failed: none of those it was to record takes its step.
    const auto refused = [&](int error) {
        for (std::size_t i = 0; i < m_removals.size(); ++i) {
            if (errors[i])
                continue;
            errors[i] = error;
            try {
                m_removals[i]->journalRefused(error);
            } catch (const std::bad_alloc&) {
            }
        }
    };
    // Every room named before any is made: recovery removes one it has no identity of only
    // while it is empty.
    if (!each([](PluginRemoval& removal) { return removal.look(); }))
        return errors;
    if (const int error = m_change->write()) {
        refused(error);
        return errors;
    }
    if (!each([](PluginRemoval& removal) { return removal.makeRoom(); }))
        return errors;
    // The rooms by identity and every plug-in in its room, before the first move: from here
    // recovery empties whatever it finds in a room, and leaves a plug-in at its name whole.
    if (const int error = m_change->setState(SafeFS::JournalEntry::State::finish))
        refused(error);
    return errors;
}

void PluginRemovalGroup::settle()
{
    (void)m_change->settle();
}

int PluginRemovalGroup::close()
{
    for (const auto& removal : m_removals)
        removal->dropRoom();
    return m_change->close();
}
