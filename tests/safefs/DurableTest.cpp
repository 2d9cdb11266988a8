#include <cerrno>
#include <filesystem>
#include <set>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Durable.h>
#include <SafeFS/Journal.h>
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Every sync of a file system, by the device of the handle it went through; each answers
// what `answer` says of that device.
class SyncSpy
{
public:
    explicit SyncSpy(std::function<int(std::uint64_t device)> answer = {})
    {
        m_previous = SafeFS::setSyncHookForTests([this, answer = std::move(answer)](int fd) {
            struct stat st {};
            EXPECT_EQ(::fstat(fd, &st), 0);
            synced.push_back(std::uint64_t(st.st_dev));
            return answer ? answer(std::uint64_t(st.st_dev)) : 0;
        });
    }
    ~SyncSpy() { SafeFS::setSyncHookForTests(m_previous); }

    std::set<std::uint64_t> devices() const { return {synced.begin(), synced.end()}; }

    std::vector<std::uint64_t> synced;

private:
    SafeFS::SyncHook m_previous;
};

std::uint64_t deviceOf(const fs::path& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return std::uint64_t(st.st_dev);
}

} // namespace

// A batch syncs every file system it was given, once each, whichever of them fails; the first
// error is its answer. /proc stands for a second disk (the hook never syncs it for real).
TEST(Durable, ABatchSyncsEveryFileSystemAndAnswersTheFirstError)
{
    TempDir dir;
    fs::create_directories(dir / "a");
    const std::uint64_t here = deviceOf(dir.path());
    const std::uint64_t proc = deviceOf("/proc");
    ASSERT_NE(here, proc);
    struct Case
    {
        const char* name;
        int failHere;
        int failProc;
        int expected;
    };
    const Case cases[] = {
        {"both synced", 0, 0, 0},
        {"the first fails", EIO, 0, EIO},
        {"the second fails", 0, EIO, EIO},
        {"both fail: the first error", EIO, ENOSPC, EIO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SyncSpy spy([&](std::uint64_t device) { return device == here ? c.failHere : c.failProc; });
        SafeFS::SyncBatch batch;
        for (const fs::path& path : {dir.path(), dir / "a", fs::path("/proc")}) {
            DirHandle::Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_TRUE(fd.valid()) << path;
            ASSERT_EQ(batch.addFolder(fd.get()), 0);
        }
        EXPECT_EQ(batch.sync(), c.expected);
        EXPECT_EQ(spy.synced.size(), 2u) << "one sync per file system";
        EXPECT_EQ(spy.devices(), (std::set<std::uint64_t>{here, proc}));
        EXPECT_TRUE(batch.empty());
    }
}

// A place that cannot be opened proves nothing synced: its errno is the answer and the entry
// stays. Only a place gone (or become a link) is reached through its root, and one whose root
// is gone too holds nothing to wait for.
TEST(Durable, APlaceThatCannotBeOpenedIsAnErrorNotSkipped)
{
    TempDir dir;
    fs::create_directories(dir / "Effects");
    fs::create_symlink(dir / "Effects", dir / "Linked");
    const std::string tooLong(300, 'x');
    struct Case
    {
        const char* name;
        SafeFS::JournalPlace place;
        int expected;
        std::size_t syncs;
        int syncError = 0; // what the disk answers
    };
    const Case cases[] = {
        {"a place that stands", {dir.path().string(), "Effects", false}, 0, 1},
        {"a name too long to open", {dir.path().string(), tooLong, false}, ENAMETOOLONG, 0},
        {"a place gone: its root", {dir.path().string(), "Gone", false}, 0, 1},
        {"a link in the system library: its root", {dir.path().string(), "Linked", false}, 0, 1},
        {"a place of the user's and its root gone: the folder above", {(dir / "Nowhere").string(), "", true}, 0, 1},
        {"a user's place removed since: the folder above", {(dir / "Effects" / "Gone" / "Media").string(), "", true}, 0, 1},
        {"a failed sync", {dir.path().string(), "Effects", false}, EIO, 1, EIO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SafeFS::JournalEntry entry;
        entry.id = SafeFS::newJournalId();
        entry.kind = "test";
        entry.places.push_back(c.place);
        SyncSpy spy([&](std::uint64_t) { return c.syncError; });
        EXPECT_EQ(SafeFS::syncPlaces(entry), c.expected);
        EXPECT_EQ(spy.synced.size(), c.syncs);
    }
}
