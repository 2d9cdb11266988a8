#pragma once

#include <cstdint>
#include <string_view>

namespace SafeFS {

// Which item on disk a journal means. Device and inode alone may name a later item: a file
// system hands a freed inode out again at once. Where it tells an item's birth time, inode and
// birth time decide and the device number is only a hint: a disk's number can change between
// runs, and an item is only ever looked for inside its own place. Where neither side has a
// birth time, device and inode decide. An identity without a birth time never matches one
// with: it was recorded where none was told, or by a record of an older form.
struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t born = 0; // nanoseconds since 1970; 0 where unknown
    bool known() const { return device != 0 || inode != 0; }
    bool operator==(const Identity& other) const
    {
        if (born != 0 && other.born != 0)
            return inode == other.inode && born == other.born;
        return born == 0 && other.born == 0 && device == other.device && inode == other.inode;
    }
};

// The identity of `name` in the folder `parent` (never following a link), or of `parent`
// itself when `name` is empty; 0 or the errno. `parent` may be AT_FDCWD with a path. Allocates
// nothing: it answers when memory has run out.
[[nodiscard]] int identityAt(int parent, std::string_view name, Identity& out) noexcept;

} // namespace SafeFS
