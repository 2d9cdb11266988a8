#pragma once

// Runs one input as a package: kept in memory (a memfd), opened, listed and extracted once
// (every plug-in) into a fresh folder, which is removed afterwards. Our own errors are
// expected outcomes; a file appearing beside the destination aborts.

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"

namespace fuzz {

class ExtractOnce
{
public:
    ExtractOnce()
    {
        m_fd = ::memfd_create("zfcp-input", MFD_CLOEXEC);
        if (m_fd < 0)
            std::abort();
        m_input = "/proc/self/fd/" + std::to_string(m_fd);
        // A memory file system when there is one: the extraction is work, not the disk.
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm"
                                                                                          : std::filesystem::temp_directory_path();
        std::string pattern = (base / "zfcp-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        m_scratch = pattern;
    }
    ~ExtractOnce()
    {
        ::close(m_fd);
        std::error_code ec;
        std::filesystem::remove_all(m_scratch, ec);
    }
    ExtractOnce(const ExtractOnce&) = delete;
    ExtractOnce& operator=(const ExtractOnce&) = delete;

    // No value on success, else the package error that ended the extraction. `inspect` sees
    // the destination folder before it is removed.
    std::optional<ZFCPackageError> run(std::string_view bytes,
                                       const std::function<void(const std::filesystem::path&)>& inspect = {})
    {
        if (::pwrite(m_fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
            ::ftruncate(m_fd, static_cast<off_t>(bytes.size())) != 0)
            std::abort();
        const std::filesystem::path dest = m_scratch / "dest";
        std::filesystem::create_directory(dest);
        std::optional<ZFCPackageError> error;
        try {
            ZFCPackageReader reader(m_input);
            for (const ZFCPlugin& plugin : reader.plugins()) {
                if (plugin.position < reader.dataOffset() || plugin.eSize < 0)
                    std::abort();
            }
            reader.extractAll(dest);
        } catch (const ZFCPackageError& e) {
            error = e;
        } catch (const AES256CTR::CryptoError&) {
        } catch (const std::filesystem::filesystem_error&) {
        }
        if (inspect)
            inspect(dest);
        for (const auto& entry : std::filesystem::directory_iterator(m_scratch)) {
            if (entry.path().filename() != "dest")
                std::abort();
        }
        std::error_code ec;
        std::filesystem::remove_all(dest, ec);
        return error;
    }

private:
    int m_fd = -1;
    std::string m_input;
    std::filesystem::path m_scratch;
};

} // namespace fuzz
