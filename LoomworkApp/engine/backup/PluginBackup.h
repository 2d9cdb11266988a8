#pragma once

#include <QDateTime>
#include <QString>

// One stored backup of a plug-in folder, as PluginBackupStore lists it.
struct PluginBackup
{
    QString id;        // the backup folder's name
    QString directory; // the backup folder; the copy lies in its "payload" folder
    QString pluginName;
    QString originalPath; // the plug-in folder's path at backup time; groups a plug-in's backups
    QDateTime createdAt;
    QString reason;
    qint64 byteCount = 0;

    bool operator==(const PluginBackup&) const = default;
};
