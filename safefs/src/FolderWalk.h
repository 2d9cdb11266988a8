#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Identity.h>

namespace DirHandle {

// The folders from a walk's top down to the one it is in, each with the names it held when it
// was entered: the one walk under the copy, the change of modes and the emptying, which go
// depth first without recursion. However deep the tree, at most kHeldHandles folders are open:
// a folder whose handle was closed to keep that count is opened again when it is needed, name
// by name from the nearest open folder above it, never through a link, and must be the very
// folder that was entered (its identity), else the walk ends with ESTALE rather than go on
// somewhere else. A folder kMaxTreeDepth levels down that holds anything is not entered
// (ENAMETOOLONG): its items would lie deeper than any tree may.
class FolderWalk
{
public:
    // Open folders at most, the top included: more than real plug-ins nest, and few enough for
    // a copy's two walks under a small limit of open files.
    static constexpr std::size_t kHeldHandles = 16;

    // Starts in the open folder `top`, which the walk takes over, reading its names unless
    // `list` is false (a copy's new folders, which follow the source's walk).
    [[nodiscard]] int start(Fd top, bool list = true);
    bool done() const { return m_levels.empty(); }
    // The current folder's depth below the top (0 at the top).
    std::size_t depth() const { return m_levels.size() - 1; }
    // The current folder's name in the folder above, and its path below the top ("" at the top).
    const std::string& name() const { return m_levels.back().name; }
    const std::string& path() const { return m_levels.back().path; }
    // The path below the top of `name` in the current folder.
    std::string pathOf(std::string_view name) const;
    // The current folder's handle, opened again when it was closed; -1 with the errno in
    // `error` when that fails.
    int fd(int& error);
    // The next name in the current folder; nullptr once they are all given. The string stays
    // valid until the walk enters or leaves.
    const std::string* next();
    // The name next() gave last is given again: it changed since it was looked at.
    void again() { --m_levels.back().next; }
    // Enters the folder `opened`, `name` in the current folder (and opened from its handle).
    [[nodiscard]] int enter(std::string_view name, Fd opened, bool list = true);
    // Back to the folder above; `left`, when given, receives the identity (device and inode) of
    // the folder left.
    void leave(SafeFS::Identity* left = nullptr);
    // The caller's mark on the current folder, kept while the walk is below it.
    bool& mark() { return m_levels.back().mark; }

private:
    struct Level {
        std::string name;
        std::string path;
        Fd fd;
        SafeFS::Identity identity; // taken when its handle is closed
        std::vector<std::string> names;
        std::size_t next = 0;
        bool mark = false;
    };

    [[nodiscard]] int push(std::string_view name, Fd opened, bool list);
    void closeShallowest();

    std::vector<Level> m_levels;
    std::size_t m_open = 0;
};

} // namespace DirHandle
