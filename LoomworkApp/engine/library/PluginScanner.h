#pragma once

#include <QHash>
#include <QList>
#include <QString>

#include "engine/model/Plugin.h"

// Turns the template libraries on disk into the sorted plug-in list, with one error text
// per library that cannot be read. Synchronous; callers run it off the GUI thread. The
// plug-in folders are looked at on `threads` threads (0: one fewer than the cores), the
// result the same whatever their number.
namespace PluginScanner {

struct ScanResult
{
    QList<Plugin> plugins;
    QHash<PluginRoot, QString> errors;
};

ScanResult scan(const QList<PluginRoot>& roots, unsigned threads = 0);

// Bytes allocated by the regular, non-hidden files below `folder` (links add nothing).
qint64 directorySize(const QString& folder);

// The list order: user library first, then type raw value, then the Finder's name order.
// Stable for names that compare equal.
void sortPlugins(QList<Plugin>& plugins);

} // namespace PluginScanner

Q_DECLARE_METATYPE(PluginScanner::ScanResult)
