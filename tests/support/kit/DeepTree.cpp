#include "support/kit/DeepTree.h"

#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

DeepChain::DeepChain(const std::filesystem::path& top, std::size_t depth, std::string file)
    : m_top(top), m_file(std::move(file))
{
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (std::size_t i = 0; i < depth && fd >= 0; ++i) {
        const int next = ::mkdirat(fd, "d", 0755) == 0 ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ::close(fd);
        fd = next;
    }
    const int out = fd >= 0 && !m_file.empty() ? ::openat(fd, m_file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644) : fd;
    if (out >= 0)
        ::close(out);
    if (fd >= 0 && out != fd)
        ::close(fd);
    if (out < 0)
        throw std::runtime_error("cannot make the chain below " + top.string());
}

DeepChain::~DeepChain()
{
    // The folder below the first moves up beside it, then the emptied first one goes.
    const int top = ::open(m_top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const char* head = "d";
    const char* next = "d.next";
    for (bool more = top >= 0; more; std::swap(head, next)) {
        const int first = ::openat(top, head, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (first < 0)
            break;
        more = ::renameat(first, "d", top, next) == 0;
        if (!more && !m_file.empty())
            ::unlinkat(first, m_file.c_str(), 0);
        ::close(first);
        ::unlinkat(top, head, AT_REMOVEDIR);
    }
    if (top >= 0)
        ::close(top);
}

std::string DeepChain::path(std::size_t depth)
{
    std::string path = "d";
    for (std::size_t i = 1; i < depth; ++i)
        path += "/d";
    return path;
}

FileLimit::FileLimit(rlim_t limit)
{
    ::getrlimit(RLIMIT_NOFILE, &old);
    struct rlimit lowered = old;
    lowered.rlim_cur = limit;
    if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0)
        throw std::runtime_error("cannot lower the limit of open files");
}
