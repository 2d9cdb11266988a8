#pragma once

#include <QString>
#include <QStringList>

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
bool requestPermission(const QString& root);
// Removes `item`. The journal names the hidden name the helper moves it to first (and the
// item's identity, as far as we can see it), so that what a killed helper leaves is put right
// by recovery.
bool adminRemove(const QString& item);
// Creates `folder` and opens it to everyone.
bool adminCreateDirectory(const QString& folder);
// Creates the root and its four category folders and opens the root's tree to everyone.
bool prepareRoot(const QString& root);
// Replaces `destination` by a copy of `source`, made at a hidden name beside it that the
// journal names first, as for adminRemove().
bool adminReplace(const QString& source, const QString& destination);

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
// library's root (links above it resolved, see SystemPath) and the path below it; `hidden`
// is the name of the hidden item the helper makes beside it. Empty for a path outside the
// system library.
QStringList requestPermissionCommand(const QString& root);
QStringList removeCommand(const QString& item, const QString& hidden);
QStringList createDirectoryCommand(const QString& folder);
QStringList prepareRootCommand(const QString& root);
QStringList replaceCommand(const QString& source, const QString& destination, const QString& hidden);

// Why the last privileged operation of the calling thread returned false.
enum class Failure {
    none,
    declined,    // the explanation was declined, or the path refused
    notLaunched, // the system has no way to ask for the rights (no pkexec)
    failed       // the prompt was cancelled or refused, or the operation failed
};
Failure lastFailure();

// The explanation is shown once per run; tests start each case afresh.
void resetExplanation();

} // namespace AdminAuth
