#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include <sys/resource.h>

// A chain of `depth` folders "d" below `top`, made through folder handles (the path would be
// too long), and removed level by level when it goes, which a recursive removal could not do.
struct DeepChain
{
    DeepChain(const std::filesystem::path& top, std::size_t depth);
    ~DeepChain();
    // "d/d/…/d", `depth` components.
    static std::string path(std::size_t depth);

    const std::filesystem::path top;
};

// Lowers this process's soft limit of open files while it lives.
struct FileLimit
{
    explicit FileLimit(rlim_t limit);
    ~FileLimit() { ::setrlimit(RLIMIT_NOFILE, &old); }

    struct rlimit old {};
};
