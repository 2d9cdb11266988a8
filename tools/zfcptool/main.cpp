// zfcptool: drives LoomworkKit from the command line.
//   zfcptool list PACKAGE
//   zfcptool pack OUTPUT TYPE NAME DIR [TYPE NAME DIR ...]
//   zfcptool pack-each OUTDIR TYPE NAME DIR [TYPE NAME DIR ...]
//   zfcptool extract PACKAGE ROOT [INDEX [NAME]] [--overwrite]
// --progress (any command) prints every report on stderr as stage<TAB>subject<TAB>fraction.
// Exit status 0 on success, 1 on failure with the error's description as the last line of
// stderr.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCPackItem.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"

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
        if (args.size() == 3) {
            reader.extractAll(args[2], progress);
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
        const std::optional<std::string> name = args.size() == 5 ? std::optional<std::string>(args[4]) : std::nullopt;
        reader.extract(reader.plugins()[index], args[2], name, overwrite, progress);
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
    } catch (const ZFCPackageError& e) {
        std::cerr << e.errorDescription() << '\n';
    } catch (const AES256CTR::CryptoError& e) {
        std::cerr << e.errorDescription() << '\n';
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
    }
    return 1;
}
