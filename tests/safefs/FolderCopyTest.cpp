#include <cerrno>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <SafeFS/DirHandle.h>
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

namespace {

// The name the neighbour takes over in the step hook, and where our folder goes meanwhile.
std::string g_takeOver;
fs::path g_parked;

// Another user's empty folder in place of the one the copy just made, before it is entered.
void takeOver(int folder, const char* name)
{
    if (g_takeOver != name || fs::exists(g_parked))
        return;
    ASSERT_EQ(::renameat(folder, name, AT_FDCWD, g_parked.c_str()), 0);
    ASSERT_EQ(::mkdirat(folder, name, 0777), 0);
    ASSERT_EQ(::fchownat(folder, name, 4242, 4242, AT_SYMLINK_NOFOLLOW), 0);
}

} // namespace

// The copy makes each folder and then enters it by name: a folder of another user's put at that
// name in between (anyone may, where others can write) is refused, and nothing goes into it.
TEST(FolderCopy, AFolderAnotherUserPutAtTheNameIsNeverCopiedInto)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a folder to another user";
    // The copy's own folder, and a folder inside it.
    for (const char* at : {"Copy", "Sub"}) {
        SCOPED_TRACE(at);
        TempDir dir;
        writeFile(dir / "Source" / "a.txt", "a");
        writeFile(dir / "Source" / "Sub" / "b.txt", "b");
        g_takeOver = at;
        g_parked = dir / "parked";
        const fs::path theirs = g_takeOver == "Copy" ? dir / "Copy" : dir / "Copy" / "Sub";
        const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        DirHandle::setStepHookForTests(takeOver);
        const int error = DirHandle::copyAt(parent.get(), "Source", parent.get(), "Copy");
        DirHandle::setStepHookForTests(nullptr);
        ASSERT_TRUE(fs::exists(g_parked)) << "the copy never made the folder";
        EXPECT_EQ(error, EEXIST);
        struct stat st {};
        ASSERT_EQ(::lstat(theirs.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 4242u) << "his folder stands where the copy made its own";
        EXPECT_TRUE(fs::is_empty(theirs));
    }
}
