#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <grp.h>

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

namespace {

// The folder the hook puts in place of the one make() just made, as a neighbour would by
// renaming his own onto the name.
std::string g_planted;

void plant(int parent, const char* name)
{
    EXPECT_EQ(::unlinkat(parent, name, AT_REMOVEDIR), 0);
    EXPECT_EQ(::renameat(parent, g_planted.c_str(), parent, name), 0);
}

struct Folder {
    SafeFS::Identity identity;
    uid_t owner = 0;
    mode_t mode = 0;
    bool operator==(const Folder&) const = default;
};

Folder folderAt(const fs::path& path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return {identityOf(path), st.st_uid, mode_t(st.st_mode & 07777)};
}

} // namespace

// Between the room's mkdir and its open, another user renames a folder onto the name: his own
// (new, empty), one of ours holding something, or one of ours made before the call. Each is
// refused as not the room just made, and stands as it was.
TEST(Room, AFolderPutInPlaceOfTheRoomJustMadeIsRefusedAndLeftAsItWas)
{
    TempDir dir;
    // Made first: by the last case, more than a second older than the call.
    ASSERT_EQ(::mkdir((dir / "old").c_str(), 0755), 0);
    const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    SafeFS::Room::setMadeHookForTests(plant);
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> prepare;
    };
    std::vector<Case> cases;
    if (::geteuid() == 0) {
        cases.push_back({"another user's", [](const fs::path& folder) {
                             ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
                             ASSERT_EQ(::chown(folder.c_str(), 4242, 4242), 0);
                         }});
    }
    cases.push_back({"ours, not empty", [](const fs::path& folder) { writeFile(folder / "x", "x"); }});
    cases.push_back({"ours, made before the call", [&](const fs::path& folder) {
                         fs::rename(dir / "old", folder);
                         // Its birth more than the second of slack before the call, whatever the clock's tick.
                         const SafeFS::Identity born = identityOf(folder);
                         ASSERT_NE(born.born, 0u) << "no birth times on this file system";
                         std::this_thread::sleep_until(std::chrono::system_clock::time_point(
                             std::chrono::nanoseconds(born.born + 1200000000u)));
                     }});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_planted = "planted";
        c.prepare(dir / g_planted);
        const Folder before = folderAt(dir / g_planted);
        SafeFS::Room room;
        EXPECT_EQ(room.make(parent.get(), kRoom), EEXIST);
        EXPECT_FALSE(room.valid());
        EXPECT_EQ(folderAt(dir / kRoom), before);
        fs::remove_all(dir / kRoom);
    }
    SafeFS::Room::setMadeHookForTests(nullptr);
    SafeFS::Room room;
    EXPECT_EQ(room.make(parent.get(), kRoom), 0);
    EXPECT_EQ(room.identity(), identityOf(dir / kRoom));
}

// A room is told by its identity, not its name: with another room of ours at the recorded name
// (and the one recorded renamed), the recorded one is found where it is.
TEST(Room, ARoomIsToldByItsIdentityNotByItsName)
{
    TempDir dir;
    const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    SafeFS::Room recorded;
    SafeFS::Room other;
    ASSERT_EQ(recorded.make(parent.get(), kRoom), 0);
    ASSERT_EQ(other.make(parent.get(), "other"), 0);
    fs::rename(dir / kRoom, dir / "moved");
    fs::rename(dir / "other", dir / kRoom);

    SafeFS::Room found;
    ASSERT_EQ(found.find(parent.get(), kRoom, recorded.identity()), 0);
    EXPECT_EQ(found.name(), "moved");
    EXPECT_EQ(found.identity(), recorded.identity());
    EXPECT_EQ(folderAt(dir / "moved").identity, found.identity());
}

// Emptying a plug-in of another user's, asked for by an ordinary user: the plug-in's owner's
// items go, a third user's stay and are named. (Root may remove anyone's; this user only what
// the owners allow.)
TEST(Room, AnOrdinaryUserRemovesThePlugInOwnersItemsButNotAThirdUsers)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand items to other users";
    constexpr uid_t asker = 4242, owner = 4343, third = 4444;
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    writeFile(dir / "Glow" / "a.moti", "owner's");
    writeFile(dir / "Glow" / "Media" / "b.png", "owner's");
    writeFile(dir / "Glow" / "Theirs" / "t", "third's");
    for (const auto& [path, uid] : std::vector<std::pair<fs::path, uid_t>>{
             {dir / "Glow", owner}, {dir / "Glow" / "a.moti", owner}, {dir / "Glow" / "Media", owner},
             {dir / "Glow" / "Media" / "b.png", owner}, {dir / "Glow" / "Theirs", third}, {dir / "Glow" / "Theirs" / "t", third}}) {
        ASSERT_EQ(::chown(path.c_str(), uid, uid), 0);
        ASSERT_EQ(::chmod(path.c_str(), fs::is_directory(path) ? 0777 : 0666), 0);
    }
    const SafeFS::Identity glow = identityOf(dir / "Glow");
    // The asker's run, in a child of his uid: its exit status says what was left.
    const auto run = [&] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(asker, asker, asker) != 0 || ::setresuid(asker, asker, asker) != 0)
            std::_Exit(10);
        const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
        SafeFS::Room room;
        if (room.make(parent.get(), kRoom) != 0)
            std::_Exit(11);
        SafeFS::Removal removal;
        if (SafeFS::removeThroughRoom(parent.get(), "Glow", room.fd(), "Glow", glow, SafeFS::ownersOf(parent.get(), "Glow", asker),
                                      removal)
            != 0)
            std::_Exit(12);
        std::_Exit(removal.left == std::vector<std::string>{"Theirs"} && removal.returnedAs == "Glow" ? 0 : 13);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(fs::exists(dir / "Glow" / "a.moti"));
    EXPECT_FALSE(fs::exists(dir / "Glow" / "Media"));
    EXPECT_EQ(readText(dir / "Glow" / "Theirs" / "t"), "third's");
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

namespace {

// How many times the neighbour exchanges his folder with the room's name, each time between
// removeIfEmpty()'s look and its rmdir, and as whom.
int g_exchanges = 0;
uid_t g_exchanger = 0;

void exchangeWithRoom(int parent, const char* name)
{
    if (g_exchanges-- <= 0)
        return;
    // The two names hold the room and his folder, in either order.
    const std::string at = name;
    const std::string his = at == "neighbour" ? kRoom : "neighbour";
    EXPECT_EQ(asUser(g_exchanger, [&] {
                  return ::renameat2(parent, at.c_str(), parent, his.c_str(), RENAME_EXCHANGE) == 0 ? 0 : errno;
              }),
              0);
}

} // namespace

// Another user exchanges the room's name with a folder of his, between each look at the name
// and the rmdir, a given number of times. A folder of his that holds anything is never taken
// (rmdir takes nothing but an empty folder) and the room goes within its tries, or is said to
// stay. An EMPTY folder of his that another user (here, not root) put there is what the rmdir
// takes; the room, which its handle shows still standing, is then said to stay, with no
// further try.
TEST(Room, ARoomRenamedOnAndOnIsRemovedOrSaidToStay)
{
    struct Case {
        int exchanges;
        bool hisIsEmpty;
        int expected;
    };
    std::vector<Case> cases{{0, false, 0}, {1, false, 0}, {63, false, 0}, {64, false, EBUSY}};
    if (::geteuid() == 0)
        cases.push_back({1, true, EEXIST}); // exchanged as another user
    SafeFS::Room::setRemoveHookForTests(exchangeWithRoom);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.exchanges) + (c.hisIsEmpty ? " with an empty folder" : ""));
        TempDir dir;
        ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
        const fs::path his = dir / "neighbour";
        fs::create_directory(his);
        if (!c.hisIsEmpty)
            writeFile(his / "keep", "his");
        g_exchanger = c.hisIsEmpty ? 4242 : ::geteuid();
        ASSERT_EQ(::chown(his.c_str(), g_exchanger, g_exchanger), 0);
        const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
        SafeFS::Room room;
        ASSERT_EQ(room.make(parent.get(), kRoom), 0);
        g_exchanges = c.exchanges;
        EXPECT_EQ(room.removeIfEmpty(parent.get()), c.expected);
        bool stands = false;
        for (const auto& item : fs::directory_iterator(dir.path()))
            stands = stands || identityOf(item.path()) == room.identity();
        EXPECT_EQ(stands, c.expected != 0) << "the answer must say what stands";
        if (!c.hisIsEmpty) {
            EXPECT_EQ(readText((fs::exists(his / "keep") ? his : dir / kRoom) / "keep"), "his");
        }
    }
    SafeFS::Room::setRemoveHookForTests(nullptr);
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
