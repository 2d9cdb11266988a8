#pragma once

#include <QString>

#include "engine/FileOps.h"

// Replaces a plug-in folder atomically: the new plug-in is built in a hidden staging folder
// beside the target, then swapped in; if it cannot be put in place, the old plug-in is put
// back where it was. Used by installs, restores and the market installer.
//
//     PluginFolderSwap swap(categoryFolder);             // the folder holding the plug-in
//     QString staging;
//     if (int e = swap.makeStaging(QStringLiteral("install"), name, &staging)) fail(e);
//     ... build staging + "/" + name (extract, copy) ...
//     if (int e = swap.commit(staging + "/" + name, name)) fail(e);  // old plug-in intact
//     if (!swap.leftover().isEmpty()) adminRemove(swap.leftover());   // old one kept its rights
//
// Every hidden name is unique to one run (".<name>.loomwork-<purpose>-<random>", the name
// hashed when too long), so runs never collide and never inherit an earlier run's debris.
// The destructor removes the staging folder and the replaced copy, read-only subfolders
// included. Errors are errno values (ENOSPC for a full disk); nothing here names the
// hidden paths to the user: callers name the target. All file access goes through
// FileOps::current(), so tests make any step fail.
class PluginFolderSwap
{
public:
    explicit PluginFolderSwap(const QString& folder, FileOps& files = FileOps::current());
    ~PluginFolderSwap();
    PluginFolderSwap(const PluginFolderSwap&) = delete;
    PluginFolderSwap& operator=(const PluginFolderSwap&) = delete;

    // Creates the staging folder (and `folder` when it is missing) and puts its path in
    // `staging`. `label` (may be empty) and `purpose` only make the hidden name readable.
    // 0 or the errno.
    int makeStaging(const QString& purpose, const QString& label, QString* staging);

    // Moves `staged` to folder/`name`, replacing whatever item is there. 0 on success; else
    // the errno of the failed step, with the old item back at its place.
    int commit(const QString& staged, const QString& name);

    // After a commit: the old item's hidden path when it could not be removed (a system
    // library without rights), for an administrator removal; else empty.
    QString leftover() const { return m_leftover; }

    const QString& folder() const { return m_folder; }
    // The hidden path a staging or replaced copy of `label` gets for `purpose` in `folder`.
    static QString hiddenSibling(const QString& folder, const QString& label, const QString& purpose);

private:
    // Removes the hidden copies an earlier run left for `label` (after a crash, say); this
    // run's staging folder stays.
    void clearLeftovers(const QString& label);

    FileOps& m_files;
    QString m_folder;
    QString m_staging;
    QString m_replaced;
    QString m_leftover;
};
