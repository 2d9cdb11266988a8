#include "Errors.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <new>
#include <system_error>
#include <utility>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCPackageError.h"

void throwErrno(const char* what, const std::filesystem::path& path, int error)
{
    throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

namespace {

const char* const kOutOfMemory = "内存不足";

// What the system said, in the user's words.
std::string systemText(int code)
{
    switch (code) {
    case ENAMETOOLONG: return "路径过长，超过系统的限制";
    case ENOMEM: return kOutOfMemory;
    case EAGAIN: return "系统资源暂时不足（无法创建线程）";
    case EACCES:
    case EPERM: return "没有权限";
    case ENOSPC:
    case EDQUOT: return "磁盘空间不足";
    case ENOENT: return "文件或文件夹不存在";
    case EROFS: return "文件系统只读";
    case EEXIST: return "文件已存在";
    case ENOTDIR: return "不是文件夹";
    case EISDIR: return "是一个文件夹";
    case ELOOP: return "符号链接过多或指向自身";
    case EIO: return "磁盘读写错误";
    case EMFILE:
    case ENFILE: return "打开的文件过多";
    default: return "系统错误（" + std::string(std::strerror(code)) + "）";
    }
}

// The step a filesystem_error names ("filesystem error: <step>: <reason> [path]"), in words.
std::string stepText(const std::string& what)
{
    static const std::pair<const char*, const char*> steps[] = {
        {"cannot create directory", "无法创建文件夹"}, {"cannot create link", "无法创建链接"},
        {"cannot create", "无法创建"},                 {"cannot move into place", "无法移入目标位置"},
        {"cannot open directory", "无法打开文件夹"},   {"cannot open", "无法打开"},
        {"cannot read directory", "无法读取文件夹"},   {"cannot read", "无法读取"},
        {"cannot remove", "无法删除"},                 {"cannot replace", "无法替换"},
        {"cannot stat", "无法读取信息"},               {"cannot write", "无法写入"},
    };
    const std::string prefix = "filesystem error: ";
    const std::size_t start = what.rfind(prefix, 0) == 0 ? prefix.size() : 0;
    const std::size_t end = what.find(": ", start);
    const std::string step = what.substr(start, end == std::string::npos ? std::string::npos : end - start);
    for (const auto& [english, words] : steps) {
        if (step == english)
            return words;
    }
    return {};
}

bool isErrno(const std::error_code& code)
{
    return code.category() == std::generic_category() || code.category() == std::system_category();
}

} // namespace

std::string describe(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const ZFCPackageError& e) {
        return e.errorDescription();
    } catch (const AES256CTR::CryptoError& e) {
        return e.errorDescription();
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (const std::filesystem::filesystem_error& e) {
        if (!isErrno(e.code()))
            return e.what();
        // The path it was about, shortened in the middle: its end names the file.
        const std::string& path = e.path1().native();
        const std::string step = stepText(e.what());
        const std::string reason = systemText(e.code().value());
        return (step.empty() ? reason : step + "（" + reason + "）")
            + (path.empty() ? "" : "：" + ZFCPackageError::quotedName(path));
    } catch (const std::system_error& e) {
        return isErrno(e.code()) ? systemText(e.code().value()) : std::string(e.what());
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "未知错误";
    }
}

void tell(const std::exception_ptr& error) noexcept
{
    // The description is a string of its own, which may find no memory either.
    try {
        std::cerr << describe(error) << '\n';
    } catch (...) {
        std::cerr << kOutOfMemory << '\n';
    }
}
