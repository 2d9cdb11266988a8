#include "ExtractCommand.h"

#include <exception>
#include <filesystem>
#include <optional>

#include <sys/stat.h>

#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPluginType.h"
#include <SafeFS/HiddenName.h>

#include "Errors.h"
#include "ExtractRun.h"
#include "Landings.h"
#include "Seams.h"

namespace fs = std::filesystem;

namespace {

const char* const kSharedFolder = "封包里有两个插件会提取到同一个文件夹（只会留下后一个），未提取任何插件：";

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
        Landings landings(kSharedFolder);
        for (const ZFCPlugin& plugin : reader.plugins()) {
            Landings::Place place = landings.add(plugin.pluginType(), plugin.name);
            refuseHiddenForm(place.folder);
            // Refused before the run makes anything in ROOT.
            ZFCPackageReader::checkDepth(plugin);
            categories.push_back(place.category);
            plugins.push_back({std::move(place.category), std::move(place.folder)});
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
