#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <SafeFS/DirHandle.h>
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

namespace {

struct Tree {
    TempDir dir;
    fs::path library = dir / "library";
    fs::path victim = dir / "victim";

    Tree()
    {
        writeFile(library / "Effects.localized" / "Docs" / "a.moef", "plug-in");
        writeFile(victim / "Docs" / "keep.txt", "someone else's");
    }
};

} // namespace

TEST(DirHandle, AWalkRefusesEveryLinkOnTheWay)
{
    Tree tree;
    fs::create_directory_symlink(tree.victim, tree.library / "Linked.localized");
    DirHandle::Fd fd;
    EXPECT_EQ(DirHandle::openPath(tree.library.string(), "Effects.localized/Docs", fd), 0);
    EXPECT_EQ(DirHandle::openPath(tree.library.string(), "Linked.localized/Docs", fd), ELOOP);
    EXPECT_EQ(DirHandle::openPath(tree.library.string(), "Effects.localized/../Linked.localized", fd), EINVAL);
    EXPECT_EQ(DirHandle::openPath((tree.library / "Linked.localized").string(), "", fd), ELOOP);

    // Removing the link removes the link only; a chmod of the tree leaves the target alone,
    // and so a file with another name elsewhere (a hard link).
    DirHandle::Fd root;
    ASSERT_EQ(DirHandle::openRoot(tree.library.string(), root), 0);
    ::chmod(tree.victim.c_str(), 0700);
    ::chmod((tree.victim / "Docs" / "keep.txt").c_str(), 0600);
    fs::create_hard_link(tree.victim / "Docs" / "keep.txt", tree.library / "Effects.localized" / "Docs" / "hard");
    EXPECT_EQ(DirHandle::chmodTreeAt(root.get(), "Linked.localized", 0777), 0);
    EXPECT_EQ(DirHandle::chmodTreeAt(root.get(), "Effects.localized", 0777), 0);
    EXPECT_EQ(fs::status(tree.victim).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(tree.victim / "Docs" / "keep.txt").permissions() & fs::perms::all, fs::perms(0600));
    EXPECT_EQ(fs::status(tree.library / "Effects.localized" / "Docs" / "a.moef").permissions() & fs::perms::all,
              fs::perms::all);
    EXPECT_EQ(DirHandle::removeAt(root.get(), "Linked.localized"), 0);
    EXPECT_TRUE(fs::exists(tree.victim / "Docs" / "keep.txt"));
    EXPECT_FALSE(fs::is_symlink(tree.library / "Linked.localized"));
}

// A neighbour swaps the category folder for a link to someone else's folder between the
// moment the folder is opened and the removal: the removal still acts in the library.
TEST(DirHandle, ASwapAfterTheWalkChangesNothingOutside)
{
    Tree tree;
    const fs::path category = tree.library / "Effects.localized";
    DirHandle::Fd folder;
    ASSERT_EQ(DirHandle::openPath(tree.library.string(), "Effects.localized", folder), 0);
    fs::rename(category, tree.library / "parked");
    fs::create_directory_symlink(tree.victim, category);

    EXPECT_EQ(DirHandle::removeAt(folder.get(), "Docs"), 0);
    EXPECT_TRUE(fs::exists(tree.victim / "Docs" / "keep.txt"));
    EXPECT_FALSE(fs::exists(tree.library / "parked" / "Docs"));
    // The next walk meets the link and refuses.
    EXPECT_EQ(DirHandle::openPath(tree.library.string(), "Effects.localized", folder), ELOOP);
}

TEST(DirHandle, ACopyKeepsLinksAndPermissionsAndRefusesAnExistingName)
{
    Tree tree;
    const fs::path source = tree.dir / "source";
    writeFile(source / "sub" / "t.motn", "template");
    writeFile(source / "run", "#!/bin/sh\n");
    fs::create_symlink("sub/t.motn", source / "alias");
    ::chmod((source / "run").c_str(), 06755);
    ::chmod((source / "sub").c_str(), 02555);
    DirHandle::Fd root;
    ASSERT_EQ(DirHandle::openRoot(tree.library.string(), root), 0);
    ASSERT_EQ(DirHandle::copyInto(source.string(), root.get(), "copy"), 0);
    EXPECT_EQ(readFile(tree.library / "copy" / "sub" / "t.motn"), "template");
    EXPECT_EQ(fs::read_symlink(tree.library / "copy" / "alias"), "sub/t.motn");
    // Permission bits only: another user's set-ID bits never come along onto our copy.
    EXPECT_EQ(fs::status(tree.library / "copy" / "sub").permissions() & fs::perms::mask, fs::perms(0555));
    EXPECT_EQ(fs::status(tree.library / "copy" / "run").permissions() & fs::perms::mask, fs::perms(0755));
    EXPECT_EQ(DirHandle::copyInto(source.string(), root.get(), "copy"), EEXIST);
    // A read-only copy still goes as a whole.
    EXPECT_EQ(DirHandle::removeAt(root.get(), "copy"), 0);
    EXPECT_FALSE(fs::exists(tree.library / "copy"));
    ::chmod((source / "sub").c_str(), 0755);
}

// A sparse file (a trailing hole too) longer than several kernel copy steps, and the same
// from another file system (tmpfs), which the kernel will not copy from: that one goes
// through the buffer in steps.
TEST(DirHandle, ACopyCrossesStepsAndHolesAndFallsBackToReading)
{
    TempDir dir;
    const fs::path sparse = dir / "sparse.mov";
    {
        DirHandle::Fd fd(::open(sparse.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0640));
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(::pwrite(fd.get(), "head", 4, 0), 4);
        ASSERT_EQ(::pwrite(fd.get(), "middle", 6, (2 << 20) + 1), 6);
        ASSERT_EQ(::ftruncate(fd.get(), (5 << 20) + 7), 0);
    }
    const std::string expected = readFile(sparse);
    ASSERT_EQ(expected.size(), std::size_t(5 << 20) + 7);
    std::vector<fs::path> sources{sparse};
    struct stat here {};
    struct stat shm {};
    const fs::path other = fs::path("/dev/shm") / ("loomwork-copy-" + std::to_string(::getpid()));
    if (::stat("/dev/shm", &shm) == 0 && ::stat(dir.path().c_str(), &here) == 0 && shm.st_dev != here.st_dev) {
        fs::copy_file(sparse, other);
        sources.push_back(other);
    }
    for (const fs::path& source : sources) {
        for (const std::size_t step : {std::size_t(1) << 20, std::size_t(4096) + 1}) {
            SCOPED_TRACE(source.string() + ", step " + std::to_string(step));
            const fs::path copy = dir / "copy";
            DirHandle::Fd in(::open(source.c_str(), O_RDONLY));
            DirHandle::Fd out(::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
            EXPECT_EQ(DirHandle::copyContent(in.get(), out.get(), step), 0);
            EXPECT_TRUE(readFile(copy) == expected);
            fs::remove(copy);
        }
    }
    fs::remove(other);
    DirHandle::Fd root;
    ASSERT_EQ(DirHandle::openRoot(dir.path().string(), root), 0);
    ASSERT_EQ(DirHandle::copyAt(root.get(), "sparse.mov", root.get(), "whole.mov"), 0);
    EXPECT_TRUE(readFile(dir / "whole.mov") == expected);
    EXPECT_EQ(fs::status(dir / "whole.mov").permissions() & fs::perms::mask, fs::perms(0640));
    EXPECT_EQ(fs::last_write_time(dir / "whole.mov"), fs::last_write_time(sparse));
}
