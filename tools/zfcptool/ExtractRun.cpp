#include "ExtractRun.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <iostream>
#include <stdexcept>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <SafeFS/Durable.h>
#include <SafeFS/HiddenName.h>
#include <SafeFS/Room.h>

#include "Errors.h"
#include "FolderSteps.h"
#include "RunFolder.h"
#include "Seams.h"

namespace fs = std::filesystem;
using RunFolder::kExtract;
using RunFolder::kKind;
using RunFolder::kLeftForNextRun;
using RunFolder::kNotPutBack;
using RunFolder::kRecord;
using RunFolder::kReplaced;
using RunFolder::kRun;
using RunFolder::kTree;

namespace {

constexpr char kNotInPlace[] = "插件未就位，可能已被他人移走或替换：";
constexpr char kChanged[] = "解包开始后这里的项目已被他人改动或替换，未覆盖：";
constexpr char kAppeared[] = "解包开始后这里出现了别的项目，未覆盖：";

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

// Each rename or exchange of a run: a test's seams may fail it first, and a change done counts
// as a step (a test may end the run there).
const DirHandle::Mover& mover()
{
    static const DirHandle::Mover moves = [](int fromParent, std::string_view from, int toParent, std::string_view to,
                                             DirHandle::Rename how) {
        if (how == DirHandle::Rename::exchange && Seams::refuseExchange())
            return EINVAL;
        if (const int error = Seams::beforeMove())
            return error;
        const int error = DirHandle::renameAt(fromParent, from, toParent, to, how);
        if (error == 0)
            Seams::stepDone();
        return error;
    };
    return moves;
}

// What a staging room holds once the run is finished: old copies, and staged ones kept out by
// an item already there. Each goes as it is found in the room, of what belongs to its owner,
// root or us; another user's item found inside one goes back out beside it, and is named.
int clearRoom(const SafeFS::Room& room, int folder, const fs::path& shown)
{
    std::vector<std::string> names;
    if (const int error = DirHandle::listNames(room.fd(), names))
        return error;
    int first = 0;
    for (const std::string& name : names) {
        SafeFS::Identity now;
        if (SafeFS::identityAt(room.fd(), name, now) != 0)
            continue;
        SafeFS::Removal removal;
        const int error = SafeFS::removeInRoom(room.fd(), name, now, SafeFS::ownersOf(room.fd(), name, ::geteuid()),
                                               folder, name, removal);
        for (const std::string& left : removal.left)
            std::cerr << "其他用户的文件未删除：" << (shown / removal.returnedAs / left).native() << '\n';
        if (error && !first)
            first = error;
    }
    return first;
}

} // namespace

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
            if (!FolderSteps::lockExclusive(m_rootLock.get(), false)) {
                Seams::waiting();
                FolderSteps::lockExclusive(m_rootLock.get(), true);
            }
            struct stat now;
            if (::stat(root.c_str(), &now) == 0 && identityOf(now) == identityOf(held))
                break;
            if (attempt == 7)
                throwErrno("cannot open", root, ENOENT);
        }
        // A change an earlier run left that cannot be settled waits: this run would work over
        // it, so it takes no step and says so.
        if (const std::vector<std::string> waiting = RunFolder::recover(m_rootLock.get(), root); !waiting.empty()) {
            for (const std::string& line : waiting)
                std::cerr << line << '\n';
            throw Failure("上次中断的提取没有复原，本次没有提取：" + root.string());
        }
        std::string name;
        for (int attempt = 0;; ++attempt) {
            name = SafeFS::zfcptoolHiddenName(kRun, m_entry.id);
            SafeFS::Room run;
            const int error = run.make(m_rootLock.get(), name);
            if (error == 0) {
                m_run = DirHandle::Fd(::fcntl(run.fd(), F_DUPFD_CLOEXEC, 0));
                break;
            }
            if (error != EEXIST || attempt == 7)
                throwErrno("cannot create", root / name, error);
            m_entry.id = SafeFS::newJournalId();
        }
        Seams::stepDone();
        // Made as a room: the one just made, ours and empty (another item put at the name in
        // between is refused, and not removed either), 0700 as recovery believes it.
        if (!m_run.valid())
            throwErrno("cannot open", root / name);
        m_runName = name;
        FolderSteps::lockExclusive(m_run.get(), false);
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

int ExtractRun::writeRecord()
{
    const Seams::RecordWrite seam = Seams::recordWrite();
    if (seam == Seams::RecordWrite::failBeforeWriting)
        return EIO;
    const int error = SafeFS::writeEntryAt(m_run.get(), kRecord, m_entry);
    if (error == 0)
        Seams::recordWritten(m_run.get(), kRecord);
    return error == 0 && seam == Seams::RecordWrite::failAfterWriting ? EIO : error;
}

void ExtractRun::record()
{
    if (const int error = writeRecord())
        throwErrno("cannot write", m_root, error);
    Seams::stepDone();
}

void ExtractRun::undo() noexcept
{
    bool undone = false;
    bool removed = false;
    try {
        if (m_run.valid()) {
            // A finish that failed to be written may be on the disk all the same: it is taken back
            // first, so that no later run finishes what this one undoes. (Once undone, a record
            // left saying finish finds nothing of its own to act on.) Where that fails too, the
            // record may still say finish: undone here, the run would be half undone for the
            // next one to finish; it is left whole to that run.
            bool recorded = true;
            if (m_entry.state == SafeFS::JournalEntry::State::finish) {
                m_entry.state = SafeFS::JournalEntry::State::undo;
                recorded = writeRecord() == 0;
            }
            undone = recorded && SafeFS::recoverEntry(m_entry) == 0;
            removed = undone && SafeFS::syncPlaces(m_entry) == 0
                && RunFolder::remove(m_rootLock.get(), m_runName, m_run.get()) == 0;
        } else {
            undone = removed = true;
        }
    } catch (...) {
        // Out of memory: the record stays for the next run.
    }
    m_landings.clear();
    m_run = DirHandle::Fd();
    if (!undone)
        std::cerr << kNotPutBack << m_root.native() << '\n';
    else if (!removed)
        std::cerr << kLeftForNextRun << m_root.native() << '\n';
    else
        removeMade();
}

void ExtractRun::noteSeen(const std::vector<Plugin>& plugins)
{
    for (const Plugin& plugin : plugins) {
        if (plugin.name.empty())
            continue;
        SafeFS::Identity there;
        const fs::path path = (plugin.folder.empty() ? m_root : m_root / plugin.folder) / plugin.name;
        const int error = SafeFS::identityAt(AT_FDCWD, path.native(), there);
        if (error != 0 && error != ENOENT && error != ENOTDIR)
            throwErrno("cannot open", path, error);
        m_seen.emplace(plugin.folder + '/' + plugin.name, error == 0 ? there : SafeFS::Identity{});
    }
}

std::vector<std::size_t> ExtractRun::prepare(const std::vector<std::string>& folders)
{
    const std::string staging = SafeFS::zfcptoolHiddenName(kExtract, m_entry.id);
    std::vector<std::size_t> landings;
    std::vector<std::size_t> fresh;
    for (const std::string& name : folders) {
        const auto known = std::find_if(m_folders.begin(), m_folders.end(), [&](const auto& f) { return f.first == name; });
        if (known != m_folders.end()) {
            landings.push_back(known->second);
            continue;
        }
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
            m_folders.emplace_back(name, landings.back());
            continue;
        }
        Landing landing{folder, folder / staging, identityOf(st), std::move(fd), {}, {}, m_entry.places.size(), m_entry.items.size()};
        m_entry.places.push_back({m_placeRoot, name, true});
        m_entry.items.push_back({SafeFS::JournalItem::Role::room, landing.place, staging, {}, {}});
        landings.push_back(m_landings.size());
        fresh.push_back(m_landings.size());
        m_folders.emplace_back(name, m_landings.size());
        m_landings.push_back(std::move(landing));
    }
    if (fresh.empty())
        return landings;
    record(); // the staging rooms are named before they exist ...
    for (const std::size_t i : fresh) {
        Landing& landing = m_landings[i];
        // Another item put at the name before it is opened is not taken for it.
        if (const int error = landing.room.make(landing.fd.get(), staging))
            throwErrno("cannot create", landing.staging, error);
        Seams::stepDone();
        m_entry.items[landing.item].identity = landing.room.identity();
    }
    record(); // ... and by identity once they do
    return landings;
}

std::size_t ExtractRun::landingOf(const std::string& folder) const
{
    const auto known = std::find_if(m_folders.begin(), m_folders.end(), [&](const auto& f) { return f.first == folder; });
    if (known == m_folders.end())
        throw std::logic_error("no staging folder in " + folder);
    return known->second;
}

fs::path ExtractRun::stagingInRoot()
{
    const Landing& landing = m_landings[prepare({std::string()}).front()];
    const std::string byHandle = DirHandle::handlePath(landing.room.fd());
    return byHandle.empty() ? landing.staging : fs::path(byHandle);
}

fs::path ExtractRun::tree(const std::vector<std::string>& categories)
{
    std::vector<std::string> unique;
    for (const std::string& category : categories) {
        if (std::find(unique.begin(), unique.end(), category) == unique.end())
            unique.push_back(category);
    }
    const std::vector<std::size_t> landings = prepare(unique);
    const fs::path tree = m_root / m_runName / kTree;
    if (const int error = DirHandle::makeFolderAt(m_run.get(), kTree, 0700))
        throwErrno("cannot create", tree, error);
    DirHandle::Fd links;
    if (const int error = DirHandle::openChild(m_run.get(), kTree, links))
        throwErrno("cannot open", tree, error);
    // Through the handles where the system names them: the tree, in the run's own folder,
    // and each staging folder are reached without their names being resolved again in a
    // folder that others may write. Else relative: it holds whatever ROOT's own path is.
    const bool byHandle = !DirHandle::handlePath(m_run.get()).empty();
    const std::string staging = SafeFS::zfcptoolHiddenName(kExtract, m_entry.id);
    for (std::size_t i = 0; i < unique.size(); ++i) {
        const std::string target = byHandle ? DirHandle::handlePath(m_landings[landings[i]].room.fd())
                                            : "../../" + unique[i] + "/" + staging;
        if (::symlinkat(target.c_str(), links.get(), unique[i].c_str()) != 0)
            throwErrno("cannot create", tree / unique[i]);
    }
    Seams::stepDone();
    return byHandle ? fs::path(DirHandle::handlePath(m_run.get())) / kTree : tree;
}

void ExtractRun::commit(const std::vector<Plugin>& plugins, bool replace)
{
    using Role = SafeFS::JournalItem::Role;
    const std::string staging = SafeFS::zfcptoolHiddenName(kExtract, m_entry.id);
    const std::string aside = staging + "/" + SafeFS::zfcptoolHiddenName(kReplaced, m_entry.id) + "/";
    std::vector<Planned> plan;
    for (const Plugin& plugin : plugins) {
        const std::size_t i = landingOf(plugin.folder);
        if (std::any_of(plan.begin(), plan.end(), [&](const Planned& p) { return p.landing == i && p.name == plugin.name; }))
            continue; // linked folders: the later one staged over the earlier
        const Landing& landing = m_landings[i];
        const std::string& name = plugin.name;
        SafeFS::Identity staged, old;
        // What the reader wrote through the staging folder's handle is there.
        if (const int error = SafeFS::identityAt(landing.room.fd(), name, staged)) {
            if (error == ENOENT)
                throw Failure(kNotInPlace + (landing.folder / name).string());
            throwErrno("cannot move into place", landing.folder / name, error);
        }
        const int there = SafeFS::identityAt(landing.fd.get(), name, old);
        if (there != 0 && there != ENOENT)
            throwErrno("cannot move into place", landing.folder / name, there);
        if (there == 0 && !replace)
            continue; // the staged copy goes with the staging folder
        // Only what stood there as the run began is replaced.
        const auto seen = m_seen.find(plugin.folder + '/' + name);
        if (seen != m_seen.end() && there == 0 && !(seen->second.known() && old == seen->second))
            throw Failure((seen->second.known() ? kChanged : kAppeared) + (landing.folder / name).string());
        m_entry.items.push_back({Role::made, landing.place, staging + "/" + name, name, staged});
        if (there == 0) {
            // After an exchange the old copy is where the new one was staged; where the
            // exchange is refused, it is moved aside first.
            m_entry.items.push_back({Role::old, landing.place, staging + "/" + name, name, old});
            m_entry.items.push_back({Role::old, landing.place, aside + name, name, old});
        }
        plan.push_back({i, name, staged, there == 0 ? std::optional<SafeFS::Identity>(old) : std::nullopt});
    }
    // What the reader wrote is on disk before any of it takes a name: one sync per file system.
    SafeFS::SyncBatch staged;
    for (const Landing& landing : m_landings) {
        int error = landing.room.valid() ? staged.addTree(landing.room.fd()) : 0;
        if (error)
            throwErrno("cannot sync", landing.folder, error);
    }
    if (const int error = staged.sync())
        throwErrno("cannot sync", m_root, error);
    record(); // before the first visible step
    for (Planned& plug : plan)
        plug.placed = place(plug, replace);
    m_entry.state = SafeFS::JournalEntry::State::finish;
    record();
    m_finished = true;
    removeStaging();
    checkInPlace(plan);
}

bool ExtractRun::place(const Planned& plug, bool replace)
{
    Landing& landing = m_landings[plug.landing];
    const int staging = landing.room.fd();
    const int folder = landing.fd.get();
    const fs::path target = landing.folder / plug.name;
    if (!plug.old) {
        const int error = DirHandle::moveAt(staging, plug.name, folder, plug.name, mover());
        if (error == EEXIST && !replace)
            return false; // there by now: kept, and the staged copy goes with the staging folder
        if (error == EEXIST)
            throw Failure(kAppeared + target.string());
        if (error != 0)
            throwErrno("cannot move into place", target, error);
        return true;
    }
    // Only the item the record names is moved out of the way.
    SafeFS::Identity now;
    int error = SafeFS::identityAt(folder, plug.name, now);
    if (error == 0 && now != *plug.old)
        throw Failure(kChanged + target.string());
    // Where the exchange is refused, the old copy goes aside in the room first; the record
    // names it there.
    if (error == 0 && !landing.asideFd.valid()) {
        const std::string aside = SafeFS::zfcptoolHiddenName(kReplaced, m_entry.id);
        if ((error = DirHandle::makeFolderAt(staging, aside, 0700)) == 0 || error == EEXIST) {
            Seams::stepDone();
            error = DirHandle::openChild(staging, aside, landing.asideFd);
        }
    }
    bool exchanged = false;
    if (error == 0)
        error = DirHandle::swapIn(staging, plug.name, folder, plug.name, landing.asideFd.get(), plug.name, exchanged, mover());
    if (error != 0)
        throwErrno("cannot move into place", target, error);
    // Another user may exchange the name between the look and the exchange: what came out must
    // be the item recorded, or both go back at once.
    SafeFS::Identity out;
    if (SafeFS::identityAt(exchanged ? staging : landing.asideFd.get(), plug.name, out) != 0 || out != *plug.old) {
        if ((error = DirHandle::swapBack(staging, plug.name, folder, plug.name, landing.asideFd.get(), plug.name, exchanged,
                                         mover())) != 0)
            throwErrno("cannot move into place", target, error);
        // The item recorded as old never left its place (another user moved it): the record
        // stops naming it, so that undoing the run looks for nothing of the kind.
        std::erase_if(m_entry.items, [&](const SafeFS::JournalItem& item) {
            return item.role == SafeFS::JournalItem::Role::old && item.place == landing.place && item.target == plug.name;
        });
        record();
        throw Failure(kChanged + target.string());
    }
    return true;
}

// Allocates nothing unless a plug-in is missing: memory that runs out here does not make a
// whole run look failed.
void ExtractRun::checkInPlace(const std::vector<Planned>& plan) const
{
    std::string missing;
    for (const Planned& plug : plan) {
        const Landing& landing = m_landings[plug.landing];
        SafeFS::Identity now;
        if (plug.placed && (SafeFS::identityAt(landing.fd.get(), plug.name, now) != 0 || now != plug.staged))
            missing += (missing.empty() ? "" : "、") + (landing.folder / plug.name).string();
    }
    if (!missing.empty())
        throw Failure(kNotInPlace + missing);
}

void ExtractRun::removeStaging() noexcept
{
    bool whole = true;
    try {
        for (Landing& landing : m_landings) {
            landing.asideFd = DirHandle::Fd();
            if (!landing.room.valid())
                continue;
            if (clearRoom(landing.room, landing.fd.get(), landing.folder) != 0
                || landing.room.removeIfEmpty(landing.fd.get()) != 0) {
                whole = false;
                continue;
            }
            Seams::stepDone();
        }
        // The record goes only once what it covers is on the disks of the folders it names.
        whole = whole && SafeFS::syncPlaces(m_entry) == 0 && RunFolder::remove(m_rootLock.get(), m_runName, m_run.get()) == 0;
        if (whole)
            Seams::stepDone();
    } catch (...) {
        whole = false; // out of memory: the record stays for the next run
    }
    if (!whole)
        std::cerr << kLeftForNextRun << m_root.native() << '\n';
}

std::string ExtractRun::visible(std::string text) const
{
    // Only where `from` ends a name: a handle's number may begin a longer one.
    const auto replaceAll = [&text](const fs::path& from, const fs::path& to) {
        const std::string f = from.string();
        const std::string t = to.string();
        for (std::size_t at = text.find(f); at != std::string::npos;) {
            const std::size_t end = at + f.size();
            if (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) {
                at = text.find(f, end);
                continue;
            }
            text.replace(at, f.size(), t);
            at = text.find(f, at + t.size());
        }
    };
    if (m_runName.empty())
        return text;
    if (m_run.valid() && !DirHandle::handlePath(m_run.get()).empty())
        replaceAll(fs::path(DirHandle::handlePath(m_run.get())) / kTree, m_root);
    for (const Landing& landing : m_landings) {
        if (landing.room.valid() && !DirHandle::handlePath(landing.room.fd()).empty())
            replaceAll(DirHandle::handlePath(landing.room.fd()), landing.folder);
    }
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
