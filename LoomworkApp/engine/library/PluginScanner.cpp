#include "engine/library/PluginScanner.h"

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

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

void scanRoot(PluginRoot root, PluginScanner::ScanResult& result)
{
    const QString rootPath = root.path();
    const std::string nativeRoot = FsPath::toBytes(rootPath);
    if (!isDirectory(nativeRoot)) {
        result.errors.insert(root, QStringLiteral("目录不存在"));
        return;
    }
    std::vector<std::string> rootNames;
    int error = 0;
    if (!listNames(nativeRoot, rootNames, error)) {
        result.errors.insert(root, SystemError::describe(error));
        return;
    }
    for (const ZFCPluginType type : ZFCPluginType::allCases()) {
        const std::string category = nativeRoot + "/" + std::string(type.directoryName());
        // Each plug-in is looked at relative to its category: one name to resolve, not the
        // whole path.
        const DirHandle::Fd categoryFd(::open(category.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        std::vector<std::string> names;
        if (!categoryFd.valid() || !listNames(category, names, error))
            continue;
        for (const auto& name : names) {
            if (name.empty() || name[0] == '.')
                continue;
            const std::string folder = category + "/" + name;
            struct stat st;
            if (::fstatat(categoryFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            struct stat target;
            if (!S_ISDIR(st.st_mode)
                && (!S_ISLNK(st.st_mode) || ::fstatat(categoryFd.get(), name.c_str(), &target, 0) != 0
                    || !S_ISDIR(target.st_mode)))
                continue;
            SafeFS::Identity identity;
            if (SafeFS::identityAt(categoryFd.get(), name, identity) != 0)
                continue;
            const QDateTime modifiedAt = modificationDate(st);
            // One walk gives both the allocated size and the templates' heads, each file opened
            // relative to its folder's handle; the plug-in's folder relative to its category.
            TemplateInspector::VersionTally tally;
            const auto walk = LibraryWalk::walkOpened(
                ::openat(categoryFd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), folder,
                LibraryWalk::allocatedSize,
                [&tally](int fd, const struct stat& file) { tally.add(fd, qint64(file.st_size)); });
            const auto summary = tally.summary();
            Plugin plugin;
            plugin.name = FsPath::displayText(FsPath::fromBytes(name));
            plugin.type = type;
            plugin.root = root;
            plugin.path = FsPath::fromBytes(folder);
            plugin.sizeBytes = walk.allocatedBytes;
            plugin.modifiedAt = modifiedAt;
            plugin.ozmlVersion = summary.ozml;
            plugin.motionVersion = summary.displayVersion;
            plugin.templateFileCount = summary.templateFileCount;
            plugin.isMarket = MarketInstallRegistry::isMarket(plugin.path);
            plugin.identity = identity;
            result.plugins.append(std::move(plugin));
        }
    }
}

} // namespace

PluginScanner::ScanResult PluginScanner::scan(const QList<PluginRoot>& roots)
{
    ScanResult result;
    for (const PluginRoot root : roots)
        scanRoot(root, result);
    sortPlugins(result.plugins);
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
    std::vector<qsizetype> order(std::size_t(plugins.size()));
    std::iota(order.begin(), order.end(), qsizetype(0));
    const QList<Plugin>& list = plugins;
    std::stable_sort(order.begin(), order.end(), [&](qsizetype x, qsizetype y) {
        const Plugin& a = list[x];
        const Plugin& b = list[y];
        if (a.root != b.root)
            return a.root == PluginRoot::user;
        if (a.type != b.type)
            return a.type.rawValue() < b.type.rawValue();
        return keys[std::size_t(x)].compare(keys[std::size_t(y)]) < 0;
    });
    QList<Plugin> sorted;
    sorted.reserve(plugins.size());
    for (const qsizetype i : order)
        sorted.append(std::move(plugins[i]));
    plugins = std::move(sorted);
}
