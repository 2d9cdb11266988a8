#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Room.h>
#include "support/kit/AsUser.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr char kRoom[] = ".x.loomwork-removing-0123456789abcdef";
constexpr uid_t kVictim = 4242, kNeighbour = 4343, kThird = 4444;

SafeFS::Identity identityOf(const fs::path& path)
{
    SafeFS::Identity identity;
    EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, path.string(), identity), 0) << path;
    return identity;
}

uid_t ownerOf(const fs::path& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : uid_t(-1);
}

void give(const fs::path& path, uid_t uid, mode_t mode)
{
    ASSERT_EQ(::chown(path.c_str(), uid, uid), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

} // namespace

// A neighbour who holds a handle on a plug-in's 0777 folder exchanges a third user's file there
// with one of the owner's, between the walk's look and its unlink, in the owner's own delete
// and in root's. The folder was closed to others' writes before the walk looked: the exchange
// is refused, the third user's file stays and is the one named as left, and the folders kept
// for it get their modes back.
TEST(Emptying, ANameExchangedUnderTheWalkNeverTakesAThirdUsersFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as three users";
    static int exchanged = -1;
    DirHandle::setStepHookForTests([](int folder, const char* name) {
        if (std::string(name) == "f200")
            exchanged = asUser(kNeighbour, [folder] {
                return ::renameat2(folder, "f200", folder, "zzz", RENAME_EXCHANGE) == 0 ? 0 : errno;
            });
    });
    for (const uid_t actor : {kVictim, uid_t(0)}) {
        SCOPED_TRACE(actor);
        TempDir dir;
        ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
        const fs::path sub = dir / "Glow" / "sub";
        writeFile(sub / "f200", "owner's");
        writeFile(sub / "zzz", "third's");
        for (const fs::path& path : {dir / "Glow", sub, sub / "f200"})
            give(path, kVictim, 0777);
        give(sub / "zzz", kThird, 0644);
        const SafeFS::Identity glow = identityOf(dir / "Glow");
        const int status = asUser(actor, [&] {
            const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
            SafeFS::Room room;
            SafeFS::Removal removal;
            if (room.make(parent.get(), kRoom) != 0
                || SafeFS::removeThroughRoom(parent.get(), "Glow", room.fd(), "Glow", glow,
                                             SafeFS::ownersOf(parent.get(), "Glow", kVictim), removal))
                return 1;
            if (exchanged != EACCES)
                return 2;
            return removal.left == std::vector<std::string>{"sub/zzz"} ? room.removeIfEmpty(parent.get()) : 3;
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(readFile(sub / "zzz"), "third's");
        EXPECT_EQ(ownerOf(sub / "zzz"), kThird);
        EXPECT_FALSE(fs::exists(sub / "f200"));
        EXPECT_EQ(fs::status(sub).permissions(), fs::perms::all);
        EXPECT_EQ(fs::status(dir / "Glow").permissions(), fs::perms::all);
    }
    DirHandle::setStepHookForTests(nullptr);
}

// Root's emptying never removes an item of a user the removal does not allow, whatever stands
// where: a third user's file moved into the room as the item, or a third user's empty folder
// put (by root or a privileged step: the seam) at an emptied folder's name before its rmdir.
TEST(Emptying, AnItemOfAnotherOwnerIsLeftWhereverItStands)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give items to another user";
    static fs::path other;
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> plant;
        DirHandle::StepHook hook;
        std::string left;
        fs::path theirs;
    };
    const Case cases[] = {
        {"a file as the item", [](const fs::path& dir) { writeFile(dir / "Glow", "third's"); }, nullptr, "", "Glow"},
        {"an empty folder at an emptied folder's name",
         [](const fs::path& dir) {
             writeFile(dir / "Glow" / "sub" / "x", "root's");
             fs::create_directory(other);
         },
         [](int folder, const char* name) {
             // Its first look at "sub" is before it goes in; once emptied, "sub" is seen again.
             if (std::string(name) == "sub" && fs::is_empty(fs::path(DirHandle::handlePath(folder)) / "sub")) {
                 ASSERT_EQ(::renameat(folder, "sub", AT_FDCWD, (other.parent_path() / "parked").c_str()), 0);
                 ASSERT_EQ(::renameat(AT_FDCWD, other.c_str(), folder, "sub"), 0);
             }
         },
         "sub", "Glow/sub"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        other = dir / "other";
        c.plant(dir.path());
        give(c.left.empty() ? dir / "Glow" : other, kThird, 0755);
        const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
        SafeFS::Room room;
        ASSERT_EQ(room.make(parent.get(), kRoom), 0);
        DirHandle::setStepHookForTests(c.hook);
        SafeFS::Removal removal;
        EXPECT_EQ(SafeFS::removeThroughRoom(parent.get(), "Glow", room.fd(), "Glow", identityOf(dir / "Glow"),
                                            DirHandle::Owners{false, {0}, {}}, removal),
                  0);
        DirHandle::setStepHookForTests(nullptr);
        EXPECT_EQ(removal.left, std::vector<std::string>{c.left});
        EXPECT_EQ(ownerOf(dir / c.theirs), kThird);
    }
}

// Files go by name: while the walk looks at an item and acts on it, the folder holding it is
// closed to every write but its owner's, whichever of the group's and others' it allowed.
TEST(Emptying, EveryFolderIsClosedToTheGroupsAndOthersWritesWhileItIsEmptied)
{
    static mode_t openedTo = 0;
    static int steps = 0;
    struct Case
    {
        const char* name;
        mode_t mode;
    };
    const Case cases[] = {
        {"the group's writes", 0775},
        {"others' writes", 0757},
        {"both", 0777},
        {"neither", 0755},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir / "Glow" / "a.moef", "a");
        writeFile(dir / "Glow" / "sub" / "b.png", "b");
        for (const fs::path& folder : {dir / "Glow", dir / "Glow" / "sub"})
            ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
        openedTo = 0;
        steps = 0;
        DirHandle::setStepHookForTests([](int folder, const char*) {
            struct stat st {};
            ASSERT_EQ(::fstat(folder, &st), 0);
            openedTo |= st.st_mode & (S_IWGRP | S_IWOTH);
            ++steps;
        });
        const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
        SafeFS::Room room;
        ASSERT_EQ(room.make(parent.get(), kRoom), 0);
        SafeFS::Removal removal;
        EXPECT_EQ(SafeFS::removeThroughRoom(parent.get(), "Glow", room.fd(), "Glow", identityOf(dir / "Glow"),
                                            SafeFS::ownersOf(parent.get(), "Glow", ::geteuid()), removal),
                  0);
        DirHandle::setStepHookForTests(nullptr);
        EXPECT_GE(steps, 3) << "the walk looked at each item";
        EXPECT_EQ(openedTo, mode_t(0)) << std::oct << openedTo;
        EXPECT_TRUE(removal.left.empty());
        EXPECT_FALSE(fs::exists(dir / "Glow"));
        EXPECT_EQ(room.removeIfEmpty(parent.get()), 0);
    }
}
