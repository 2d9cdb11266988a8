#include "RunFolder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Durable.h>
#include <SafeFS/HiddenName.h>
#include <SafeFS/Journal.h>

#include "FolderSteps.h"

namespace RunFolder {
namespace {

// A run killed before its record stood leaves its folder empty, or holding torn writes of
// that record: those go with the folder. Anything else there is not ours to judge, and the
// folder stays.
void removeUnrecorded(int root, const std::string& name, int run)
{
    std::vector<std::string> names;
    if (DirHandle::listNames(run, names) != 0)
        return;
    for (const std::string& child : names) {
        struct stat st;
        if (!SafeFS::isEntryTemporary(child, kRecord) || ::fstatat(run, child.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(st.st_mode))
            return;
    }
    for (const std::string& child : names) {
        if (::unlinkat(run, child.c_str(), 0) != 0 && errno != ENOENT)
            return;
    }
    (void)::unlinkat(root, name.c_str(), AT_REMOVEDIR);
}

} // namespace

int remove(int root, const std::string& name, int run)
{
    std::vector<std::string> names;
    if (const int error = DirHandle::listNames(run, names))
        return error;
    // The record last: a folder that lost it is empty.
    std::stable_partition(names.begin(), names.end(), [](const std::string& child) { return child != kRecord; });
    for (const std::string& child : names) {
        if (const int error = DirHandle::removeAt(run, child))
            return error;
    }
    return ::unlinkat(root, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : errno;
}

std::vector<std::string> recover(int root, const std::filesystem::path& rootPath)
{
    std::vector<std::string> waiting;
    std::vector<std::string> names;
    if (DirHandle::listNames(root, names) != 0)
        return waiting;
    for (const std::string& name : names) {
        const std::string id = SafeFS::zfcptoolIdOf(name, kRun);
        DirHandle::Fd run;
        struct stat st;
        if (id.empty() || DirHandle::openChild(root, name, run) != 0 || ::fstat(run.get(), &st) != 0
            || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0 || !FolderSteps::lockExclusive(run.get(), false))
            continue;
        const std::optional<SafeFS::JournalEntry> entry = SafeFS::readEntryAt(run.get(), kRecord, id);
        if (!entry) {
            removeUnrecorded(root, name, run.get());
            continue;
        }
        const std::string record = (rootPath / name / kRecord).string();
        if (entry->damaged || entry->kind != kKind) {
            std::string line = "上次中断的提取的记录已损坏或格式过旧，无法据此复原：" + record;
            const std::vector<std::string> covered = SafeFS::coveredPaths(*entry);
            for (std::size_t i = 0; i < covered.size(); ++i)
                line += (i ? "、" : "\n它涉及：") + covered[i];
            waiting.push_back(line);
            continue;
        }
        SafeFS::RecoveryReport report;
        if (SafeFS::recoverEntry(*entry, report) != 0) {
            for (const SafeFS::JournalWait& wait : report.waits)
                waiting.push_back("无法打开：" + wait.place + "（" + std::strerror(wait.error) + "）");
            waiting.insert(waiting.end(), report.notes.begin(), report.notes.end());
            waiting.push_back("上次中断的提取未能复原，记录留在：" + record);
            continue;
        }
        if (SafeFS::syncPlaces(*entry) != 0 || remove(root, name, run.get()) != 0)
            std::cerr << "上次中断的提取已复原，记录未能删除，留待下次：" << (rootPath / name).native() << '\n';
    }
    return waiting;
}

} // namespace RunFolder
