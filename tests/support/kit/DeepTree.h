#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include <sys/resource.h>

// A chain of `depth` folders "d" below `top`, made through folder handles (the path would be
// too long), with a file `file` in the deepest when given; removed level by level when it goes.
class DeepChain
{
public:
    DeepChain(const std::filesystem::path& top, std::size_t depth, std::string file = {});
    ~DeepChain();
    DeepChain(const DeepChain&) = delete;
    DeepChain& operator=(const DeepChain&) = delete;
    // "d/d/…/d", `depth` components.
    static std::string path(std::size_t depth);

private:
    std::filesystem::path m_top;
    std::string m_file;
};

// Lowers this process's soft limit of open files while it lives.
struct FileLimit
{
    struct rlimit old {};
    explicit FileLimit(rlim_t limit);
    ~FileLimit() { ::setrlimit(RLIMIT_NOFILE, &old); }
};
