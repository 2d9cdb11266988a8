#pragma once

#include <QString>

// Where the application keeps its state files. Both folders are created on demand;
// a failure to create them is left to the first write, which reports it.
namespace AppPaths {

// <generic data location>/com.loomwork.app: compat-cache.json, localized.json,
// session.token and Backups/.
QString applicationFolder();

// <generic data location>/Loomwork: market-installed.json. Falls back to the
// temporary folder when no data location can be found.
QString marketFolder();

// The temporary folder: TMPDIR's when it names a folder, else the system's own (Qt gives an
// empty path for a TMPDIR that names nothing, which would put files at the root).
QString temporaryFolder();

} // namespace AppPaths
