#include "LoomworkKit/ZFCFileHandle.h"

#include <cerrno>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KitInternal.h"

namespace fs = std::filesystem;

namespace {

// Calls `readSome(done)` until `count` bytes are in or the file ends, again after EINTR.
// Returns the bytes read, or nothing with errno set.
template <typename ReadSome>
std::optional<std::size_t> readFully(std::size_t count, ReadSome readSome)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = readSome(done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

} // namespace

ZFCFileHandle::~ZFCFileHandle() { close(); }

ZFCFileHandle::ZFCFileHandle(ZFCFileHandle&& other) noexcept : m_fd(other.m_fd), m_path(std::move(other.m_path))
{
    other.m_fd = -1;
}

ZFCFileHandle& ZFCFileHandle::operator=(ZFCFileHandle&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        m_path = std::move(other.m_path);
        other.m_fd = -1;
    }
    return *this;
}

ZFCFileHandle ZFCFileHandle::openForReading(const fs::path& path)
{
    // O_NONBLOCK: a FIFO handed over as a package must not hang the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        kit::throwErrno("cannot open", path);
    return ZFCFileHandle(fd, path);
}

ZFCFileHandle ZFCFileHandle::createForWriting(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        kit::throwErrno("cannot create", path);
    return ZFCFileHandle(fd, path);
}

void ZFCFileHandle::fail(const char* what) const
{
    kit::throwErrno(what, m_path);
}

std::size_t ZFCFileHandle::read(void* buffer, std::size_t count)
{
    auto* out = static_cast<char*>(buffer);
    const auto got = readFully(count, [&](std::size_t done) { return ::read(m_fd, out + done, count - done); });
    if (!got)
        fail("cannot read");
    return *got;
}

std::size_t ZFCFileHandle::readAt(void* buffer, std::size_t count, int64_t offset)
{
    auto* out = static_cast<char*>(buffer);
    const auto got = readFully(count, [&](std::size_t done) {
        return ::pread(m_fd, out + done, count - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
    });
    if (!got)
        fail("cannot read");
    return *got;
}

void ZFCFileHandle::write(const void* bytes, std::size_t count)
{
    const auto* in = static_cast<const char*>(bytes);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(m_fd, in + done, count - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot write");
        }
        done += static_cast<std::size_t>(n);
    }
}

void ZFCFileHandle::seek(int64_t offset)
{
    if (::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0)
        fail("cannot seek");
}

int64_t ZFCFileHandle::size() const
{
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        fail("cannot stat");
    return st.st_size;
}

void ZFCFileHandle::truncate(int64_t length)
{
    if (::ftruncate(m_fd, static_cast<off_t>(length)) != 0)
        fail("cannot truncate");
}

void ZFCFileHandle::close() noexcept
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
