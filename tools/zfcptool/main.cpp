// zfcptool: drives LoomworkKit from the command line.
//   zfcptool list PACKAGE
//   zfcptool pack OUTPUT TYPE NAME DIR [TYPE NAME DIR ...]
//   zfcptool pack-each OUTDIR TYPE NAME DIR [TYPE NAME DIR ...]
//   zfcptool extract PACKAGE ROOT [INDEX [NAME]] [--overwrite]
// --progress (any command) prints every report on stderr as stage<TAB>subject<TAB>fraction.
// extract writes into hidden folders of its own beside where the plug-ins land and moves
// them into place only once the package has been read whole. Before its first visible step a
// run records what it makes and moves (a journal entry, SafeFS/Journal.h): a failure puts
// ROOT back as it was, and what a killed extraction leaves is put right by the next one into
// that ROOT, whole: every plug-in new once all stood in place, else every one as it was.
// Extractions into one ROOT take turns.
// Exit status 0 on success, 1 on failure with the error's description as the last line of
// stderr; what could not be put right at once is said, and left recorded for the next run.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCPackItem.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "LoomworkKit/ZFCPluginType.h"
#include <SafeFS/DirHandle.h>
#include <SafeFS/HiddenName.h>
#include <SafeFS/Journal.h>

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "用法：\n"
    "  zfcptool list PACKAGE\n"
    "  zfcptool pack OUTPUT TYPE NAME DIR [TYPE NAME DIR ...]\n"
    "  zfcptool pack-each OUTDIR TYPE NAME DIR [TYPE NAME DIR ...]\n"
    "  zfcptool extract PACKAGE ROOT [INDEX [NAME]] [--overwrite]\n"
    "  --progress  在标准错误上逐条输出进度（阶段<TAB>对象<TAB>比例）\n"
    "  TYPE: effect, subtitle, generator, transitions\n";

struct UsageError : std::exception
{
    explicit UsageError(std::string text) : message(std::move(text)) {}
    const char* what() const noexcept override { return message.c_str(); }
    std::string message;
};

struct Failure : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// The text an error shows the user.
std::string describe(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const ZFCPackageError& e) {
        return e.errorDescription();
    } catch (const AES256CTR::CryptoError& e) {
        return e.errorDescription();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "未知错误";
    }
}

void printProgress(const ZFCProgress& p)
{
    std::cerr << ZFCProgress::rawValue(p.stage) << '\t' << p.subject << '\t' << p.fraction << '\n';
}

[[noreturn]] void throwErrno(const char* what, const fs::path& path, int error = errno)
{
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// Anything at `path`, a link itself included.
bool isThere(const fs::path& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

SafeFS::Identity identityOf(const struct stat& st)
{
    return {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

// Ways in for the tests, read from the environment once:
//   ZFCPTOOL_TEST_REFUSE_EXCHANGE=1  the exchange is refused, as some file systems do;
//   ZFCPTOOL_TEST_FAIL_MOVE=N        the Nth move (rename or exchange) fails with EIO;
//   ZFCPTOOL_TEST_EXIT_AFTER=N       the process ends at once (status 86) after its Nth change
//                                    to the hidden folders, the run's record or the plug-ins,
//                                    as if killed;
//   ZFCPTOOL_TEST_PAUSE_FILE=F       before waiting for ROOT's lock held by another run, F.waiting
//                                    is created; with ZFCPTOOL_TEST_PAUSE_AT=N, before the Nth
//                                    move F.paused is, and the run waits until F is there.
struct Seams
{
    bool refuseExchange = false;
    long failMove = 0;
    long exitAfter = 0;
    long pauseAt = 0;
    std::string pauseFile;
    long moves = 0;
    long steps = 0;
};

Seams& seams()
{
    static Seams s = [] {
        const auto number = [](const char* name) {
            const char* value = std::getenv(name);
            return value ? std::strtol(value, nullptr, 10) : 0L;
        };
        Seams made;
        made.refuseExchange = number("ZFCPTOOL_TEST_REFUSE_EXCHANGE") != 0;
        made.failMove = number("ZFCPTOOL_TEST_FAIL_MOVE");
        made.exitAfter = number("ZFCPTOOL_TEST_EXIT_AFTER");
        made.pauseAt = number("ZFCPTOOL_TEST_PAUSE_AT");
        if (const char* file = std::getenv("ZFCPTOOL_TEST_PAUSE_FILE"))
            made.pauseFile = file;
        return made;
    }();
    return s;
}

void signalTest(const char* suffix)
{
    if (!seams().pauseFile.empty())
        ::close(::open((seams().pauseFile + suffix).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
}

// Bounded, so that a test that never lets go does not leave the run behind for good.
void pauseForTest()
{
    signalTest(".paused");
    struct stat st;
    for (int tries = 0; tries < 6000 && ::stat(seams().pauseFile.c_str(), &st) != 0; ++tries)
        ::usleep(10000);
}

void stepDone()
{
    if (++seams().steps == seams().exitAfter)
        ::_exit(86);
}

// The flag is not supported here (some file systems refuse it).
bool refused(int error) { return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP; }

enum class Move { noReplace, exchange };

// A rename between folder handles that never replaces (EEXIST when `to` is there), or an
// exchange of the two items; 0 or the errno.
int move(int fromParent, const std::string& from, int toParent, const std::string& to, Move how)
{
    if (how == Move::exchange && seams().refuseExchange)
        return EINVAL;
    if (seams().moves + 1 == seams().pauseAt && !seams().pauseFile.empty())
        pauseForTest();
    if (++seams().moves == seams().failMove)
        return EIO;
    int error = DirHandle::renameAt(fromParent, from, toParent, to,
                                    how == Move::exchange ? DirHandle::Rename::exchange : DirHandle::Rename::noReplace);
    if (how == Move::noReplace && refused(error)) {
        // Nothing is meant to be at `to`: one last look before the plain rename.
        SafeFS::Identity there;
        error = SafeFS::identityAt(toParent, to, there) == 0
            ? EEXIST
            : DirHandle::renameAt(fromParent, from, toParent, to, DirHandle::Rename::replace);
    }
    if (error == 0)
        stepDone();
    return error;
}

// A run's hidden items are zfcptool's hidden names (SafeFS/HiddenName.h) with the id of the
// run's journal entry.
// In ROOT: the run's folder, locked while the run lives: it holds the run's record and the
// reader's "tree" (links to the staging folders).
constexpr std::string_view kRun = "run";
// In each folder plug-ins land in, so that every move stays on one file system: the new
// copies as extracted, and after each exchange the old copy, until the run is finished.
constexpr std::string_view kExtract = "extract";
// Inside a staging folder: old copies moved aside where the exchange is refused.
constexpr std::string_view kReplaced = "replaced";
constexpr char kRecord[] = "entry";
constexpr char kTree[] = "tree";
constexpr std::string_view kKind = "extract";
constexpr char kLeftForNextRun[] = "旧版本或提取记录未能全部删除，下次提取到此处时删除：";

// A plug-in under a name of this tool's hidden form or the application's would be taken for
// one of a run's items.
void refuseHiddenForm(const std::string& name)
{
    if (SafeFS::isHiddenForm(name))
        throw Failure("插件名称与提取所用的隐藏文件夹同形，不能提取：" + name);
}

bool lockExclusive(int fd, bool wait)
{
    int result;
    do
        result = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    while (result != 0 && errno == EINTR);
    return result == 0;
}

// Removes the run folder `name` in `root` (open as `run`): its record, the record's
// temporaries and the tree, then the folder. Only this user can have put anything there.
int removeRunFolder(int root, const std::string& name, int run)
{
    std::vector<std::string> names;
    if (const int error = DirHandle::listNames(run, names))
        return error;
    // The record last: a folder that lost it is empty.
    std::stable_partition(names.begin(), names.end(), [](const std::string& child) { return child != kRecord; });
    for (const std::string& child : names) {
        if (const int error = DirHandle::removeAt(run, child))
            return error;
    }
    return ::unlinkat(root, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : errno;
}

// Puts right what runs into ROOT that are over left, by their records alone. A run folder
// counts only when it is this user's, writable by nobody else and its lock is free; its record
// only in its own form (SafeFS::readEntryAt). The caller holds ROOT's lock, so the folder of a
// run that has not yet locked it is never taken for one that is over.
void recover(int root, const fs::path& rootPath)
{
    std::vector<std::string> names;
    if (DirHandle::listNames(root, names) != 0)
        return;
    for (const std::string& name : names) {
        const std::string id = SafeFS::zfcptoolIdOf(name, kRun);
        DirHandle::Fd run;
        struct stat st;
        if (id.empty() || DirHandle::openChild(root, name, run) != 0 || ::fstat(run.get(), &st) != 0
            || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0 || !lockExclusive(run.get(), false))
            continue;
        const std::optional<SafeFS::JournalEntry> entry = SafeFS::readEntryAt(run.get(), kRecord, id);
        if (!entry) {
            // Made, then killed before it recorded anything: empty, unless it is not ours.
            ::unlinkat(root, name.c_str(), AT_REMOVEDIR);
            continue;
        }
        if (entry->damaged || entry->kind != kKind || SafeFS::recoverEntry(*entry) != 0) {
            std::cerr << "上次中断的提取未能复原，留待下次：" << (rootPath / name).native() << '\n';
            continue;
        }
        removeRunFolder(root, name, run.get());
    }
}

// An extraction into ROOT: the reader writes into a hidden staging folder inside each folder
// the plug-ins land in (on its file system, whatever links lead there), then commit() moves
// each plug-in into place, an old one into the staging folder, and removes those once all
// stand. The run's record names every item it makes or moves before the step that makes it
// visible, and says from commit()'s last move on that the run is finished: a failure undoes
// the run by it, and so does the next run into ROOT after a kill, unless it was finished.
// Nothing else is touched. ROOT stays locked until the run is over.
class ExtractRun
{
public:
    explicit ExtractRun(const fs::path& root);
    ~ExtractRun();
    ExtractRun(const ExtractRun&) = delete;
    ExtractRun& operator=(const ExtractRun&) = delete;

    // The staging folder inside ROOT (made, with ROOT, when missing).
    fs::path stagingInRoot();
    // For the reader: a folder whose `categories` lead to the staging folders inside ROOT's
    // category folders.
    fs::path tree(const std::vector<std::string>& categories);

    // Moves every staged plug-in to the same name in its folder; an item already there is
    // replaced only when `replace` (else the staged copy is dropped). Once every plug-in
    // stands, the run is finished: a failure to remove the old copies then is only said.
    void commit(bool replace);

    // `text` with the run's own folders named as the folders they stand for.
    std::string visible(std::string text) const;

private:
    struct Landing
    {
        fs::path folder;
        fs::path staging;
        SafeFS::Identity real; // the folder itself, whatever links lead there
        DirHandle::Fd fd;
        DirHandle::Fd stagingFd;
        DirHandle::Fd asideFd; // old copies moved aside, once made
        std::size_t place = 0;
        std::size_t item = 0; // the staging folder's
    };
    struct Planned
    {
        std::size_t landing;
        std::string name;
        std::optional<SafeFS::Identity> old;
    };

    // The landing of each of ROOT's `folders` ("" for ROOT itself), their staging folders made.
    std::vector<std::size_t> prepare(const std::vector<std::string>& folders);
    void place(const Planned& plug, bool replace);
    // Writes the entry as it stands now.
    void record();
    // After the finish: the staging folders go, with the old copies in them.
    void removeStaging() noexcept;
    // The destructor's work unless the run finished: the run undone by its entry, then its
    // folder and ROOT's folders it made removed.
    void undo() noexcept;
    void makeFolders(const fs::path& folder);
    // Only empty folders go: rmdir never removes anything else.
    void removeMade() noexcept;

    fs::path m_root;
    std::string m_placeRoot; // absolute, for the entry
    SafeFS::JournalEntry m_entry;
    std::string m_runName;
    DirHandle::Fd m_rootLock; // released last
    DirHandle::Fd m_run;
    std::vector<fs::path> m_made;
    std::vector<Landing> m_landings;
    bool m_finished = false;
};

ExtractRun::ExtractRun(const fs::path& root) : m_root(root), m_placeRoot(fs::absolute(root).native())
{
    m_entry.id = SafeFS::newJournalId();
    m_entry.kind = kKind;
    try {
        // A failed run removes the ROOT it made before it lets go: then the lock is taken
        // again on the one made anew.
        for (int attempt = 0;; ++attempt) {
            makeFolders(root);
            m_rootLock = DirHandle::Fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            struct stat held;
            if (!m_rootLock.valid() || ::fstat(m_rootLock.get(), &held) != 0)
                throwErrno("cannot open", root);
            // Where locks are not supported nobody holds one, and recovery takes no run.
            if (!lockExclusive(m_rootLock.get(), false)) {
                signalTest(".waiting");
                lockExclusive(m_rootLock.get(), true);
            }
            struct stat now;
            if (::stat(root.c_str(), &now) == 0 && identityOf(now) == identityOf(held))
                break;
            if (attempt == 7)
                throwErrno("cannot open", root, ENOENT);
        }
        recover(m_rootLock.get(), root);
        for (int attempt = 0;; ++attempt) {
            const std::string name = SafeFS::zfcptoolHiddenName(kRun, m_entry.id);
            const int error = DirHandle::makeFolderAt(m_rootLock.get(), name, 0700);
            if (error == 0) {
                m_runName = name;
                break;
            }
            if (error != EEXIST || attempt == 7)
                throwErrno("cannot create", root / name, error);
            m_entry.id = SafeFS::newJournalId();
        }
        stepDone();
        if (const int error = DirHandle::openChild(m_rootLock.get(), m_runName, m_run))
            throwErrno("cannot open", root / m_runName, error);
        // Recovery believes the folder only in this form, whatever the umask.
        if (::fchmod(m_run.get(), 0700) != 0)
            throwErrno("cannot open", root / m_runName);
        lockExclusive(m_run.get(), false);
        record();
    } catch (...) {
        undo();
        throw;
    }
}

ExtractRun::~ExtractRun()
{
    if (!m_finished)
        undo();
}

void ExtractRun::record()
{
    if (const int error = SafeFS::writeEntryAt(m_run.get(), kRecord, m_entry))
        throwErrno("cannot write", m_root, error);
    stepDone();
}

void ExtractRun::undo() noexcept
{
    bool undone = false;
    bool removed = false;
    try {
        if (m_run.valid()) {
            // A finish that failed to be written may be on the disk all the same: it is taken back
            // first, so that no later run finishes what this one undoes. (Once undone, a record
            // left saying finish finds nothing of its own to act on.)
            if (m_entry.state == SafeFS::JournalEntry::State::finish) {
                m_entry.state = SafeFS::JournalEntry::State::undo;
                SafeFS::writeEntryAt(m_run.get(), kRecord, m_entry);
            }
            undone = SafeFS::recoverEntry(m_entry) == 0;
            removed = undone && removeRunFolder(m_rootLock.get(), m_runName, m_run.get()) == 0;
        } else {
            undone = removed = true;
        }
    } catch (...) {
        // Out of memory: the record stays for the next run.
    }
    m_landings.clear();
    m_run = DirHandle::Fd();
    if (!undone)
        std::cerr << "旧版本未能全部放回，下次提取到此处时放回：" << m_root.native() << '\n';
    else if (!removed)
        std::cerr << kLeftForNextRun << m_root.native() << '\n';
    else
        removeMade();
}

std::vector<std::size_t> ExtractRun::prepare(const std::vector<std::string>& folders)
{
    const std::string staging = SafeFS::zfcptoolHiddenName(kExtract, m_entry.id);
    std::vector<std::size_t> landings;
    std::vector<std::size_t> fresh;
    for (const std::string& name : folders) {
        const fs::path folder = name.empty() ? m_root : m_root / name;
        makeFolders(folder);
        DirHandle::Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st;
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
            throwErrno("cannot open", folder);
        // Folders linked to one real folder share its staging folder.
        const auto same = std::find_if(m_landings.begin(), m_landings.end(),
                                       [&](const Landing& landing) { return landing.real == identityOf(st); });
        if (same != m_landings.end()) {
            landings.push_back(std::size_t(same - m_landings.begin()));
            continue;
        }
        Landing landing{folder, folder / staging, identityOf(st), std::move(fd), {}, {}, m_entry.places.size(), m_entry.items.size()};
        m_entry.places.push_back({m_placeRoot, name, true});
        m_entry.items.push_back({SafeFS::JournalItem::Role::made, landing.place, staging, {}, {}});
        landings.push_back(m_landings.size());
        fresh.push_back(m_landings.size());
        m_landings.push_back(std::move(landing));
    }
    if (fresh.empty())
        return landings;
    record(); // the staging folders are named before they exist ...
    for (const std::size_t i : fresh) {
        Landing& landing = m_landings[i];
        if (const int error = DirHandle::makeFolderAt(landing.fd.get(), staging, 0700))
            throwErrno("cannot create", landing.staging, error);
        stepDone();
        if (const int error = DirHandle::openChild(landing.fd.get(), staging, landing.stagingFd))
            throwErrno("cannot open", landing.staging, error);
        if (const int error = SafeFS::identityAt(landing.stagingFd.get(), {}, m_entry.items[landing.item].identity))
            throwErrno("cannot open", landing.staging, error);
    }
    record(); // ... and by identity once they do
    return landings;
}

fs::path ExtractRun::stagingInRoot()
{
    return m_landings[prepare({std::string()}).front()].staging;
}

fs::path ExtractRun::tree(const std::vector<std::string>& categories)
{
    std::vector<std::string> unique;
    for (const std::string& category : categories) {
        if (std::find(unique.begin(), unique.end(), category) == unique.end())
            unique.push_back(category);
    }
    prepare(unique);
    const fs::path tree = m_root / m_runName / kTree;
    if (const int error = DirHandle::makeFolderAt(m_run.get(), kTree, 0700))
        throwErrno("cannot create", tree, error);
    DirHandle::Fd links;
    if (const int error = DirHandle::openChild(m_run.get(), kTree, links))
        throwErrno("cannot open", tree, error);
    const std::string staging = SafeFS::zfcptoolHiddenName(kExtract, m_entry.id);
    for (const std::string& category : unique) {
        // Relative: it holds whatever ROOT's own path is.
        const std::string target = "../../" + category + "/" + staging;
        if (::symlinkat(target.c_str(), links.get(), category.c_str()) != 0)
            throwErrno("cannot create", tree / category);
    }
    stepDone();
    return tree;
}

void ExtractRun::commit(bool replace)
{
    using Role = SafeFS::JournalItem::Role;
    const std::string staging = SafeFS::zfcptoolHiddenName(kExtract, m_entry.id);
    const std::string aside = staging + "/" + SafeFS::zfcptoolHiddenName(kReplaced, m_entry.id) + "/";
    std::vector<Planned> plan;
    for (std::size_t i = 0; i < m_landings.size(); ++i) {
        const Landing& landing = m_landings[i];
        std::vector<std::string> names;
        if (const int error = DirHandle::listNames(landing.stagingFd.get(), names))
            throwErrno("cannot read", landing.staging, error);
        for (const std::string& name : names) {
            SafeFS::Identity staged, old;
            if (const int error = SafeFS::identityAt(landing.stagingFd.get(), name, staged))
                throwErrno("cannot move into place", landing.folder / name, error);
            const int there = SafeFS::identityAt(landing.fd.get(), name, old);
            if (there != 0 && there != ENOENT)
                throwErrno("cannot move into place", landing.folder / name, there);
            if (there == 0 && !replace)
                continue; // the staged copy goes with the staging folder
            m_entry.items.push_back({Role::made, landing.place, staging + "/" + name, name, staged});
            if (there == 0) {
                // After an exchange the old copy is where the new one was staged; where the
                // exchange is refused, it is moved aside first.
                m_entry.items.push_back({Role::old, landing.place, staging + "/" + name, name, old});
                m_entry.items.push_back({Role::old, landing.place, aside + name, name, old});
            }
            plan.push_back({i, name, there == 0 ? std::optional<SafeFS::Identity>(old) : std::nullopt});
        }
    }
    record(); // before the first visible step
    for (const Planned& plug : plan)
        place(plug, replace);
    m_entry.state = SafeFS::JournalEntry::State::finish;
    record();
    m_finished = true;
    removeStaging();
}

void ExtractRun::place(const Planned& plug, bool replace)
{
    Landing& landing = m_landings[plug.landing];
    const int staging = landing.stagingFd.get();
    const int folder = landing.fd.get();
    const fs::path target = landing.folder / plug.name;
    if (!plug.old) {
        const int error = move(staging, plug.name, folder, plug.name, Move::noReplace);
        if (error == EEXIST && !replace)
            return; // there by now: kept, and the staged copy goes with the staging folder
        if (error != 0)
            throwErrno("cannot move into place", target, error);
        return;
    }
    // Only the item the record names is moved out of the way.
    SafeFS::Identity now;
    int error = SafeFS::identityAt(folder, plug.name, now);
    if (error == 0 && now != *plug.old)
        error = EEXIST;
    if (error == 0)
        error = move(staging, plug.name, folder, plug.name, Move::exchange);
    if (refused(error)) {
        // In between, only the copy aside holds the plug-in; the record names it there.
        const std::string aside = SafeFS::zfcptoolHiddenName(kReplaced, m_entry.id);
        if (!landing.asideFd.valid()) {
            if ((error = DirHandle::makeFolderAt(staging, aside, 0700)) != 0 && error != EEXIST)
                throwErrno("cannot move into place", target, error);
            stepDone();
            if ((error = DirHandle::openChild(staging, aside, landing.asideFd)) != 0)
                throwErrno("cannot move into place", target, error);
        }
        error = move(folder, plug.name, landing.asideFd.get(), plug.name, Move::noReplace);
        if (error == 0)
            error = move(staging, plug.name, folder, plug.name, Move::noReplace);
    }
    if (error != 0)
        throwErrno("cannot move into place", target, error);
}

void ExtractRun::removeStaging() noexcept
{
    bool whole = true;
    try {
        for (const Landing& landing : m_landings) {
            const std::string name = landing.staging.filename().native();
            SafeFS::Identity now;
            if (SafeFS::identityAt(landing.fd.get(), name, now) != 0 || now != m_entry.items[landing.item].identity)
                continue;
            if (DirHandle::removeAt(landing.fd.get(), name) != 0) {
                whole = false;
                continue;
            }
            stepDone();
        }
        whole = whole && removeRunFolder(m_rootLock.get(), m_runName, m_run.get()) == 0;
        if (whole)
            stepDone();
    } catch (...) {
        whole = false; // out of memory: the record stays for the next run
    }
    if (!whole)
        std::cerr << kLeftForNextRun << m_root.native() << '\n';
}

std::string ExtractRun::visible(std::string text) const
{
    const auto replaceAll = [&text](const fs::path& from, const fs::path& to) {
        const std::string f = from.string();
        const std::string t = to.string();
        for (std::size_t at = text.find(f); at != std::string::npos; at = text.find(f, at + t.size()))
            text.replace(at, f.size(), t);
    };
    if (m_runName.empty())
        return text;
    replaceAll(m_root / m_runName / kTree, m_root);
    for (const Landing& landing : m_landings)
        replaceAll(landing.staging, landing.folder);
    replaceAll(m_root / m_runName, m_root);
    return text;
}

void ExtractRun::makeFolders(const fs::path& folder)
{
    std::vector<fs::path> missing;
    for (fs::path p = folder; !p.empty() && !isThere(p); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path())
            break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0777) == 0)
            m_made.push_back(*it);
        else if (errno != EEXIST)
            throwErrno("cannot create directory", *it);
    }
}

void ExtractRun::removeMade() noexcept
{
    for (auto it = m_made.rbegin(); it != m_made.rend(); ++it)
        ::rmdir(it->c_str());
}

std::vector<ZFCPackItem> packItems(const std::vector<std::string>& args, std::size_t first)
{
    if (args.size() <= first || (args.size() - first) % 3 != 0)
        throw UsageError("参数错误：每个插件需要 TYPE NAME DIR 三项");
    std::vector<ZFCPackItem> items;
    for (std::size_t i = first; i < args.size(); i += 3) {
        const auto type = ZFCPluginType::from(args[i]);
        if (!type)
            throw UsageError("未知的插件类型：" + args[i]);
        items.push_back({*type, args[i + 1], fs::path(args[i + 2])});
    }
    return items;
}

int run(const std::vector<std::string>& args, bool overwrite, const ZFCProgressCallback& progress)
{
    if (args.empty())
        throw UsageError("缺少命令");
    const std::string& command = args[0];
    if (command == "list" && args.size() == 2) {
        // The records of ZFCPlugin::encodeArray, each entry printed as soon as it is parsed
        // (so a plug-in's items come before its other keys): memory stays flat whatever the
        // number of entries.
        std::size_t plugins = 0;
        std::size_t entries = 0;
        bool inItems = false;
        const auto startItems = [&] {
            if (!inItems)
                std::cout << (plugins ? ",{\"items\":[" : "[{\"items\":[");
            inItems = true;
        };
        ZFCPackageReader::visitMetadata(
            args[1],
            [&](const ZFCEntry& entry) {
                startItems();
                std::cout << (entries++ ? "," : "") << entry.toJson();
            },
            [&](const ZFCPlugin& plugin) {
                startItems();
                std::string rest = plugin.toJson();
                rest.erase(rest.find("\"items\":[],"), 11);
                std::cout << "]," << rest.substr(1);
                inItems = false;
                entries = 0;
                ++plugins;
            });
        std::cout << (plugins ? "]\n" : "[]\n");
        return 0;
    }
    if (command == "pack" && args.size() >= 2) {
        ZFCPacker::pack(packItems(args, 2), args[1], progress);
        return 0;
    }
    if (command == "pack-each" && args.size() >= 2) {
        ZFCPacker::packEach(packItems(args, 2), args[1], progress);
        return 0;
    }
    if (command == "extract" && args.size() >= 3 && args.size() <= 5) {
        ZFCPackageReader reader(args[1]);
        const fs::path root = args[2];
        if (args.size() == 3) {
            std::vector<std::string> categories;
            std::set<std::string> landings;
            for (const ZFCPlugin& plugin : reader.plugins()) {
                const std::string folder = ZFCPackageReader::safeName(plugin.name);
                refuseHiddenForm(folder);
                const auto type = plugin.pluginType();
                categories.emplace_back(type ? type->directoryName() : kOtherCategoryDirectory);
                // Two plug-ins that land in one folder would leave only the last.
                if (!landings.insert(categories.back() + '/' + folder).second)
                    throw ZFCPackageError::metadataCorrupted();
            }
            ExtractRun staged(root);
            try {
                reader.extractAll(staged.tree(categories), progress);
                staged.commit(true);
            } catch (...) {
                throw Failure(staged.visible(describe(std::current_exception())));
            }
            return 0;
        }
        std::size_t index = 0;
        try {
            std::size_t used = 0;
            index = std::stoul(args[3], &used);
            if (used != args[3].size())
                throw UsageError({});
        } catch (const std::exception&) {
            throw UsageError("序号无效：" + args[3]);
        }
        if (index >= reader.plugins().size())
            throw UsageError("序号超出范围：" + args[3] + "（封包内有 " + std::to_string(reader.plugins().size()) + " 个插件）");
        const ZFCPlugin& plugin = reader.plugins()[index];
        const std::optional<std::string> name = args.size() == 5 ? std::optional<std::string>(args[4]) : std::nullopt;
        // An existing folder is kept without a word unless --overwrite (the reader's rule).
        std::string folder = name ? ZFCPackageReader::safeName(*name) : std::string();
        if (folder.empty())
            folder = ZFCPackageReader::safeName(plugin.name);
        refuseHiddenForm(folder);
        if (!overwrite && !folder.empty() && isThere(root / folder))
            return 0;
        ExtractRun staged(root);
        try {
            reader.extract(plugin, staged.stagingInRoot(), name, true, progress);
            staged.commit(overwrite);
        } catch (...) {
            throw Failure(staged.visible(describe(std::current_exception())));
        }
        return 0;
    }
    throw UsageError("命令或参数无效");
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    bool overwrite = false;
    bool showProgress = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--overwrite")
            overwrite = true;
        else if (arg == "--progress")
            showProgress = true;
        else
            args.push_back(arg);
    }
    const ZFCProgressCallback progress = showProgress ? ZFCProgressCallback(printProgress) : ZFCProgressCallback();
    try {
        return run(args, overwrite, progress);
    } catch (const UsageError& e) {
        std::cerr << kUsage << e.message << '\n';
    } catch (...) {
        std::cerr << describe(std::current_exception()) << '\n';
    }
    return 1;
}
