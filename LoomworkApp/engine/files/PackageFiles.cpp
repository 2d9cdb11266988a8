#include "engine/files/PackageFiles.h"

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
