#pragma once

#include <string>
#include <string_view>

// The forms of the hidden items made beside plug-ins: the application's
// ".<label>.loomwork-<purpose>-<16 lowercase hex digits>" and zfcptool's
// ".zfcptool-<purpose>-<16 lowercase hex digits>". A form is needed before anything is put
// right or removed, but never enough: that takes a journal entry naming the item.
namespace SafeFS {

// Whether `name` has either form, whatever the purpose (so that one added later is covered):
// a plug-in may not be named so. Other names starting with "." are the user's.
bool isHiddenForm(std::string_view name);

// zfcptool's hidden name for `purpose` and the run's `id`.
std::string zfcptoolHiddenName(std::string_view purpose, std::string_view id);
// The id when `name` is zfcptoolHiddenName(purpose, id) exactly, with an id of 16 lowercase
// hex digits; else empty.
std::string zfcptoolIdOf(std::string_view name, std::string_view purpose);

} // namespace SafeFS
