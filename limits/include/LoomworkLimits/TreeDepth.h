#pragma once

#include <cstddef>

namespace LoomworkLimits {

// How deep a plug-in's tree may nest: its entries have at most this many path components below
// the plug-in's folder. Real Motion templates nest 10 to 20 levels; a deeper tree is planted
// (every local user may write into the shared library). The packer, the extractors and the file
// walks all hold to this one value, so that whatever one of them accepts the others can copy,
// change and remove.
inline constexpr std::size_t kMaxTreeDepth = 128;

} // namespace LoomworkLimits
