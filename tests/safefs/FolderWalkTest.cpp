#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Room.h>
#include "support/kit/DeepTree.h"
#include "support/kit/PackageCraft.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

namespace {

fs::perms modeOf(const fs::path& path)
{
    return fs::symlink_status(path).permissions() & fs::perms::mask;
}

// A tree whose deepest items have `depth` components below `top`: a chain of folders "d" with
// a folder beside it every ten levels to come back to, and at the bottom a file, a link and an
// empty folder.
fs::path makeDeepTree(const fs::path& top, std::size_t depth)
{
    fs::path folder = top;
    for (std::size_t level = 1; level < depth; ++level) {
        folder /= "d";
        if (level % 10 == 0)
            writeFile(folder / "z" / "f", std::to_string(level));
    }
    writeFile(folder / "f", "deepest");
    fs::create_symlink("f", folder / "l");
    fs::create_directory(folder / "e");
    return folder;
}

} // namespace

// Items as deep as the packer and the extractors allow are copied, changed and removed while
// only 64 files may be open: every walk holds a few folders open whatever the depth.
TEST(FolderWalk, ATreeAtTheLimitIsCopiedChangedAndRemovedWithFewOpenFiles)
{
    TempDir dir;
    const fs::path bottom = makeDeepTree(dir / "P", DirHandle::kMaxTreeDepth);
    const std::string inside = fs::relative(bottom, dir / "P").string();
    const craft::Tree before = craft::snapshot(dir / "P");
    const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    {
        const FileLimit limit(64);
        EXPECT_EQ(DirHandle::copyAt(parent.get(), "P", parent.get(), "Copy"), 0);
        EXPECT_EQ(DirHandle::chmodTreeAt(parent.get(), "Copy", 0500), 0);
    }
    EXPECT_EQ(craft::describeDifference(before, craft::snapshot(dir / "Copy")), "");
    for (const char* item : {"f", "e"})
        EXPECT_EQ(modeOf(dir / "Copy" / inside / item), fs::perms(0500)) << item;
    EXPECT_EQ(modeOf(dir / "Copy" / "d" / "d" / "d" / "d" / "d" / "d" / "d" / "d" / "d" / "d" / "z"), fs::perms(0500));
    EXPECT_TRUE(fs::is_symlink(dir / "Copy" / inside / "l"));
    {
        const FileLimit limit(64);
        // Read-only folders are opened to us on the way down, however deep.
        EXPECT_EQ(DirHandle::removeAt(parent.get(), "Copy"), 0);
        DirHandle::Fd top;
        ASSERT_EQ(DirHandle::openChild(parent.get(), "P", top), 0);
        std::vector<std::string> left;
        EXPECT_EQ(DirHandle::emptyFolder(top.get(), DirHandle::Owners{true, {}, {}}, left), 0);
        EXPECT_EQ(left, std::vector<std::string>{});
    }
    EXPECT_FALSE(fs::exists(dir / "Copy"));
    EXPECT_TRUE(fs::is_empty(dir / "P"));
}

// One level deeper than that is refused by every walk, and what lies beyond the limit stays.
TEST(FolderWalk, OneLevelBeyondTheLimitIsRefusedByEveryWalk)
{
    TempDir dir;
    const fs::path bottom = makeDeepTree(dir / "P", DirHandle::kMaxTreeDepth + 1);
    const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_EQ(DirHandle::copyAt(parent.get(), "P", parent.get(), "Copy"), ENAMETOOLONG);
    EXPECT_EQ(DirHandle::chmodTreeAt(parent.get(), "P", 0700), ENAMETOOLONG);
    // Everything the walk may reach has the mode; what lies beyond it is left alone.
    EXPECT_EQ(modeOf(bottom.parent_path()), fs::perms(0700));
    EXPECT_NE(modeOf(bottom / "f"), fs::perms(0700));
    DirHandle::Fd top;
    ASSERT_EQ(DirHandle::openChild(parent.get(), "P", top), 0);
    std::vector<std::string> left;
    EXPECT_EQ(DirHandle::emptyFolder(top.get(), DirHandle::Owners{true, {}, {}}, left), ENAMETOOLONG);
    EXPECT_EQ(readFile(bottom / "f"), "deepest");
}

// Another user who holds a folder inside a plug-in being emptied as root renames a third
// user's private folder onto the name of one of ours between the walk's look at it and its act:
// the folder is judged by the handle the walk opened, so it is left, named, and neither opened
// up nor read.
TEST(FolderWalk, AFolderSwappedInAfterTheLookIsJudgedByItsOwnHandle)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give items to another user";
    TempDir dir;
    static fs::path theirs;
    static fs::path parked;
    theirs = dir / "Theirs";
    parked = dir / "Parked";
    writeFile(dir / "Glow" / "a.moti", "ours");
    writeFile(dir / "Glow" / "Sub" / "b.png", "ours");
    writeFile(theirs / "x", "root's file in a third user's folder");
    ASSERT_EQ(::chown(theirs.c_str(), 4242, 4242), 0);
    ASSERT_EQ(::chmod(theirs.c_str(), 0700), 0);
    // Read-only: the walk would give it our rights before going in.
    ASSERT_EQ(::chmod((dir / "Glow" / "Sub").c_str(), 0555), 0);
    const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    SafeFS::Room room;
    ASSERT_EQ(room.make(parent.get(), ".x.loomwork-removing-0123456789abcdef"), 0);
    SafeFS::Identity glow;
    ASSERT_EQ(SafeFS::identityAt(parent.get(), "Glow", glow), 0);

    DirHandle::setStepHookForTests([](int folder, const char* name) {
        if (std::string(name) != "Sub" || fs::exists(parked))
            return;
        ASSERT_EQ(::renameat(folder, "Sub", AT_FDCWD, parked.c_str()), 0);
        ASSERT_EQ(::renameat(AT_FDCWD, theirs.c_str(), folder, "Sub"), 0);
    });
    SafeFS::Removal removal;
    const int error = SafeFS::removeThroughRoom(parent.get(), "Glow", room.fd(), "Glow", glow,
                                                DirHandle::Owners{false, {0}, {}}, removal);
    DirHandle::setStepHookForTests(nullptr);
    ASSERT_TRUE(fs::exists(parked)) << "the walk never looked at the folder";
    EXPECT_EQ(error, 0);
    EXPECT_EQ(removal.left, std::vector<std::string>{"Sub"});
    EXPECT_EQ(removal.returnedAs, "Glow");
    EXPECT_EQ(modeOf(dir / "Glow" / "Sub"), fs::perms(0700));
    EXPECT_EQ(readFile(dir / "Glow" / "Sub" / "x"), "root's file in a third user's folder");
    EXPECT_FALSE(fs::exists(dir / "Glow" / "a.moti"));
    EXPECT_TRUE(fs::is_empty(dir / ".x.loomwork-removing-0123456789abcdef"));
}

// A folder whose handle a walk closed to keep few open is opened again only while it is the
// folder that was entered: another one renamed onto its name meanwhile stops the walk, and
// nothing of it is touched.
TEST(FolderWalk, AFolderOpenedAgainMustBeTheOneEntered)
{
    TempDir dir;
    static fs::path top;
    static fs::path other;
    top = dir / "P";
    other = dir / "Other";
    fs::path ours = top;
    fs::path theirs = other;
    for (int level = 0; level < 60; ++level) {
        ours /= "d";
        theirs /= "d";
        writeFile(theirs / "f", "theirs");
    }
    writeFile(ours / "f", "ours");
    const craft::Tree before = craft::snapshot(other / "d");
    // At the deepest file, the top's first folder (its handle closed long before) is swapped.
    DirHandle::setStepHookForTests([](int, const char* name) {
        if (std::string(name) != "f" || !fs::exists(other / "d"))
            return;
        fs::rename(top / "d", top.parent_path() / "parked");
        fs::rename(other / "d", top / "d");
    });
    DirHandle::Fd folder(::open(top.c_str(), O_RDONLY | O_DIRECTORY));
    std::vector<std::string> left;
    const int error = DirHandle::emptyFolder(folder.get(), DirHandle::Owners{true, {}, {}}, left);
    DirHandle::setStepHookForTests(nullptr);
    ASSERT_TRUE(fs::exists(dir / "parked")) << "the walk never reached the deepest file";
    EXPECT_EQ(error, ESTALE);
    EXPECT_EQ(craft::describeDifference(before, craft::snapshot(top / "d")), "");
    EXPECT_EQ(craft::snapshot(top / "d").size(), before.size());
}
