#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <grp.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Room.h>
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

bool becomeUser(uid_t uid)
{
    return uid == 0
        || (::setgroups(0, nullptr) == 0 && ::setresgid(uid, uid, uid) == 0 && ::setresuid(uid, uid, uid) == 0);
}

// Runs `step` in a child process as `uid`; its exit status, or 200 when it did not exit.
int asUser(uid_t uid, const std::function<int()>& step)
{
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0)
        std::_Exit(becomeUser(uid) ? step() : 100);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return 201;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

void give(const fs::path& path, uid_t uid, mode_t mode)
{
    ASSERT_EQ(::chown(path.c_str(), uid, uid), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

// A neighbour whose working folder is inside the plug-in (taken while it could still be
// reached), waiting to exchange two names there when asked: 0 or the errno it met.
class Neighbour
{
public:
    Neighbour(const fs::path& folder, const char* a, const char* b)
    {
        int ask[2], answer[2];
        if (::pipe(ask) != 0 || ::pipe(answer) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            char byte = 0;
            if (::chdir(folder.c_str()) != 0 || !becomeUser(kNeighbour) || ::write(answer[1], &byte, 1) != 1
                || ::read(ask[0], &byte, 1) != 1)
                std::_Exit(1);
            byte = ::renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE) == 0 ? 0 : char(errno);
            std::_Exit(::write(answer[1], &byte, 1) == 1 ? 0 : 1);
        }
        ::close(ask[0]);
        ::close(answer[1]);
        s_ask = ask[1];
        s_answer = answer[0];
        char ready = 1;
        m_ready = ::read(s_answer, &ready, 1) == 1 && ready == 0;
    }
    bool ready() const { return m_ready; }
    ~Neighbour()
    {
        ::close(s_ask);
        ::close(s_answer);
        int status = 0;
        if (m_pid > 0)
            ::waitpid(m_pid, &status, 0);
    }
    // In the walker's process, between its look at `name` and its act.
    static void hook(int, const char* name)
    {
        char byte = 0;
        if (std::string(name) != "f200" || s_asked)
            return;
        s_asked = true;
        s_result = ::write(s_ask, &byte, 1) == 1 && ::read(s_answer, &byte, 1) == 1 ? byte : -1;
    }

    static inline int s_ask = -1, s_answer = -1, s_result = -1;
    static inline bool s_asked = false;

private:
    pid_t m_pid = -1;
    bool m_ready = false;
};

} // namespace

// A neighbour who keeps his working folder in a plug-in's 0777 folder exchanges a third user's
// file there with one of the owner's, between the walk's look and its unlink, in the owner's
// own delete and in root's. The folder was closed to others' writes before the walk looked, so
// the exchange is refused: the third user's file stays, and the file named as left is his.
TEST(Emptying, ANameExchangedUnderTheWalkNeverTakesAThirdUsersFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as three users";
    for (const uid_t actor : {kVictim, uid_t(0)}) {
        SCOPED_TRACE(actor);
        TempDir dir;
        ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
        const fs::path sub = dir / "Glow" / "sub";
        writeFile(dir / "Glow" / "a.moti", "owner's");
        writeFile(sub / "f200", "owner's");
        writeFile(sub / "zzz", "third's");
        give(dir / "Glow", kVictim, 0777);
        give(dir / "Glow" / "a.moti", kVictim, 0644);
        give(sub, kVictim, 0777);
        give(sub / "f200", kVictim, 0644);
        give(sub / "zzz", kThird, 0644);
        const SafeFS::Identity glow = identityOf(dir / "Glow");
        Neighbour neighbour(sub, "f200", "zzz");
        ASSERT_TRUE(neighbour.ready());
        Neighbour::s_asked = false;
        DirHandle::setStepHookForTests(Neighbour::hook);
        const int status = asUser(actor, [&] {
            const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
            SafeFS::Room room;
            SafeFS::Removal removal;
            if (room.make(parent.get(), kRoom) != 0
                || SafeFS::removeThroughRoom(parent.get(), "Glow", room.fd(), "Glow", glow,
                                             SafeFS::ownersOf(parent.get(), "Glow", kVictim), removal)
                    != 0)
                return 11;
            if (!Neighbour::s_asked)
                return 12;
            if (Neighbour::s_result != EACCES)
                return 13;
            return removal.left == std::vector<std::string>{"sub/zzz"} && removal.returnedAs == "Glow"
                    && room.removeIfEmpty(parent.get()) == 0
                ? 0
                : 14;
        });
        DirHandle::setStepHookForTests(nullptr);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(readFile(dir / "Glow" / "sub" / "zzz"), "third's");
        EXPECT_EQ(ownerOf(dir / "Glow" / "sub" / "zzz"), kThird);
        EXPECT_FALSE(fs::exists(dir / "Glow" / "sub" / "f200"));
        EXPECT_FALSE(fs::exists(dir / "Glow" / "a.moti"));
        // Kept for the third user's file: its mode as it was, so that he can take it away.
        EXPECT_EQ(fs::status(dir / "Glow" / "sub").permissions(), fs::perms::all);
        EXPECT_EQ(fs::status(dir / "Glow").permissions(), fs::perms::all);
    }
}

// What an emptying leaves and what it removes, whoever may still rename in the folder (root, or
// a seam standing in for a privileged step): an item of a user the removal does not allow is
// never removed, as a file moved into the room itself or as a folder put at an emptied
// folder's name before its rmdir; the owners' own items go.
TEST(Emptying, OnlyTheCheckedItemsOfTheAllowedOwnersGo)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give items to another user";
    static fs::path other;
    static int subCalls = 0;
    struct Case {
        const char* name;
        std::function<void(const fs::path& dir)> plant; // makes "Glow" and the others' items
        DirHandle::StepHook hook;
        std::vector<std::string> left;
        std::function<void(const fs::path& dir)> check;
    };
    const std::vector<Case> cases{
        {"a third user's file as the item", [](const fs::path& dir) {
             writeFile(dir / "Glow", "third's");
             give(dir / "Glow", kThird, 0644);
         },
         nullptr, {""},
         [](const fs::path& dir) {
             EXPECT_EQ(readFile(dir / "Glow"), "third's");
             EXPECT_EQ(ownerOf(dir / "Glow"), kThird);
         }},
        {"root's file as the item", [](const fs::path& dir) { writeFile(dir / "Glow", "root's"); }, nullptr, {},
         [](const fs::path& dir) { EXPECT_FALSE(fs::exists(dir / "Glow")); }},
        {"a third user's empty folder at an emptied folder's name", [](const fs::path& dir) {
             writeFile(dir / "Glow" / "sub" / "x", "ours");
             fs::create_directory(other);
             give(other, kThird, 0755);
         },
         [](int folder, const char* name) {
             // The first look at "sub" is before it is entered; the second, before its rmdir.
             if (std::string(name) != "sub" || ++subCalls != 2)
                 return;
             ASSERT_EQ(::renameat(folder, "sub", AT_FDCWD, (other.parent_path() / "parked").c_str()), 0);
             ASSERT_EQ(::renameat(AT_FDCWD, other.c_str(), folder, "sub"), 0);
         },
         {"sub"},
         [](const fs::path& dir) {
             ASSERT_EQ(subCalls, 2) << "the seam never ran";
             EXPECT_EQ(ownerOf(dir / "Glow" / "sub"), kThird);
             EXPECT_TRUE(fs::is_empty(dir / "Glow" / "sub"));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        other = dir / "other";
        subCalls = 0;
        c.plant(dir.path());
        const DirHandle::Fd parent(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
        SafeFS::Room room;
        ASSERT_EQ(room.make(parent.get(), kRoom), 0);
        DirHandle::setStepHookForTests(c.hook);
        SafeFS::Removal removal;
        EXPECT_EQ(SafeFS::removeThroughRoom(parent.get(), "Glow", room.fd(), "Glow", identityOf(dir / "Glow"),
                                            DirHandle::Owners{false, {0}, {}}, removal),
                  0);
        DirHandle::setStepHookForTests(nullptr);
        EXPECT_FALSE(removal.mismatch);
        EXPECT_EQ(removal.left, c.left);
        c.check(dir.path());
        EXPECT_TRUE(fs::is_empty(dir / kRoom));
    }
}
