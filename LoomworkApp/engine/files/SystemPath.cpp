#include "engine/files/SystemPath.h"

#include <cstdlib>

#include <QFileInfo>

#include "engine/core/FsPath.h"
#include "engine/model/Plugin.h"

namespace {

bool isUnder(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

} // namespace

QString SystemPath::resolvedRoot()
{
    const QString root = PluginRoot(PluginRoot::system).path();
    QString existing = QFileInfo(root).path();
    QString missing = QLatin1Char('/') + QFileInfo(root).fileName();
    for (;;) {
        if (char* real = ::realpath(FsPath::toNative(existing).c_str(), nullptr)) {
            QString resolved = FsPath::fromBytes(real);
            ::free(real);
            if (resolved == QLatin1String("/"))
                resolved.clear();
            return resolved + missing;
        }
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            return root;
        missing.prepend(QLatin1Char('/') + QFileInfo(existing).fileName());
        existing = parent;
    }
}

std::optional<SystemPath::Inside> SystemPath::inside(const QString& path)
{
    const QString root = PluginRoot(PluginRoot::system).path();
    const QString real = resolvedRoot();
    // Compared as written: ".." is never resolved here, the walk refuses it.
    const QString& base = isUnder(path, root) ? root : real;
    if (!isUnder(path, base))
        return std::nullopt;
    return Inside{real, path.mid(base.size() + 1)};
}
