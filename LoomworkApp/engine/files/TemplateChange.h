#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QByteArray>
#include <QString>

#include <SafeFS/DirHandle.h>

// A change of several template files of one plug-in, whole or nothing, also when the process
// is killed: every new content is written beside its file under a short hidden name of our
// own and synced; then a record naming which staged file replaces which (paths inside the
// plug-in) is written and synced; then each staged file is renamed over its template and
// the record removed. recover() finishes a change that has a complete record and removes
// what one without left, so a plug-in is never left with templates of two versions.
//
// A linked folder inside the plug-in is passed over in both libraries: what it leads to is
// not the plug-in's. In the system library, which every local user may write, every step
// goes through folder handles from the library root down and a link met on the way refuses
// the change at that moment; a linked template refuses it before anything is written. In the
// user's own library a linked template is rewritten where it points, and a linked plug-in
// folder is followed. Failures throw TemplateEditError naming the plug-in and the file.
class TemplateChange
{
public:
    // Opens the plug-in folder `folder`; throws TemplateEditError when it cannot be opened or
    // lies in the system library behind a link.
    explicit TemplateChange(const QString& folder);
    ~TemplateChange();
    TemplateChange(const TemplateChange&) = delete;
    TemplateChange& operator=(const TemplateChange&) = delete;

    // The plug-in's template files (native paths, walk order), after putting right what a
    // killed change left. Walks once; throws the refusal of a linked template inside a system
    // plug-in.
    const std::vector<std::string>& templates();
    // The whole content of a template that is a regular file of at most `maxBytes`; none for
    // anything else (FIFOs are never opened).
    std::optional<QByteArray> read(const std::string& path, qint64 maxBytes);
    // Writes `bytes` beside the template `path` with its mode and (where allowed) owner, and
    // syncs it. The template itself is untouched until commit().
    void stage(const std::string& path, const QByteArray& bytes);
    // Puts every staged content in place; returns how many files changed. The record goes
    // into the folder at the plug-in's path now (in the user's library a restore swaps a new
    // one in after staging).
    int commit();

    // Why a change of the plug-in at `folder` is refused (a link on the way or a linked
    // template inside, in the system library), after putting right what a killed change left;
    // empty when allowed or when there is no such folder.
    static QString refusal(const QString& folder);

    // Puts right what killed changes left in the plug-in `folder` that last changed before
    // `olderThan` (younger ones may be another run's change in progress): a complete record
    // is finished (the staged files it names that still exist replace their templates), an
    // incomplete record and every staged file of ours are removed; a record that cannot be
    // read keeps itself and every staged file. Only our exact forms count, and in the system
    // library only what this user owns: another user's change waits for that user. `found`
    // are the temporaries a walk already found (LibraryWalk's rewriteTemporaries): nothing
    // is done when it is empty. Failures are ignored.
    static void recover(const QString& folder, std::chrono::system_clock::time_point olderThan);
    static void recover(const QString& folder, const std::vector<std::string>& found,
                        std::chrono::system_clock::time_point olderThan);

    // For tests: called after each step that changes the disk (each staged file, the record,
    // each rename, the record's removal), counted from 1, so that a test can kill the
    // process there. Null removes the hook.
    static void setStepHook(std::function<void(int step)> hook);

private:
    struct Entry
    {
        std::string shown;  // path inside the plug-in, for messages
        std::string record; // target as recorded: inside the plug-in, or absolute (a followed link)
        std::string folder; // the folder holding target and staged file (see folderFd)
        std::string name;   // the target's name in that folder
        std::string staged; // the staged file's name there; empty once renamed
    };

    int folderFd(const std::string& folder, const std::string& shown);
    Entry locate(const std::string& path);
    void step();
    [[noreturn]] void fail(const std::string& shown, int error) const;
    [[noreturn]] void refuseLink(const std::string& shown) const;

    QString m_folder;
    std::string m_native;
    bool m_system = false;
    DirHandle::Fd m_plugin;
    std::optional<std::vector<std::string>> m_templates;
    std::vector<Entry> m_entries;
    std::string m_cachedFolder;
    DirHandle::Fd m_cachedFd;
    int m_steps = 0;
};
