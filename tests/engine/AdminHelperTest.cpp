#include <gtest/gtest.h>

#include <atomic>
#include <stdio.h>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <SafeFS/Identity.h>
#include "engine/files/AdminRunner.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// loomwork-admin runs as root on whatever it is given: it takes only a plain absolute root and
// a plain path inside it, and refuses a link on the way when it acts.
namespace {

struct HelperRun {
    int exitCode = -1;
    QString standardError;
};

HelperRun runHelper(const QStringList& arguments)
{
    QProcess process;
    process.start(AdminRunner::helperPath(), arguments);
    EXPECT_TRUE(process.waitForFinished(30000));
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardError())};
}

class AdminHelperTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        m_root = TestEnv::systemLibrary();
        PackageMaker::makeFolder(m_root + "/Effects.localized", "Glow", {{"a.txt", "a"}});
        m_before = PackageMaker::readTree(TestEnv::root(), true);
    }
    void TearDown() override { TestEnv::reset(); }

    QString m_root;
    QMap<QString, QByteArray> m_before;
};

} // namespace

constexpr char kRoom[] = ".Glow.loomwork-removing-0123456789abcdef";

// "device:inode:born" of the item at `path`, as the application records it.
QString identityWord(const QString& path)
{
    SafeFS::Identity id;
    EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, QFile::encodeName(path).toStdString(), id), 0) << path.toStdString();
    return QString("%1:%2:%3").arg(id.device).arg(id.inode).arg(id.born);
}

// A room of the application's in `folder`: 0700, the test's user's.
QString makeRoom(const QString& folder)
{
    const QString room = folder + "/" + kRoom;
    EXPECT_EQ(::mkdir(QFile::encodeName(room).constData(), 0700), 0);
    ::chmod(QFile::encodeName(room).constData(), 0700);
    return room;
}

const QString kAsker = QString::number(::geteuid());

TEST_F(AdminHelperTest, RefusesArgumentsThatAreNotPlainPathsAndChangesNothing)
{
    const QString folder = "Effects.localized";
    const QString room = kRoom;
    const QString id = "1:2:3";
    const QList<QStringList> refused{
        {},
        {"remove"},
        {"remove", m_root},
        {"remove", m_root, "", "Glow", room, id, id, kAsker},
        {"remove", m_root, ".", "Glow", room, id, id, kAsker},
        {"remove", m_root, "Effects.localized/..", "Glow", room, id, id, kAsker},
        {"remove", m_root, "Effects.localized//x", "Glow", room, id, id, kAsker},
        {"remove", m_root, "/" + folder, "Glow", room, id, id, kAsker},
        {"remove", m_root, folder, "../Glow", room, id, id, kAsker},
        {"remove", m_root, folder, "a/Glow", room, id, id, kAsker},
        {"remove", "relative/root", folder, "Glow", room, id, id, kAsker},
        {"remove", m_root + "/..", "Templates.localized/" + folder, "Glow", room, id, id, kAsker},
        {"remove", "/", folder, "Glow", room, id, id, kAsker},
        {"remove", m_root, folder, "Glow", room, id, id},
        {"remove", m_root, folder, "Glow", room, id, id, kAsker, "extra"},
        {"remove", m_root, folder, "Glow", "Glow 2", id, id, kAsker},
        {"remove", m_root, folder, "Glow", room, "1:2", id, kAsker},
        {"remove", m_root, folder, "Glow", room, id, "0:0:0", kAsker},
        {"remove", m_root, folder, "Glow", room, id, "1:x:3", kAsker},
        {"remove", m_root, folder, "Glow", room, id, id, "root"},
        {"remove-in-room", m_root, folder, room, id, "../Glow", id, "Glow", kAsker},
        {"remove-in-room", m_root, folder, room, id, "Glow", id, "a/b", kAsker},
        {"replace", m_root, folder, "Glow", "relative/source", room, id, id, kAsker},
        {"replace", m_root, folder, "Glow", m_root + "/Effects.localized/Glow", ".notes", id, id, kAsker},
        {"mkdir", m_root, "Effects.localized/./New"},
        {"permit", m_root, "Effects.localized"},
        {"prepare-root", "Templates.localized"},
        {"rm", m_root, folder},
        {"--hex", "remove", QString::fromLatin1(m_root.toUtf8().toHex()), "zz"},
        {"--hex", "mkdir", QString::fromLatin1(m_root.toUtf8().toHex()), "456"},
        {"--hex", "mkdir", m_root, QString::fromLatin1(folder.toUtf8().toHex())},
        {"--hex", "mkdir", QString::fromLatin1(m_root.toUtf8().toHex()), QString::fromLatin1(QByteArray("Effects.localized/../x").toHex())},
    };
    for (const QStringList& arguments : refused) {
        SCOPED_TRACE(arguments.join(" | ").toStdString());
        const HelperRun run = runHelper(arguments);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.standardError.startsWith("loomwork-admin: ")) << run.standardError.toStdString();
    }
    EXPECT_EQ(PackageMaker::readTree(TestEnv::root(), true), m_before);
}

TEST_F(AdminHelperTest, RefusesALinkOnTheWayAndActsOtherwise)
{
    const QString victim = TestEnv::root() + "/victim";
    PackageMaker::makeFolder(victim, "Glow", {{"keep.txt", "victim's"}});
    makeRoom(victim);
    PluginFixtures::makeSymlink(victim, m_root + "/Titles.localized");
    const auto before = PackageMaker::readTree(victim, true);
    const QString glowId = identityWord(victim + "/Glow");
    const QString roomId = identityWord(victim + "/" + kRoom);

    for (const QStringList& arguments : QList<QStringList>{
             {"remove", m_root, "Titles.localized", "Glow", kRoom, roomId, glowId, kAsker},
             {"mkdir", m_root, "Titles.localized/Glow/New"},
             {"replace", m_root, "Titles.localized", "Glow", m_root + "/Effects.localized/Glow", kRoom, roomId, glowId, kAsker}}) {
        SCOPED_TRACE(arguments.join(" | ").toStdString());
        const HelperRun run = runHelper(arguments);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.standardError.contains("symbolic link")) << run.standardError.toStdString();
    }
    // The link itself is left alone by the chmod; the library's own folders are opened.
    EXPECT_EQ(runHelper({"permit", m_root}).exitCode, 0);
    EXPECT_EQ(PackageMaker::readTree(victim, true), before);
    EXPECT_EQ(QFileInfo(m_root + "/Effects.localized/Glow/a.txt").permissions() & QFile::WriteOther, QFile::WriteOther);

    const QString effects = m_root + "/Effects.localized";
    const QString room = makeRoom(effects);
    const QStringList remove{"remove", m_root, "Effects.localized", "Glow", kRoom, identityWord(room),
                             identityWord(effects + "/Glow"), kAsker};
    EXPECT_EQ(runHelper(remove).exitCode, 0);
    EXPECT_EQ(PackageMaker::namesIn(effects), QStringList{kRoom}) << "gone, and the room left to the application";
    EXPECT_EQ(runHelper(remove).exitCode, 0) << "nothing there is no error";
}

// The helper acts on the identity the application recorded when the user asked: whatever
// stands at the name by then (another user renames a plug-in of root's onto it during the
// password prompt) goes back untouched. And of the item it removes, only what belongs to its
// owner, root or the asker goes: another user's folder inside stays, with what holds it.
TEST_F(AdminHelperTest, RemovesOnlyTheRecordedItemAndNoOtherUsersItemInIt)
{
    const QString effects = m_root + "/Effects.localized";
    const QString room = makeRoom(effects);
    const QString recorded = identityWord(effects + "/Glow");
    QDir().rename(effects + "/Glow", effects + "/Glow.moved");
    PackageMaker::makeFolder(effects, "Glow", {{"root's.txt", "root's"}});
    const auto rootsPlugin = PackageMaker::readTree(effects + "/Glow");
    const HelperRun swapped =
        runHelper({"remove", m_root, "Effects.localized", "Glow", kRoom, identityWord(room), recorded, kAsker});
    EXPECT_EQ(swapped.exitCode, 3) << swapped.standardError.toStdString();
    EXPECT_EQ(PackageMaker::readTree(effects + "/Glow"), rootsPlugin);
    EXPECT_TRUE(PackageMaker::namesIn(room).isEmpty());

    // A third user's folder moved into the plug-in: left, and named; the rest goes.
    QDir(effects + "/Glow").removeRecursively();
    QDir().rename(effects + "/Glow.moved", effects + "/Glow");
    PackageMaker::makeFolder(effects + "/Glow", "Theirs", {{"Sub/t.txt", "theirs"}});
    ASSERT_EQ(::chown(QFile::encodeName(effects + "/Glow/Theirs").constData(), 4242, 4242), 0);
    const HelperRun left =
        runHelper({"remove", m_root, "Effects.localized", "Glow", kRoom, identityWord(room), recorded, kAsker});
    EXPECT_EQ(left.exitCode, 4) << left.standardError.toStdString();
    EXPECT_TRUE(left.standardError.contains("loomwork-admin: left " + QString::fromLatin1(QByteArray("Glow/Theirs").toHex())))
        << left.standardError.toStdString();
    EXPECT_EQ(PackageMaker::readTree(effects + "/Glow"),
              (QMap<QString, QByteArray>{{"Theirs", "<dir>"}, {"Theirs/Sub", "<dir>"}, {"Theirs/Sub/t.txt", "theirs"}}));
    EXPECT_TRUE(PackageMaker::namesIn(room).isEmpty());
}

// The copy is made in the application's room and swapped in: a copy that fails leaves the old
// plug-in; an old plug-in that is not the one recorded goes back, and the copy goes.
TEST_F(AdminHelperTest, AReplaceTakesOnlyTheRecordedOldPlugIn)
{
    const QString effects = m_root + "/Effects.localized";
    const QString room = makeRoom(effects);
    const QString roomId = identityWord(room);
    const QString glowId = identityWord(effects + "/Glow");
    const auto before = PackageMaker::readTree(TestEnv::root(), true);
    const HelperRun failed =
        runHelper({"replace", m_root, "Effects.localized", "Glow", TestEnv::root() + "/missing", kRoom, roomId, glowId, kAsker});
    EXPECT_EQ(failed.exitCode, 1) << failed.standardError.toStdString();
    EXPECT_EQ(PackageMaker::readTree(TestEnv::root(), true), before);

    const QString source = PackageMaker::makeFolder(TestEnv::root() + "/staged", "Glow", {{"b.txt", "b"}});
    EXPECT_EQ(runHelper({"replace", m_root, "Effects.localized", "Glow", source, kRoom, roomId, "1:2:3", kAsker}).exitCode, 3);
    EXPECT_EQ(PackageMaker::readTree(effects + "/Glow"), (QMap<QString, QByteArray>{{"a.txt", "a"}}));
    EXPECT_TRUE(PackageMaker::namesIn(room).isEmpty());

    EXPECT_EQ(runHelper({"replace", m_root, "Effects.localized", "Glow", source, kRoom, roomId, glowId, kAsker}).exitCode, 0);
    EXPECT_EQ(PackageMaker::readTree(effects + "/Glow"), (QMap<QString, QByteArray>{{"b.txt", "b"}}));
    EXPECT_TRUE(PackageMaker::namesIn(room).isEmpty());
    // A room that is not the asker's own (others may enter it) is refused.
    ::chmod(QFile::encodeName(room).constData(), 0755);
    EXPECT_NE(runHelper({"replace", m_root, "Effects.localized", "Glow", source, kRoom, roomId,
                         identityWord(effects + "/Glow"), kAsker}).exitCode, 0);
    EXPECT_EQ(PackageMaker::readTree(effects + "/Glow"), (QMap<QString, QByteArray>{{"b.txt", "b"}}));
    QDir(TestEnv::root() + "/staged").removeRecursively();
}

// Another user exchanges "Glow" with his Decoy over and over while root replaces it: whatever
// comes out of root's exchanges, the decoy is never dropped as "the copy" nor removed as the
// old plug-in; it stays whole in the category, and the room is left empty.
TEST_F(AdminHelperTest, AReplaceRacedByExchangesNeverDropsAnotherItem)
{
    const QString effects = m_root + "/Effects.localized";
    const QMap<QString, QByteArray> decoy{{"decoy.txt", "the neighbour's"}};
    const QString source = PackageMaker::makeFolder(TestEnv::root() + "/staged", "Glow", {{"b.txt", "b"}});
    for (int attempt = 0; attempt < 10; ++attempt) {
        SCOPED_TRACE(attempt);
        for (const QString& name : PackageMaker::namesIn(effects))
            QDir(effects + "/" + name).removeRecursively();
        PackageMaker::makeFolder(effects, "Glow", {{"a.txt", "a"}});
        PackageMaker::makeFolder(effects, "Decoy", decoy);
        const QString room = makeRoom(effects);
        // What the user saw, looked at before the neighbour starts.
        const QString seen = identityWord(effects + "/Glow");
        const QByteArray glow = QFile::encodeName(effects + "/Glow");
        const QByteArray other = QFile::encodeName(effects + "/Decoy");
        std::atomic<bool> stop{false};
        std::thread neighbour([&] {
            while (!stop.load())
                ::renameat2(AT_FDCWD, glow.constData(), AT_FDCWD, other.constData(), RENAME_EXCHANGE);
        });
        const HelperRun run = runHelper({"replace", m_root, "Effects.localized", "Glow", source, kRoom, identityWord(room),
                                         seen, kAsker});
        stop = true;
        neighbour.join();
        EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 3) << run.exitCode << run.standardError.toStdString();
        int decoys = 0, olds = 0;
        for (const QString& name : PackageMaker::namesIn(effects)) {
            const auto tree = PackageMaker::readTree(effects + "/" + name);
            decoys += tree == decoy;
            olds += tree == QMap<QString, QByteArray>{{"a.txt", "a"}};
        }
        EXPECT_EQ(decoys, 1) << PackageMaker::namesIn(effects).join(", ").toStdString();
        EXPECT_EQ(olds, run.exitCode == 0 ? 0 : 1) << "the user's Glow goes only when replaced";
        EXPECT_TRUE(PackageMaker::namesIn(room).isEmpty()) << PackageMaker::namesIn(room).join(", ").toStdString();
    }
    QDir(TestEnv::root() + "/staged").removeRecursively();
}

// The same at the one moment that matters: the name already holds the neighbour's Decoy when
// root exchanges (so the old plug-in is not what comes out), and Glow is exchanged back in
// before root undoes it. What root then finds where its copy should be is the user's Glow:
// it goes back out, never dropped as the copy.
TEST_F(AdminHelperTest, AReplaceDropsItsCopyOnlyWhileItIsTheCopy)
{
    const QString effects = m_root + "/Effects.localized";
    PackageMaker::makeFolder(effects, "Decoy", {{"decoy.txt", "the neighbour's"}});
    const QString room = makeRoom(effects);
    const QString source = PackageMaker::makeFolder(TestEnv::root() + "/staged", "Glow", {{"b.txt", "b"}});
    const QStringList arguments{"replace", m_root, "Effects.localized", "Glow", source, kRoom, identityWord(room),
                                identityWord(effects + "/Glow"), kAsker};
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", LOOMWORK_NEIGHBOUR_PATH);
    environment.insert("LOOMWORK_NEIGHBOUR_AT", "0,1");
    environment.insert("LOOMWORK_NEIGHBOUR_A", effects + "/Glow");
    environment.insert("LOOMWORK_NEIGHBOUR_B", effects + "/Decoy");
    process.setProcessEnvironment(environment);
    process.start(AdminRunner::helperPath(), arguments);
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitCode(), 3) << process.readAllStandardError().toStdString();
    QMap<QString, int> trees;
    for (const QString& name : PackageMaker::namesIn(effects)) {
        const auto tree = PackageMaker::readTree(effects + "/" + name);
        trees[tree.keys().join(",")] += 1;
    }
    EXPECT_EQ(trees.value("a.txt"), 1) << "the user's Glow, kept whole";
    EXPECT_EQ(trees.value("decoy.txt"), 1) << "the neighbour's decoy, kept whole";
    EXPECT_TRUE(PackageMaker::namesIn(room).isEmpty()) << PackageMaker::namesIn(room).join(", ").toStdString();
    QDir(TestEnv::root() + "/staged").removeRecursively();
}

// The helper's copy is on disk before it takes the plug-in's name: its file system is synced
// first, and a sync that fails (the disk reports a write error) stops the replace with the
// old plug-in in place and the copy gone from the room.
TEST_F(AdminHelperTest, AReplaceSyncsItsCopyBeforeTheExchangeAndStopsWhenThatFails)
{
    const QString effects = m_root + "/Effects.localized";
    const QString source = PackageMaker::makeFolder(TestEnv::root() + "/staged", "Glow", {{"b.txt", "b"}});
    const struct {
        const char* why;
        const char* error; // what the disk answers each sync
        int exitCode;
        QMap<QString, QByteArray> glow;
    } cases[] = {
        {"the disk syncs", "0", 0, {{"b.txt", "b"}}},
        {"the disk reports a write error", "5", 1, {{"a.txt", "a"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        QDir(effects + "/Glow").removeRecursively();
        PackageMaker::makeFolder(effects, "Glow", {{"a.txt", "a"}});
        const QString room = makeRoom(effects);
        const QString log = TestEnv::root() + "/syncs.log";
        QFile::remove(log);
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LD_PRELOAD", LOOMWORK_FAILSYNC_PATH);
        environment.insert("LOOMWORK_FAILSYNC_ERROR", c.error);
        environment.insert("LOOMWORK_FAILSYNC_LOG", log);
        process.setProcessEnvironment(environment);
        process.start(AdminRunner::helperPath(), {"replace", m_root, "Effects.localized", "Glow", source, kRoom,
                                                  identityWord(room), identityWord(effects + "/Glow"), kAsker});
        ASSERT_TRUE(process.waitForFinished(30000));
        EXPECT_EQ(process.exitCode(), c.exitCode) << process.readAllStandardError().toStdString();
        EXPECT_EQ(PackageMaker::readTree(effects + "/Glow"), c.glow);
        EXPECT_TRUE(PackageMaker::namesIn(room).isEmpty()) << PackageMaker::namesIn(room).join(", ").toStdString();
        QFile file(log);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly) && file.readAll().startsWith("syncfs\n")) << "synced before the exchange";
        QDir(room).removeRecursively();
    }
    QDir(TestEnv::root() + "/staged").removeRecursively();
}

// The helper is told the owner the user was told of: an item of any other owner is left as it
// stands, said with an exit status of its own, whichever way root was to act on it; told the
// right owner (or none, as before), it acts.
TEST_F(AdminHelperTest, AnItemOfAnotherOwnerThanTheOneToldIsLeftUntouched)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the plug-in to another user";
    constexpr uid_t kA = 4242;
    constexpr uid_t kB = 4343;
    enum class Op { remove, removeInRoom, replace };
    struct Case {
        Op op;
        uid_t owner;        // the plug-in's owner
        const char* told;   // the owner named to the helper; null: none
        int exitCode;
        bool untouched;
    };
    const Case cases[] = {
        {Op::remove, kB, "4242", 5, true},
        {Op::remove, kA, "4242", 0, false},
        {Op::remove, kB, nullptr, 0, false},
        {Op::remove, 0, "4242", 5, true},
        {Op::removeInRoom, kB, "4242", 5, true},
        {Op::removeInRoom, kA, "4242", 0, false},
        {Op::replace, kB, "4242", 5, true},
        {Op::replace, kA, "4242", 0, false},
        {Op::replace, kB, nullptr, 0, false},
    };
    const QString effects = m_root + "/Effects.localized";
    const QString source = PackageMaker::makeFolder(TestEnv::root() + "/staged", "Glow", {{"new.txt", "new"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(QString("op %1, owner %2, told %3").arg(int(c.op)).arg(c.owner).arg(c.told ? c.told : "none").toStdString());
        QDir(effects + "/Glow").removeRecursively();
        QDir(effects + "/" + kRoom).removeRecursively();
        PackageMaker::makeFolder(effects, "Glow", {{"theirs.txt", "theirs"}});
        ASSERT_EQ(::chown(QFile::encodeName(effects + "/Glow").constData(), c.owner, c.owner), 0);
        ASSERT_EQ(::chown(QFile::encodeName(effects + "/Glow/theirs.txt").constData(), c.owner, c.owner), 0);
        const QString room = makeRoom(effects);
        const QString roomId = identityWord(room);
        const QString glowId = identityWord(effects + "/Glow");
        QStringList arguments;
        QString at = effects + "/Glow"; // where the plug-in stands after the run when untouched
        switch (c.op) {
        case Op::remove:
            arguments = {"remove", m_root, "Effects.localized", "Glow", kRoom, roomId, glowId, kAsker};
            break;
        case Op::removeInRoom:
            ASSERT_TRUE(QDir().rename(effects + "/Glow", room + "/Glow"));
            arguments = {"remove-in-room", m_root, "Effects.localized", kRoom, roomId, "Glow", glowId, "Glow", kAsker};
            break;
        case Op::replace:
            arguments = {"replace", m_root, "Effects.localized", "Glow", source, kRoom, roomId, glowId, kAsker};
            break;
        }
        if (c.told)
            arguments << c.told;
        const HelperRun run = runHelper(arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.standardError.toStdString();
        EXPECT_EQ(run.standardError.contains("loomwork-admin: not the owner told, "), c.exitCode == 5)
            << run.standardError.toStdString();
        if (c.untouched) {
            // Back in the shared folder (never left hidden in the room), whole, its owner's.
            EXPECT_EQ(PackageMaker::readTree(at), (QMap<QString, QByteArray>{{"theirs.txt", "theirs"}}));
            EXPECT_EQ(identityWord(at), glowId);
            struct stat st {};
            ASSERT_EQ(::stat(QFile::encodeName(at).constData(), &st), 0);
            EXPECT_EQ(st.st_uid, c.owner);
        } else if (c.op == Op::replace) {
            EXPECT_EQ(PackageMaker::readTree(effects + "/Glow"), (QMap<QString, QByteArray>{{"new.txt", "new"}}));
        } else {
            EXPECT_FALSE(QFileInfo::exists(effects + "/Glow"));
        }
        EXPECT_TRUE(PackageMaker::namesIn(room).isEmpty());
    }
    QDir(TestEnv::root() + "/staged").removeRecursively();
}
