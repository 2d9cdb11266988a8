#pragma once

#include <string>
#include <string_view>

// The names of the hidden items Loomwork and zfcptool make beside the items they change:
//   the application  ".<label>.loomwork-<purpose>-<16 lowercase hex digits>"
//   zfcptool         ".zfcptool-<purpose>-<16 lowercase hex digits>"
// The label only makes a name readable (a plug-in's name, hashed when too long), the digits
// are the id of the journal entry (or run record) that names the item. A name of these forms
// proves nothing by itself: recovery acts only on what its own journal names. A package may
// not use them, so that a plug-in is never mistaken for one of these items.
namespace SafeFS {

// `label` as it goes into an application's hidden name: itself when the whole name fits a
// file name (255 bytes) for any purpose of up to 16 letters, else 16 hex digits of its hash.
std::string hiddenLabel(std::string_view label);

// ".<hiddenLabel(label)>.loomwork-<purpose>-<digits>".
std::string hiddenName(std::string_view label, std::string_view purpose, std::string_view digits);

// Whether `name` is of one of the forms above exactly, for any purpose (1 to 16 lowercase
// letters), so that one added later is covered too.
bool isHiddenForm(std::string_view name);

// zfcptool's hidden name for `purpose` and the run's `id`.
std::string zfcptoolHiddenName(std::string_view purpose, std::string_view id);
// The id when `name` is zfcptoolHiddenName(purpose, id) exactly, with an id of 16 lowercase
// hex digits; else empty.
std::string zfcptoolIdOf(std::string_view name, std::string_view purpose);

} // namespace SafeFS
