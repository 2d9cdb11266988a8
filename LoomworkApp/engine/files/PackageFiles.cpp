#include "engine/files/PackageFiles.h"

#include <filesystem>
#include <new>
#include <system_error>

#include <sys/stat.h>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "engine/files/FsPath.h"
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
