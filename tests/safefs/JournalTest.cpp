#include <filesystem>
#include <fstream>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Journal.h>
#include <SafeFS/Room.h>
#include "support/kit/PackageCraft.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;
using SafeFS::JournalEntry;
using SafeFS::JournalItem;

namespace {

std::string readText(const fs::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// As a change records it: with its birth time, where the file system tells one.
SafeFS::Identity identityOf(const fs::path& path)
{
    SafeFS::Identity identity;
    EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, path.string(), identity), 0) << path;
    return identity;
}

JournalEntry entryIn(const fs::path& folder, JournalEntry::State state)
{
    JournalEntry entry;
    entry.id = SafeFS::newJournalId();
    entry.kind = "swap";
    entry.places.push_back({folder.string(), "", false});
    entry.state = state;
    return entry;
}

JournalItem item(JournalItem::Role role, std::string path, std::string target, SafeFS::Identity identity)
{
    JournalItem out;
    out.role = role;
    out.path = std::move(path);
    out.target = std::move(target);
    out.identity = identity;
    return out;
}

} // namespace

TEST(Journal, AnEntryReadsBackOnlyInItsExactForm)
{
    JournalEntry entry = entryIn("/lib/Effects.localized", JournalEntry::State::finish);
    entry.places.push_back({"/elsewhere", "a b/c\nd", true});
    entry.items.push_back(item(JournalItem::Role::made, ".x.loomwork-install-0123456789abcdef", "Glow", {}));
    entry.items.push_back(item(JournalItem::Role::old, ".Glow.old", "Glow", {7, 9}));
    entry.items.back().place = 1;
    const std::string text = SafeFS::formatEntry(entry);
    const JournalEntry back = SafeFS::parseEntry(text, entry.id);
    ASSERT_FALSE(back.damaged);
    EXPECT_EQ(back.state, JournalEntry::State::finish);
    ASSERT_EQ(back.places.size(), 2u);
    EXPECT_EQ(back.places[1].folder, "a b/c\nd");
    EXPECT_TRUE(back.places[1].followLinks);
    ASSERT_EQ(back.items.size(), 2u);
    EXPECT_EQ(back.items[1].identity, (SafeFS::Identity{7, 9}));
    EXPECT_EQ(back.items[1].place, 1u);

    const auto withItem = [&](const std::string& path, const std::string& target) {
        JournalEntry e = entryIn("/lib", JournalEntry::State::finish);
        e.id = entry.id;
        e.items.push_back(item(JournalItem::Role::made, path, target, {1, 2}));
        return SafeFS::formatEntry(e);
    };
    const auto replaced = [&](std::string from, std::string to) {
        const auto at = text.find(from);
        return at == std::string::npos ? std::string() : text.substr(0, at) + to + text.substr(at + from.size());
    };
    const std::pair<const char*, std::string> damaged[] = {
        {"a target that climbs out", withItem(".s", "../../etc/passwd")},
        {"an absolute target", withItem(".s", "/etc/passwd")},
        {"a path through \"..\" inside", withItem("a/../../.s", "Glow")},
        {"an empty component", withItem("a//.s", "Glow")},
        {"no end line", text.substr(0, text.size() - 4)},
        {"a line cut short", text.substr(0, text.size() - 1)},
        {"another id", replaced("id " + entry.id, "id 0000000000000000")},
        {"an old item without identity", replaced(" 7 9\n", " 0 0\n")},
        {"an item in a place that is not there", replaced("item old 1", "item old 2")},
        {"an unknown line", replaced("end\n", "run rm -rf /\nend\n")},
        {"an item without a birth time, as older builds wrote", replaced(" 7 9 0\n", " 7 9\n")},
    };
    for (const auto& [why, bad] : damaged) {
        SCOPED_TRACE(why);
        EXPECT_TRUE(SafeFS::parseEntry(bad, entry.id).damaged);
    }
    JournalEntry relative = entryIn("lib", JournalEntry::State::undo);
    EXPECT_TRUE(SafeFS::parseEntry(SafeFS::formatEntry(relative), relative.id).damaged);
}

TEST(Journal, TheFolderIsOnlyEverThisUsersAndEntriesOnlyOfTheirOwnMode)
{
    TempDir dir;
    SafeFS::Journal journal;
    ASSERT_EQ(journal.open((dir / "journal").string()), 0);
    EXPECT_EQ(fs::status(dir / "journal").permissions() & fs::perms::all, fs::perms::owner_all);
    JournalEntry entry = entryIn(dir.path(), JournalEntry::State::undo);
    ASSERT_EQ(journal.write(entry), 0);
    ASSERT_EQ(journal.entries().size(), 1u);

    // A file of another mode is not one we wrote, whatever its name.
    const fs::path planted = dir / "journal" / (SafeFS::newJournalId() + ".entry");
    std::ofstream(planted) << SafeFS::formatEntry(entry);
    ::chmod(planted.c_str(), 0644);
    EXPECT_EQ(journal.entries().size(), 1u);
    ASSERT_EQ(journal.remove(entry.id), 0);
    EXPECT_TRUE(journal.entries().empty());

    ::chmod((dir / "journal").c_str(), 0777);
    SafeFS::Journal open;
    EXPECT_EQ(open.open((dir / "journal").string()), EPERM);
    fs::create_directory(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "link");
    EXPECT_NE(open.open((dir / "link").string()), 0);
}

TEST(Journal, RecoveryActsOnlyOnItemsWhoseIdentityMatches)
{
    TempDir dir;
    const fs::path folder = dir / "Effects.localized";
    writeFile(folder / "Glow" / "new.moef", "new");
    writeFile(folder / ".Glow.old" / "old.moef", "old");
    writeFile(folder / ".staging" / "half.moef", "half");
    // A swap whose exchange was done: the old plug-in hidden, the new one at its name.
    JournalEntry swap = entryIn(folder, JournalEntry::State::undo);
    swap.items.push_back(item(JournalItem::Role::made, ".staging", "", identityOf(folder / ".staging")));
    swap.items.push_back(item(JournalItem::Role::made, ".Glow.old", "Glow", identityOf(folder / "Glow")));
    swap.items.push_back(item(JournalItem::Role::old, ".Glow.old", "Glow", identityOf(folder / ".Glow.old")));
    // Held open, the removed items keep their inodes: what is planted below cannot reuse them.
    const DirHandle::Fd heldStaging(::open((folder / ".staging").c_str(), O_RDONLY | O_DIRECTORY));
    const DirHandle::Fd heldNew(::open((folder / "Glow").c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_EQ(SafeFS::recoverEntry(swap), 0);
    EXPECT_EQ(readText(folder / "Glow" / "old.moef"), "old");
    EXPECT_FALSE(fs::exists(folder / ".Glow.old"));
    EXPECT_FALSE(fs::exists(folder / ".staging"));

    // The same entry again finds nothing of its own: a name planted where its items were is
    // another item, and stays.
    writeFile(folder / ".staging" / "someone's.moef", "theirs");
    fs::rename(folder / "Glow", folder / ".Glow.old");
    writeFile(folder / "Glow" / "x", "theirs");
    EXPECT_NE(SafeFS::recoverEntry(swap), 0); // the old item cannot go back over another's item
    EXPECT_TRUE(fs::exists(folder / ".staging" / "someone's.moef"));
    EXPECT_EQ(readText(folder / "Glow" / "x"), "theirs");
    EXPECT_EQ(readText(folder / ".Glow.old" / "old.moef"), "old");

    // A finished template change: the staged file replaces its template, surplus goes; a
    // target through ".." never gets so far (damaged, left alone).
    writeFile(folder / "Blur" / "a.moti", "old");
    writeFile(folder / "Blur" / ".s1", "new");
    JournalEntry change = entryIn(folder, JournalEntry::State::finish);
    change.items.push_back(item(JournalItem::Role::made, "Blur/.s1", "Blur/a.moti", identityOf(folder / "Blur" / ".s1")));
    change.items.push_back(item(JournalItem::Role::old, "Blur/.s1", "Blur/a.moti", identityOf(folder / "Blur" / "a.moti")));
    ASSERT_EQ(SafeFS::recoverEntry(change), 0);
    EXPECT_EQ(readText(folder / "Blur" / "a.moti"), "new");
    EXPECT_FALSE(fs::exists(folder / "Blur" / ".s1"));
    change.items[0].target = "../../out";
    const JournalEntry escaping = SafeFS::parseEntry(SafeFS::formatEntry(change), change.id);
    EXPECT_EQ(SafeFS::recoverEntry(escaping), EINVAL);
}

// A disk's number can change between runs: inode and birth time find an item whatever the
// device now says, while an identity without a birth time never stands for one with.
TEST(Journal, ItemsAreFoundByInodeAndBirthTimeWhateverTheDisksNumberIs)
{
    using SafeFS::Identity;
    EXPECT_EQ((Identity{1, 5, 77}), (Identity{2, 5, 77})) << "the device is a hint";
    EXPECT_NE((Identity{1, 5, 77}), (Identity{1, 5, 78}));
    EXPECT_NE((Identity{1, 5, 77}), (Identity{1, 6, 77}));
    EXPECT_NE((Identity{1, 5, 0}), (Identity{1, 5, 77})) << "no birth time never matches one";
    EXPECT_NE((Identity{1, 5, 77}), (Identity{1, 5, 0}));
    EXPECT_EQ((Identity{1, 5, 0}), (Identity{1, 5, 0}));
    EXPECT_NE((Identity{1, 5, 0}), (Identity{2, 5, 0})) << "without birth times the device decides";

    TempDir dir;
    const fs::path folder = dir / "Effects.localized";
    writeFile(folder / "Glow" / "new.moef", "new");
    writeFile(folder / ".Glow.old" / "old.moef", "old");
    if (identityOf(folder / "Glow").born == 0)
        GTEST_SKIP() << "this file system tells no birth times";
    // Recorded before the disk was mounted again under another number.
    const auto elsewhere = [&](const fs::path& path) {
        SafeFS::Identity identity = identityOf(path);
        identity.device += 1;
        return identity;
    };
    JournalEntry swap = entryIn(folder, JournalEntry::State::undo);
    swap.items.push_back(item(JournalItem::Role::made, ".Glow.old", "Glow", elsewhere(folder / "Glow")));
    swap.items.push_back(item(JournalItem::Role::old, ".Glow.old", "Glow", elsewhere(folder / ".Glow.old")));
    EXPECT_EQ(SafeFS::recoverEntry(swap), 0);
    EXPECT_EQ(readText(folder / "Glow" / "old.moef"), "old");
    EXPECT_FALSE(fs::exists(folder / ".Glow.old"));
}

// An exchange leaves the old copy where the new one was staged: while another item stands at
// its name, it cannot go back, and the staging folder it lies in stays with it.
TEST(Journal, AnOldItemThatCannotGoBackKeepsTheFolderItLiesIn)
{
    TempDir dir;
    const fs::path folder = dir / "Effects.localized";
    writeFile(folder / ".staging" / "Glow" / "old.moef", "old");
    writeFile(folder / "Glow" / "x", "the user's");
    JournalEntry swap = entryIn(folder, JournalEntry::State::undo);
    swap.items.push_back(item(JournalItem::Role::made, ".staging", "", identityOf(folder / ".staging")));
    swap.items.push_back(item(JournalItem::Role::old, ".staging/Glow", "Glow", identityOf(folder / ".staging" / "Glow")));
    EXPECT_EQ(SafeFS::recoverEntry(swap), EEXIST);
    EXPECT_EQ(readText(folder / ".staging" / "Glow" / "old.moef"), "old");
    fs::remove_all(folder / "Glow");
    EXPECT_EQ(SafeFS::recoverEntry(swap), 0);
    EXPECT_EQ(readText(folder / "Glow" / "old.moef"), "old");
    EXPECT_FALSE(fs::exists(folder / ".staging"));
}

namespace {

// A room of an entry in `folder`, made as a change makes it, recorded by identity.
JournalItem roomIn(const fs::path& folder, const std::string& name, SafeFS::Room& room)
{
    const DirHandle::Fd at(::open(folder.c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_EQ(room.make(at.get(), name), 0);
    JournalItem out;
    out.role = JournalItem::Role::room;
    out.path = name;
    out.identity = room.identity();
    return out;
}

} // namespace

TEST(Journal, RecoveryFollowsNoLinkBelowAUserPlaceNorAnyInTheSystemLibrary)
{
    TempDir dir;
    writeFile(dir / "victim" / ".staging" / "keep", "victim's");
    fs::create_directory(dir / "library");
    fs::create_directory_symlink(dir / "victim", dir / "library" / "Effects.localized");
    JournalEntry entry;
    entry.id = SafeFS::newJournalId();
    entry.places.push_back({(dir / "library").string(), "Effects.localized", false});
    entry.items.push_back(item(JournalItem::Role::made, ".staging", "", identityOf(dir / "victim" / ".staging")));
    // A room of the entry's elsewhere is put right as usual.
    SafeFS::Room room;
    entry.places.push_back({(dir / "library").string(), "", false});
    entry.items.push_back(roomIn(dir / "library", ".Blur.loomwork-install-" + entry.id, room));
    entry.items.back().place = 1;
    // The folder recorded there is gone from the place for good: given up, said once, never
    // followed; it does not wait as a missing disk does.
    TempDir data;
    SafeFS::Journal journal;
    ASSERT_EQ(journal.open((data / "journal").string()), 0);
    ASSERT_EQ(journal.write(entry), 0);
    const SafeFS::JournalReport report = SafeFS::recoverJournal(journal);
    ASSERT_EQ(report.tell.size(), 1u);
    EXPECT_NE(report.tell[0].find((dir / "library" / "Effects.localized").string()), std::string::npos) << report.tell[0];
    EXPECT_TRUE(report.waits.empty());
    EXPECT_TRUE(journal.entries().empty());
    EXPECT_TRUE(SafeFS::recoverJournal(journal).tell.empty());
    EXPECT_EQ(readText(dir / "victim" / ".staging" / "keep"), "victim's");
    EXPECT_FALSE(fs::exists(dir / "library" / room.name()));

    // In the user's library links lead to a place, never out of it below.
    fs::create_directory(dir / "user");
    fs::create_directory_symlink(dir / "victim", dir / "user" / "Link");
    entry.places = {{(dir / "user").string(), "", true}};
    entry.items = {item(JournalItem::Role::made, "Link/.staging", "", identityOf(dir / "victim" / ".staging"))};
    EXPECT_EQ(SafeFS::recoverEntry(entry), ELOOP);
    EXPECT_EQ(readText(dir / "victim" / ".staging" / "keep"), "victim's");
    entry.places = {{(dir / "user" / "Link").string(), "", true}};
    entry.items = {item(JournalItem::Role::made, ".staging", "", identityOf(dir / "victim" / ".staging"))};
    EXPECT_EQ(SafeFS::recoverEntry(entry), 0);
    EXPECT_FALSE(fs::exists(dir / "victim" / ".staging"));
}

// An item the entry names without identity (made, then killed before it was recorded) can be
// only what a kill leaves right after making it: anything else of ours renamed to its name by
// another user of a shared library stays.
TEST(Journal, AnItemWithoutIdentityIsRemovedOnlyWhileEmpty)
{
    TempDir dir;
    const fs::path folder = dir / "Effects.localized";
    const struct {
        const char* why;
        bool file;
        std::string content; // empty: an empty item
        bool removed;
    } cases[] = {{"an empty folder", false, "", true},
                 {"an empty file", true, "", true},
                 {"another plug-in of ours renamed to its name", false, "mine", false},
                 {"a file of ours renamed to its name", true, "mine", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        JournalEntry entry = entryIn(folder, JournalEntry::State::undo);
        const std::string hidden = ".Glow.loomwork-install-" + entry.id;
        entry.items.push_back(item(JournalItem::Role::made, hidden, "", {}));
        if (c.file)
            writeFile(folder / hidden, c.content);
        else if (c.content.empty())
            fs::create_directories(folder / hidden);
        else
            writeFile(folder / hidden / "Plug.moef", c.content);
        EXPECT_EQ(SafeFS::recoverEntry(entry), 0);
        EXPECT_EQ(fs::exists(folder / hidden), !c.removed);
        fs::remove_all(folder / hidden);
    }
}

// Finishing puts a made item at its target only in place of nothing or of the entry's old
// item: whatever else stands there by now (put there after the kill) is neither replaced nor
// carried into a staging folder that goes.
TEST(Journal, FinishingNeverDisplacesAnItemTheEntryDoesNotName)
{
    TempDir dir;
    const fs::path folder = dir / "Effects.localized";
    writeFile(folder / ".staging" / "Glow" / "new.moef", "new");
    writeFile(folder / "Glow" / "mine.moef", "the user's");
    writeFile(folder / "Blur" / ".s1", "new");
    writeFile(folder / "Blur" / "a.moti", "old");
    JournalEntry entry = entryIn(folder, JournalEntry::State::finish);
    entry.items.push_back(item(JournalItem::Role::made, ".staging", "", identityOf(folder / ".staging")));
    entry.items.push_back(item(JournalItem::Role::made, ".staging/Glow", "Glow", identityOf(folder / ".staging" / "Glow")));
    entry.items.push_back(item(JournalItem::Role::made, "Blur/.s1", "Blur/a.moti", identityOf(folder / "Blur" / ".s1")));
    entry.items.push_back(item(JournalItem::Role::old, "Blur/.s1", "Blur/a.moti", identityOf(folder / "Blur" / "a.moti")));
    // Another file put at the template's name since the kill (the old one kept, so that its
    // inode is not reused).
    fs::rename(folder / "Blur" / "a.moti", folder / "Blur" / "a.moti.kept");
    writeFile(folder / "Blur" / "a.moti", "the user's");
    EXPECT_EQ(SafeFS::recoverEntry(entry), EEXIST);
    EXPECT_EQ(readText(folder / "Glow" / "mine.moef"), "the user's");
    EXPECT_EQ(readText(folder / "Blur" / "a.moti"), "the user's");
}


// Another user renamed the old copy an install moved beside the target before it was killed:
// nothing can go back, so the new plug-in stays at its name, the entry is kept, and the user
// is told once what was left and where.
TEST(Journal, RecoveryNeverRemovesANewItemWhoseOldOneItCannotPutBack)
{
    TempDir dir;
    const fs::path folder = dir / "Effects.localized";
    writeFile(folder / "Glow" / "new.moef", "new");
    writeFile(folder / ".Glow.loomwork-incoming-0123456789abcdef" / "old.moef", "old");
    JournalEntry swap = entryIn(folder, JournalEntry::State::undo);
    SafeFS::Room room;
    swap.items.push_back(roomIn(folder, ".Glow.loomwork-install-" + swap.id, room));
    swap.items.push_back(item(JournalItem::Role::made, ".Glow.loomwork-incoming-0123456789abcdef", "Glow", identityOf(folder / "Glow")));
    swap.items.push_back(item(JournalItem::Role::old, ".Glow.loomwork-incoming-0123456789abcdef", "Glow",
                              identityOf(folder / ".Glow.loomwork-incoming-0123456789abcdef")));
    fs::rename(folder / ".Glow.loomwork-incoming-0123456789abcdef", folder / "Elsewhere");

    TempDir data;
    SafeFS::Journal journal;
    ASSERT_EQ(journal.open((data / "journal").string()), 0);
    ASSERT_EQ(journal.write(swap), 0);
    const std::vector<std::string> told = SafeFS::recoverJournal(journal).tell;
    ASSERT_FALSE(told.empty());
    EXPECT_NE(told.front().find((folder / "Glow").string()), std::string::npos) << told.front();
    EXPECT_EQ(readText(folder / "Glow" / "new.moef"), "new");
    EXPECT_EQ(readText(folder / "Elsewhere" / "old.moef"), "old");
    ASSERT_EQ(journal.entries().size(), 1u);
    EXPECT_TRUE(journal.entries().front().told);
    EXPECT_TRUE(SafeFS::recoverJournal(journal).tell.empty()) << "told once";
    EXPECT_EQ(readText(folder / "Glow" / "new.moef"), "new");

    // Once the old copy is back where the entry says, the undo goes through.
    fs::rename(folder / "Elsewhere", folder / ".Glow.loomwork-incoming-0123456789abcdef");
    EXPECT_TRUE(SafeFS::recoverJournal(journal).tell.empty());
    EXPECT_EQ(readText(folder / "Glow" / "old.moef"), "old");
    EXPECT_TRUE(journal.entries().empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// A template change recorded as finished: its room is found wherever another user renamed it,
// and it only goes forward: a staged file gone since leaves its template as it stands, and no
// old content exchanged out goes back.
TEST(Journal, AFinishedChangeOnlyGoesForward)
{
    for (const bool stagedGone : {false, true}) {
        SCOPED_TRACE(stagedGone);
        TempDir dir;
        const fs::path folder = dir / "Blur";
        writeFile(folder / "a.moti", "old a");
        writeFile(folder / "b.moti", "new b");
        JournalEntry change = entryIn(folder, JournalEntry::State::finish);
        SafeFS::Room room;
        const std::string staging = ".Blur.loomwork-rewrite-" + change.id;
        change.items.push_back(roomIn(folder, staging, room));
        writeFile(folder / staging / "0", "new a");
        writeFile(folder / staging / "1", "old b"); // b was exchanged before the kill
        change.items.push_back(item(JournalItem::Role::made, staging + "/0", "a.moti", identityOf(folder / staging / "0")));
        change.items.push_back(item(JournalItem::Role::old, staging + "/0", "a.moti", identityOf(folder / "a.moti")));
        change.items.push_back(item(JournalItem::Role::made, staging + "/1", "b.moti", identityOf(folder / "b.moti")));
        change.items.push_back(item(JournalItem::Role::old, staging + "/1", "b.moti", identityOf(folder / staging / "1")));
        fs::rename(folder / staging, folder / "renamed by another user");
        if (stagedGone)
            fs::rename(folder / "renamed by another user" / "0", dir / "lost");
        EXPECT_EQ(SafeFS::recoverEntry(change), 0);
        EXPECT_EQ(readText(folder / "a.moti"), stagedGone ? "old a" : "new a");
        EXPECT_EQ(readText(folder / "b.moti"), "new b");
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2) << "the room goes";
    }
}

// An entry too damaged to read is put aside and told once; a kill in the middle of an entry's
// write leaves a temporary that goes, unless that entry is being written.
TEST(Journal, DamagedEntriesAreToldOnceAndTornWritesGo)
{
    TempDir dir;
    SafeFS::Journal journal;
    ASSERT_EQ(journal.open((dir / "journal").string()), 0);
    const std::string id = SafeFS::newJournalId();
    const fs::path damaged = dir / "journal" / (id + ".entry");
    std::ofstream(damaged) << "loomwork journal 1\nid " << id << "\n";
    ::chmod(damaged.c_str(), 0600);
    const std::string running = SafeFS::newJournalId();
    const std::string torn = id + ".entry.tmp-" + SafeFS::newJournalId();
    const std::string busy = running + ".entry.tmp-" + SafeFS::newJournalId();
    for (const std::string& name : {torn, busy, id + ".entry.tmp-x"})
        writeFile(dir / "journal" / name, "half");

    const std::vector<std::string> told = SafeFS::recoverJournal(journal, [&](std::string_view at) { return at == running; }).tell;
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told.front().find(id + ".damaged"), std::string::npos) << told.front();
    EXPECT_TRUE(fs::exists(dir / "journal" / (id + ".damaged")));
    EXPECT_FALSE(fs::exists(damaged));
    EXPECT_FALSE(fs::exists(dir / "journal" / torn));
    EXPECT_TRUE(fs::exists(dir / "journal" / busy));
    EXPECT_TRUE(fs::exists(dir / "journal" / (id + ".entry.tmp-x"))) << "not of the form";
    EXPECT_TRUE(SafeFS::recoverJournal(journal).tell.empty());
}

// Every folder on the way to the journal is root's or ours, and one others may write in is
// sticky: else another user could rename the journal away and plant one of his own.
TEST(Journal, TheWayToTheJournalIsNobodyElsesToRename)
{
    TempDir dir;
    fs::create_directories(dir / "open" / "data");
    ::chmod((dir / "open").c_str(), 0777);
    SafeFS::Journal journal;
    std::string at;
    EXPECT_EQ(journal.open((dir / "open" / "data" / "journal").string(), &at), EPERM);
    EXPECT_EQ(at, (dir / "open").string());
    EXPECT_FALSE(fs::exists(dir / "open" / "data" / "journal"));
    ::chmod((dir / "open").c_str(), 01777);
    EXPECT_EQ(journal.open((dir / "open" / "data" / "journal").string(), &at), 0);
}

namespace {

// The same names and contents copied back anew, as a restore from a backup does: other items.
void restoreFromBackup(const fs::path& folder)
{
    const fs::path copy = folder.string() + ".restored";
    fs::copy(folder, copy, fs::copy_options::recursive);
    fs::remove_all(folder);
    fs::rename(copy, folder);
}

} // namespace

// The library and the journal restored from a backup: every item stands at its name again, as
// another item. Nothing proves such an entry needs nothing: it is kept and told once, and what
// stands on disk stays as it is.
TEST(Journal, AnEntryWhoseItemsAreNotOnDiskAnyMoreIsKeptAndToldOnce)
{
    for (const bool shared : {false, true}) {
        SCOPED_TRACE(shared ? "a folder others may write" : "the user's own folder");
        TempDir dir;
        const fs::path folder = dir / "Effects.localized";
        fs::create_directories(folder);
        // A new plug-in placed where nothing stood, its room still there ...
        JournalEntry install = entryIn(folder, JournalEntry::State::undo);
        SafeFS::Room room;
        install.items.push_back(roomIn(folder, ".Glow.loomwork-install-" + install.id, room));
        writeFile(folder / "Glow" / "new.moef", "new");
        writeFile(folder / room.name() / "half" / "x", "staged");
        install.items.push_back(item(JournalItem::Role::made, room.name() + "/Glow", "Glow", identityOf(folder / "Glow")));
        // ... and a swap by two renames beside it.
        JournalEntry swap = entryIn(folder, JournalEntry::State::undo);
        const std::string incoming = ".Blur.loomwork-incoming-" + swap.id;
        const std::string replaced = ".Blur.loomwork-replaced-" + swap.id;
        writeFile(folder / "Blur" / "new.moef", "new");
        writeFile(folder / replaced / "old.moef", "old");
        swap.items.push_back(item(JournalItem::Role::made, incoming, "Blur", identityOf(folder / "Blur")));
        swap.items.push_back(item(JournalItem::Role::old, replaced, "Blur", identityOf(folder / replaced)));
        TempDir data;
        SafeFS::Journal journal;
        ASSERT_EQ(journal.open((data / "journal").string()), 0);
        ASSERT_EQ(journal.write(install), 0);
        ASSERT_EQ(journal.write(swap), 0);

        restoreFromBackup(folder);
        if (shared) {
            ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
        }
        const craft::Tree before = craft::snapshot(folder);
        const std::vector<std::string> told = SafeFS::recoverJournal(journal).tell;
        EXPECT_EQ(craft::describeDifference(before, craft::snapshot(folder)), "");
        EXPECT_EQ(journal.entries().size(), 2u);
        const auto says = [&](const std::string& text) {
            return std::any_of(told.begin(), told.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
        };
        // The plug-ins the entries cover, never the hidden names the user never saw.
        EXPECT_TRUE(says((folder / "Glow").string()));
        EXPECT_FALSE(says(room.name()));
        EXPECT_TRUE(says((folder / "Blur").string()));
        EXPECT_FALSE(says(replaced));
        EXPECT_TRUE(SafeFS::recoverJournal(journal).tell.empty()) << "told once";
        EXPECT_EQ(journal.entries().size(), 2u);
        EXPECT_EQ(craft::describeDifference(before, craft::snapshot(folder)), "");
    }
}

// An entry of the older form (items without a birth time) may name a later item by device and
// inode alone: a file system hands a freed inode out again at once. It is set aside unread and
// told with the plug-ins it covers; the plug-in standing there keeps every file.
TEST(Journal, AnEntryOfTheOlderFormIsSetAsideAndNamesItsPlugIns)
{
    TempDir dir;
    const fs::path folder = dir / "Effects.localized";
    for (int i = 0; i < 16; ++i)
        writeFile(folder / "Glow" / ("f" + std::to_string(i)), "the user's");
    struct stat st {};
    ASSERT_EQ(::lstat((folder / "Glow").c_str(), &st), 0);
    // An install undone by removing its new plug-in, whose inode the user's Glow has now.
    JournalEntry entry = entryIn(folder, JournalEntry::State::undo);
    entry.items.push_back(item(JournalItem::Role::made, ".Glow.loomwork-install-" + entry.id, "Glow",
                               {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)}));
    std::string text = SafeFS::formatEntry(entry);
    const std::size_t born = text.find(" 0\nend\n");
    ASSERT_NE(born, std::string::npos);
    text.erase(born, 2); // seven words, as an older build wrote them

    TempDir data;
    SafeFS::Journal journal;
    ASSERT_EQ(journal.open((data / "journal").string()), 0);
    const fs::path file = data / "journal" / (entry.id + ".entry");
    std::ofstream(file) << text;
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    const std::vector<std::string> told = SafeFS::recoverJournal(journal).tell;
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find(entry.id + ".damaged"), std::string::npos) << told[0];
    EXPECT_NE(told[0].find((folder / "Glow").string()), std::string::npos) << told[0];
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "Glow"), fs::directory_iterator()), 16);
    EXPECT_TRUE(journal.entries().empty());
    EXPECT_TRUE(fs::exists(data / "journal" / (entry.id + ".damaged")));
    EXPECT_TRUE(SafeFS::recoverJournal(journal).tell.empty());
}

// What an exchange or another user put in a room is not the entry's to remove: it goes back
// out to the folder, named. Only what the entry recorded, and our own staging at a name no
// item records, goes with the room.
TEST(Journal, ARoomHoldsOnlyWhatItsEntryRecorded)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give items to another user";
    constexpr uid_t other = 4242;
    TempDir dir;
    const fs::path folder = dir / "Effects.localized";
    fs::create_directories(folder);
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    JournalEntry entry = entryIn(folder, JournalEntry::State::finish);
    SafeFS::Room room;
    entry.items.push_back(roomIn(folder, ".Blur.loomwork-install-" + entry.id, room));
    const fs::path in = folder / room.name();
    // Finished: the new Blur in place, the old one in the room to go.
    writeFile(folder / "Blur" / "new.moef", "new");
    writeFile(in / "Blur" / "old.moef", "old");
    entry.items.push_back(item(JournalItem::Role::made, room.name() + "/Blur", "Blur", identityOf(folder / "Blur")));
    entry.items.push_back(item(JournalItem::Role::old, room.name() + "/Blur", "Blur", identityOf(in / "Blur")));
    entry.items.push_back(item(JournalItem::Role::old, room.name() + "/aside", "Blur", identityOf(in / "Blur")));
    // A copy the change had made, gone since; at its name the user's own Keep.
    writeFile(in / "copy" / "x", "gone");
    entry.items.push_back(item(JournalItem::Role::made, room.name() + "/copy", "", identityOf(in / "copy")));
    fs::rename(in / "copy", dir / "copy kept"); // held elsewhere: its inode is not reused
    writeFile(in / "copy" / "keep.txt", "the user's");
    // Another user's plug-in an exchange brought in where the old one was to be put aside.
    writeFile(in / "aside" / "theirs.txt", "theirs");
    // Our own extraction, stopped before it was recorded; another user's file.
    writeFile(in / "half" / "part", "half");
    writeFile(in / "stranger", "his");
    for (const fs::path& path : {in / "aside", in / "aside" / "theirs.txt", in / "stranger"})
        ASSERT_EQ(::lchown(path.c_str(), other, other), 0);

    std::vector<std::string> notes;
    EXPECT_EQ(SafeFS::recoverEntry(entry, &notes), 0);
    EXPECT_EQ(readText(folder / "Blur" / "new.moef"), "new");
    EXPECT_EQ(readText(folder / "Blur 2" / "theirs.txt"), "theirs");
    EXPECT_EQ(readText(folder / "copy" / "keep.txt"), "the user's");
    EXPECT_EQ(readText(folder / "stranger"), "his");
    EXPECT_FALSE(fs::exists(in));
    EXPECT_FALSE(fs::exists(folder / "half"));
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Blur", "Blur 2", "copy", "stranger"}));
    for (const char* back : {"Blur 2", "copy", "stranger"}) {
        EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [&](const std::string& note) {
            return note.find((folder / back).string()) != std::string::npos;
        })) << back << " is named";
    }
}

// An item is found by inode and birth time together: at an item's own name, in a folder only
// this user changes, an item with its inode but another birth time (the inode handed out again)
// is another item. The entry is then doubted and nothing is acted on.
TEST(Journal, AnInodeHandedOutAgainIsAnotherItem)
{
    TempDir dir;
    const fs::path folder = dir / "Effects.localized";
    writeFile(folder / "Glow" / "a", "the user's");
    SafeFS::Identity reborn = identityOf(folder / "Glow");
    if (reborn.born == 0)
        GTEST_SKIP() << "this file system tells no birth times";
    reborn.born += 1;
    JournalEntry entry = entryIn(folder, JournalEntry::State::undo);
    entry.items.push_back(item(JournalItem::Role::old, "Glow", "Glow", reborn));
    const craft::Tree before = craft::snapshot(folder);
    std::vector<std::string> notes;
    EXPECT_EQ(SafeFS::recoverEntry(entry, &notes), EEXIST);
    EXPECT_EQ(craft::describeDifference(before, craft::snapshot(folder)), "");
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find((folder / "Glow").string()), std::string::npos) << notes[0];
}

// A change whose sync reported a write error marks its entry; the mark reads back, survives
// recovery's own rewrite (told), and an entry written before the mark existed still reads.
TEST(Journal, TheMarkOfAFailedSyncReadsBackAndOlderEntriesStillRead)
{
    struct Case
    {
        const char* name;
        bool told;
        bool unsynced;
    };
    const Case cases[] = {
        {"neither", false, false},
        {"told only", true, false},
        {"unsynced only", false, true},
        {"both", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JournalEntry entry = entryIn("/lib/Effects.localized", JournalEntry::State::finish);
        entry.items.push_back(item(JournalItem::Role::old, ".r/Glow", "Glow", {7, 9, 11}));
        entry.told = c.told;
        entry.unsynced = c.unsynced;
        const std::string text = SafeFS::formatEntry(entry);
        EXPECT_EQ(text.find("unsynced\n") != std::string::npos, c.unsynced);
        const JournalEntry back = SafeFS::parseEntry(text, entry.id);
        ASSERT_FALSE(back.damaged);
        EXPECT_EQ(back.told, c.told);
        EXPECT_EQ(back.unsynced, c.unsynced);
        ASSERT_EQ(back.items.size(), 1u);
    }
    // The mark twice, or with a word after it, is not of the form.
    JournalEntry entry = entryIn("/lib", JournalEntry::State::undo);
    entry.unsynced = true;
    const std::string text = SafeFS::formatEntry(entry);
    const auto at = text.find("unsynced\n");
    ASSERT_NE(at, std::string::npos);
    const std::pair<const char*, std::string> damaged[] = {
        {"twice", text.substr(0, at) + "unsynced\n" + text.substr(at)},
        {"with a word", text.substr(0, at) + "unsynced 1\n" + text.substr(at + 9)},
    };
    for (const auto& [why, bad] : damaged) {
        SCOPED_TRACE(why);
        EXPECT_TRUE(SafeFS::parseEntry(bad, entry.id).damaged);
    }
}
