#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <QByteArray>
#include <QString>

// Low-level file access shared by the scanner and the template inspector. Paths are the
// file system's own bytes, so folders whose names are not UTF-8 are still walked.
namespace LibraryWalk {

enum Gather {
    templateFiles = 1, // template files outside packages, in walk order
    allocatedSize = 2, // bytes allocated by the regular files, packages included
    links = 8, // links named like templates (also listed as templates), outside packages
};

struct Result
{
    std::vector<std::string> templates;
    qint64 allocatedBytes = 0;
    std::vector<std::string> links;
    // The first entry met nested deeper than ZFCFolderStack::maxDepth, named as the others;
    // empty when none. Nothing at that depth is walked.
    std::string tooDeep;
};

// Called for each template file outside packages as the walk meets it, with a read-only
// handle on it (closed after the call) and its status, only when it is a regular file. A
// template listed as a regular file is opened relative to its folder's handle without
// following a link, so one swapped for a link since the listing is passed over; one listed as
// a link is followed, but opened only when it leads to a regular file. Nothing is opened in a
// way that can block, and FIFOs and devices are never read.
using TemplateReader = std::function<void(int fd, const struct stat& st)>;

// Depth-first walk below `folder` (followed when it is itself a link) that never enters
// hidden entries nor linked folders, in either library: what a link inside leads to is not
// the plug-in's. It holds no more than a few folders open whatever the depth, and goes no
// deeper than ZFCFolderStack::maxDepth (see `tooDeep`). Unreadable parts are left out quietly.
Result walk(const std::string& folder, int gather, const TemplateReader& reader = {});
// The same below the open folder `folderFd` (not taken over), naming entries from `shownPath`.
Result walkAt(int folderFd, const std::string& shownPath, int gather, const TemplateReader& reader = {});
// The same below a folder just opened, not read from yet, which the walk takes over.
Result walkOpened(int folderFd, const std::string& shownPath, int gather, const TemplateReader& reader = {});

bool isTemplateName(const char* name);
bool isPackageName(const char* name);

// The whole content of a regular file, up to `maxBytes`. False when the file is missing,
// special, larger than `maxBytes`, unreadable, or a link while `followLinks` is false.
bool readRegularFile(const std::string& path, qint64 maxBytes, QByteArray& out, bool followLinks = false);
// The same for a file already open (`fd` stays open).
bool readOpenFile(int fd, qint64 maxBytes, QByteArray& out);

// Length of the longest prefix of `data` that is well-formed UTF-8, and whether the rest
// is only an incomplete sequence cut by the end of the data.
struct Utf8Check
{
    std::size_t validLength = 0;
    bool cutAtEnd = false;
};
Utf8Check checkUtf8(const char* data, std::size_t size);

} // namespace LibraryWalk
