#include "engine/files/TemplateChange.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRandomGenerator>

#include "engine/files/AdminAuth.h"
#include "engine/files/FsPath.h"
#include "engine/files/LibraryWalk.h"
#include "engine/library/Plugin.h"
#include "engine/files/PluginFolderSwap.h"
#include "engine/files/SystemPath.h"
#include "engine/core/SystemError.h"
#include "engine/templates/TemplateInspector.h"

namespace {

using Clock = std::chrono::system_clock;

constexpr char kStagedPrefix[] = ".loomwork-rewrite-";
constexpr char kRecordSuffix[] = ".record";
constexpr char kRecordHeader[] = "loomwork rewrite record 1\n";
constexpr char kRecordEnd[] = "end\n";
// A record names at most every template of a plug-in; anything far larger is not ours.
constexpr qint64 kMaxRecordBytes = 64LL * 1024 * 1024;

std::function<void(int)>& stepHook()
{
    static std::function<void(int)> hook;
    return hook;
}

std::string randomName(const char* suffix)
{
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx",
                  static_cast<unsigned long long>(QRandomGenerator::system()->generate64()));
    return std::string(kStagedPrefix) + digits + suffix;
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

// The folder's bytes without a trailing "/", as the walks join names to it.
std::string nativeFolder(const QString& folder)
{
    std::string native = FsPath::toBytes(folder);
    while (native.size() > 1 && native.back() == '/')
        native.pop_back();
    return native;
}

struct OpenedPlugin
{
    bool system = false;
    DirHandle::Fd fd;
    int error = 0;
    QString refusal;
};

// In the system library the plug-in folder is reached one handle at a time from the library
// root (links above the root resolved once), so a folder swapped for a link is met here.
OpenedPlugin openPlugin(const QString& folder)
{
    OpenedPlugin opened;
    const auto in = SystemPath::inside(folder);
    opened.system = in.has_value();
    if (!opened.system) {
        opened.fd = DirHandle::Fd(::open(FsPath::toBytes(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        opened.error = opened.fd.valid() ? 0 : errno;
        return opened;
    }
    opened.refusal = AdminAuth::writeRefusal(folder);
    if (!opened.refusal.isEmpty()) {
        opened.error = ELOOP;
        return opened;
    }
    // Named as the caller wrote it, whether under the root or under its resolved form.
    QString shown = in->relative.isEmpty() ? folder : folder.left(folder.size() - in->relative.size() - 1);
    DirHandle::Fd at;
    if ((opened.error = DirHandle::openRoot(FsPath::toBytes(in->root), at))) {
        if (opened.error == ELOOP)
            opened.refusal = AdminAuth::linkRefusal(shown);
        return opened;
    }
    for (const QString& part : in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        shown += QLatin1Char('/') + part;
        DirHandle::Fd next;
        if ((opened.error = DirHandle::openChild(at.get(), FsPath::toBytes(part), next))) {
            if (opened.error == ELOOP)
                opened.refusal = AdminAuth::linkRefusal(shown);
            return opened;
        }
        at = std::move(next);
    }
    opened.fd = std::move(at);
    return opened;
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

// The content's time: a killed run's staged files and records are told by when they were written.
qint64 changedAt(const struct stat& st)
{
#ifdef __APPLE__
    const timespec written = st.st_mtimespec;
#else
    const timespec written = st.st_mtim;
#endif
    return qint64(written.tv_sec) * 1000000000 + written.tv_nsec;
}

// "header", then for each file its recorded path and its staged name, each ended by a zero
// byte, then "end". A record cut short by a kill has no end and counts as none.
QByteArray recordBytes(const std::vector<std::pair<std::string, std::string>>& pairs)
{
    QByteArray bytes(kRecordHeader);
    for (const auto& [target, staged] : pairs) {
        bytes.append(target.data(), qsizetype(target.size())).append('\0');
        bytes.append(staged.data(), qsizetype(staged.size())).append('\0');
    }
    return bytes.append(kRecordEnd);
}

std::optional<std::vector<std::pair<std::string, std::string>>> parseRecord(const QByteArray& bytes)
{
    if (!bytes.startsWith(kRecordHeader) || !bytes.endsWith(kRecordEnd))
        return std::nullopt;
    std::vector<std::pair<std::string, std::string>> pairs;
    qsizetype at = qsizetype(sizeof kRecordHeader - 1);
    const qsizetype end = bytes.size() - qsizetype(sizeof kRecordEnd - 1);
    while (at < end) {
        const qsizetype first = bytes.indexOf('\0', at);
        if (first < 0 || first >= end)
            return std::nullopt;
        const qsizetype second = bytes.indexOf('\0', first + 1);
        if (second < 0 || second >= end)
            return std::nullopt;
        pairs.emplace_back(std::string(bytes.constData() + at, std::size_t(first - at)),
                           std::string(bytes.constData() + first + 1, std::size_t(second - first - 1)));
        at = second + 1;
    }
    return at == end ? std::optional(std::move(pairs)) : std::nullopt;
}

bool isInsidePath(const std::string& relative)
{
    if (relative.empty() || relative.front() == '/')
        return false;
    std::size_t at = 0;
    for (;;) {
        const auto slash = relative.find('/', at);
        if (!DirHandle::isPlainName(std::string_view(relative).substr(at, slash == std::string::npos ? slash : slash - at)))
            return false;
        if (slash == std::string::npos)
            return true;
        at = slash + 1;
    }
}

// Every local user may write in the system library: there recovery touches only what this
// user made (as the handle it acts through shows it), and leaves another user's change for
// that user's own Loomwork to finish.
bool ours(const struct stat& st, bool system)
{
    return !system || st.st_uid == ::geteuid();
}

// Puts one recorded staged file in place of its template, when it is still there.
void finishOne(int plugin, bool system, const std::string& native, const std::string& target,
               const std::string& staged)
{
    if (!LibraryWalk::isStagedName(staged.c_str()))
        return;
    std::string folder;
    if (system) {
        // Only plain paths inside the plug-in: never a way out of it.
        if (!isInsidePath(target))
            return;
        folder = parentOf(target);
    } else {
        folder = target.front() == '/' ? parentOf(target) : parentOf(native + '/' + target);
    }
    DirHandle::Fd dir;
    struct stat st;
    if (openFolder(plugin, system, folder, dir) != 0
        || ::fstatat(dir.get(), staged.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)
        || !ours(st, system))
        return;
    if (DirHandle::renameAt(dir.get(), staged, dir.get(), nameOf(target), DirHandle::Rename::replace) == 0)
        ::fsync(dir.get());
}

void recoverOpened(int plugin, bool system, const std::string& native, const std::vector<std::string>& found,
                   Clock::time_point olderThan)
{
    const qint64 limit = std::chrono::duration_cast<std::chrono::nanoseconds>(olderThan.time_since_epoch()).count();
    // Records first, oldest first: they sit at the top of the plug-in.
    std::vector<std::pair<qint64, std::string>> records;
    for (const std::string& path : found) {
        const std::string name = nameOf(path);
        struct stat st;
        if (parentOf(path) == native && LibraryWalk::isRecordName(name.c_str())
            && ::fstatat(plugin, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
            && ours(st, system) && changedAt(st) < limit)
            records.emplace_back(changedAt(st), name);
    }
    std::sort(records.begin(), records.end());
    // A record we cannot read may name any staged file: it and they wait for a later run.
    bool unread = false;
    for (const auto& [changed, name] : records) {
        DirHandle::Fd file;
        QByteArray bytes;
        if (DirHandle::openFileAt(plugin, name, file) != 0 || !LibraryWalk::readOpenFile(file.get(), kMaxRecordBytes, bytes)) {
            unread = true;
            continue;
        }
        // One cut short by a kill names nothing: its staged files go below.
        if (const auto pairs = parseRecord(bytes)) {
            for (const auto& [target, staged] : *pairs)
                finishOne(plugin, system, native, target, staged);
        }
        ::unlinkat(plugin, name.c_str(), 0);
    }
    if (unread)
        return;
    // Then what no complete record names: staged files of a change killed before its record.
    for (const std::string& path : found) {
        const std::string name = nameOf(path);
        const std::string folder = parentOf(path);
        // In the system library only what lies inside the plug-in; the user's linked templates
        // are staged where they point.
        if (!LibraryWalk::isStagedName(name.c_str())
            || (system && folder != native && folder.rfind(native + '/', 0) != 0))
            continue;
        DirHandle::Fd dir;
        const std::string relative = folder.size() > native.size() ? folder.substr(native.size() + 1) : std::string();
        struct stat st;
        if (openFolder(plugin, system, system ? relative : folder, dir) == 0
            && ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
            && ours(st, system) && changedAt(st) < limit)
            ::unlinkat(dir.get(), name.c_str(), 0);
    }
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

// A change stages a linked template of the user's beside the file it points to, outside the
// walk: what a killed change left there is looked for in those folders too.
void addLinkedTemporaries(const std::vector<std::string>& links, std::vector<std::string>& found)
{
    std::set<std::string> folders;
    for (const std::string& link : links) {
        struct stat st;
        if (!LibraryWalk::isTemplateName(nameOf(link).c_str()) || ::stat(link.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (char* real = ::realpath(link.c_str(), nullptr)) {
            folders.insert(parentOf(real));
            ::free(real);
        }
    }
    for (const std::string& folder : folders) {
        DIR* dir = ::opendir(folder.c_str());
        if (!dir)
            continue;
        while (const dirent* entry = ::readdir(dir)) {
            if (LibraryWalk::isStagedName(entry->d_name))
                found.push_back(folder + '/' + entry->d_name);
        }
        ::closedir(dir);
    }
}

} // namespace

TemplateChange::TemplateChange(const QString& folder)
    : m_folder(folder), m_native(nativeFolder(folder))
{
    OpenedPlugin opened = openPlugin(folder);
    m_system = opened.system;
    if (!opened.refusal.isEmpty())
        throw TemplateEditError(opened.refusal);
    // A plug-in removed meanwhile simply has no templates.
    if (opened.error && opened.error != ENOENT)
        throw TemplateEditError(QStringLiteral("插件「") + FsPath::displayText(FsPath::fromBytes(nameOf(m_native)))
                                + QStringLiteral("」：") + SystemError::describe(opened.error));
    m_plugin = std::move(opened.fd);
}

TemplateChange::~TemplateChange()
{
    for (const Entry& entry : m_entries) {
        DirHandle::Fd dir;
        if (!entry.staged.empty() && openFolder(m_plugin.get(), m_system, entry.folder, dir) == 0)
            ::unlinkat(dir.get(), entry.staged.c_str(), 0);
    }
}

const std::vector<std::string>& TemplateChange::templates()
{
    if (m_templates)
        return *m_templates;
    m_templates.emplace();
    if (!m_plugin.valid())
        return *m_templates;
    // Linked folders are passed over; linked templates are reported: the system library refuses
    // them, the user's are rewritten where they point (see addLinkedTemporaries).
    const int gather = LibraryWalk::templateFiles | LibraryWalk::rewriteTemporaries | LibraryWalk::links;
    auto walk = m_system ? LibraryWalk::walkAt(m_plugin.get(), m_native, gather) : LibraryWalk::walk(m_native, gather);
    if (!m_system)
        addLinkedTemporaries(walk.links, walk.rewriteTemporaries);
    recoverOpened(m_plugin.get(), m_system, m_native, walk.rewriteTemporaries, PluginFolderSwap::startedAt());
    if (m_system && !walk.links.empty()) {
        m_templates.reset();
        refuseLink(walk.links.front().substr(m_native.size() + 1));
    }
    *m_templates = std::move(walk.templates);
    return *m_templates;
}

std::optional<QByteArray> TemplateChange::read(const std::string& path, qint64 maxBytes)
{
    QByteArray bytes;
    if (!m_system) {
        if (!LibraryWalk::readRegularFile(path, maxBytes, bytes, true))
            return std::nullopt;
        return bytes;
    }
    const std::string relative = path.substr(m_native.size() + 1);
    DirHandle::Fd file;
    const int error = DirHandle::openFileAt(folderFd(parentOf(relative), relative), nameOf(relative), file);
    if (error == ELOOP)
        refuseLink(linkOnTheWay(m_plugin.get(), relative));
    if (error || !LibraryWalk::readOpenFile(file.get(), maxBytes, bytes))
        return std::nullopt;
    return bytes;
}

TemplateChange::Entry TemplateChange::locate(const std::string& path)
{
    Entry entry;
    entry.shown = path.substr(m_native.size() + 1);
    entry.name = nameOf(entry.shown);
    entry.record = entry.shown;
    if (m_system) {
        entry.folder = parentOf(entry.shown);
        return entry;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // The user's own linked template is rewritten where it points; the link stays.
        char* real = ::realpath(path.c_str(), nullptr);
        if (!real)
            fail(entry.shown, errno);
        entry.record = real;
        ::free(real);
        entry.folder = parentOf(entry.record);
        entry.name = nameOf(entry.record);
        return entry;
    }
    entry.folder = parentOf(path);
    return entry;
}

int TemplateChange::folderFd(const std::string& folder, const std::string& shown)
{
    if (m_cachedFd.valid() && m_cachedFolder == folder)
        return m_cachedFd.get();
    m_cachedFd = DirHandle::Fd();
    DirHandle::Fd dir;
    const int error = openFolder(m_plugin.get(), m_system, folder, dir);
    if (error == ELOOP && m_system)
        refuseLink(linkOnTheWay(m_plugin.get(), folder));
    if (error)
        fail(shown, error);
    m_cachedFolder = folder;
    m_cachedFd = std::move(dir);
    return m_cachedFd.get();
}

void TemplateChange::stage(const std::string& path, const QByteArray& bytes)
{
    Entry entry = locate(path);
    const int dir = folderFd(entry.folder, entry.shown);
    struct stat st;
    if (::fstatat(dir, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        fail(entry.shown, errno);
    if (S_ISLNK(st.st_mode) && m_system)
        refuseLink(entry.shown);
    if (!S_ISREG(st.st_mode))
        fail(entry.shown, S_ISLNK(st.st_mode) ? ELOOP : EINVAL);
    DirHandle::Fd out;
    int error = EEXIST;
    for (int attempt = 0; error == EEXIST && attempt < 16; ++attempt) {
        entry.staged = randomName("");
        error = DirHandle::createFileAt(dir, entry.staged, 0600, out);
    }
    if (error)
        fail(entry.shown, error);
    m_entries.push_back(entry); // from here the destructor removes it unless it is committed
    ::fchmod(out.get(), st.st_mode & 07777);
    if (::fchown(out.get(), st.st_uid, st.st_gid) != 0) {
        // Not our file to give away: it keeps our ownership, as any editor would leave it.
    }
    if ((error = writeAll(out.get(), bytes.constData(), std::size_t(bytes.size()))) != 0
        || (::fsync(out.get()) != 0 && (error = errno) != 0) || (::close(out.release()) != 0 && (error = errno) != 0))
        fail(entry.shown, error);
    step();
}

int TemplateChange::commit()
{
    if (m_entries.empty())
        return 0;
    const std::string& first = m_entries.front().shown;
    if (!m_system) {
        // The user's plug-in is reached by its path, as its files are: a restore swaps a new
        // folder in under that path after staging, and the record belongs in that one.
        DirHandle::Fd now(::open(m_native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!now.valid())
            fail(first, errno);
        m_plugin = std::move(now);
    }
    // The staged names must outlive a crash before the record may name them.
    std::set<std::string> synced;
    for (const Entry& entry : m_entries) {
        if (synced.insert(entry.folder).second && ::fsync(folderFd(entry.folder, entry.shown)) != 0)
            fail(entry.shown, errno);
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const Entry& entry : m_entries)
        pairs.emplace_back(entry.record, entry.staged);
    const QByteArray bytes = recordBytes(pairs);
    std::string record;
    DirHandle::Fd out;
    int error = EEXIST;
    for (int attempt = 0; error == EEXIST && attempt < 16; ++attempt) {
        record = randomName(kRecordSuffix);
        error = DirHandle::createFileAt(m_plugin.get(), record, 0600, out);
    }
    if (error)
        fail(first, error);
    if ((error = writeAll(out.get(), bytes.constData(), std::size_t(bytes.size()))) != 0
        || (::fsync(out.get()) != 0 && (error = errno) != 0) || (::close(out.release()) != 0 && (error = errno) != 0)
        || (::fsync(m_plugin.get()) != 0 && (error = errno) != 0)) {
        ::unlinkat(m_plugin.get(), record.c_str(), 0);
        fail(first, error);
    }
    step();

    // Recorded: from here a kill is finished by recovery.
    std::string failedAt;
    int failure = 0;
    std::optional<std::string> openedFolder;
    DirHandle::Fd dir;
    for (Entry& entry : m_entries) {
        if (openedFolder != entry.folder) {
            dir = DirHandle::Fd();
            error = openFolder(m_plugin.get(), m_system, entry.folder, dir);
            openedFolder = entry.folder;
        }
        error = dir.valid() ? DirHandle::renameAt(dir.get(), entry.staged, dir.get(), entry.name,
                                                  DirHandle::Rename::replace)
                            : error;
        if (error) {
            if (failedAt.empty()) {
                failedAt = entry.shown;
                failure = error;
            }
            continue;
        }
        entry.staged.clear();
        step();
    }
    if (!failedAt.empty()) {
        // Not finished here, and no later recovery may put these contents over newer ones:
        // the record goes, the rest of the staged files with this object, and the user is told.
        ::unlinkat(m_plugin.get(), record.c_str(), 0);
        fail(failedAt, failure);
    }
    ::unlinkat(m_plugin.get(), record.c_str(), 0);
    step();
    const int changed = int(m_entries.size());
    m_entries.clear();
    return changed;
}

void TemplateChange::step()
{
    ++m_steps;
    if (stepHook())
        stepHook()(m_steps);
}

void TemplateChange::fail(const std::string& shown, int error) const
{
    throw TemplateEditError(QStringLiteral("插件「") + FsPath::displayText(FsPath::fromBytes(nameOf(m_native)))
                            + QStringLiteral("」的文件「") + FsPath::displayText(FsPath::fromBytes(shown))
                            + QStringLiteral("」：") + SystemError::describe(error));
}

void TemplateChange::refuseLink(const std::string& shown) const
{
    throw TemplateEditError(AdminAuth::linkRefusal(m_folder + QLatin1Char('/') + FsPath::fromBytes(shown)));
}

QString TemplateChange::refusal(const QString& folder)
{
    OpenedPlugin opened = openPlugin(folder);
    if (!opened.refusal.isEmpty())
        return opened.refusal;
    if (!opened.fd.valid())
        return {}; // the operation itself tells what is wrong
    const std::string native = nativeFolder(folder);
    const int gather = LibraryWalk::rewriteTemporaries | LibraryWalk::links;
    auto walk = opened.system ? LibraryWalk::walkAt(opened.fd.get(), native, gather) : LibraryWalk::walk(native, gather);
    if (!opened.system)
        addLinkedTemporaries(walk.links, walk.rewriteTemporaries);
    recoverOpened(opened.fd.get(), opened.system, native, walk.rewriteTemporaries, PluginFolderSwap::startedAt());
    if (opened.system && !walk.links.empty())
        return AdminAuth::linkRefusal(folder + QLatin1Char('/')
                                      + FsPath::fromBytes(walk.links.front().substr(native.size() + 1)));
    return {};
}

void TemplateChange::recover(const QString& folder, Clock::time_point olderThan)
{
    OpenedPlugin opened = openPlugin(folder);
    if (!opened.fd.valid())
        return;
    const std::string native = nativeFolder(folder);
    const int gather = LibraryWalk::rewriteTemporaries | (opened.system ? 0 : LibraryWalk::links);
    auto walk = opened.system ? LibraryWalk::walkAt(opened.fd.get(), native, gather) : LibraryWalk::walk(native, gather);
    if (!opened.system)
        addLinkedTemporaries(walk.links, walk.rewriteTemporaries);
    recoverOpened(opened.fd.get(), opened.system, native, walk.rewriteTemporaries, olderThan);
}

void TemplateChange::recover(const QString& folder, const std::vector<std::string>& found, Clock::time_point olderThan)
{
    if (found.empty())
        return;
    OpenedPlugin opened = openPlugin(folder);
    if (!opened.fd.valid())
        return;
    const std::string native = nativeFolder(folder);
    recoverOpened(opened.fd.get(), opened.system, native, found, olderThan);
}

void TemplateChange::setStepHook(std::function<void(int)> hook)
{
    stepHook() = std::move(hook);
}
