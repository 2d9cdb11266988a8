#pragma once

#include <filesystem>
#include <string>

// A temporary folder removed with its contents when the object goes away.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& child) const { return m_path / child; }

private:
    std::filesystem::path m_path;
};

// Removes `path` with everything in it, read-only folders and undecodable names included.
void removeTree(const std::filesystem::path& path);
// Writes `bytes` to `path`, creating its parent folders.
void writeFile(const std::filesystem::path& path, const std::string& bytes);
// The whole content of a small file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// An address-space limit and a sanitizer's shadow memory (AddressSanitizer, ThreadSanitizer)
// do not mix: tests that set one skip themselves under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderShadowMemorySanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kUnderShadowMemorySanitizer = true;
#else
inline constexpr bool kUnderShadowMemorySanitizer = false;
#endif
#else
inline constexpr bool kUnderShadowMemorySanitizer = false;
#endif
