#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QByteArray>
#include <QString>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Journal.h>
#include <SafeFS/Room.h>

#include "engine/files/PluginLease.h"

class JournalChange;

// A change of several template files of one plug-in, whole or nothing, also when the process
// is killed or a step fails. Each new content is written into a staging folder of ours beside
// its template (".<plug-in>.loomwork-rewrite-<entry id>", a private room: SafeFS/Room.h, named
// in the journal before it is made and reopened by its identity, never by its name); once all
// are written and on disk, the journal entry names each staged file and each
// old template by identity and says finish; then each staged file is exchanged with its
// template, the staging folders, now holding the old contents, go, and so does the entry.
// Recovery of the journal finishes a change killed after its finish state and undoes one
// killed before; a failed exchange is undone at once (or left recorded), so a plug-in never
// keeps templates of two versions.
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
    // lies in the system library behind a link. `change`: the journal entry of a larger change
    // this one is part of (a restore); none gives it one of its own (made here, so recovery
    // runs first). `seen`: the item the list showed at `folder` (Plugin::identity); when
    // another item, or none, stands there now, throws saying so and nothing is changed.
    // Unknown (0, 0) checks nothing. First takes the plug-in's lease (PluginLease): waits for
    // another operation on it, and for an earlier change's old contents to be removed.
    explicit TemplateChange(const QString& folder, std::shared_ptr<JournalChange> change = {},
                            const SafeFS::Identity& seen = {});
    ~TemplateChange();
    TemplateChange(const TemplateChange&) = delete;
    TemplateChange& operator=(const TemplateChange&) = delete;

    // The plug-in folder as opened and checked, -1 when none stood there: a backup made for
    // this change copies what it holds.
    int pluginFolder() const { return m_plugin.get(); }
    // The plug-in's template files (native paths, walk order). Walks once; throws the
    // refusal of a linked template inside a system plug-in, and of folders nested deeper than
    // a walk goes (ZFCFolderStack::maxDepth).
    const std::vector<std::string>& templates();
    // The whole content of a template that is a regular file of at most `maxBytes`; none for
    // anything else (FIFOs are never opened). The file read is kept by identity.
    std::optional<QByteArray> read(const std::string& path, qint64 maxBytes);
    // Writes `bytes` as the new content of the template `path`, with its permission bits and
    // (where allowed) owner. The template itself is untouched until commit(). When another
    // item stands at the name than the file read(), throws saying it changed after it was
    // shown, and nothing of that item is touched. Short of space, it waits for the removals
    // pending on that disk and writes once more.
    void stage(const std::string& path, const QByteArray& bytes);
    // Puts every staged content in place; returns how many files changed. A step that fails
    // throws, with the plug-in wholly old (the message says so) or, where even that could
    // not be done, the change recorded for recovery to finish or undo (the message says which).
    // Once every template is in place nothing fails: the old contents go after the call
    // returns, on a worker holding the change's journal entry (a change that is part of a
    // larger one removes them before it returns).
    int commit();
    // After commit(): 0, or the errno of a write error the disk reported once the templates were
    // in place. They stay changed, but may not all have reached the disk: the caller says so.
    // The entry is kept, marked, for recovery to look at again.
    int writeError() const { return m_writeError; }

    // Waits until the old contents of every change that has returned are removed, or left
    // recorded for recovery: before the process quits, and for tests. Another operation on a
    // plug-in waits for its own by taking its lease (PluginLease).
    static void waitForRemovals();

    // Why a change of the plug-in at `folder` is refused (a link on the way or a linked
    // template inside, in the system library); empty when allowed or when there is no such
    // folder.
    static QString refusal(const QString& folder);

    // For tests: called after each step that changes the disk (each staged file, the finish
    // state, each exchange; after the call, the sync of the changed folders and the emptying of
    // each staging folder; each undo of an exchange), counted from 1, so that a test can kill
    // the process there. Null removes the hook. Setting either waits for running removals.
    static void setStepHook(std::function<void(int step)> hook);
    // For tests: called before each of those steps; a non-zero errno makes the step fail with
    // it, as the file system would. Null removes it.
    static void setStepFault(std::function<int(int step)> fault);
    // For tests: called when an operation on a plug-in is about to wait for its lease (the
    // removal of an earlier change's old contents, or another operation). Null removes it.
    static void setRemovalWaitHook(std::function<void()> hook);
    // For tests: exchanges are refused as a file system that cannot exchange refuses them.
    static void setExchangeRefused(bool refused);

private:
    // A folder holding templates, and the staging folder beside them.
    struct Folder
    {
        std::string path;    // inside the plug-in (system library), else the real absolute path
        std::size_t place = 0;
        std::string staging; // the staging folder's name
        bool recorded = false; // named in the entry as written
        bool made = false;
        SafeFS::Identity identity;
    };
    struct Staged
    {
        std::string shown;  // path inside the plug-in, for messages
        std::size_t folder = 0;
        std::string name;   // the template's name in its folder
        std::string file;   // the staged file's name in the staging folder
        SafeFS::Identity made;
        SafeFS::Identity old;
        // Where the old content is: at its name, exchanged into the staging folder, or moved
        // aside there with the new one in place.
        enum class State { staged, exchanged, movedAside } state = State::staged;
    };

    // Taken over by a removal's worker once the call has returned.
    TemplateChange(TemplateChange&&) = default;

    std::size_t folderOf(const std::string& folder, int& error);
    int opened(std::size_t folder, bool staging, int& fd);
    int openedPair(std::size_t folder, int& dir, int& into);
    int folderFd(std::size_t folder, const std::string& shown);
    void makeStaging(std::size_t folder, const std::string& shown);
    int syncStaged();
    int exchange(Staged& staged);
    int putBack(Staged& staged);
    int returnOut(std::size_t folder, int dir, int room, const std::string& inside, const SafeFS::Identity& ours,
                  const std::string& name);
    int clearRoomItem(std::size_t folder, int dir, int room, const std::string& name);
    QString returnedText() const;
    int attempt(const std::function<int()>& step);
    int commitSteps();
    void removeLater() noexcept;
    void removeOld() noexcept;
    int emptyRoom(std::size_t folder);
    void stageFile(const std::string& path, const QByteArray& bytes);
    bool dropPartial(std::size_t made);
    void clearRooms();
    [[noreturn]] void failCommit(std::size_t failedAt, int error);
    [[noreturn]] void fail(const std::string& shown, int error) const;
    [[noreturn]] void failIn(std::size_t folder, int fd, int error) const;
    [[noreturn]] void refuseLink(const std::string& shown) const;

    QString m_folder;
    std::string m_native;
    bool m_system = false;
    DirHandle::Fd m_plugin;
    SafeFS::Identity m_pluginIdentity; // the folder opened, links followed
    std::shared_ptr<JournalChange> m_change;
    bool m_ownsChange = true;
    SafeFS::JournalPlace m_pluginPlace;
    std::optional<std::vector<std::string>> m_templates;
    // Each template read, by its path, as the file it was read from.
    std::map<std::string, SafeFS::Identity> m_read;
    std::vector<Folder> m_folders;
    std::map<std::string, std::size_t> m_folderIndex;
    std::map<std::string, std::string> m_realFolders; // the user's folders, by the path walked
    std::vector<Staged> m_staged;
    // Every file this change made in a room, by folder, from its creation on.
    std::vector<std::pair<std::size_t, SafeFS::Identity>> m_made;
    // Items of the shared folder that an exchange brought into a room and that went back out
    // under another name (paths, for the message).
    std::vector<std::string> m_returned;
    // The folder last worked in, and its staging folder once opened (found by identity,
    // wherever another user renamed it to).
    std::size_t m_openedFolder = SIZE_MAX;
    DirHandle::Fd m_openedFd;
    SafeFS::Room m_openedStaging;
    int m_steps = 0;
    int m_lastError = 0; // of the last step, for a retry when space ran short
    int m_writeError = 0;
    PluginLease m_lease;
};
