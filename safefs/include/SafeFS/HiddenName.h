#pragma once

#include <string>
#include <string_view>

namespace SafeFS {

// Whether `name` is exactly one of the hidden forms Loomwork and zfcptool give what they make,
// and so what their recovery may put right or remove:
//   .<label>.loomwork-<purpose>-<digits>   (the label anything, even empty)
//   .loomwork-rewrite-<digits>, and the same followed by ".record"
//   .zfcptool-<purpose>-<digits>
// a purpose being one or more of a-z and the digits 16 lowercase hexadecimal ones. Any other
// name, however close, is the user's. A plug-in may not be named so.
bool isHiddenForm(std::string_view name);

// zfcptool's hidden name for `purpose` and the run's `id`.
std::string zfcptoolHiddenName(std::string_view purpose, std::string_view id);
// The id when `name` is zfcptoolHiddenName(purpose, id) exactly, with an id of 16 lowercase
// hex digits; else empty.
std::string zfcptoolIdOf(std::string_view name, std::string_view purpose);

} // namespace SafeFS
