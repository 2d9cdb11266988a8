#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include <sys/resource.h>

// A chain of `depth` folders "d" below `top`, made through folder handles (a path that deep
// would be too long to name), with `file` holding "bytes" in the deepest one when given;
// removed level by level when it goes, which a recursive removal could not do.
class DeepChain
{
public:
    DeepChain(const std::filesystem::path& top, std::size_t depth, std::string file = {});
    ~DeepChain();
    DeepChain(const DeepChain&) = delete;
    DeepChain& operator=(const DeepChain&) = delete;

private:
    std::filesystem::path m_top;
    std::string m_file;
};

// Lowers this process's soft limit of open files to `limit` while it lives.
class FileLimit
{
public:
    explicit FileLimit(rlim_t limit);
    ~FileLimit();
    FileLimit(const FileLimit&) = delete;
    FileLimit& operator=(const FileLimit&) = delete;

private:
    struct rlimit m_old {};
};
