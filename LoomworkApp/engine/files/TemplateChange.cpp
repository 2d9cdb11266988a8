#include "engine/files/TemplateChange.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "LoomworkKit/ZFCFolderStack.h"
#include "LoomworkKit/ZFCPackageError.h"
#include <SafeFS/Durable.h>
#include <SafeFS/HiddenName.h>
#include "engine/files/AdminAuth.h"
#include "engine/files/AppJournal.h"
#include "engine/core/FsPath.h"
#include "engine/files/JournalChange.h"
#include "engine/files/LibraryWalk.h"
#include "engine/files/PluginFolderOpen.h"
#include "engine/files/TemplateChangeHooks.h"
#include "engine/files/SystemPath.h"
#include "engine/core/SystemError.h"
#include "engine/files/TemplateEditError.h"

namespace {

using Role = SafeFS::JournalItem::Role;

// A staging folder of ours beside the templates of one folder holds their new contents under
// short names of its own ("0", "1", …), so any template name fits.
constexpr char kPurpose[] = "rewrite";
// The old content's name in the staging folder where the file system cannot exchange.
constexpr char kAsideSuffix[] = "-old";
// A step's result when what an exchange brought out was not the template read: another item
// was put at its name meanwhile.
constexpr int kNotTheTemplate = -1;

SafeFS::Identity identityOf(const struct stat& st)
{
    return {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

std::string parentOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Another item than the plug-in the list showed, or than a template read from it, stands at
// the name.
QString changedAfterShown(const std::string& plugin)
{
    return QStringLiteral("「") + FsPath::displayText(FsPath::fromBytes(nameOf(plugin)))
        + QStringLiteral("」在列表显示后已被改动或替换，未作修改。请刷新列表后重试。");
}

// A folder of the plug-in: relative to it through handles in the system library, else its path.
int openFolder(int plugin, bool system, const std::string& folder, DirHandle::Fd& out)
{
    if (system)
        return DirHandle::openBelow(plugin, folder, out);
    out = DirHandle::Fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return out.valid() ? 0 : errno;
}

int writeAll(int fd, const char* data, std::size_t left)
{
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        data += n;
        left -= std::size_t(n);
    }
    return 0;
}

// The part of `relative` (below the folder `top`) that is a link, for the message; the
// whole path when none is found (it may have been swapped back meanwhile).
std::string linkOnTheWay(int top, const std::string& relative)
{
    DirHandle::Fd at(::fcntl(top, F_DUPFD_CLOEXEC, 0));
    std::size_t from = 0;
    while (at.valid() && from <= relative.size()) {
        const auto slash = relative.find('/', from);
        const std::size_t end = slash == std::string::npos ? relative.size() : slash;
        const std::string part = relative.substr(from, end - from);
        struct stat st;
        if (::fstatat(at.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            return relative.substr(0, end);
        DirHandle::Fd next;
        if (slash == std::string::npos || DirHandle::openChild(at.get(), part, next) != 0)
            break;
        at = std::move(next);
        from = end + 1;
    }
    return relative;
}

} // namespace

TemplateChange::TemplateChange(const QString& folder, std::shared_ptr<JournalChange> change,
                               const SafeFS::Identity& seen)
    : m_folder(folder), m_native(PluginFolderOpen::nativeFolder(folder)), m_ownsChange(!change)
{
    PluginFolderOpen::Opened opened = PluginFolderOpen::open(folder);
    const QString name = FsPath::displayText(FsPath::fromBytes(nameOf(m_native)));
    // Never beside another operation on the plug-in, nor an earlier change of it still
    // removing its old contents.
    if (opened.fd.valid() && SafeFS::identityAt(opened.fd.get(), {}, m_pluginIdentity) == 0)
        m_lease = PluginLease::take(m_pluginIdentity, name);
    m_change = change ? std::move(change) : std::make_shared<JournalChange>("template");
    m_system = opened.system;
    if (!opened.refusal.isEmpty())
        throw TemplateEditError(opened.refusal);
    // Only the plug-in the list showed is changed: another item put at its name since, or
    // none, is left as it is.
    if (seen.known() && (opened.error == 0 || opened.error == ENOENT) && !(opened.identity == seen))
        throw TemplateEditError(changedAfterShown(m_native));
    // A plug-in removed meanwhile simply has no templates.
    if (opened.error && opened.error != ENOENT)
        throw TemplateEditError(QStringLiteral("插件「") + name + QStringLiteral("」：") + SystemError::describe(opened.error));
    m_plugin = std::move(opened.fd);
    m_pluginPlace = AppJournal::placeOf(folder);
    // The plug-in's own folder is a place of the entry as the folders of its templates are
    // (by its real path in the user's library): a plug-in removed or renamed before recovery
    // is known by it, whatever folders below it hold the templates.
    if (m_plugin.valid()) {
        SafeFS::JournalPlace place = m_pluginPlace;
        if (!m_system) {
            if (char* real = ::realpath(m_native.c_str(), nullptr)) {
                place = {real, std::string(), true};
                ::free(real);
            }
        }
        (void)m_change->place(place);
    }
}

// Staging folders left by a change that did not get to its end go, unless the change is
// recorded for recovery: then they are recovery's.
TemplateChange::~TemplateChange()
{
    try {
        clearRooms();
    } catch (...) {
        if (m_change)
            m_change->keep(); // out of memory: the rooms are the journal's
    }
}

void TemplateChange::clearRooms()
{
    if (!m_change || m_change->kept())
        return;
    m_openedFolder = SIZE_MAX;
    m_openedStaging = SafeFS::Room();
    for (std::size_t i = 0; i < m_folders.size(); ++i) {
        Folder& folder = m_folders[i];
        if (!folder.made)
            continue;
        DirHandle::Fd dir;
        SafeFS::Room room;
        std::vector<std::string> names;
        bool cleared = openFolder(m_plugin.get(), m_system, folder.path, dir) == 0
            && room.find(dir.get(), folder.staging, folder.identity) == 0 && DirHandle::listNames(room.fd(), names) == 0;
        for (const std::string& name : names) {
            if (!cleared)
                break;
            cleared = clearRoomItem(i, dir.get(), room.fd(), name) == 0;
        }
        if (!cleared || room.removeIfEmpty(dir.get()) != 0)
            m_change->keep();
        else
            folder.made = false;
    }
}

// One item of a staging folder: a file this change made goes; an old content stays for
// recovery (kept as the entry's); anything else came in from the shared folder and goes back
// out there, never removed.
int TemplateChange::clearRoomItem(std::size_t folder, int dir, int room, const std::string& name)
{
    SafeFS::Identity found;
    if (const int error = SafeFS::identityAt(room, name, found))
        return error == ENOENT ? 0 : error;
    const bool made = std::any_of(m_made.begin(), m_made.end(), [&](const std::pair<std::size_t, SafeFS::Identity>& each) {
        return each.first == folder && each.second == found;
    });
    if (made)
        return DirHandle::removeAt(room, name);
    const bool old = std::any_of(m_staged.begin(), m_staged.end(), [&](const Staged& each) {
        return each.folder == folder && each.old == found;
    });
    if (old)
        return EEXIST;
    // Named as the template whose place it was taken from.
    std::string backAs = name;
    for (const Staged& each : m_staged) {
        if (each.folder == folder && (name == each.file || name == each.file + kAsideSuffix))
            backAs = each.name;
    }
    return returnOut(folder, dir, room, name, SafeFS::Identity(), backAs);
}

// Moves `inside` of the staging folder `room` of `folder` back out to `dir`, as `name` or,
// where that is taken, "name 2", …, unless it is `ours` (then it goes). Where it went is told
// in the change's message.
int TemplateChange::returnOut(std::size_t folder, int dir, int room, const std::string& inside,
                              const SafeFS::Identity& ours, const std::string& name)
{
    SafeFS::Removal removal;
    const int error = SafeFS::removeInRoom(room, inside, ours, SafeFS::ownersOf(room, inside, ::geteuid()), dir, name,
                                           removal);
    if (!removal.returnedAs.empty()) {
        const std::string& path = m_folders[folder].path;
        const std::string at = m_system ? (path.empty() ? m_native : m_native + '/' + path) : path;
        m_returned.push_back(at + '/' + removal.returnedAs);
    }
    return error;
}

const std::vector<std::string>& TemplateChange::templates()
{
    if (m_templates)
        return *m_templates;
    m_templates.emplace();
    if (!m_plugin.valid())
        return *m_templates;
    // Linked folders are passed over; linked templates are reported: the system library refuses
    // them, the user's are rewritten where they point.
    const int gather = LibraryWalk::templateFiles | LibraryWalk::links;
    auto walk = m_system ? LibraryWalk::walkAt(m_plugin.get(), m_native, gather) : LibraryWalk::walk(m_native, gather);
    if (m_system && !walk.links.empty()) {
        m_templates.reset();
        refuseLink(walk.links.front().substr(m_native.size() + 1));
    }
    // Templates deeper down would be left as they are: the change would not be whole.
    if (!walk.tooDeep.empty()) {
        m_templates.reset();
        throw TemplateEditError(QStringLiteral("插件「") + FsPath::displayText(FsPath::fromBytes(nameOf(m_native)))
                                + QStringLiteral("」的文件夹嵌套超过 %1 层：").arg(ZFCFolderStack::maxDepth)
                                + QString::fromStdString(ZFCPackageError::quotedName(walk.tooDeep.substr(m_native.size() + 1))));
    }
    *m_templates = std::move(walk.templates);
    return *m_templates;
}

std::optional<QByteArray> TemplateChange::read(const std::string& path, qint64 maxBytes)
{
    DirHandle::Fd file;
    if (!m_system) {
        // The user's linked template is read where it points, as it is rewritten there; never
        // blocking on a FIFO (reading refuses anything but a regular file).
        file = DirHandle::Fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    } else {
        const std::string shown = path.substr(m_native.size() + 1);
        int error = 0;
        const std::size_t folder = folderOf(parentOf(shown), error);
        error = DirHandle::openFileAt(folderFd(folder, shown), nameOf(shown), file);
        if (error == ELOOP)
            refuseLink(linkOnTheWay(m_plugin.get(), shown));
    }
    // What is staged later replaces this very file, known by the handle it was read through.
    QByteArray bytes;
    SafeFS::Identity identity;
    if (!file.valid() || SafeFS::identityAt(file.get(), {}, identity) != 0
        || !LibraryWalk::readOpenFile(file.get(), maxBytes, bytes))
        return std::nullopt;
    m_read[path] = identity;
    return bytes;
}

// The folder `folder` (inside the plug-in in the system library, else its path), registered
// with its place and its staging folder's name the first time; the user's folders go by their
// real path, so each has one staging folder however it is reached.
std::size_t TemplateChange::folderOf(const std::string& folder, int& error)
{
    error = 0;
    std::string key = folder;
    if (!m_system) {
        const auto known = m_realFolders.find(folder);
        if (known != m_realFolders.end()) {
            key = known->second;
        } else {
            char* real = ::realpath(folder.c_str(), nullptr);
            if (!real) {
                error = errno;
                return SIZE_MAX;
            }
            key = real;
            ::free(real);
            m_realFolders.emplace(folder, key);
        }
    }
    const auto found = m_folderIndex.find(key);
    if (found != m_folderIndex.end())
        return found->second;
    Folder added;
    added.path = key;
    SafeFS::JournalPlace place = m_pluginPlace;
    if (m_system)
        place.folder = key.empty() ? place.folder : place.folder.empty() ? key : place.folder + '/' + key;
    else
        place = {key, std::string(), true};
    added.place = m_change->place(place);
    added.staging = m_change->hiddenName(added.place, nameOf(m_native), kPurpose);
    m_change->items().push_back(JournalChange::item(Role::room, added.place, added.staging, {}, {}));
    m_folders.push_back(std::move(added));
    m_folderIndex.emplace(key, m_folders.size() - 1);
    return m_folders.size() - 1;
}

// The folder `folder` (or its staging folder) through the handle last opened, in the system
// library walked from the plug-in down. 0 or the errno; never throws (commit's steps use it).
int TemplateChange::opened(std::size_t folder, bool staging, int& fd)
{
    if (m_openedFolder != folder) {
        m_openedFolder = SIZE_MAX;
        m_openedStaging = SafeFS::Room();
        if (const int error = openFolder(m_plugin.get(), m_system, m_folders[folder].path, m_openedFd))
            return error;
        m_openedFolder = folder;
    }
    if (staging && !m_openedStaging.valid()) {
        const Folder& at = m_folders[folder];
        if (const int error = m_openedStaging.find(m_openedFd.get(), at.staging, at.identity))
            return error;
    }
    fd = staging ? m_openedStaging.fd() : m_openedFd.get();
    return 0;
}

int TemplateChange::folderFd(std::size_t folder, const std::string& shown)
{
    int fd = -1;
    const int error = folder == SIZE_MAX ? ENOENT : opened(folder, false, fd);
    if (error == ELOOP && m_system)
        refuseLink(linkOnTheWay(m_plugin.get(), m_folders[folder].path));
    if (error)
        fail(shown, error);
    return fd;
}

// The staging folder beside the templates of `folder`, named in the entry before it is made.
// The first one written names those of every folder the templates lie in, so that a change
// of many folders writes its entry once.
void TemplateChange::makeStaging(std::size_t folder, const std::string& shown)
{
    if (m_folders[folder].made)
        return;
    std::vector<std::size_t> toMake{folder};
    // The folders the user's linked templates lie in, outside the plug-in: their rooms are made
    // where they can be; one that cannot is made, or refused, when a template there is staged.
    std::vector<std::size_t> linked;
    if (!m_folders[folder].recorded) {
        // The folders of the plug-in's templates (a rewrite of them all) are made at once, and
        // recorded by identity in one write: a change of many folders syncs its entry twice,
        // not twice a folder.
        const auto listed = [&](std::size_t at) {
            return at == folder || m_folders[at].made || std::find(toMake.begin(), toMake.end(), at) != toMake.end()
                || std::find(linked.begin(), linked.end(), at) != linked.end();
        };
        if (m_templates) {
            for (const std::string& path : *m_templates) {
                int error = 0;
                const std::size_t at = folderOf(m_system ? parentOf(path.substr(m_native.size() + 1)) : parentOf(path), error);
                if (!error && !listed(at))
                    toMake.insert(toMake.begin(), at); // `folder` last: its room stays open
                struct stat st {};
                if (m_system || ::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
                    continue;
                char* real = ::realpath(path.c_str(), nullptr);
                if (!real)
                    continue;
                const std::string target = real;
                ::free(real);
                const std::size_t where = folderOf(parentOf(target), error);
                if (!error && !listed(where))
                    linked.push_back(where);
            }
        }
        if (const int error = m_change->write())
            // The journal's fault, not the template's; nothing is staged yet.
            throw TemplateEditError(m_change->failureText(error) + QStringLiteral("\n插件没有改动。"));
        for (Folder& each : m_folders)
            each.recorded = true;
    }
    const auto recordIdentity = [&](Folder& made, const SafeFS::Room& room) {
        made.made = true;
        made.identity = room.identity();
        for (SafeFS::JournalItem& each : m_change->items()) {
            if (each.place == made.place && each.path == made.staging)
                each.identity = made.identity;
        }
    };
    for (const std::size_t i : linked) {
        int dir = -1;
        SafeFS::Room room;
        if (opened(i, false, dir) == 0 && room.make(dir, m_folders[i].staging) == 0)
            recordIdentity(m_folders[i], room);
    }
    SafeFS::Room room;
    for (const std::size_t i : toMake) {
        Folder& made = m_folders[i];
        const int dir = folderFd(i, shown);
        room = SafeFS::Room();
        if (const int error = room.make(dir, made.staging))
            failIn(i, dir, error);
        recordIdentity(made, room);
    }
    m_openedStaging = std::move(room);
    // By identity before anything goes in: recovery removes a room without one only while it is
    // empty.
    if (const int error = m_change->write())
        throw TemplateEditError(m_change->failureText(error) + QStringLiteral("\n插件没有改动。"));
}

void TemplateChange::stage(const std::string& path, const QByteArray& bytes)
{
    try {
        const std::size_t made = m_made.size();
        m_lastError = 0;
        try {
            stageFile(path, bytes);
        } catch (const TemplateEditError&) {
            // Short of space: the old contents of earlier changes on this disk may be what holds
            // it. Once they are gone, the file is staged once more before the disk is called full.
            if (m_lastError != ENOSPC || !dropPartial(made))
                throw;
            stageFile(path, bytes);
        }
    } catch (const std::bad_alloc&) {
        // Out of memory between steps: what was made is the journal's to remove.
        m_change->keep();
        static const QString outOfMemory = QStringLiteral("内存不足，模板没有改动。");
        throw TemplateEditError(outOfMemory);
    }
}

void TemplateChange::stageFile(const std::string& path, const QByteArray& bytes)
{
    const std::string shown = path.substr(m_native.size() + 1);
    std::string name = nameOf(shown);
    int error = 0;
    std::size_t folder = folderOf(m_system ? parentOf(shown) : parentOf(path), error);
    if (error)
        fail(shown, error);
    int dir = folderFd(folder, shown);
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        fail(shown, errno);
    if (S_ISLNK(st.st_mode) && m_system)
        refuseLink(shown);
    if (S_ISLNK(st.st_mode)) {
        // The user's own linked template is rewritten where it points; the link stays.
        char* real = ::realpath(path.c_str(), nullptr);
        if (!real)
            fail(shown, errno);
        const std::string target = real;
        ::free(real);
        name = nameOf(target);
        folder = folderOf(parentOf(target), error);
        if (error)
            fail(shown, error);
        dir = folderFd(folder, shown);
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            fail(shown, errno);
    }
    if (!S_ISREG(st.st_mode))
        fail(shown, S_ISLNK(st.st_mode) ? ELOOP : EINVAL);
    SafeFS::Identity old = identityOf(st);
    (void)SafeFS::identityAt(dir, name, old); // with its birth time, where the file system tells it
    // Only the template that was read is replaced: another item put at its name since would be
    // swapped out and removed as the old content.
    if (const auto read = m_read.find(path); read != m_read.end() && !(read->second == old))
        throw TemplateEditError(changedAfterShown(m_native));
    makeStaging(folder, shown);
    Staged staged;
    staged.shown = shown;
    staged.folder = folder;
    staged.name = name;
    staged.file = std::to_string(m_staged.size());
    staged.old = old;
    error = attempt([&] {
        int into = -1;
        if (const int opening = opened(folder, true, into))
            return opening;
        DirHandle::Fd out;
        if (const int creating = DirHandle::createFileAt(into, staged.file, 0600, out))
            return creating;
        // Known from its creation on: only what this change made ever goes from its rooms.
        if (const int looking = SafeFS::identityAt(out.get(), {}, staged.made)) {
            (void)::unlinkat(into, staged.file.c_str(), 0); // our own name in our own room
            return looking;
        }
        m_made.emplace_back(folder, staged.made);
        // Only the permission bits: a set-ID bit must not come along onto a file that may now
        // be ours.
        if (::fchmod(out.get(), st.st_mode & 0777) != 0)
            return errno;
        if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(out.get(), st.st_uid, st.st_gid) != 0) {
            // Not our file to give away: it keeps our ownership, as any editor would leave it.
        }
        if (const int writing = writeAll(out.get(), bytes.constData(), std::size_t(bytes.size())))
            return writing;
        return ::close(out.release()) == 0 ? 0 : errno;
    });
    if (error)
        fail(shown, error);
    m_staged.push_back(std::move(staged));
}

// Every staged file and its name on disk: one sync per file system for the change
// (SafeFS::SyncBatch), not the files' own fsyncs one after another.
int TemplateChange::syncStaged()
{
    SafeFS::SyncBatch batch;
    for (std::size_t i = 0; i < m_folders.size(); ++i) {
        int fd = -1;
        if (!m_folders[i].made)
            continue;
        if (const int error = opened(i, true, fd))
            return error;
        if (const int error = batch.addTree(fd))
            return error;
    }
    return batch.sync();
}

// The folder holding a staged file's template, and its staging folder.
int TemplateChange::openedPair(std::size_t folder, int& dir, int& into)
{
    if (const int error = opened(folder, false, dir))
        return error;
    return opened(folder, true, into);
}

int TemplateChange::exchange(Staged& staged)
{
    int dir = -1;
    int into = -1;
    if (const int error = openedPair(staged.folder, dir, into))
        return error;
    // Where the file system cannot exchange, the old content goes aside in the room first, so
    // that the name is only ever taken by our own file.
    bool exchanged = false;
    const int error = DirHandle::swapIn(into, staged.file, dir, staged.name, into, staged.file + kAsideSuffix, exchanged);
    if (error)
        return error;
    staged.state = exchanged ? Staged::State::exchanged : Staged::State::movedAside;
    // Whatever stands at a name in a folder others may write is what came out: it must be the
    // template read, or it goes back at once.
    SafeFS::Identity came;
    if (SafeFS::identityAt(into, exchanged ? staged.file : staged.file + kAsideSuffix, came) == 0 && came == staged.old)
        return 0;
    // Should that fail, the change's undo tries again, or leaves it recorded.
    (void)putBack(staged);
    return kNotTheTemplate;
}

int TemplateChange::putBack(Staged& staged)
{
    if (staged.state == Staged::State::staged)
        return 0;
    int dir = -1;
    int into = -1;
    if (const int error = openedPair(staged.folder, dir, into))
        return error;
    const int error = DirHandle::swapBack(into, staged.file, dir, staged.name, into, staged.file + kAsideSuffix,
                                          staged.state == Staged::State::exchanged);
    if (error)
        return error;
    staged.state = Staged::State::staged;
    // What came back into the room must be our new content; another item put at the name
    // meanwhile goes back out.
    SafeFS::Identity came;
    if (SafeFS::identityAt(into, staged.file, came) != 0 || came == staged.made)
        return 0;
    // The old content itself came back, another item standing at its name by now: it is to go
    // back once more, as after an exchange.
    if (came == staged.old) {
        staged.state = Staged::State::exchanged;
        return EEXIST;
    }
    return returnOut(staged.folder, dir, into, staged.file, staged.made, staged.name);
}

int TemplateChange::commit()
{
    try {
        return commitSteps();
    } catch (const std::bad_alloc&) {
        // Memory ran out between two steps: they stand where the entry says, for recovery.
        m_change->keep();
        static const QString recorded = QStringLiteral("内存不足，改动已记录，会在下次启动或下一次修改前改完或改回原样。");
        throw TemplateEditError(recorded);
    }
}

int TemplateChange::commitSteps()
{
    if (m_staged.empty())
        return 0;
    // Every staged file and name durable before the entry names them as the change's result.
    if (const int error = syncStaged())
        failCommit(0, error);
    auto& items = m_change->items();
    for (const Staged& staged : m_staged) {
        const Folder& folder = m_folders[staged.folder];
        const std::string file = folder.staging + '/' + staged.file;
        items.push_back(JournalChange::item(Role::made, folder.place, file, staged.name, staged.made));
        items.push_back(JournalChange::item(Role::old, folder.place, file, staged.name, staged.old));
        items.push_back(JournalChange::item(Role::old, folder.place, file + kAsideSuffix, staged.name, staged.old));
    }
    // Nothing is exchanged before the entry says finish: without it the plug-in stays as it was.
    if (const int error = attempt([&] { return m_change->setState(SafeFS::JournalEntry::State::finish); }))
        throw TemplateEditError(m_change->failureText(error) + QStringLiteral("\n插件没有改动。"));

    // Recorded as finished: a kill from here on is finished by recovery.
    for (std::size_t i = 0; i < m_staged.size(); ++i) {
        if (const int error = attempt([&] { return exchange(m_staged[i]); }))
            failCommit(i, error);
    }
    const int changed = int(m_staged.size());
    // Reported only once durable: a power cut after the message must leave the new templates.
    // A write error the disk reports is told; the entry stays for recovery to look at again.
    if (const int error = attempt([&] { return m_change->sync(); })) {
        m_change->keep();
        m_writeError = error;
    }
    removeLater();
    return changed;
}

// Each room emptied of the old contents it holds and removed.
// Never throws: what cannot be done stays recorded for recovery.
void TemplateChange::removeOld() noexcept
{
    try {
        // The exchanges were made durable before the call returned; the rooms' removal is made
        // durable by the entry's own removal (JournalChange).
        m_openedFolder = SIZE_MAX;
        m_openedStaging = SafeFS::Room();
        for (std::size_t i = 0; i < m_folders.size(); ++i) {
            if (m_folders[i].made && attempt([&] { return emptyRoom(i); }) != 0)
                m_change->keep();
        }
        m_staged.clear();
    } catch (...) {
        m_change->keep();
    }
}

// The room of `folder`: the old contents it holds (checked to be what the exchanges brought
// out) go, and so does the room once empty.
int TemplateChange::emptyRoom(std::size_t folder)
{
    DirHandle::Fd dir;
    SafeFS::Room room;
    std::vector<std::string> names;
    if (const int error = openFolder(m_plugin.get(), m_system, m_folders[folder].path, dir))
        return error;
    if (const int error = room.find(dir.get(), m_folders[folder].staging, m_folders[folder].identity))
        return error == ENOENT ? 0 : error;
    if (const int error = DirHandle::listNames(room.fd(), names))
        return error;
    int failed = 0;
    for (const std::string& name : names) {
        SafeFS::Identity found;
        if (SafeFS::identityAt(room.fd(), name, found) != 0)
            continue;
        const bool old = std::any_of(m_staged.begin(), m_staged.end(), [&](const Staged& each) {
            return each.folder == folder && each.old == found;
        });
        int error = old ? DirHandle::removeAt(room.fd(), name) : clearRoomItem(folder, dir.get(), room.fd(), name);
        if (error && !failed)
            failed = error;
    }
    if (!failed && (failed = room.removeIfEmpty(dir.get())) == 0)
        m_folders[folder].made = false;
    for (const std::string& path : m_returned)
        qWarning("Loomwork: %s", ("别的项目已放回：" + path).c_str());
    m_returned.clear();
    return failed;
}

// A step that failed after the finish state: the exchanges done are undone at once, so that
// the plug-in is wholly old; where that cannot be done, the entry says which way recovery is
// to take it.
void TemplateChange::failCommit(std::size_t failedAt, int error)
{
    const QString file = QStringLiteral("插件「") + FsPath::displayText(FsPath::fromBytes(nameOf(m_native)))
                       + QStringLiteral("」的文件「") + FsPath::displayText(FsPath::fromBytes(m_staged[failedAt].shown));
    // Another item that came out of the exchange is said to be back only once it is.
    const auto what = [&] {
        if (error != kNotTheTemplate)
            return file + QStringLiteral("」：") + SystemError::describe(error) + QLatin1Char('\n');
        return file + QStringLiteral("」在修改时被换成了别的项目")
            + (m_staged[failedAt].state == Staged::State::staged ? QStringLiteral("，那个项目已放回原处，没有删除。\n")
                                                                  : QStringLiteral("。\n"));
    };
    if (m_change->state() == SafeFS::JournalEntry::State::finish
        && m_change->setState(SafeFS::JournalEntry::State::undo) != 0) {
        m_change->keep();
        throw TemplateEditError(what() + QStringLiteral("其余模板会在下次启动或下一次修改前改完。") + returnedText());
    }
    for (std::size_t i = failedAt + 1; i-- > 0;) {
        if (m_staged[i].state != Staged::State::staged && attempt([&] { return putBack(m_staged[i]); }) != 0) {
            m_change->keep();
            throw TemplateEditError(what() + QStringLiteral("已改动的模板会在下次启动或下一次修改前改回原样。")
                                    + returnedText());
        }
    }
    // Now, so that whatever the rooms hold that is not ours is named here.
    clearRooms();
    throw TemplateEditError(what() + QStringLiteral("插件的模板都没有改动。") + returnedText());
}

// The items that came into a staging folder from the shared folder and went back out under
// another name than they had, one line each.
QString TemplateChange::returnedText() const
{
    QString text;
    for (const std::string& path : m_returned)
        text += QStringLiteral("\n别的项目已放回：") + FsPath::displayText(FsPath::fromBytes(path));
    return text;
}

// One step that changes the disk, numbered for the tests' hooks.
int TemplateChange::attempt(const std::function<int()>& step)
{
    ++m_steps;
    const auto [hook, fault] = TemplateChangeHooks::current();
    const int faulted = fault ? (*fault)(m_steps) : 0;
    const int error = faulted ? faulted : step();
    if (error == 0 && hook)
        (*hook)(m_steps);
    m_lastError = error;
    return error;
}

void TemplateChange::fail(const std::string& shown, int error) const
{
    throw TemplateEditError(QStringLiteral("插件「") + FsPath::displayText(FsPath::fromBytes(nameOf(m_native)))
                            + QStringLiteral("」的文件「") + FsPath::displayText(FsPath::fromBytes(shown))
                            + QStringLiteral("」：") + SystemError::describe(error));
}

// Its staging folder could not be made: the folder is named (another user's is said to be),
// not a template of it. Nothing is staged yet.
void TemplateChange::failIn(std::size_t folder, int fd, int error) const
{
    struct stat st {};
    const bool others = ::fstat(fd, &st) == 0 && st.st_uid != ::geteuid();
    const std::string& path = m_folders[folder].path;
    const QString name = QStringLiteral("插件「") + FsPath::displayText(FsPath::fromBytes(nameOf(m_native))) + QStringLiteral("」");
    const QString where = path.empty() || path == m_native
        ? name + QStringLiteral("的文件夹")
        : name + QStringLiteral("的文件夹「") + FsPath::displayText(FsPath::fromBytes(path)) + QStringLiteral("」");
    throw TemplateEditError(where + (others ? QStringLiteral("属于其他用户，") : QString()) + QStringLiteral("无法在其中修改模板：")
                            + SystemError::describe(error) + QStringLiteral("\n插件没有改动。"));
}

void TemplateChange::refuseLink(const std::string& shown) const
{
    throw TemplateEditError(AdminAuth::linkRefusal(m_folder + QLatin1Char('/') + FsPath::fromBytes(shown)));
}


