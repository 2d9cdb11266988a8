#pragma once

#include <optional>

#include <sys/types.h>

#include <QString>
#include <QStringList>

#include <SafeFS/Identity.h>
#include "engine/files/AdminRunner.h"

// The few file operations on the system library that need administrator rights, plus a
// test whether a folder is writable at all. Every privileged operation is one run of our own
// helper, loomwork-admin, which works from the library's root down through folder handles
// and refuses a link met on the way; before the first one of a run the user sees an
// explanation and may decline. A command on a path that refusal() refuses does not run; the
// user is told why.
// All functions block their caller (run them off the GUI thread) and never throw.
namespace AdminAuth {

// True when the current user can create a file in `folder`; leaves nothing behind.
bool isWritable(const QString& folder);
// Opens the root and its existing category folders to everyone.
[[nodiscard]] bool requestPermission(const QString& root);
// An item of the system library as the application recorded it, for the administrator to
// remove: `name` in `folder`, or, with a `room`, inside that private room of ours in `folder`.
// The helper acts on this identity and nothing else: whatever stands there by then and is not
// this item is left untouched (another user can rename anything in the library meanwhile).
struct Item {
    QString folder;
    QString name;
    SafeFS::Identity identity;
    QString room; // the private room of ours in `folder` the item is (or goes) in
    SafeFS::Identity roomIdentity;
    bool inRoom = false; // the item is in the room already, else at `name` in `folder`
    // The name a remainder goes back out under when another user's items are found inside (a
    // room's item: the plug-in's name; else its own name).
    QString shownName;
    // The owner the user was told the item has (this user when nobody else was named): the
    // helper leaves an item of any other owner untouched. None: no confirmation named one.
    std::optional<uid_t> owner;
};
// Removes `item`: the helper moves it into a private room of ours beside it (made and named in
// the journal first, unless the item names one), checks it there and empties it of what
// belongs to its owner, root or us.
[[nodiscard]] bool adminRemove(const Item& item);
// adminRemove() of the item at `path`, as `identity` (looked at by the caller when the user
// asked) says it is.
[[nodiscard]] bool adminRemove(const QString& path, const SafeFS::Identity& identity);
// After adminRemove(): other users' items found inside and left, with where they are; and,
// when the item found was not the one recorded (nothing removed), where it is.
QStringList lastNotes();
// What the user hears of an old copy the administrator did not remove (declined, or the
// helper failed): where it waits (in the room the last adminRemove() of it had it moved into,
// when its helper stopped after that), and that it is asked for again.
QString leftoverNote(const Item& item);
// Creates `folder` and opens it to everyone.
[[nodiscard]] bool adminCreateDirectory(const QString& folder);
// Creates the root and its four category folders and opens the root's tree to everyone.
[[nodiscard]] bool prepareRoot(const QString& root);
// Replaces `destination` by a copy of `source`, made in a private room of ours beside it that
// the journal names first; the old item is taken into the room only while it is `seen` (the
// item the user saw; unknown: what stands there when asked), as for adminRemove().
// `owner`: the owner the user was told the old item has, as for Item::owner.
[[nodiscard]] bool adminReplace(const QString& source, const QString& destination, const SafeFS::Identity& seen = {},
                                std::optional<uid_t> owner = std::nullopt);

// Why `path` may not be handed to the administrator, empty when it may: it must be the
// system library or lie in it, written without "." or "..", and pass through no symbolic
// link from the library down (the library is open to everyone, so a folder in it may have
// been swapped for a link to elsewhere; a link met gives linkRefusal()). Links above the
// library are resolved once; when allowed, `resolved` gets the path through that
// resolution, the one to act on.
QString refusal(const QString& path, QString* resolved = nullptr);
// The same rule for a write without administrator rights: a path in the system library must
// pass refusal(); any other path is the user's own and may pass through links. `resolved`
// as for refusal(), else the path itself.
QString writeRefusal(const QString& path, QString* resolved = nullptr);
// writeRefusal() for an item to be removed: the item itself may be a link, which is removed
// as a link, never what it leads to; only the folders on the way to it may not be links.
QString removalRefusal(const QString& item, QString* resolved = nullptr);
// The one refusal of a step in the system library that would pass through the link `link`
// (named as the caller wrote it): what was met, then systemLinkReason().
QString linkRefusal(const QString& link);
// Why nothing is written through a link in the system library, for messages.
QString systemLinkReason();

// Quoting for the administrator prompt of macOS, which takes one shell line: each path is one
// literal shell word, and the line is escaped into an AppleScript string.
QString quote(const QString& path);
QString appleScript(const QString& shellCommand);
// The commands, pure: the helper (AdminRunner::helperPath()) with its operation, the system
// library's root (links above it resolved, see SystemPath), the folder below it and the names
// and identities the helper is to act on. Empty for a path outside the system library.
QStringList requestPermissionCommand(const QString& root);
QStringList removeCommand(const Item& item);
QStringList createDirectoryCommand(const QString& folder);
QStringList prepareRootCommand(const QString& root);
QStringList replaceCommand(const QString& source, const Item& destination);

// Why the last privileged operation of the calling thread returned false.
enum class Failure {
    none,
    declined,    // the explanation was declined, or the path refused
    notLaunched, // the system has no way to ask for the rights (no pkexec)
    failed,      // the prompt was cancelled or refused, or the operation failed
    notTheItem,  // the helper found another item than the one recorded, and removed nothing
    notTheOwner  // the item's owner is not the one the user was told: nothing removed or replaced
};
Failure lastFailure();

// The explanation is shown once per run; tests start each case afresh.
void resetExplanation();

} // namespace AdminAuth
