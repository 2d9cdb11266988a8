#include "support/kit/DeepTree.h"

#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

DeepChain::DeepChain(const std::filesystem::path& at, std::size_t depth) : top(at)
{
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (std::size_t i = 0; i < depth && fd >= 0; ++i) {
        const int next = ::mkdirat(fd, "d", 0755) == 0 ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ::close(fd);
        fd = next;
    }
    if (fd < 0)
        throw std::runtime_error("cannot make the chain below " + top.string());
    ::close(fd);
}

DeepChain::~DeepChain()
{
    // The folder below the first moves up beside it, then the emptied first one goes.
    const int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const char* head = "d";
    const char* next = "d.next";
    for (bool more = fd >= 0; more; std::swap(head, next)) {
        const int first = ::openat(fd, head, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        more = first >= 0 && ::renameat(first, "d", fd, next) == 0;
        if (first >= 0)
            ::close(first);
        ::unlinkat(fd, head, AT_REMOVEDIR);
    }
    if (fd >= 0)
        ::close(fd);
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
