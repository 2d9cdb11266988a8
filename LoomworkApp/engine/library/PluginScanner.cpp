#include "engine/library/PluginScanner.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCollator>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Identity.h>
#include "engine/core/EngineText.h"
#include "engine/core/FsPath.h"
#include "engine/files/LibraryWalk.h"
#include "engine/market/MarketInstallRegistry.h"
#include "engine/core/SystemError.h"
#include "engine/templates/TemplateInspector.h"

namespace {

bool isDirectory(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Entry names of a folder, or the errno of a failed listing: a read that fails is never
// taken for the end of the folder (plug-ins would vanish from the list without a word).
bool listNames(const std::string& folder, std::vector<std::string>& names, int& error)
{
    const DirHandle::Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    error = fd.valid() ? DirHandle::listNames(fd.get(), names) : errno;
    return error == 0;
}

QDateTime modificationDate(const struct stat& st)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000, Qt::UTC);
}

// A category folder of a library that could be listed, with what it lists.
struct Category
{
    PluginRoot root;
    ZFCPluginType type;
    std::string path;
    DirHandle::Fd fd;
    std::vector<std::string> names;
};

// The plug-in `name` of `category`, unless the entry is no folder nor a link to one.
bool lookAt(const Category& category, const std::string& name, Plugin& plugin)
{
    const std::string folder = category.path + "/" + name;
    const int categoryFd = category.fd.get();
    struct stat st;
    if (::fstatat(categoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    struct stat target;
    if (!S_ISDIR(st.st_mode)
        && (!S_ISLNK(st.st_mode) || ::fstatat(categoryFd, name.c_str(), &target, 0) != 0 || !S_ISDIR(target.st_mode)))
        return false;
    SafeFS::Identity identity;
    if (SafeFS::identityAt(categoryFd, name, identity) != 0)
        return false;
    // One walk gives both the allocated size and the templates' heads, each file opened
    // relative to its folder's handle; the plug-in's folder relative to its category.
    TemplateInspector::VersionTally tally;
    const auto walk = LibraryWalk::walkOpened(
        ::openat(categoryFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), folder, LibraryWalk::allocatedSize,
        [&tally](int fd, const struct stat& file) { tally.add(fd, qint64(file.st_size)); });
    const auto summary = tally.summary();
    plugin.name = FsPath::displayText(FsPath::fromBytes(name));
    plugin.type = category.type;
    plugin.root = category.root;
    plugin.path = FsPath::fromBytes(folder);
    plugin.sizeBytes = walk.allocatedBytes;
    plugin.modifiedAt = modificationDate(st);
    plugin.ozmlVersion = summary.ozml;
    plugin.motionVersion = summary.displayVersion;
    plugin.templateFileCount = summary.templateFileCount;
    plugin.isMarket = MarketInstallRegistry::isMarket(plugin.path);
    plugin.identity = identity;
    return true;
}

// Niceness of the threads forEachIndex starts (the calling one keeps its own).
constexpr int kHelperNice = 10;

// Runs work(i) for every i below `count` on up to `threads` threads, the caller being one,
// which claim indices in runs of `run` so that they seldom meet. What a thread throws stops
// the claiming and is thrown here once all have ended.
void forEachIndex(std::size_t count, unsigned threads, std::size_t run, const std::function<void(std::size_t)>& work)
{
    std::atomic<std::size_t> next{0};
    std::mutex failureLock;
    std::exception_ptr failure;
    const auto drain = [&] {
        try {
            for (;;) {
                const std::size_t from = next.fetch_add(run, std::memory_order_relaxed);
                if (from >= count)
                    return;
                for (std::size_t i = from; i < std::min(count, from + run); ++i)
                    work(i);
            }
        } catch (...) {
            next.store(count, std::memory_order_relaxed);
            const std::lock_guard lock(failureLock);
            if (!failure)
                failure = std::current_exception();
        }
    };
    {
        std::vector<std::jthread> helpers;
        const std::size_t wanted = std::min<std::size_t>(threads, (count + run - 1) / run);
        try {
            helpers.reserve(wanted);
            for (std::size_t k = 1; k < wanted; ++k)
                helpers.emplace_back([&drain] {
#if defined(__linux__)
                    // Behind the GUI thread, which shares the process's time with them.
                    (void)::setpriority(PRIO_PROCESS, ::gettid(), kHelperNice);
#endif
                    drain();
                });
        } catch (const std::exception&) {
            // No thread to spare: the ones there are, the caller included, do it all.
        }
        drain();
    }
    if (failure)
        std::rethrow_exception(failure);
}

// Puts `plugins` in the list's order, `keyOf(i)` being the sort key of the name of
// plugins[i]; in place, so that the list is never held twice.
template <class KeyOf>
void sortInPlace(QList<Plugin>& plugins, const KeyOf& keyOf)
{
    std::vector<qsizetype> order(std::size_t(plugins.size()));
    std::iota(order.begin(), order.end(), qsizetype(0));
    Plugin* const p = plugins.data();
    std::stable_sort(order.begin(), order.end(), [&](qsizetype x, qsizetype y) {
        const Plugin& a = p[x];
        const Plugin& b = p[y];
        if (a.root != b.root)
            return a.root == PluginRoot::user;
        if (a.type != b.type)
            return a.type.rawValue() < b.type.rawValue();
        return keyOf(x).compare(keyOf(y)) < 0;
    });
    // order[k] is the plug-in that belongs at k: each cycle of moves is gone round once.
    for (qsizetype start = 0; start < plugins.size(); ++start) {
        if (order[std::size_t(start)] == start)
            continue;
        Plugin held = std::move(p[start]);
        for (qsizetype at = start;;) {
            const qsizetype from = order[std::size_t(at)];
            order[std::size_t(at)] = at;
            if (from == start) {
                p[at] = std::move(held);
                break;
            }
            p[at] = std::move(p[from]);
            at = from;
        }
    }
}

unsigned defaultThreads()
{
    // One core is left to the GUI thread, which takes results and keys meanwhile.
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 2 ? cores - 1 : std::max(cores, 1u);
}

} // namespace

PluginScanner::ScanResult PluginScanner::scan(const QList<PluginRoot>& roots, unsigned threads)
{
    if (threads == 0)
        threads = defaultThreads();
    ScanResult result;
    std::vector<Category> categories;
    for (const PluginRoot root : roots) {
        const std::string nativeRoot = FsPath::toBytes(root.path());
        if (!isDirectory(nativeRoot)) {
            result.errors.insert(root, QStringLiteral("目录不存在"));
            continue;
        }
        std::vector<std::string> rootNames;
        int error = 0;
        if (!listNames(nativeRoot, rootNames, error)) {
            result.errors.insert(root, SystemError::describe(error));
            continue;
        }
        for (const ZFCPluginType type : ZFCPluginType::allCases())
            categories.push_back({root, type, nativeRoot + "/" + std::string(type.directoryName()), {}, {}});
    }
    // A category that cannot be opened or listed is left out, as an empty one.
    forEachIndex(categories.size(), threads, 1, [&categories](std::size_t i) {
        Category& category = categories[i];
        category.fd = DirHandle::Fd(::open(category.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (category.fd.valid() && DirHandle::listNames(category.fd.get(), category.names) != 0)
            category.names.clear();
    });

    // Every plug-in gets its place in the list's order before any is looked at, so the
    // result does not depend on which thread finished first.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
    for (std::size_t c = 0; c < categories.size(); ++c) {
        const auto& names = categories[c].names;
        for (std::size_t n = 0; n < names.size(); ++n) {
            if (!names[n].empty() && names[n][0] != '.')
                entries.emplace_back(std::uint32_t(c), std::uint32_t(n));
        }
    }
    QList<Plugin> plugins(qsizetype(entries.size()));
    // The names' sort keys are made where the plug-ins are, on the threads' own heaps.
    std::vector<std::optional<QCollatorSortKey>> keys(entries.size());
    Plugin* const places = plugins.data();
    forEachIndex(entries.size(), threads, 16, [&](std::size_t i) {
        const Category& category = categories[entries[i].first];
        if (lookAt(category, category.names[entries[i].second], places[i]))
            keys[i].emplace(EngineText::localizedSortKey(places[i].name));
    });
    std::vector<Category>().swap(categories);
    std::vector<std::pair<std::uint32_t, std::uint32_t>>().swap(entries);
    qsizetype kept = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!keys[i])
            continue;
        if (kept != qsizetype(i)) {
            plugins[kept] = std::move(plugins[qsizetype(i)]);
            keys[std::size_t(kept)] = std::move(keys[i]);
        }
        ++kept;
    }
    plugins.resize(kept);
    sortInPlace(plugins, [&keys](qsizetype i) -> const QCollatorSortKey& { return *keys[std::size_t(i)]; });
    result.plugins = std::move(plugins);
    return result;
}

qint64 PluginScanner::directorySize(const QString& folder)
{
    return LibraryWalk::walk(FsPath::toBytes(folder), LibraryWalk::allocatedSize).allocatedBytes;
}

void PluginScanner::sortPlugins(QList<Plugin>& plugins)
{
    std::vector<QCollatorSortKey> keys;
    keys.reserve(std::size_t(plugins.size()));
    for (const Plugin& plugin : plugins)
        keys.push_back(EngineText::localizedSortKey(plugin.name));
    sortInPlace(plugins, [&keys](qsizetype i) -> const QCollatorSortKey& { return keys[std::size_t(i)]; });
}
