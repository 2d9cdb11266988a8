#include "engine/files/PluginFolderSwap.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>

#include "LoomworkKit/ZFCLeftovers.h"
#include "LoomworkKit/ZFCPluginType.h"
#include "engine/files/AdminAuth.h"
#include <SafeFS/DirHandle.h>
#include "engine/core/EngineText.h"
#include "engine/files/FsPath.h"
#include "engine/library/Plugin.h"
#include "engine/files/SystemPath.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

constexpr qsizetype kMaxFileNameBytes = 255;
constexpr std::string_view kMark = ".loomwork-";
constexpr int kRandomDigits = 16;

// The new item beside the target; after an exchange, the old one.
constexpr char kIncoming[] = "incoming";
// The old item moved aside where the exchange is refused: until the new one stands, it may
// be the only copy.
constexpr char kReplaced[] = "replaced";
// A replaced copy once the replace completed: never brought back.
constexpr char kDiscard[] = "discard";
// Beside a replaced copy whose label is hashed: its one entry carries the plug-in's name.
constexpr char kName[] = "name";
// Every purpose we use; the first three name staging folders, chosen by our callers.
constexpr std::string_view kPurposes[] = {"install", "restoring", "market", kIncoming, kReplaced, kDiscard, kName};
constexpr auto kStagingPurposesEnd = std::begin(kPurposes) + 3;
constexpr qsizetype kLongestPurpose = qsizetype(std::ranges::max(kPurposes, {}, &std::string_view::size).size());

const Clock::time_point g_startedAt = Clock::now();

// The label a hidden name holds: hashed when ".<label>.loomwork-<purpose>-<random>" would not
// fit a file name for every purpose.
QString hiddenLabel(const QString& label)
{
    const qsizetype fixed = 1 + qsizetype(kMark.size()) + kLongestPurpose + 1 + kRandomDigits;
    if (FsPath::encode(label).size() + fixed <= kMaxFileNameBytes)
        return label;
    return QString::fromLatin1(QCryptographicHash::hash(FsPath::encode(label), QCryptographicHash::Md5).toHex());
}

QString randomPart()
{
    return QStringLiteral("%1").arg(QRandomGenerator::global()->generate64(), kRandomDigits, 16, QLatin1Char('0'));
}

QString hiddenPath(const QString& folder, const QString& label, const QString& purpose, const QString& random)
{
    return folder + QStringLiteral("/.") + label + QLatin1String(kMark.data(), kMark.size()) + purpose
         + QLatin1Char('-') + random;
}

// A hidden folder of ours, as its name tells.
struct Hidden {
    fs::path path;
    QString label;
    std::string purpose;
    std::string random;
};

// ".<label>.loomwork-<purpose>-<16 lowercase hex digits>" with one of our purposes, exactly.
std::optional<Hidden> parseHidden(const fs::path& path)
{
    const std::string name = path.filename().native();
    const std::string_view view(name);
    if (name.size() < 1 + kMark.size() + 1 + kRandomDigits || name[0] != '.')
        return std::nullopt;
    const std::string_view random = view.substr(view.size() - kRandomDigits);
    const auto lowerHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    if (!std::all_of(random.begin(), random.end(), lowerHex) || view[view.size() - kRandomDigits - 1] != '-')
        return std::nullopt;
    const std::string_view rest = view.substr(0, view.size() - kRandomDigits - 1);
    const auto matches = [&](std::string_view purpose) {
        return rest.size() > kMark.size() + purpose.size() && rest.ends_with(purpose)
            && rest.substr(0, rest.size() - purpose.size()).ends_with(kMark);
    };
    for (const std::string_view purpose : kPurposes) {
        if (!matches(purpose))
            continue;
        const std::string label(rest.substr(1, rest.size() - purpose.size() - kMark.size() - 1));
        return Hidden{path, FsPath::fromNative(fs::path(label)), std::string(purpose), std::string(random)};
    }
    return std::nullopt;
}

struct Entry {
    std::string name;
    struct stat st;
};

// The entries of the open folder `fd`, each with its lstat.
std::vector<Entry> entriesOf(int fd)
{
    std::vector<Entry> entries;
    const int copy = ::dup(fd);
    DIR* dir = copy < 0 ? nullptr : ::fdopendir(copy);
    if (!dir) {
        if (copy >= 0)
            ::close(copy);
        return entries;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        Entry found{std::string(name), {}};
        if (name != "." && name != ".." && ::fstatat(fd, entry->d_name, &found.st, AT_SYMLINK_NOFOLLOW) == 0)
            entries.push_back(std::move(found));
    }
    ::closedir(dir);
    return entries;
}

// Opens `folder` for recover(): in the system library through handles walked from its root
// (a link on the way opens nothing), so what is listed is the folder the later steps reach.
DirHandle::Fd openForListing(const QString& folder)
{
    DirHandle::Fd fd;
    if (const auto in = SystemPath::inside(folder)) {
        const QString below = in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
        DirHandle::openPath(FsPath::toBytes(in->root), FsPath::toBytes(below), fd);
        return fd;
    }
    return DirHandle::Fd(::open(FsPath::toBytes(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

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

PluginFolderSwap::PluginFolderSwap(const QString& folder, FileOps& files) : m_files(files), m_folder(folder) {}

PluginFolderSwap::~PluginFolderSwap()
{
    finish();
    if (!m_staging.isEmpty())
        m_files.removeTree(m_staging);
}

QString PluginFolderSwap::hiddenSibling(const QString& folder, const QString& label, const QString& purpose)
{
    return hiddenPath(folder, hiddenLabel(label), purpose, randomPart());
}

Clock::time_point PluginFolderSwap::startedAt()
{
    return g_startedAt;
}

void PluginFolderSwap::recover(const QString& folder, Clock::time_point olderThan, FileOps& files)
{
    if (!linkRefusal(folder).isEmpty())
        return;
    const DirHandle::Fd listed = openForListing(folder);
    if (!listed.valid())
        return;
    // Every local user may write in the system library: another user's hidden folders there
    // are left for that user's own Loomwork (its replace may still be running).
    const bool system = SystemPath::inside(folder).has_value();
    std::vector<Hidden> stale;
    QHash<QString, std::string> names; // name folders by label and random, whatever their age
    QSet<QString> present;             // each plug-in's name, and the label its replaced copy would carry
    for (const Entry& entry : entriesOf(listed.get())) {
        const fs::path path = FsPath::toNative(folder) / entry.name;
        if (entry.name[0] != '.') {
            const QString plugin = FsPath::fromBytes(entry.name);
            present.insert(plugin);
            present.insert(hiddenLabel(plugin));
            continue;
        }
        std::optional<Hidden> hidden = parseHidden(path);
        if (!hidden || !S_ISDIR(entry.st.st_mode) || (system && entry.st.st_uid != ::geteuid()))
            continue;
        if (hidden->purpose == kName)
            names.insert(hidden->label + QString::fromLatin1(hidden->random), entry.name);
        if (ZFCLeftovers::changedAt(entry.st) < olderThan)
            stale.push_back(std::move(*hidden));
    }
    QSet<QString> stillHidden; // replaced copies that stay: their names stay with them
    for (const Hidden& hidden : stale) {
        if (hidden.purpose != kReplaced)
            continue;
        const QString key = hidden.label + QString::fromLatin1(hidden.random);
        if (present.contains(hidden.label)) {
            if (files.removeTree(FsPath::fromNative(hidden.path)) != 0)
                stillHidden.insert(key);
            continue;
        }
        // The plug-in is gone, this may be its only copy: never delete it, give it back its
        // own name.
        if (hidden.label.isEmpty()) {
            stillHidden.insert(key);
            continue;
        }
        QString name = hidden.label;
        DirHandle::Fd keeper;
        if (names.contains(key) && DirHandle::openChild(listed.get(), names.value(key), keeper) == 0) {
            for (const Entry& entry : entriesOf(keeper.get())) {
                const QString original = FsPath::fromBytes(entry.name);
                if (hiddenLabel(original) == hidden.label)
                    name = original;
                break;
            }
        }
        if (files.rename(FsPath::fromNative(hidden.path), folder + QLatin1Char('/') + name) == 0) {
            present.insert(name);
            present.insert(hidden.label);
        } else {
            stillHidden.insert(key);
        }
    }
    for (const Hidden& hidden : stale) {
        if (hidden.purpose != kReplaced
            && !(hidden.purpose == kName && stillHidden.contains(hidden.label + QString::fromLatin1(hidden.random))))
            files.removeTree(FsPath::fromNative(hidden.path));
    }
}

void PluginFolderSwap::recoverLibrary(const QString& library)
{
    for (const ZFCPluginType type : ZFCPluginType::allCases())
        recover(library + QLatin1Char('/') + EngineText::directoryName(type));
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
    if (std::find(std::begin(kPurposes), kStagingPurposesEnd, purpose.toStdString()) == kStagingPurposesEnd)
        return EINVAL; // recover() would never know it
    if (refused(m_folder))
        return ELOOP;
    if (!m_files.exists(m_folder)) {
        if (const int error = m_files.makePath(m_folder))
            return failed(error, m_folder);
    }
    recover(m_folder, startedAt(), m_files);
    QString path;
    int error = EEXIST;
    for (int attempt = 0; attempt < 8 && error == EEXIST; ++attempt) {
        path = hiddenSibling(m_folder, label, purpose);
        error = m_files.makeFolder(path);
    }
    if (error)
        return failed(error, m_folder);
    m_staging = path;
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
    const int error = place(staged, name);
    if (error == 0)
        finish();
    return error;
}

int PluginFolderSwap::commitKeepingOld(const QString& staged, const QString& name)
{
    return place(staged, name);
}

int PluginFolderSwap::place(const QString& staged, const QString& name)
{
    finish(); // one replace at a time
    const QString target = m_folder + QLatin1Char('/') + name;
    if (refused(target))
        return ELOOP;
    if (!m_files.exists(target)) {
        const int error = m_files.rename(staged, target);
        if (error == 0) {
            m_target = target;
            m_pending = true;
        }
        return failed(error, target);
    }
    // The swap stays within `folder`: moving a folder to another parent needs write rights on
    // it (its ".." changes), which an old plug-in of the system library may not give us.
    const QString incoming = hiddenSibling(m_folder, name, QLatin1String(kIncoming));
    if (const int error = m_files.rename(staged, incoming))
        return failed(error, target);
    int error = m_files.exchange(incoming, target);
    if (error == 0)
        m_old = incoming; // the old item, once the new one stands at `target`
    else if (FileOps::refusesExchange(error))
        error = moveAside(incoming, target, name);
    if (error) {
        m_files.removeTree(incoming);
        return failed(error, target);
    }
    m_target = target;
    m_pending = true;
    return 0;
}

// Two renames leave a moment without the name: a kill there leaves the old item hidden as
// replaced, and recover() puts it back, under its own name even when the hidden one is hashed.
int PluginFolderSwap::moveAside(const QString& incoming, const QString& target, const QString& name)
{
    const QString label = hiddenLabel(name);
    const QString random = randomPart();
    const QString replaced = hiddenPath(m_folder, label, QLatin1String(kReplaced), random);
    QString nameKeeper;
    if (label != name) {
        nameKeeper = hiddenPath(m_folder, label, QLatin1String(kName), random);
        int error = m_files.makeFolder(nameKeeper);
        if (error == 0)
            error = m_files.makeFolder(nameKeeper + QLatin1Char('/') + name);
        if (error) {
            m_files.removeTree(nameKeeper);
            return error;
        }
    }
    int error = m_files.rename(target, replaced);
    if (error == 0 && (error = m_files.rename(incoming, target)) != 0 && m_files.rename(replaced, target) != 0)
        return error; // the old item waits hidden, with its name, for recover()
    if (error) {
        if (!nameKeeper.isEmpty())
            m_files.removeTree(nameKeeper);
        return error;
    }
    m_old = replaced;
    m_discard = hiddenPath(m_folder, label, QLatin1String(kDiscard), random);
    m_nameKeeper = nameKeeper;
    return 0;
}

void PluginFolderSwap::finish()
{
    if (!m_pending)
        return;
    m_pending = false;
    QString surplus = m_old;
    // Marked surplus in one step, so that recover() never brings the old version back.
    if (!m_discard.isEmpty() && m_files.rename(m_old, m_discard) == 0)
        surplus = m_discard;
    if (!m_nameKeeper.isEmpty())
        m_files.removeTree(m_nameKeeper);
    if (!surplus.isEmpty())
        discard(surplus);
    m_old.clear();
    m_discard.clear();
    m_nameKeeper.clear();
}

int PluginFolderSwap::undo()
{
    if (!m_pending)
        return 0;
    // The new item leaves under a name recover() removes.
    QString away = hiddenSibling(m_folder, m_target.mid(m_folder.size() + 1), QLatin1String(kIncoming));
    if (m_old.isEmpty()) {
        if (const int error = m_files.rename(m_target, away))
            return error;
    } else if (m_discard.isEmpty()) {
        // Exchanged: exchanged back in one step.
        if (const int error = m_files.exchange(m_old, m_target))
            return error;
        away = m_old;
    } else {
        // Moved aside: back by two renames; a kill between them leaves the old item hidden as
        // replaced, with its name, and recover() puts it back.
        if (const int error = m_files.rename(m_target, away))
            return error;
        if (const int error = m_files.rename(m_old, m_target)) {
            if (m_files.rename(away, m_target) != 0) {
                // Neither stands at the name: the old item stays hidden as replaced (never
                // discarded) for recover() to put back.
                m_pending = false;
                m_old.clear();
                m_discard.clear();
                m_nameKeeper.clear();
            }
            return error;
        }
        if (!m_nameKeeper.isEmpty())
            m_files.removeTree(m_nameKeeper);
    }
    m_pending = false;
    m_old.clear();
    m_discard.clear();
    m_nameKeeper.clear();
    discard(away);
    return 0;
}

void PluginFolderSwap::discard(const QString& path)
{
    if (m_files.removeTree(path) != 0)
        m_leftover = path;
}

void PluginSwapGroup::add(std::unique_ptr<PluginFolderSwap> swap, const QString& staged, const QString& name)
{
    m_items.push_back(Item{std::move(swap), staged, name});
}

int PluginSwapGroup::commit()
{
    m_failedAt = -1;
    m_notRestored.clear();
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        Item& item = m_items[i];
        const int error = item.swap->commitKeepingOld(item.staged, item.name);
        if (error == 0)
            continue;
        m_failedAt = qsizetype(i);
        // Latest first: a later item may have replaced an earlier one of the same name.
        for (std::size_t done = i; done-- > 0;) {
            PluginFolderSwap& swap = *m_items[done].swap;
            if (swap.undo() != 0) {
                m_notRestored.prepend(swap.target());
                swap.finish();
            }
        }
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
