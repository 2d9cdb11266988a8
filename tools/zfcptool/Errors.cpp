#include "Errors.h"

#include <iostream>
#include <new>
#include <system_error>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCPackageError.h"

void throwErrno(const char* what, const std::filesystem::path& path, int error)
{
    throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

namespace {

const char* const kOutOfMemory = "内存不足";

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
