#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Journal.h>
#include <SafeFS/Room.h>

// An extraction into ROOT: the reader writes into a hidden staging folder inside each folder
// the plug-ins land in (on its file system, whatever links lead there), then commit() moves
// each plug-in into place, an old one into the staging folder, and removes those once all
// stand. The run's record names every item it makes or moves before the step that makes it
// visible, and says from commit()'s last move on that the run is finished: a failure undoes
// the run by it, and so does the next run into ROOT after a kill, unless it was finished.
// Nothing else is touched. ROOT stays locked until the run is over.
// Anyone may rename any name in ROOT and its folders (the system library): once a staging
// folder is made and identified, the reader reaches it through its handle, and every step
// acts through the folders' handles.
class ExtractRun
{
public:
    explicit ExtractRun(const std::filesystem::path& root);
    ~ExtractRun();
    ExtractRun(const ExtractRun&) = delete;
    ExtractRun& operator=(const ExtractRun&) = delete;

    // A plug-in as the reader stages it: its folder in ROOT ("" for ROOT itself), its name there.
    struct Plugin
    {
        std::string folder;
        std::string name;
    };

    // What stands at each plug-in's name as the run begins: the only items commit() replaces
    // (where nothing stood, nothing is). Called before anything is read.
    void noteSeen(const std::vector<Plugin>& plugins);

    // For the reader: the staging folder inside ROOT (made, with ROOT, when missing).
    std::filesystem::path stagingInRoot();
    // For the reader: a folder whose `categories` lead to the staging folders inside ROOT's
    // category folders.
    std::filesystem::path tree(const std::vector<std::string>& categories);

    // Moves each of `plugins`, as staged, to its name in its folder; an item already there is
    // replaced only when `replace` (else the staged copy is dropped). Once every plug-in
    // stands, the run is finished: a failure to remove the old copies then is only said. An item
    // that is not what noteSeen() saw there is never replaced: Failure names it, and the run is
    // undone. Last,
    // each placed plug-in must stand at its name as the very item staged: Failure names those
    // that do not (someone else moved them), and so it does a plug-in missing from staging.
    void commit(const std::vector<Plugin>& plugins, bool replace);

    // `text` with the run's own folders named as the folders they stand for.
    std::string visible(std::string text) const;

private:
    struct Landing
    {
        std::filesystem::path folder;
        std::filesystem::path staging;
        SafeFS::Identity real; // the folder itself, whatever links lead there
        DirHandle::Fd fd;
        SafeFS::Room room;     // the staging folder: a private room of the run
        DirHandle::Fd asideFd; // old copies moved aside, in the room, once made
        std::size_t place = 0;
        std::size_t item = 0; // the staging folder's
    };
    struct Planned
    {
        std::size_t landing;
        std::string name;
        SafeFS::Identity staged;
        std::optional<SafeFS::Identity> old;
        bool placed = false;
    };

    // The landing of each of ROOT's `folders` ("" for ROOT itself), their staging folders made.
    std::vector<std::size_t> prepare(const std::vector<std::string>& folders);
    std::size_t landingOf(const std::string& folder) const;
    // Whether the staged copy now stands at its name (not when kept out by an item there).
    bool place(const Planned& plug, bool replace);
    void checkInPlace(const std::vector<Planned>& plan) const;
    // Writes the entry as it stands now; 0 or the errno.
    int writeRecord();
    // writeRecord(), throwing on failure.
    void record();
    // After the finish: the staging folders go, with the old copies in them.
    void removeStaging() noexcept;
    // The destructor's work unless the run finished: the run undone by its entry, then its
    // folder and ROOT's folders it made removed.
    void undo() noexcept;
    void makeFolders(const std::filesystem::path& folder);
    // Only empty folders go: rmdir never removes anything else.
    void removeMade() noexcept;

    std::filesystem::path m_root;
    std::string m_placeRoot; // absolute, for the entry
    SafeFS::JournalEntry m_entry;
    std::string m_runName;
    DirHandle::Fd m_rootLock; // released last
    DirHandle::Fd m_run;
    std::vector<std::filesystem::path> m_made;
    std::vector<Landing> m_landings;
    std::vector<std::pair<std::string, std::size_t>> m_folders; // ROOT's folder name, its landing
    std::map<std::string, SafeFS::Identity> m_seen; // "folder/name" -> what stood there (unknown: nothing)
    bool m_finished = false;
};
