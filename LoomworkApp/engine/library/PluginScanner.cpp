#include "engine/library/PluginScanner.h"

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <sys/stat.h>

#include "engine/core/EngineText.h"
#include "engine/files/FsPath.h"
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

// Entry names of a folder, or the errno of a failed listing.
bool listNames(const std::string& folder, std::vector<std::string>& names, int& error)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        error = errno;
        return false;
    }
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return true;
}

std::optional<QDateTime> modificationDate(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
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
        if (!isDirectory(category))
            continue;
        std::vector<std::string> names;
        if (!listNames(category, names, error))
            continue;
        for (const auto& name : names) {
            if (name.empty() || name[0] == '.')
                continue;
            const std::string folder = category + "/" + name;
            if (!isDirectory(folder))
                continue;
            const auto modifiedAt = modificationDate(folder);
            // One walk gives both the template files and the allocated size.
            const auto walk = LibraryWalk::walk(folder, LibraryWalk::templateFiles | LibraryWalk::allocatedSize);
            const auto summary = TemplateInspector::versionSummary(walk.templates);
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
    std::stable_sort(plugins.begin(), plugins.end(), [](const Plugin& a, const Plugin& b) {
        if (a.root != b.root)
            return a.root == PluginRoot::user;
        if (a.type != b.type)
            return a.type.rawValue() < b.type.rawValue();
        return EngineText::localizedStandardCompare(a.name, b.name) < 0;
    });
}
