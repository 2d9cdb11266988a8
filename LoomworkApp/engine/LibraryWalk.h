#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <QByteArray>
#include <QString>

// Low-level file access shared by the scanner and the template inspector. Paths are the
// file system's own bytes, so folders whose names are not UTF-8 are still walked.
namespace LibraryWalk {

enum Gather {
    templateFiles = 1, // template files outside packages, in walk order
    allocatedSize = 2, // bytes allocated by the regular files, packages included
    rewriteTemporaries = 4, // hidden names of StagedFile's form outside packages (see isStagedName)
};

struct Result
{
    std::vector<std::string> templates;
    qint64 allocatedBytes = 0;
    std::vector<std::string> rewriteTemporaries;
};

// Depth-first walk below `folder` (followed when it is itself a link) that never enters
// hidden entries or linked folders. Unreadable parts are left out quietly.
Result walk(const std::string& folder, int gather);

bool isTemplateName(const char* name);
bool isPackageName(const char* name);

// Up to `limit` bytes from the start of a regular file (links followed). False when the
// file cannot be opened or is not a regular file; FIFOs and devices are never read.
bool readHead(const std::string& path, std::size_t limit, QByteArray& out);

// The whole content of a regular file, up to `maxBytes`. False when the file is missing,
// special, larger than `maxBytes`, unreadable, or a link while `followLinks` is false.
bool readRegularFile(const std::string& path, qint64 maxBytes, QByteArray& out, bool followLinks = false);

// A new content for an existing file, written beside it under a short hidden name of our
// own (".loomwork-rewrite-" and 16 hex digits, whatever the file's name) and kept there
// until commit() puts it in place. The old mode and (where allowed) owner are kept. A
// stage that is not committed is removed with the object.
class StagedFile
{
public:
    StagedFile() = default;
    StagedFile(StagedFile&& other) noexcept;
    StagedFile& operator=(StagedFile&& other) noexcept;
    ~StagedFile();

    // False with `error` (a Chinese description naming the file) when the content cannot be
    // written; the file itself is untouched either way.
    bool stage(const std::string& path, const QByteArray& bytes, QString& error);
    // Renames the staged content over the file.
    bool commit(QString& error);
    const std::string& path() const { return m_path; }

private:
    void discard();
    std::string m_path;
    std::string m_temp;
};

// Whether `name` is exactly of the staged form, and removes the regular files among `paths`
// of that form last changed before `olderThan` (left by a run that was killed).
bool isStagedName(const char* name);
void removeStaleStaged(const std::vector<std::string>& paths, std::chrono::system_clock::time_point olderThan);

// Length of the longest prefix of `data` that is well-formed UTF-8, and whether the rest
// is only an incomplete sequence cut by the end of the data.
struct Utf8Check
{
    std::size_t validLength = 0;
    bool cutAtEnd = false;
};
Utf8Check checkUtf8(const char* data, std::size_t size);

} // namespace LibraryWalk
