#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

// An open file descriptor, closed when the handle goes away. Every failure throws
// std::filesystem::filesystem_error carrying the errno and the path.
class ZFCFileHandle
{
public:
    ZFCFileHandle() = default;
    ~ZFCFileHandle();
    ZFCFileHandle(ZFCFileHandle&& other) noexcept;
    ZFCFileHandle& operator=(ZFCFileHandle&& other) noexcept;
    ZFCFileHandle(const ZFCFileHandle&) = delete;
    ZFCFileHandle& operator=(const ZFCFileHandle&) = delete;

    static ZFCFileHandle openForReading(const std::filesystem::path& path);
    // Creates or truncates a regular file for writing (mode 0666 less the umask).
    static ZFCFileHandle createForWriting(const std::filesystem::path& path);
    // Takes ownership of an open descriptor; `path` names it in errors.
    static ZFCFileHandle adopt(int fd, std::filesystem::path path) { return ZFCFileHandle(fd, std::move(path)); }

    int fd() const { return m_fd; }
    const std::filesystem::path& path() const { return m_path; }

    // Reads until `count` bytes or the end of the file; returns the bytes read.
    std::size_t read(void* buffer, std::size_t count);
    // Same, at `offset`, without moving the file position.
    std::size_t readAt(void* buffer, std::size_t count, int64_t offset);
    void write(const void* bytes, std::size_t count);
    void seek(int64_t offset);
    int64_t size() const;
    void truncate(int64_t length);
    // Closes now; a failing close is ignored.
    void close() noexcept;

private:
    ZFCFileHandle(int fd, std::filesystem::path path) : m_fd(fd), m_path(std::move(path)) {}
    [[noreturn]] void fail(const char* what) const;

    int m_fd = -1;
    std::filesystem::path m_path;
};
