// zfcptool: drives LoomworkKit from the command line.
//   zfcptool list PACKAGE
//   zfcptool pack OUTPUT TYPE NAME DIR [TYPE NAME DIR ...]
//   zfcptool pack-each OUTDIR TYPE NAME DIR [TYPE NAME DIR ...]
//   zfcptool extract PACKAGE ROOT [INDEX [NAME]] [--overwrite]
// --progress (any command) prints every report on stderr as stage<TAB>subject<TAB>fraction.
// extract writes into hidden folders of its own beside where the plug-ins land and moves
// them into place only once the package has been read whole: a failure leaves ROOT as it
// was, and what a killed extraction leaves is put right by the next one into that ROOT.
// Extractions into one ROOT take turns.
// Exit status 0 on success, 1 on failure with the error's description as the last line of
// stderr.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
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

bool isRealFolder(const fs::path& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Device and inode, which a rename keeps.
struct Identity
{
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const Identity&) const = default;
};

std::optional<Identity> identityOf(const fs::path& path, bool followLink = false)
{
    struct stat st;
    if ((followLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0)
        return std::nullopt;
    return Identity{st.st_dev, st.st_ino};
}

// Ways in for the tests, read from the environment once:
//   ZFCPTOOL_TEST_REFUSE_EXCHANGE=1  the exchange is refused, as some file systems do;
//   ZFCPTOOL_TEST_FAIL_MOVE=N        the Nth move (rename or exchange) fails with EIO;
//   ZFCPTOOL_TEST_EXIT_AFTER=N       the process ends at once (status 86) after its Nth change
//                                    to the hidden folders or the plug-ins, as if killed;
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

enum class Move { noReplace, exchange };

// One rename with a flag, or ENOSYS where the system has no such call.
int renameWith(const fs::path& from, const fs::path& to, Move how)
{
#if defined(__APPLE__)
    const unsigned flag = how == Move::exchange ? RENAME_SWAP : RENAME_EXCL;
    return ::renamex_np(from.c_str(), to.c_str(), flag) == 0 ? 0 : errno;
#elif defined(__linux__) && defined(RENAME_NOREPLACE)
    const unsigned flag = how == Move::exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flag) == 0 ? 0 : errno;
#else
    return ENOSYS;
#endif
}

// The flag is not supported here (some file systems refuse it).
bool refused(int error) { return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP; }

// A rename that never replaces (EEXIST when `to` is there), or an exchange of the two items;
// 0 or the errno.
int move(const fs::path& from, const fs::path& to, Move how)
{
    if (how == Move::exchange && seams().refuseExchange)
        return EINVAL;
    if (seams().moves + 1 == seams().pauseAt && !seams().pauseFile.empty())
        pauseForTest();
    if (++seams().moves == seams().failMove)
        return EIO;
    int error = renameWith(from, to, how);
    if (how == Move::noReplace && refused(error)) {
        // Nothing is meant to be at `to`: one last look before the plain rename.
        error = isThere(to) ? EEXIST : ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    }
    if (error == 0)
        stepDone();
    return error;
}

int makeHidden(const fs::path& folder)
{
    if (::mkdir(folder.c_str(), 0700) != 0)
        return errno;
    stepDone();
    return 0;
}

// Only an empty folder goes: nothing is lost by mistake.
bool removeEmpty(const fs::path& folder)
{
    if (::rmdir(folder.c_str()) != 0)
        return errno == ENOENT;
    stepDone();
    return true;
}

// Read-only folders inside are made writable first, links never followed.
bool removeTree(const fs::path& path)
{
    if (!isThere(path))
        return true;
    const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const int error = DirHandle::removeAt(fd, path.filename().native());
    ::close(fd);
    if (error != 0)
        return false;
    stepDone();
    return true;
}

// The names in `folder`; `complete` false when it could not be read to the end.
std::vector<std::string> namesIn(const fs::path& folder, bool* complete = nullptr)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().native());
    if (complete)
        *complete = !ec;
    return names;
}

// A run's hidden folders are ".zfcptool-<purpose>-<16 lowercase hex digits>", the digits its
// own: only these exact forms are ever put right or removed.
constexpr std::string_view kHiddenPrefix = ".zfcptool-";
constexpr std::size_t kRandomDigits = 16;
// In ROOT: the run's anchor, locked while the run lives. It holds "tree" (links to the
// staging folders, for the reader) and, once every plug-in stands in place, "done".
constexpr std::string_view kRun = "run";
// In each folder plug-ins land in, so that every move stays on one file system: the new
// copies as extracted.
constexpr std::string_view kExtract = "extract";
// Beside it: the old copies a replace moved aside, each under its own name, until the run is
// done. Recovery puts them back unless it was.
constexpr std::string_view kReplaced = "replaced";
constexpr char kDone[] = "done";
constexpr char kTree[] = "tree";

// A plug-in under a name of this tool's hidden form or the application's would be taken for
// a run's folder and put right or removed by a later run.
void refuseHiddenForm(const std::string& name)
{
    if (SafeFS::isHiddenForm(name))
        throw Failure("插件名称与提取所用的隐藏文件夹同形，不能提取：" + name);
}

std::string hiddenName(std::string_view purpose, std::string_view digits)
{
    return std::string(kHiddenPrefix).append(purpose).append("-").append(digits);
}

// The run's digits when `name` is hiddenName(purpose, digits) exactly; else empty.
std::string runOf(const std::string& name, std::string_view purpose)
{
    const std::string head = hiddenName(purpose, {});
    if (name.size() != head.size() + kRandomDigits || name.compare(0, head.size(), head) != 0)
        return {};
    const std::string digits = name.substr(head.size());
    const auto lowerHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    return std::all_of(digits.begin(), digits.end(), lowerHex) ? digits : std::string();
}

// Where plug-ins extracted into ROOT land, so where a run's hidden folders may be.
std::vector<fs::path> landingFolders(const fs::path& root)
{
    std::vector<fs::path> folders{root};
    for (const ZFCPluginType type : ZFCPluginType::allCases())
        folders.push_back(root / std::string(type.directoryName()));
    folders.push_back(root / std::string(kOtherCategoryDirectory));
    return folders;
}

// A descriptor closed on every way out, and the lock taken on it with it.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    int get() const { return m_fd; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

Descriptor openFolder(const fs::path& folder, bool followLink)
{
    return Descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW)));
}

bool lockExclusive(int fd, bool wait)
{
    int result;
    do
        result = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    while (result != 0 && errno == EINTR);
    return result == 0;
}

// Moves every old copy in `replaced` back under its name in `folder`, a new copy in the way
// going into `staging` first. With `ours`, only an item it owns is moved away: else the old
// copy stays aside and goes into `kept`. False when one stays aside.
bool putBack(const fs::path& folder, const fs::path& replaced, const fs::path& staging,
             const std::function<bool(const std::string&)>& ours = {}, std::vector<fs::path>* kept = nullptr)
{
    bool whole = true;
    for (const std::string& name : namesIn(replaced, &whole)) {
        const fs::path target = folder / name;
        if (isThere(target)) {
            if (ours && !ours(name)) {
                if (kept)
                    kept->push_back(replaced / name);
                whole = false;
                continue;
            }
            if ((!isRealFolder(staging) && makeHidden(staging) != 0) || move(target, staging / name, Move::noReplace) != 0) {
                whole = false;
                continue;
            }
        }
        if (move(replaced / name, target, Move::noReplace) != 0)
            whole = false;
    }
    return whole && removeEmpty(replaced);
}

// Puts right what killed runs left in ROOT. A run whose anchor nobody holds is over: until it
// was done, its old copies go back under their names (the new ones in their way are
// dropped); once it was, they are surplus. Then its hidden folders go, unless an old copy
// could not go back. The caller holds ROOT's lock, so the anchor of a run that has not yet
// locked it is never taken for a dead one; and, as every run holds it to its end, no live run's
// plug-ins are in the way of what goes back.
void recover(const fs::path& root)
{
    const std::vector<fs::path> folders = landingFolders(root);
    for (const std::string& name : namesIn(root)) {
        const std::string run = runOf(name, kRun);
        const fs::path anchor = root / name;
        if (run.empty() || !isRealFolder(anchor))
            continue;
        const Descriptor held = openFolder(anchor, false);
        if (held.get() < 0 || !lockExclusive(held.get(), false))
            continue;
        const bool done = isThere(anchor / kDone);
        bool whole = true;
        for (const fs::path& folder : folders) {
            const fs::path replaced = folder / hiddenName(kReplaced, run);
            if (isRealFolder(replaced))
                whole = (done ? removeTree(replaced) : putBack(folder, replaced, folder / hiddenName(kExtract, run))) && whole;
        }
        if (!whole) {
            std::cerr << "上次中断的提取未能复原，留待下次：" << anchor.string() << '\n';
            continue;
        }
        for (const fs::path& folder : folders)
            removeTree(folder / hiddenName(kExtract, run));
        removeTree(anchor);
    }
}

// An extraction into ROOT: the reader writes into a hidden staging folder inside each folder
// the plug-ins land in (on its file system, whatever links lead there), then commit() moves
// each plug-in into place, an old one aside until all stand. Until commit() completes, the
// destructor puts every old plug-in back and removes the folders this run made. Killed at
// any moment, the run leaves each plug-in under its name or aside, where the next run into
// ROOT puts it back (recover()). Nothing else is touched. ROOT stays locked until the run is
// over.
class StagedExtract
{
public:
    explicit StagedExtract(const fs::path& root);
    ~StagedExtract();
    StagedExtract(const StagedExtract&) = delete;
    StagedExtract& operator=(const StagedExtract&) = delete;

    // The staging folder inside `folder` (made, with `folder`, when missing).
    fs::path stagingIn(const fs::path& folder);
    // For the reader: a folder whose `categories` lead to the staging folders inside ROOT's
    // category folders.
    fs::path tree(const std::vector<std::string>& categories);

    // Moves every staged plug-in to the same name in its folder; an item already there is
    // replaced only when `replace` (else the staged copy is dropped).
    void commit(bool replace);

    // `text` with the run's own folders named as the folders they stand for.
    std::string visible(std::string text) const;

private:
    struct Landing
    {
        fs::path folder;
        fs::path staging;
        fs::path replaced;
        Identity real;  // the folder itself, whatever links lead there
        bool replacedMade = false;
    };
    struct Placed
    {
        std::size_t landing;
        std::string name;
        bool replaced;
        Identity item;
    };
    // The item under `name` in the landing's folder is the one this run put there.
    bool isOurs(std::size_t landing, const std::string& name) const;

    void place(std::size_t landing, const std::string& name, bool replace);
    bool undo();
    // The destructor's work: the old copies removed after a commit, else put back.
    void finish();
    void makeFolders(const fs::path& folder);
    // Only empty folders go: rmdir never removes anything else.
    void removeMade() noexcept;

    fs::path m_root;
    std::string m_run;
    fs::path m_anchor;
    Descriptor m_rootLock;  // released last
    Descriptor m_held;
    std::vector<fs::path> m_made;
    std::vector<Landing> m_landings;
    std::vector<Placed> m_placed;
    std::vector<fs::path> m_stranded;  // old copies a failed undo left in a hidden folder
    bool m_committed = false;
};

StagedExtract::StagedExtract(const fs::path& root) : m_root(root)
{
    try {
        // A failed run removes the ROOT it made before it lets go: then the lock is taken
        // again on the one made anew.
        for (int attempt = 0;; ++attempt) {
            makeFolders(root);
            m_rootLock = openFolder(root, true);
            struct stat held;
            if (m_rootLock.get() < 0 || ::fstat(m_rootLock.get(), &held) != 0)
                throwErrno("cannot open", root);
            // Where locks are not supported nobody holds one, and recovery takes no anchor.
            if (!lockExclusive(m_rootLock.get(), false)) {
                signalTest(".waiting");
                lockExclusive(m_rootLock.get(), true);
            }
            if (identityOf(root, true) == Identity{held.st_dev, held.st_ino})
                break;
            if (attempt == 7)
                throwErrno("cannot open", root, ENOENT);
        }
        recover(root);
        std::random_device random;
        for (int attempt = 0;; ++attempt) {
            char digits[kRandomDigits + 1];
            std::snprintf(digits, sizeof digits, "%08x%08x", random(), random());
            const fs::path anchor = root / hiddenName(kRun, digits);
            const int error = makeHidden(anchor);
            if (error == 0) {
                m_run = digits;
                m_anchor = anchor;
                break;
            }
            if (error != EEXIST || attempt == 7)
                throwErrno("cannot create", anchor, error);
        }
        m_held = openFolder(m_anchor, false);
        if (m_held.get() < 0)
            throwErrno("cannot open", m_anchor);
        lockExclusive(m_held.get(), false);
    } catch (...) {
        if (!m_anchor.empty())
            removeTree(m_anchor);
        removeMade();
        throw;
    }
}

StagedExtract::~StagedExtract()
{
    try {
        finish();
    } catch (...) {
        // Out of memory while putting things right: the run's folders stay for the next
        // extraction's recovery, and the process ends with an error, not an abort.
        static const char note[] = "提取未能收尾，下次提取到此处时复原\n";
        [[maybe_unused]] const ssize_t written = ::write(2, note, sizeof note - 1);
    }
}

void StagedExtract::finish()
{
    if (!m_committed && !undo()) {
        for (const fs::path& path : m_stranded)
            std::cerr << "旧版本未能放回，留在：" << path.string() << '\n';
        if (m_stranded.empty())
            std::cerr << "旧版本未能全部放回，下次提取到此处时放回：" << m_root.string() << '\n';
        else
            removeTree(m_anchor);  // recovery would drop the staging folder, and that copy with it
        return;
    }
    for (const Landing& landing : m_landings) {
        if (m_committed && landing.replacedMade)
            removeTree(landing.replaced);
        if (!removeTree(landing.staging))
            std::cerr << "无法删除临时文件夹：" << landing.staging.string() << '\n';
    }
    removeTree(m_anchor);
    m_held.reset();
    if (!m_committed)
        removeMade();
}

fs::path StagedExtract::stagingIn(const fs::path& folder)
{
    makeFolders(folder);
    const std::optional<Identity> real = identityOf(folder, true);
    if (!real)
        throwErrno("cannot open", folder);
    // Folders linked to one real folder share its staging folder.
    for (const Landing& landing : m_landings) {
        if (landing.real == *real)
            return landing.staging;
    }
    const Landing landing{folder, folder / hiddenName(kExtract, m_run), folder / hiddenName(kReplaced, m_run), *real};
    if (const int error = makeHidden(landing.staging))
        throwErrno("cannot create", landing.staging, error);
    m_landings.push_back(landing);
    return landing.staging;
}

fs::path StagedExtract::tree(const std::vector<std::string>& categories)
{
    const fs::path tree = m_anchor / kTree;
    if (::mkdir(tree.c_str(), 0700) != 0 && errno != EEXIST)
        throwErrno("cannot create", tree);
    for (const std::string& category : categories) {
        const fs::path link = tree / category;
        if (isThere(link))
            continue;
        const fs::path staging = stagingIn(m_root / category);
        // Relative: it holds whatever ROOT's own path is.
        const fs::path target = fs::path("../..") / category / staging.filename();
        if (::symlink(target.c_str(), link.c_str()) != 0)
            throwErrno("cannot create", link);
    }
    return tree;
}

void StagedExtract::commit(bool replace)
{
    for (std::size_t i = 0; i < m_landings.size(); ++i) {
        bool complete = true;
        for (const std::string& name : namesIn(m_landings[i].staging, &complete))
            place(i, name, replace);
        if (!complete)
            throwErrno("cannot read", m_landings[i].staging, EIO);
    }
    // The one step after which the run is done: recovery then keeps the new copies.
    const fs::path done = m_anchor / kDone;
    const int fd = ::open(done.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throwErrno("cannot create", done);
    ::close(fd);
    stepDone();
    m_committed = true;
}

void StagedExtract::place(std::size_t index, const std::string& name, bool replace)
{
    Landing& landing = m_landings[index];
    const fs::path staged = landing.staging / name;
    const fs::path target = landing.folder / name;
    const std::optional<Identity> item = identityOf(staged);
    if (!item)
        throwErrno("cannot move into place", target);
    int error = isThere(target) ? EEXIST : move(staged, target, Move::noReplace);
    if (error == 0) {
        m_placed.push_back({index, name, false, *item});
        return;
    }
    if (error != EEXIST)
        throwErrno("cannot move into place", target, error);
    if (!replace)
        return;  // the staged copy goes with the staging folder
    if (!landing.replacedMade) {
        if ((error = makeHidden(landing.replaced)) != 0)
            throwErrno("cannot create", landing.replaced, error);
        landing.replacedMade = true;
    }
    const fs::path aside = landing.replaced / name;
    error = move(staged, target, Move::exchange);
    if (error == 0) {
        // The old copy, now where the new one was staged, goes where recovery looks for it.
        error = move(staged, aside, Move::noReplace);
        if (error != 0 && move(staged, target, Move::exchange) != 0)
            m_stranded.push_back(staged);
    } else if (refused(error)) {
        // In between, only the aside copy holds the plug-in; undo() or recovery puts it back.
        error = move(target, aside, Move::noReplace);
        if (error == 0)
            error = move(staged, target, Move::noReplace);
    }
    if (error != 0)
        throwErrno("cannot move into place", target, error);
    m_placed.push_back({index, name, true, *item});
}

bool StagedExtract::isOurs(std::size_t landing, const std::string& name) const
{
    const std::optional<Identity> now = identityOf(m_landings[landing].folder / name);
    return now && std::any_of(m_placed.begin(), m_placed.end(), [&](const Placed& placed) {
               return placed.landing == landing && placed.name == name && placed.item == *now;
           });
}

std::string StagedExtract::visible(std::string text) const
{
    const auto replaceAll = [&text](const fs::path& from, const fs::path& to) {
        const std::string f = from.string();
        const std::string t = to.string();
        for (std::size_t at = text.find(f); at != std::string::npos; at = text.find(f, at + t.size()))
            text.replace(at, f.size(), t);
    };
    if (m_anchor.empty())
        return text;
    replaceAll(m_anchor / kTree, m_root);
    for (const Landing& landing : m_landings) {
        replaceAll(landing.staging, landing.folder);
        replaceAll(landing.replaced, landing.folder);
    }
    replaceAll(m_anchor, m_root);
    return text;
}

// The new copies back into staging, the old ones back under their names; only what this run
// placed moves, anything else under those names stays (and the old copy aside, stranded).
// False when an old copy could not go back.
bool StagedExtract::undo()
{
    for (auto it = m_placed.rbegin(); it != m_placed.rend(); ++it) {
        const Landing& landing = m_landings[it->landing];
        if (!it->replaced && isOurs(it->landing, it->name))
            move(landing.folder / it->name, landing.staging / it->name, Move::noReplace);
    }
    bool whole = true;
    for (std::size_t i = 0; i < m_landings.size(); ++i) {
        const Landing& landing = m_landings[i];
        const auto ours = [&](const std::string& name) { return isOurs(i, name); };
        if (landing.replacedMade && !putBack(landing.folder, landing.replaced, landing.staging, ours, &m_stranded))
            whole = false;
    }
    return whole && m_stranded.empty();
}

void StagedExtract::makeFolders(const fs::path& folder)
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

void StagedExtract::removeMade() noexcept
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
            StagedExtract staged(root);
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
        StagedExtract staged(root);
        try {
            reader.extract(plugin, staged.stagingIn(root), name, true, progress);
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
