#include "engine/files/PackageFiles.h"

#include <cerrno>
#include <filesystem>
#include <new>
#include <system_error>

#include <sys/stat.h>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include <SafeFS/HiddenName.h>
#include "engine/core/FsPath.h"
#include "engine/core/SystemError.h"
#include "engine/files/PluginFolderSwap.h"
#include "engine/files/PluginLease.h"

namespace {

struct NotARegularFile : std::exception
{
    const char* what() const noexcept override { return "not a regular file"; }
};

} // namespace

std::vector<ZFCPlugin> PackageFiles::readPlugins(const QString& file)
{
    const std::filesystem::path path = FsPath::toNative(file);
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        if (S_ISDIR(info.st_mode))
            throw std::filesystem::filesystem_error("not a package", std::make_error_code(std::errc::is_a_directory));
        throw NotARegularFile();
    }
    return ZFCPackageReader::readPlugins(path);
}

QString PackageFiles::folderName(const QString& storedName)
{
    return FsPath::fromBytes(ZFCPackageReader::safeName(FsPath::toBytes(storedName)));
}

QString PackageFiles::hiddenNameRefusal(const std::vector<ZFCPlugin>& plugins)
{
    for (const ZFCPlugin& plugin : plugins) {
        const QString folder = folderName(FsPath::fromBytes(plugin.name));
        if (SafeFS::isHiddenForm(FsPath::toBytes(folder)))
            return QStringLiteral("插件名称与提取所用的隐藏文件夹同形，不能提取：") + FsPath::displayText(folder);
    }
    return {};
}

QString PackageFiles::describe(const std::exception_ptr& error, bool withPath)
{
    try {
        std::rethrow_exception(error);
    } catch (const ZFCPackageError& e) {
        return QString::fromStdString(e.errorDescription());
    } catch (const AES256CTR::CryptoError& e) {
        return QString::fromStdString(e.errorDescription());
    } catch (const std::filesystem::filesystem_error& e) {
        const QString text = SystemError::describe(e.code().value());
        return !withPath || e.path1().empty() ? text : text + QStringLiteral("：") + FsPath::fromNative(e.path1());
    } catch (const std::system_error& e) {
        return SystemError::describe(e.code().value());
    } catch (const std::bad_alloc&) {
        return QStringLiteral("内存不足");
    } catch (const NotARegularFile&) {
        return QStringLiteral("不是普通文件");
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
    }
    return QStringLiteral("未知错误");
}

QString PackageFiles::describeExtraction(const std::exception_ptr& error, const QString& staging, const QString& shownAs,
                                        bool withPath)
{
    const std::string from = FsPath::toBytes(staging);
    const std::string to = FsPath::toBytes(shownAs);
    const auto shown = [&](const std::string& path) {
        return path.compare(0, from.size(), from) == 0 && (path.size() == from.size() || path[from.size()] == '/')
            ? to + path.substr(from.size())
            : path;
    };
    try {
        std::rethrow_exception(error);
    } catch (const ZFCPackageError& e) {
        // The path before it is shortened for the message: its head names the folder.
        if (!e.subject().empty() && shown(e.subject()) != e.subject())
            return QString::fromStdString(ZFCPackageError::failure(e.kind(), shown(e.subject())).errorDescription());
    } catch (const std::filesystem::filesystem_error& e) {
        if (withPath && !e.path1().empty())
            return SystemError::describe(e.code().value()) + QStringLiteral("：") + FsPath::fromBytes(shown(e.path1().native()));
    } catch (...) {
    }
    return describe(error, withPath).replace(staging, shownAs);
}

void PackageFiles::extractInto(PluginFolderSwap& swap, const QString& staging, ZFCPackageReader& reader,
                               const ZFCPlugin& plugin, const std::optional<std::string>& name,
                               const ZFCProgressCallback& progress)
{
    const std::filesystem::path into = FsPath::toNative(staging);
    try {
        reader.extract(plugin, into, name, true, progress);
    } catch (...) {
        if (!readyToRetry(std::current_exception(), swap))
            throw;
        reader.extract(plugin, into, name, true, progress);
    }
}

bool PackageFiles::readyToRetry(const std::exception_ptr& error, PluginFolderSwap& swap)
{
    int code = 0;
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        code = e.code().value();
    } catch (...) {
    }
    return (code == ENOSPC || code == EDQUOT) && PluginLease::waitForRemovalsOn(swap.stagingDevice())
        && swap.clearStaging() == 0;
}
