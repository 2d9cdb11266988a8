#include "ExtractCommand.h"

#include <exception>
#include <filesystem>
#include <optional>
#include <set>

#include <sys/stat.h>

#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPluginType.h"
#include <SafeFS/HiddenName.h>

#include "Errors.h"
#include "ExtractRun.h"
#include "Seams.h"

namespace fs = std::filesystem;

namespace {

// A plug-in under a name of this tool's hidden form or the application's would be taken for
// one of a run's items.
void refuseHiddenForm(const std::string& name)
{
    if (SafeFS::isHiddenForm(name))
        throw Failure("插件名称与提取所用的隐藏文件夹同形，不能提取：" + name);
}

// Anything at `path`, a link itself included.
bool isThere(const fs::path& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

void extractCommand(const std::vector<std::string>& args, bool overwrite, const ZFCProgressCallback& progress)
{
    ZFCPackageReader reader(args[0]);
    const fs::path root = args[1];
    if (args.size() == 2) {
        std::vector<std::string> categories;
        std::vector<ExtractRun::Plugin> plugins;
        std::set<std::string> landings;
        for (const ZFCPlugin& plugin : reader.plugins()) {
            const std::string folder = ZFCPackageReader::safeName(plugin.name);
            refuseHiddenForm(folder);
            // Refused before the run makes anything in ROOT.
            ZFCPackageReader::checkDepth(plugin);
            const auto type = plugin.pluginType();
            categories.emplace_back(type ? type->directoryName() : kOtherCategoryDirectory);
            plugins.push_back({categories.back(), folder});
            // Two plug-ins that land in one folder would leave only the last.
            if (!landings.insert(categories.back() + '/' + folder).second)
                throw ZFCPackageError::metadataCorrupted();
        }
        ExtractRun staged(root);
        try {
            staged.noteSeen(plugins);
            const fs::path tree = staged.tree(categories);
            Seams::beforeRead();
            reader.extractAll(tree, progress);
            staged.commit(plugins, true);
        } catch (...) {
            throw Failure(staged.visible(describe(std::current_exception())));
        }
        return;
    }
    std::size_t index = 0;
    try {
        std::size_t used = 0;
        index = std::stoul(args[2], &used);
        if (used != args[2].size())
            throw UsageError({});
    } catch (const std::exception&) {
        throw UsageError("序号无效：" + args[2]);
    }
    if (index >= reader.plugins().size())
        throw UsageError("序号超出范围：" + args[2] + "（封包内有 " + std::to_string(reader.plugins().size()) + " 个插件）");
    const ZFCPlugin& plugin = reader.plugins()[index];
    const std::optional<std::string> name = args.size() == 4 ? std::optional<std::string>(args[3]) : std::nullopt;
    // An existing folder is kept without a word unless --overwrite (the reader's rule).
    std::string folder = name ? ZFCPackageReader::safeName(*name) : std::string();
    if (folder.empty())
        folder = ZFCPackageReader::safeName(plugin.name);
    refuseHiddenForm(folder);
    if (!overwrite && !folder.empty() && isThere(root / folder))
        return;
    ZFCPackageReader::checkDepth(plugin);
    ExtractRun staged(root);
    try {
        staged.noteSeen({{std::string(), folder}});
        const fs::path staging = staged.stagingInRoot();
        Seams::beforeRead();
        reader.extract(plugin, staging, name, true, progress);
        staged.commit({{std::string(), folder}}, overwrite);
    } catch (...) {
        throw Failure(staged.visible(describe(std::current_exception())));
    }
}
