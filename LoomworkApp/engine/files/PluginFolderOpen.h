#pragma once

#include <string>

#include <QString>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Identity.h>

// A plug-in folder opened for a change of its files: in the system library one handle at a time
// from the library root, so that a folder swapped for a link is met; in the user's own library
// by its path, links followed.
namespace PluginFolderOpen {

struct Opened
{
    bool system = false;
    DirHandle::Fd fd;
    int error = 0;
    QString refusal;
    // The item at the plug-in's name as opened (a link itself, in the user's library).
    SafeFS::Identity identity;
};

Opened open(const QString& folder);

// The folder's bytes without a trailing "/", as the walks join names to it.
std::string nativeFolder(const QString& folder);

} // namespace PluginFolderOpen
