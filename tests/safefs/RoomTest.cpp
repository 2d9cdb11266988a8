#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Room.h>
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr char kRoom[] = ".x.loomwork-removing-0123456789abcdef";

SafeFS::Identity identityOf(const fs::path& path)
{
    SafeFS::Identity identity;
    EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, path.string(), identity), 0) << path;
    return identity;
}

std::string readText(const fs::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const DirHandle::Owners kAnyone{true, {}, {}};

} // namespace

// Whatever another user renames onto the name between the look and the move is checked in the
// room and goes back untouched: a folder, a later item given the same inode, a file.
TEST(Room, AnItemIsRemovedOnlyAsTheItemItWasRecordedAs)
{
    TempDir dir;
    writeFile(dir / "ours" / "sub" / "a", "ours");
    writeFile(dir / "theirs" / "b", "theirs");
    writeFile(dir / "note", "our note");
    writeFile(dir / "their note", "their note");
    const SafeFS::Identity ours = identityOf(dir / "ours");
    const SafeFS::Identity note = identityOf(dir / "note");
    const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    SafeFS::Room room;
    ASSERT_EQ(room.make(parent.get(), kRoom), 0);
    ::chmod((dir / "ours" / "sub").c_str(), 0500);

    fs::rename(dir / "ours", dir / "kept");
    fs::rename(dir / "theirs", dir / "ours");
    fs::rename(dir / "note", dir / "note kept");
    fs::rename(dir / "their note", dir / "note");
    SafeFS::Removal removal;
    EXPECT_EQ(SafeFS::removeThroughRoom(parent.get(), "ours", room.fd(), "a", ours, kAnyone, removal), 0);
    EXPECT_TRUE(removal.mismatch);
    EXPECT_EQ(removal.returnedAs, "ours");
    EXPECT_EQ(readText(dir / "ours" / "b"), "theirs");
    EXPECT_EQ(SafeFS::removeThroughRoom(parent.get(), "note", room.fd(), "b", note, kAnyone, removal), 0);
    EXPECT_TRUE(removal.mismatch);
    EXPECT_EQ(readText(dir / "note"), "their note");

    // A later item given the same inode (the file system hands a freed one out again at once)
    // is told apart by its birth time.
    SafeFS::Identity later = ours;
    ASSERT_NE(later.born, 0u);
    later.born += 1;
    EXPECT_EQ(SafeFS::removeThroughRoom(parent.get(), "kept", room.fd(), "c", later, kAnyone, removal), 0);
    EXPECT_TRUE(removal.mismatch);
    EXPECT_EQ(readText(dir / "kept" / "sub" / "a"), "ours");

    EXPECT_EQ(SafeFS::removeThroughRoom(parent.get(), "kept", room.fd(), "d", ours, kAnyone, removal), 0);
    EXPECT_FALSE(removal.mismatch);
    EXPECT_EQ(SafeFS::removeThroughRoom(parent.get(), "note kept", room.fd(), "e", note, kAnyone, removal), 0);
    EXPECT_FALSE(fs::exists(dir / "kept"));
    EXPECT_FALSE(fs::exists(dir / "note kept"));
    EXPECT_TRUE(fs::is_empty(dir / kRoom));
    EXPECT_EQ(room.removeIfEmpty(parent.get()), 0);
    EXPECT_FALSE(fs::exists(dir / kRoom));
}

// Emptying a plug-in removes what belongs to the owners given: another user's folder or file
// moved into it is left, with the folders that hold it, which go back out under its name.
TEST(Room, AnotherUsersItemInsideGoesBackOutWithWhatHoldsItAndIsNamed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give items to another user";
    TempDir dir;
    writeFile(dir / "Glow" / "a.moti", "ours");
    writeFile(dir / "Glow" / "Media" / "b.png", "ours");
    writeFile(dir / "Glow" / "Sub" / "Theirs" / "Deep" / "t", "theirs");
    writeFile(dir / "Glow" / "Theirs.txt", "theirs");
    ASSERT_EQ(::chown((dir / "Glow" / "Sub" / "Theirs").c_str(), 4242, 4242), 0);
    ASSERT_EQ(::chown((dir / "Glow" / "Theirs.txt").c_str(), 4242, 4242), 0);
    const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    SafeFS::Room room;
    ASSERT_EQ(room.make(parent.get(), kRoom), 0);
    SafeFS::Removal removal;
    EXPECT_EQ(SafeFS::removeThroughRoom(parent.get(), "Glow", room.fd(), "Glow", identityOf(dir / "Glow"),
                                        DirHandle::Owners{false, {0}, {}}, removal),
              0);
    std::sort(removal.left.begin(), removal.left.end());
    EXPECT_EQ(removal.left, (std::vector<std::string>{"Sub/Theirs", "Theirs.txt"}));
    EXPECT_EQ(removal.returnedAs, "Glow");
    EXPECT_FALSE(fs::exists(dir / "Glow" / "a.moti"));
    EXPECT_FALSE(fs::exists(dir / "Glow" / "Media"));
    EXPECT_EQ(readText(dir / "Glow" / "Sub" / "Theirs" / "Deep" / "t"), "theirs");
    EXPECT_EQ(readText(dir / "Glow" / "Theirs.txt"), "theirs");
    EXPECT_TRUE(fs::is_empty(dir / kRoom));
}

// Another user may rename the room in the shared folder (he cannot enter it): it is found by its
// identity, and only while it is still ours alone.
TEST(Room, ARoomIsFoundWhereverItWasRenamedAndOnlyWhileItIsOursAlone)
{
    TempDir dir;
    const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    SafeFS::Room made;
    ASSERT_EQ(made.make(parent.get(), kRoom), 0);
    EXPECT_EQ(fs::status(dir / kRoom).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(SafeFS::Room().make(parent.get(), kRoom), EEXIST);
    fs::rename(dir / kRoom, dir / "elsewhere");

    SafeFS::Room found;
    ASSERT_EQ(found.find(parent.get(), kRoom, made.identity()), 0);
    EXPECT_EQ(found.name(), "elsewhere");
    ::chmod((dir / "elsewhere").c_str(), 0755);
    EXPECT_EQ(SafeFS::Room().find(parent.get(), kRoom, made.identity()), ENOENT);
    ::chmod((dir / "elsewhere").c_str(), 0700);
    EXPECT_EQ(SafeFS::Room().find(parent.get(), kRoom, made.identity(), ::geteuid() + 1), ENOENT);

    // Removed where it is now, and only while empty.
    writeFile(dir / "elsewhere" / "x", "x");
    EXPECT_EQ(made.removeIfEmpty(parent.get()), ENOTEMPTY);
    fs::remove(dir / "elsewhere" / "x");
    EXPECT_EQ(made.removeIfEmpty(parent.get()), 0);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// A planted chain deeper than the walks enter: refused, with the item left in the room for
// someone with the rights, never a crash or a handle per level.
TEST(Room, ATreeDeeperThanTheLimitIsRefused)
{
    TempDir dir;
    {
        DirHandle::Fd at(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
        ASSERT_EQ(::mkdirat(at.get(), "Deep", 0755), 0);
        DirHandle::Fd next(::openat(at.get(), "Deep", O_RDONLY | O_DIRECTORY));
        at = std::move(next);
        for (std::size_t level = 0; level < DirHandle::kMaxTreeDepth + 2; ++level) {
            ASSERT_EQ(::mkdirat(at.get(), "d", 0755), 0);
            DirHandle::Fd below(::openat(at.get(), "d", O_RDONLY | O_DIRECTORY));
            at = std::move(below);
        }
    }
    const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_EQ(DirHandle::copyAt(parent.get(), "Deep", parent.get(), "Copy"), ENAMETOOLONG);
    (void)DirHandle::removeAt(parent.get(), "Copy");
    SafeFS::Room room;
    ASSERT_EQ(room.make(parent.get(), kRoom), 0);
    SafeFS::Removal removal;
    EXPECT_EQ(SafeFS::removeThroughRoom(parent.get(), "Deep", room.fd(), "Deep", identityOf(dir / "Deep"), kAnyone,
                                        removal),
              ENAMETOOLONG);
    EXPECT_TRUE(fs::exists(dir / kRoom / "Deep"));
    // Deep trees are refused, not half followed: the chain below the limit is left as it was.
    EXPECT_TRUE(fs::exists(dir / kRoom / "Deep" / "d"));
    std::error_code ec;
    fs::remove_all(dir / kRoom, ec);
}

// Where the file system refuses renameat2's flags, a swap takes two renames and its undo puts
// both back; a move never replaces what stands at its target.
TEST(DirHandle, SwapsFallBackToTwoRenamesWhereTheFileSystemRefusesFlags)
{
    TempDir dir;
    const DirHandle::Fd at(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused);
        writeFile(dir / "staged", "new");
        writeFile(dir / "target", "old");
        DirHandle::refuseRenameFlagsForTests(refused);
        bool exchanged = false;
        ASSERT_EQ(DirHandle::swapIn(at.get(), "staged", at.get(), "target", at.get(), "aside", exchanged), 0);
        EXPECT_EQ(exchanged, !refused);
        EXPECT_EQ(readText(dir / "target"), "new");
        EXPECT_EQ(readText(dir / (refused ? "aside" : "staged")), "old");
        ASSERT_EQ(DirHandle::swapBack(at.get(), "staged", at.get(), "target", at.get(), "aside", exchanged), 0);
        EXPECT_EQ(readText(dir / "target"), "old");
        EXPECT_EQ(readText(dir / "staged"), "new");
        EXPECT_FALSE(fs::exists(dir / "aside"));
        EXPECT_EQ(DirHandle::moveAt(at.get(), "staged", at.get(), "target"), EEXIST);
        EXPECT_EQ(readText(dir / "target"), "old");
        fs::remove(dir / "staged");
        fs::remove(dir / "target");
    }
    DirHandle::refuseRenameFlagsForTests(false);
}

// Another user exchanges the room's name with a folder of his over and over while the room
// goes: it is removed wherever it stands, or said to be still there, never left behind with
// "gone" reported; his folder is never touched.
TEST(Room, ARoomRenamedOnAndOnIsRemovedOrSaidToStay)
{
    TempDir dir;
    const fs::path his = dir / "neighbour";
    writeFile(his / "keep", "his");
    const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    int removed = 0;
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        if (fs::exists(dir / kRoom))
            fs::rename(dir / kRoom, his);
        SafeFS::Room room;
        ASSERT_EQ(room.make(parent.get(), kRoom), 0);
        const SafeFS::Identity made = room.identity();
        std::atomic<bool> stop{false};
        std::thread exchanger([&] {
            const std::string a = (dir / kRoom).string();
            const std::string b = his.string();
            while (!stop.load())
                ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
        });
        const int error = room.removeIfEmpty(parent.get());
        stop = true;
        exchanger.join();
        fs::path left;
        for (const auto& item : fs::directory_iterator(dir.path())) {
            if (identityOf(item.path()) == made)
                left = item.path();
        }
        if (error == 0) {
            ++removed;
            EXPECT_TRUE(left.empty()) << "reported gone, still there as " << left;
        } else if (!left.empty()) {
            fs::remove(left); // said to stay: its caller keeps it recorded
        }
        EXPECT_EQ(readText((fs::exists(his) ? his : dir / kRoom) / "keep"), "his");
    }
    EXPECT_GT(removed, 0);
}

// The plug-ins the user sees are spared by an emptying, wherever another user moved one inside
// the plug-in being removed: a folder two levels down and a file stay with their content and
// with what holds them, which goes back out named; everything else goes.
TEST(Room, SparedItemsStayWithWhatHoldsThemAndAreNamed)
{
    TempDir dir;
    writeFile(dir / "Glow" / "a.moti", "ours");
    writeFile(dir / "Glow" / "Media" / "b.png", "ours");
    writeFile(dir / "Glow" / "Sub" / "Other" / "Deep" / "t.moti", "another plug-in");
    writeFile(dir / "Glow" / "Sub" / "mine", "ours");
    writeFile(dir / "Glow" / "Notes" / "kept.txt", "a listed item");
    writeFile(dir / "Glow" / "Notes" / "gone.txt", "ours");
    DirHandle::Owners owners{false, {::geteuid()}, {}};
    owners.spared = {identityOf(dir / "Glow" / "Sub" / "Other"),
                     identityOf(dir / "Glow" / "Notes" / "kept.txt")};
    const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    SafeFS::Room room;
    ASSERT_EQ(room.make(parent.get(), kRoom), 0);
    SafeFS::Removal removal;
    EXPECT_EQ(SafeFS::removeThroughRoom(parent.get(), "Glow", room.fd(), "Glow", identityOf(dir / "Glow"), owners,
                                        removal),
              0);
    std::sort(removal.left.begin(), removal.left.end());
    EXPECT_EQ(removal.left, (std::vector<std::string>{"Notes/kept.txt", "Sub/Other"}));
    EXPECT_EQ(removal.returnedAs, "Glow");
    EXPECT_EQ(readText(dir / "Glow" / "Sub" / "Other" / "Deep" / "t.moti"), "another plug-in");
    EXPECT_EQ(readText(dir / "Glow" / "Notes" / "kept.txt"), "a listed item");
    std::vector<std::string> remaining;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir / "Glow"))
        remaining.push_back(fs::relative(entry.path(), dir / "Glow").string());
    std::sort(remaining.begin(), remaining.end());
    EXPECT_EQ(remaining, (std::vector<std::string>{"Notes", "Notes/kept.txt", "Sub", "Sub/Other", "Sub/Other/Deep",
                                                   "Sub/Other/Deep/t.moti"}));
    EXPECT_TRUE(fs::is_empty(dir / kRoom));
}
