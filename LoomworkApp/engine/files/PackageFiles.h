#pragma once

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPlugin.h"

class PluginFolderSwap;

// Package files as the views meet them: what a package lists, and the text of whatever
// reading or installing one threw.
namespace PackageFiles {

// The plug-ins the package `file` lists. Throws what the reader throws; a folder (EISDIR)
// or a special file is refused without being opened (opening a FIFO would wait forever).
std::vector<ZFCPlugin> readPlugins(const QString& file);

// The folder a plug-in of this stored name is extracted to (the reader's safeName): what every
// conflict check compares, so that names the reader makes one ("x/y" and "x_y") count as one.
// Empty when nothing usable is left.
QString folderName(const QString& storedName);

// Why a package may not be installed because a plug-in's folder would have one of the hidden
// forms of what we make (recovery would take it for its own); empty when none would.
QString hiddenNameRefusal(const std::vector<ZFCPlugin>& plugins);

// The user's text for an exception caught around package work; with `withPath`, a
// file-system error names its path when it has one.
QString describe(const std::exception_ptr& error, bool withPath);
// describe() of a failure while extracting into `staging` (a room, or the handle path that
// reaches it): every path in it under `staging` named under `shownAs` instead, the folder the
// plug-in is for, before a long one is shortened; never one of our hidden folders.
// `withPath` as for describe().
QString describeExtraction(const std::exception_ptr& error, const QString& staging, const QString& shownAs,
                           bool withPath = true);

// After an extraction into `swap`'s room failed with `error`: true when the disk was short of
// space while removals of earlier changes were pending on it, those have now ended, and what
// was extracted into the room is gone, so that one more try may succeed.
bool readyToRetry(const std::exception_ptr& error, PluginFolderSwap& swap);

// Extracts `plugin` into the room `swap` staged at `staging`. Short of space, the old contents
// of earlier changes on that disk may be what holds it: once their removals have ended, what
// was extracted goes and the plug-in is extracted once more before the disk is called full.
// Throws what the reader throws.
void extractInto(PluginFolderSwap& swap, const QString& staging, ZFCPackageReader& reader, const ZFCPlugin& plugin,
                 const std::optional<std::string>& name, const ZFCProgressCallback& progress);

} // namespace PackageFiles
