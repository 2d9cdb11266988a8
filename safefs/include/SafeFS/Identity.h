#pragma once

#include <cstdint>
#include <string_view>

namespace SafeFS {

// Which item on disk a journal means. Device and inode alone may name a later item: a file
// system hands a freed inode out again at once. Where it tells an item's birth time, that
// tells them apart; an identity without one (0) matches on device and inode alone.
struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t born = 0; // nanoseconds since 1970; 0 where unknown
    bool known() const { return device != 0 || inode != 0; }
    bool operator==(const Identity& other) const
    {
        return device == other.device && inode == other.inode
            && (born == 0 || other.born == 0 || born == other.born);
    }
};

// The identity of `name` in the folder `parent` (never following a link), or of `parent`
// itself when `name` is empty; 0 or the errno. `parent` may be AT_FDCWD with a path. Allocates
// nothing: it answers when memory has run out.
[[nodiscard]] int identityAt(int parent, std::string_view name, Identity& out) noexcept;

} // namespace SafeFS
