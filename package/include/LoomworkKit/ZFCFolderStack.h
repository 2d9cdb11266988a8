#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <LoomworkLimits/TreeDepth.h>

// The folders from a walk's top down to the one it is in, for walks that go depth first
// without recursion. However deep the tree, at most `heldHandles` folders are open: a folder
// whose handle was closed to stay within that is opened again when it is needed, name by
// name from the nearest open folder above it, never through a link, and must be the very
// folder (device and inode) that was entered; when the tree changed meanwhile that fails
// with ENOENT rather than walk on somewhere else.
class ZFCFolderStack
{
public:
    // Folders nest at most this deep below a plug-in's folder: its entries have at most this
    // many components. A deeper tree is planted, and walks refuse it with a short message
    // instead of spending minutes, handles and stack on it. The file walks of SafeFS and the
    // extractors hold to the same value.
    static constexpr std::size_t maxDepth = LoomworkLimits::kMaxTreeDepth;
    // Open folders at most, the top included: more than real trees nest, so that they are
    // walked without opening any folder twice.
    static constexpr std::size_t heldHandles = 24;

    // One name in a folder and its type as the listing gives it (a DT_ value, DT_UNKNOWN
    // where the file system does not say).
    struct Entry
    {
        std::string name;
        unsigned char type = 0;
    };

    // Starts at the open folder `top`, not read from yet, which the stack takes over.
    explicit ZFCFolderStack(int top);
    ~ZFCFolderStack();
    ZFCFolderStack(const ZFCFolderStack&) = delete;
    ZFCFolderStack& operator=(const ZFCFolderStack&) = delete;

    // The current folder's depth below the top (0 at the top).
    std::size_t depth() const { return m_levels.size() - 1; }
    // The current folder's handle, opened again when it was closed; -1 with errno set when
    // that fails. It stays the stack's, valid until the next call that enters or leaves.
    int fd();
    // Enters the folder `name` in the current folder, opened without following a link:
    // returns 0 or the errno of the failed open (ELOOP or ENOTDIR for a link).
    [[nodiscard]] int enter(std::string_view name);
    // Back to the folder above; nothing at the top.
    void leave();
    // The entries of the current folder but "." and "..", in the order the system gives them,
    // appended to `out`: 0 or the errno of the failure.
    [[nodiscard]] int list(std::vector<Entry>& out);

private:
    struct Level
    {
        std::string name;
        int fd = -1;
        bool listed = false;  // its handle was read to the end
        // The folder's identity, taken when its handle is closed to keep the count.
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
    };

    void closeShallowest();

    std::vector<Level> m_levels;
    std::size_t m_open = 0;
};
