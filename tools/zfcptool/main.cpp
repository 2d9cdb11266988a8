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
// Extractions into one ROOT take turns (ExtractRun.h).
// Exit status 0 on success, 1 on failure with the error's description as the last line of
// stderr; what could not be put right at once is said, and left recorded for the next run. A
// run that finds an earlier one's record it cannot act on takes no step, says what waits and
// fails.
// Exit status 0 after an extraction only when every plug-in stands at its name as extracted.

#include <cstddef>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "LoomworkKit/ZFCPackItem.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "LoomworkKit/ZFCPluginType.h"

#include "Errors.h"
#include "ExtractCommand.h"
#include "Landings.h"
#include "Seams.h"

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

void printProgress(const ZFCProgress& p)
{
    std::cerr << ZFCProgress::rawValue(p.stage) << '\t' << p.subject << '\t' << p.fraction << '\n';
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

// One package whose plug-ins extract would refuse to put side by side is not made.
void pack(const std::string& output, const std::vector<ZFCPackItem>& items, const ZFCProgressCallback& progress)
{
    Landings landings("两个插件提取时会落在同一个文件夹（只会留下后一个），未写入封包：");
    for (const ZFCPackItem& item : items)
        landings.add(item.type, item.name);
    ZFCPacker::pack(items, output, progress);
}

// The records of ZFCPlugin::encodeArray, each entry printed as soon as it is parsed (so a
// plug-in's items come before its other keys): memory stays flat whatever the number of
// entries.
void list(const std::string& package)
{
    std::size_t plugins = 0;
    std::size_t entries = 0;
    bool inItems = false;
    const auto startItems = [&] {
        if (!inItems)
            std::cout << (plugins ? ",{\"items\":[" : "[{\"items\":[");
        inItems = true;
    };
    ZFCPackageReader::visitMetadata(
        package,
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
}

void run(const std::vector<std::string>& args, bool overwrite, const ZFCProgressCallback& progress)
{
    if (args.empty())
        throw UsageError("缺少命令");
    const std::string& command = args[0];
    if (command == "list" && args.size() == 2)
        list(args[1]);
    else if (command == "pack" && args.size() >= 2)
        pack(args[1], packItems(args, 2), progress);
    else if (command == "pack-each" && args.size() >= 2)
        ZFCPacker::packEach(packItems(args, 2), args[1], progress);
    else if (command == "extract" && args.size() >= 3 && args.size() <= 5)
        extractCommand({args.begin() + 1, args.end()}, overwrite, progress);
    else
        throw UsageError("命令或参数无效");
}

} // namespace

int main(int argc, char** argv)
{
    // Everything that may run out of memory, the reading of the arguments included, ends in
    // a message and status 1, never in an abort.
    try {
        Seams::start();
        std::vector<std::string> args;
        bool overwrite = false;
        bool showProgress = false;
        for (int i = 1; i < argc; ++i) {
            const std::string_view arg = argv[i];
            if (arg == "--overwrite")
                overwrite = true;
            else if (arg == "--progress")
                showProgress = true;
            else
                args.emplace_back(arg);
        }
        const ZFCProgressCallback progress = showProgress ? ZFCProgressCallback(printProgress) : ZFCProgressCallback();
        run(args, overwrite, progress);
        return 0;
    } catch (const UsageError& e) {
        std::cerr << kUsage << e.message << '\n';
    } catch (...) {
        tell(std::current_exception());
    }
    return 1;
}
