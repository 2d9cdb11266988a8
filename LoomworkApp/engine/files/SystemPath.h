#pragma once

#include <optional>

#include <QString>

// Where a path lies against the system library, which every local user may change: what is
// inside it is reached only from the library's root down (see DirHandle), never through a
// link met on the way. Links above the root are resolved once, when the root is looked up.
namespace SystemPath {

// The system library's root with every link above it resolved; the root itself is kept as it
// is, so that a root which is a link is still seen as one. Missing parts are taken as written.
QString resolvedRoot();

struct Inside {
    QString root;     // resolvedRoot()
    QString relative; // below the root as written ("a/b"), empty for the root itself
};
// Whether `path` is the system library or lies in it, written under the root or under its
// resolved form.
std::optional<Inside> inside(const QString& path);

} // namespace SystemPath
