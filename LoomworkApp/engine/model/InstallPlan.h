#pragma once

#include <optional>

#include <sys/types.h>

#include <QHash>
#include <QString>

#include "LoomworkKit/ZFCPluginType.h"
#include "engine/model/Plugin.h"

// The library to install into and the folder names chosen for colliding plug-ins.
struct InstallPlan
{
    PluginRoot root{PluginRoot::user};
    QHash<QString, QString> renames; // rename key -> folder name to install under
    // What the conflict scan saw at each target (target()): the item there, or nothing (an
    // unknown identity). Only that is ever replaced; a target it does not name is taken as
    // it stands when the install gets to it.
    QHash<QString, SafeFS::Identity> seen;
    // The owner the user was told for each target the scan found in the system library; the
    // administrator removes an old copy only while it has that owner (this user where none).
    QHash<QString, uid_t> owners;

    // The path a plug-in of `type` lands at under the folder name `folder`.
    static QString target(PluginRoot root, ZFCPluginType type, const QString& folder);
    std::optional<SafeFS::Identity> seenAt(const QString& target) const;
    // The owner told of the item at `target`: this user when none was named.
    uid_t toldOwnerAt(const QString& target) const;

    // "index|type|folder name" (as PackageFiles::folderName gives it), not escaped: plug-ins whose names
    // land in one folder share a key, like exact repeats. The install sheet and the install
    // operation number the packages the same way, so their keys match.
    static QString key(int packageIndex, ZFCPluginType type, const QString& name);
    // The key of the `occurrence`-th plug-in (from 1) of that type and folder in one package:
    // the first keeps the plain key, later ones get "|k" so each has its own new name.
    static QString key(int packageIndex, ZFCPluginType type, const QString& name, int occurrence);
};
