#include <filesystem>
#include <fstream>
#include <set>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Durable.h>
#include <SafeFS/Journal.h>
#include <SafeFS/Room.h>
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;
using SafeFS::JournalEntry;
using SafeFS::JournalItem;

namespace {

SafeFS::Identity identityOf(const fs::path& path)
{
    SafeFS::Identity identity;
    EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, path.string(), identity), 0) << path;
    return identity;
}

JournalItem item(JournalItem::Role role, std::size_t place, std::string path, std::string target, SafeFS::Identity identity)
{
    JournalItem out;
    out.role = role;
    out.place = place;
    out.path = std::move(path);
    out.target = std::move(target);
    out.identity = identity;
    return out;
}

// A room of the entry in `folder`, made as a change makes it.
JournalItem roomIn(const fs::path& folder, std::size_t place, const std::string& name)
{
    const DirHandle::Fd at(::open(folder.c_str(), O_RDONLY | O_DIRECTORY));
    SafeFS::Room room;
    EXPECT_EQ(room.make(at.get(), name), 0);
    return item(JournalItem::Role::room, place, name, "", room.identity());
}

std::vector<std::string> namesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::size_t filesIn(const fs::path& folder)
{
    return std::size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

bool says(const std::vector<std::string>& lines, const std::string& text)
{
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

struct Journaled {
    TempDir data;
    SafeFS::Journal journal;
    Journaled() { EXPECT_EQ(journal.open((data / "journal").string()), 0); }
};

} // namespace

// An install of three plug-ins, cut while its old copies were being emptied in its room (some
// of their 16 files already unlinked). Whatever the user did to a new plug-in before the next
// start, recovery only goes forward: every other new plug-in stays, no old copy comes back, the
// room goes, and a plug-in removed or renamed since is said once, in one line.
TEST(ForwardRecovery, ACommittedInstallNeverPutsAnOldCopyBack)
{
    const struct {
        const char* why;
        const char* action; // "", "delete", "rename"
    } cases[] = {{"nothing done meanwhile", ""}, {"one new plug-in deleted", "delete"}, {"one new plug-in renamed", "rename"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        TempDir dir;
        Journaled j;
        const fs::path folder = dir / "Effects.localized";
        fs::create_directories(folder);
        JournalEntry entry;
        entry.id = SafeFS::newJournalId();
        entry.kind = "swap";
        entry.places.push_back({folder.string(), "", true});
        entry.state = JournalEntry::State::finish;
        const std::string room = ".Glow.loomwork-install-" + entry.id;
        entry.items.push_back(roomIn(folder, 0, room));
        int unlinked = 3;
        for (const std::string name : {"Glow", "Blur", "Haze"}) {
            writeFile(folder / name / "new.moef", "new " + name);
            for (int f = 0; f < 16; ++f)
                writeFile(folder / room / name / ("old" + std::to_string(f)), "old " + name);
            for (int f = 0; f < unlinked; ++f)
                fs::remove(folder / room / name / ("old" + std::to_string(f)));
            unlinked += 5;
            entry.items.push_back(item(JournalItem::Role::made, 0, room + "/" + name, name, identityOf(folder / name)));
            entry.items.push_back(item(JournalItem::Role::old, 0, room + "/" + name, name, identityOf(folder / room / name)));
        }
        ASSERT_EQ(j.journal.write(entry), 0);
        const std::string action = c.action;
        if (action == "delete")
            fs::remove_all(folder / "Blur");
        if (action == "rename")
            fs::rename(folder / "Blur", folder / "Blur by the user");

        const SafeFS::JournalReport report = SafeFS::recoverJournal(j.journal);
        EXPECT_TRUE(j.journal.entries().empty()) << "never waited for";
        EXPECT_TRUE(report.waits.empty());
        EXPECT_FALSE(report.incomplete);
        EXPECT_EQ(readFile(folder / "Glow" / "new.moef"), "new Glow");
        EXPECT_EQ(readFile(folder / "Haze" / "new.moef"), "new Haze");
        std::vector<std::string> expected{"Glow", "Haze"};
        if (action == "")
            expected.push_back("Blur");
        if (action == "rename")
            expected.push_back("Blur by the user");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(namesIn(folder), expected) << "no old copy back, the room gone";
        if (action == "rename") {
            EXPECT_EQ(readFile(folder / "Blur by the user" / "new.moef"), "new Blur");
        }
        if (action == "") {
            EXPECT_EQ(readFile(folder / "Blur" / "new.moef"), "new Blur");
            EXPECT_TRUE(report.tell.empty());
        } else {
            ASSERT_EQ(report.tell.size(), 1u);
            EXPECT_NE(report.tell[0].find((folder / "Blur").string()), std::string::npos) << report.tell[0];
        }
        EXPECT_TRUE(SafeFS::recoverJournal(j.journal).tell.empty()) << "told once";
    }
}

// A committed rewrite of 15 templates whose plug-in is now a link to a copy of its templates
// (other files, no rooms): every staged template is found nowhere. Nothing is put back and
// the copy is left as it is; the user hears it once, one line naming the plug-in.
TEST(ForwardRecovery, ACommittedRewriteWhoseTemplatesAreGoneIsToldInOneLine)
{
    TempDir dir;
    Journaled j;
    const fs::path plugin = dir / "Effects.localized" / "Glow";
    fs::create_directories(plugin);
    JournalEntry entry;
    entry.id = SafeFS::newJournalId();
    entry.kind = "template";
    entry.places.push_back({plugin.string(), "", true});
    entry.state = JournalEntry::State::finish;
    const std::string room = ".Glow.loomwork-rewrite-" + entry.id;
    entry.items.push_back(roomIn(plugin, 0, room));
    for (int t = 0; t < 15; ++t) {
        const std::string name = "t" + std::to_string(t) + ".moti";
        const std::string staged = room + "/" + std::to_string(t);
        writeFile(plugin / name, "new");
        writeFile(plugin / staged, "old");
        entry.items.push_back(item(JournalItem::Role::made, 0, staged, name, identityOf(plugin / name)));
        entry.items.push_back(item(JournalItem::Role::old, 0, staged, name, identityOf(plugin / staged)));
    }
    ASSERT_EQ(j.journal.write(entry), 0);
    // The original kept elsewhere (its inodes not handed out again), a copy in its place.
    fs::rename(plugin, dir / "original");
    for (int t = 0; t < 15; ++t)
        writeFile(dir / "copy" / ("t" + std::to_string(t) + ".moti"), "copied");
    fs::create_directory_symlink(dir / "copy", plugin);

    const SafeFS::JournalReport report = SafeFS::recoverJournal(j.journal);
    ASSERT_EQ(report.tell.size(), 1u) << "one line, not one a template";
    EXPECT_NE(report.tell[0].find(plugin.string()), std::string::npos) << report.tell[0];
    EXPECT_NE(report.tell[0].find("15"), std::string::npos) << report.tell[0];
    EXPECT_FALSE(says(report.tell, "未能放回"));
    EXPECT_FALSE(report.incomplete);
    EXPECT_TRUE(j.journal.entries().empty());
    EXPECT_EQ(filesIn(dir / "copy"), 15u);
    EXPECT_EQ(readFile(dir / "copy" / "t0.moti"), "copied");
}

namespace {

// A rewrite of the plug-in `plugin` with templates at its top and in "Media", killed after
// `exchanged` of its two top templates were exchanged (state finish), or before its commit
// (undo, nothing exchanged). As the rewrite records it: a place per folder of templates, the
// plug-in's own among them, each with its room.
JournalEntry killedRewrite(const fs::path& plugin, SafeFS::JournalPlace top, bool committed, int exchanged)
{
    JournalEntry entry;
    entry.id = SafeFS::newJournalId();
    entry.kind = "template";
    entry.state = committed ? JournalEntry::State::finish : JournalEntry::State::undo;
    SafeFS::JournalPlace media = top;
    if (top.followLinks)
        media.root += "/Media";
    else
        media.folder += "/Media";
    entry.places = {top, media};
    const std::string room = ".Glow.loomwork-rewrite-" + entry.id;
    const fs::path folders[] = {plugin, plugin / "Media"};
    for (std::size_t place = 0; place < 2; ++place) {
        const fs::path at = folders[place];
        fs::create_directories(at);
        entry.items.push_back(roomIn(at, place, room));
        for (int t = 0; t < 2; ++t) {
            const std::string name = "t" + std::to_string(t) + ".moti";
            const std::string staged = room + "/" + std::to_string(t);
            const bool done = place == 0 && t < exchanged;
            writeFile(at / name, done ? "new" : "old");
            writeFile(at / staged, done ? "old" : "new");
            const SafeFS::Identity made = identityOf(at / (done ? name : staged));
            const SafeFS::Identity old = identityOf(at / (done ? staged : name));
            entry.items.push_back(item(JournalItem::Role::made, place, staged, name, made));
            entry.items.push_back(item(JournalItem::Role::old, place, staged, name, old));
        }
    }
    return entry;
}

} // namespace

// A rewrite killed, then its plug-in removed or renamed before the next start, its category
// folder still there on the same disk. Recovery never waits for it as for a disk not mounted:
// a removed one is settled and said once; a renamed one is found by the rooms it holds and
// finished (or undone) where it is now, with no room left inside. Only with the folder above it
// missing too does the entry wait.
TEST(ForwardRecovery, ARewriteWhosePlugInWasRemovedOrRenamedIsSettled)
{
    const struct {
        const char* why;
        bool system;    // the system library's form of place: walked from its root, no links
        bool committed;
        const char* action; // "delete", "rename", "category gone"
        const char* expected; // every template's content afterwards, or "" when none is there
        bool waits;
    } cases[] = {
        {"committed, deleted", false, true, "delete", "", false},
        {"committed, renamed", false, true, "rename", "new", false},
        {"not committed, renamed", false, false, "rename", "old", false},
        {"system library, committed, renamed", true, true, "rename", "new", false},
        {"system library, deleted", true, true, "delete", "", false},
        {"its category gone too", false, true, "category gone", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        TempDir dir;
        Journaled j;
        const fs::path category = dir / "Library" / "Effects.localized";
        const fs::path plugin = category / "Glow";
        const SafeFS::JournalPlace top = c.system ? SafeFS::JournalPlace{(dir / "Library").string(), "Effects.localized/Glow", false}
                                                  : SafeFS::JournalPlace{plugin.string(), "", true};
        writeFile(category / "Other" / "keep.moti", "the user's");
        const JournalEntry entry = killedRewrite(plugin, top, c.committed, c.committed ? 1 : 0);
        ASSERT_EQ(j.journal.write(entry), 0);
        const std::string action = c.action;
        const fs::path renamed = category / "Glow (mine)";
        if (action == "delete")
            fs::rename(plugin, dir / "deleted"); // kept aside: no inode handed out again
        else if (action == "rename")
            fs::rename(plugin, renamed);
        else
            fs::rename(dir / "Library", dir / "away");

        const SafeFS::JournalReport report = SafeFS::recoverJournal(j.journal);
        EXPECT_EQ(report.waits.empty(), !c.waits);
        EXPECT_EQ(j.journal.entries().size(), c.waits ? 1u : 0u);
        EXPECT_EQ(readFile(category / "Other" / "keep.moti"), c.waits ? "" : "the user's");
        if (action == "delete") {
            ASSERT_EQ(report.tell.size(), 1u);
            EXPECT_NE(report.tell[0].find(plugin.string()), std::string::npos) << report.tell[0];
            EXPECT_FALSE(report.incomplete);
            EXPECT_TRUE(SafeFS::recoverJournal(j.journal).tell.empty()) << "told once";
        }
        if (action == "rename") {
            EXPECT_TRUE(report.tell.empty()) << report.tell[0];
            for (const fs::path& at : {renamed, renamed / "Media"}) {
                EXPECT_EQ(readFile(at / "t0.moti"), c.expected) << at;
                EXPECT_EQ(readFile(at / "t1.moti"), c.expected) << at;
            }
            EXPECT_EQ(namesIn(renamed), (std::vector<std::string>{"Media", "t0.moti", "t1.moti"})) << "no room left";
            EXPECT_EQ(namesIn(renamed / "Media"), (std::vector<std::string>{"t0.moti", "t1.moti"}));
        }
        if (action == "category gone")
            fs::rename(dir / "away", dir / "Library");
    }
}

// Another user puts an empty folder at the room's name in the instant before its removal, and
// that folder goes instead: recovery says so, naming it, besides keeping the entry for the room.
TEST(ForwardRecovery, AnotherUsersEmptyFolderRemovedInPlaceOfARoomIsNamed)
{
    TempDir dir;
    const fs::path folder = dir / "Effects.localized";
    fs::create_directories(folder);
    JournalEntry entry;
    entry.id = SafeFS::newJournalId();
    entry.kind = "swap";
    entry.places.push_back({folder.string(), "", true});
    const std::string room = ".Glow.loomwork-install-" + entry.id;
    entry.items.push_back(roomIn(folder, 0, room));
    static std::string s_room;
    s_room = room;
    SafeFS::Room::setRemoveHookForTests([](int parent, const char* name) {
        if (name != s_room)
            return;
        ASSERT_EQ(::renameat(parent, name, parent, (s_room + " moved").c_str()), 0);
        ASSERT_EQ(::mkdirat(parent, name, 0755), 0);
    });
    std::vector<std::string> notes;
    const int error = SafeFS::recoverEntry(entry, &notes);
    SafeFS::Room::setRemoveHookForTests(nullptr);
    EXPECT_NE(error, 0) << "the room still stands";
    EXPECT_TRUE(says(notes, "其他用户") && says(notes, (folder / room).string()))
        << (notes.empty() ? std::string() : notes[0]);
    EXPECT_TRUE(fs::exists(folder / (room + " moved")));
}

// A rewrite in the system library killed, then its plug-in moved away and a link put in its
// place: nothing is followed through the link but into the rooms of our own it leads to, which
// are emptied and removed there. Each template stays wholly old or wholly new, and the user is
// told once that the folder became a link, not that something could not be put right.
TEST(ForwardRecovery, ThePlugInsRoomsAreClearedWhereALinkNowLeads)
{
    const struct {
        const char* why;
        bool committed;
        int exchanged;
    } cases[] = {{"committed, one of two exchanged", true, 1}, {"killed before its commit", false, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        TempDir dir;
        Journaled j;
        const fs::path category = dir / "Library" / "Effects.localized";
        const fs::path plugin = category / "Glow";
        JournalEntry entry = killedRewrite(plugin, {(dir / "Library").string(), "Effects.localized/Glow", false}, c.committed,
                                           c.exchanged);
        ASSERT_EQ(j.journal.write(entry), 0);
        const fs::path moved = dir / "Elsewhere" / "Glow";
        fs::create_directories(moved.parent_path());
        fs::rename(plugin, moved);
        fs::create_directory_symlink(moved, plugin);

        const SafeFS::JournalReport report = SafeFS::recoverJournal(j.journal);
        EXPECT_TRUE(j.journal.entries().empty());
        EXPECT_FALSE(report.incomplete);
        EXPECT_FALSE(report.tell.empty());
        EXPECT_FALSE(says(report.tell, "未能"));
        EXPECT_EQ(namesIn(moved), (std::vector<std::string>{"Media", "t0.moti", "t1.moti"})) << "no room left";
        EXPECT_EQ(namesIn(moved / "Media"), (std::vector<std::string>{"t0.moti", "t1.moti"}));
        EXPECT_EQ(readFile(moved / "t0.moti"), c.exchanged ? "new" : "old");
        EXPECT_EQ(readFile(moved / "t1.moti"), "old");
        EXPECT_EQ(readFile(moved / "Media" / "t0.moti"), "old");
        EXPECT_TRUE(fs::is_symlink(plugin));
        EXPECT_TRUE(SafeFS::recoverJournal(j.journal).tell.empty()) << "told once";
    }
}
