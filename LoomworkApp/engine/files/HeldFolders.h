#pragma once

#include <memory>
#include <optional>

#include <sys/types.h>

#include <QHash>
#include <QString>

#include <SafeFS/Identity.h>

// The category folders of plug-ins the user is asked about, each opened once when the question
// is made (walked from the library's root in the system library, refusing a link; by its path
// in the user's own) and held until the step that acts on them: what the confirmation read is
// what the step acts in, whatever another user renames or exchanges in the library between.
// Also keeps the owner the user was told for each plug-in. Used by one thread at a time.
class HeldFolders
{
public:
    HeldFolders();
    ~HeldFolders();
    HeldFolders(const HeldFolders&) = delete;
    HeldFolders& operator=(const HeldFolders&) = delete;

    // The held handle of the folder holding `path` (opened now when it is not held yet); -1
    // when it cannot be opened, with the errno in `error` (ELOOP: a link on the way).
    int folderOf(const QString& path, int* error = nullptr);
    // The owner of the item `seen` at `path`, read through the held folder, and kept as the
    // owner the user is told; none when that folder does not hold the item.
    std::optional<uid_t> readOwner(const QString& path, const SafeFS::Identity& seen);
    // What readOwner() told of `path`; none when it found no owner or was not asked.
    std::optional<uid_t> toldOwner(const QString& path) const;

    // For tests: called between a folder's opening and the first read through it, with the
    // folder's path, so that a test can exchange the folder as another user would.
    static void setOpenedHookForTests(void (*hook)(const QString& folder));

private:
    struct Folder;
    QHash<QString, std::shared_ptr<Folder>> m_folders;
    QHash<QString, uid_t> m_told;
};
