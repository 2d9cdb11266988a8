#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

namespace {

using Step = ZFCPacker::SyncStep;

// Routes the packer's syncs to the test for the scope.
class SyncSeam
{
public:
    explicit SyncSeam(std::function<int(int, Step)> hook) { ZFCPacker::setSyncHookForTests(std::move(hook)); }
    ~SyncSeam() { ZFCPacker::setSyncHookForTests({}); }
};

const char* nameOf(Step step)
{
    return step == Step::file ? "file" : step == Step::folder ? "folder" : "fileSystem";
}

bool isPackage(const fs::path& path)
{
    try {
        return ZFCPackageReader(path).plugins().size() == 1;
    } catch (...) {
        return false;
    }
}

std::size_t countEntries(const fs::path& dir)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

} // namespace

// A package the caller asked for is on the disk before the call returns: its data before it
// takes its name, its folder after; a pack-each group by one sync of the file system once all
// stand. A sync that fails is an error: nothing is claimed done, and a package whose data was
// not synced never takes its name (an older one stays).
TEST(ZFCPackerSync, EveryPackageIsSyncedBeforeSuccessAndAFailedSyncIsAnError)
{
    enum class Call { pack, packEach };
    struct Case {
        const char* name;
        Call call;
        bool older;                   // a package already stands at the first name
        std::vector<std::string> steps;  // the syncs expected, in order
        int failAt;                   // index of the sync that fails with EIO, -1 none
        bool standsAfter;             // the first package stands afterwards (whole)
    };
    const std::vector<Case> cases = {
        {"new package", Call::pack, false, {"file", "folder"}, -1, true},
        {"new package, data sync fails", Call::pack, false, {"file"}, 0, false},
        {"new package, folder sync fails", Call::pack, false, {"file", "folder"}, 1, true},
        {"replaced package", Call::pack, true, {"file", "folder"}, -1, true},
        {"replaced package, data sync fails", Call::pack, true, {"file"}, 0, false},
        {"replaced package, folder sync fails", Call::pack, true, {"file", "folder"}, 1, true},
        {"group", Call::packEach, false, {"fileSystem"}, -1, true},
        {"group, sync fails", Call::packEach, false, {"fileSystem"}, 0, true},
        {"group over an older package", Call::packEach, true, {"file", "fileSystem"}, -1, true},
        {"group over an older package, its data sync fails", Call::packEach, true, {"file"}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "A/a.txt", "a");
        writeFile(dir / "B/b.txt", "b");
        const fs::path out = dir / "out";
        fs::create_directories(out);
        const fs::path first = c.call == Call::pack ? out / "backup.zfcp" : out / "A.zfcp";
        const fs::path second = out / "B.zfcp";
        if (c.older)
            writeFile(first, "older");

        std::vector<std::string> events;
        bool firstStoodAtDataSync = false;
        bool packagesStoodAtLastSync = false;
        struct stat folder {};
        ASSERT_EQ(::stat(out.c_str(), &folder), 0);
        const SyncSeam seam([&](int fd, Step step) {
            // The package's own folder, wherever the plug-ins are: its disk is the one synced.
            struct stat st {};
            EXPECT_EQ(::fstat(fd, &st), 0);
            EXPECT_EQ(S_ISDIR(st.st_mode), step != Step::file) << nameOf(step);
            if (step != Step::file) {
                EXPECT_EQ(st.st_ino, folder.st_ino);
                EXPECT_EQ(st.st_dev, folder.st_dev);
            }
            if (step == Step::file && events.empty())
                firstStoodAtDataSync = isPackage(first);
            packagesStoodAtLastSync = isPackage(first) && (c.call == Call::pack || isPackage(second));
            const bool fails = static_cast<int>(events.size()) == c.failAt;
            events.push_back(nameOf(step));
            return fails ? EIO : 0;
        });
        const ZFCProgressCallback progress = [&](const ZFCProgress& p) {
            if (p.stage == ZFCProgress::Stage::assembling && p.fraction >= 1.0 && p.subject.empty())
                events.push_back("done");
        };
        const std::vector<ZFCPackItem> items = {{ZFCPluginType::effect, "A", dir / "A"},
                                                {ZFCPluginType::effect, "B", dir / "B"}};
        bool failed = false;
        try {
            if (c.call == Call::pack)
                ZFCPacker::pack({items[0]}, first, progress);
            else
                ZFCPacker::packEach(items, out, progress);
        } catch (const fs::filesystem_error& e) {
            failed = true;
            EXPECT_EQ(e.code().value(), EIO);
            EXPECT_TRUE(e.path1() == first || e.path1() == out) << e.path1();
        }
        EXPECT_EQ(failed, c.failAt >= 0);
        std::vector<std::string> expected = c.steps;
        if (c.failAt < 0)
            expected.push_back("done");  // success is told after every sync, never before
        EXPECT_EQ(events, expected);
        // The data is synced before the package takes its name: an older one still stands then.
        EXPECT_FALSE(firstStoodAtDataSync);
        if (c.failAt < 0) {
            EXPECT_TRUE(packagesStoodAtLastSync);
        }
        EXPECT_EQ(isPackage(first), c.standsAfter);
        if (c.older && !c.standsAfter) {
            EXPECT_EQ(readFile(first), "older");
        }
        if (!c.standsAfter) {
            EXPECT_EQ(countEntries(out), c.older ? 1u : 0u);  // no temporaries left
        }
    }
}
