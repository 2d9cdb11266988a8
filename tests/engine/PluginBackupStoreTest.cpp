#include <cerrno>
#include <chrono>
#include <csignal>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <SafeFS/Journal.h>
#include "engine/core/WorkerThread.h"
#include "engine/files/AdminAuth.h"
#include "engine/files/AppJournal.h"
#include "engine/backup/PluginBackupError.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/files/TemplateChange.h"
#include "support/app/BackupFixtures.h"
#include "support/app/BackupTest.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/TestEnv.h"

using namespace BackupFixtures;

namespace {

using PluginBackupStoreTest = BackupTest;

// Hidden leftovers of a restore beside the plug-in folder.
QStringList hiddenSiblings(const QString& pluginPath)
{
    return QDir(QFileInfo(pluginPath).absolutePath())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
        .filter(QRegularExpression(QStringLiteral("^\\.")));
}

} // namespace

TEST_F(PluginBackupStoreTest, FolderNameSanitisesAndCutsTheName)
{
    const QDateTime time(QDate(2024, 1, 2), QTime(3, 4, 5));
    const struct {
        QString name;
        QString expected;
    } cases[] = {
        {"A/B:C", "20240102-030405-A-B-C-AB12"},
        {"/:\\?%*|\"<>", "20240102-030405------------AB12"},
        {"a//b", "20240102-030405-a--b-AB12"},
        {QString(50, QLatin1Char('x')), "20240102-030405-" + QString(40, QLatin1Char('x')) + "-AB12"},
        {"", "20240102-030405--AB12"},
        // Forty user-perceived characters, each two code points: never cut inside one.
        {QString("e\u0301").repeated(45), "20240102-030405-" + QString("e\u0301").repeated(40) + "-AB12"},
        {QString::fromUtf8("汉化插件"), QString::fromUtf8("20240102-030405-汉化插件-AB12")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        EXPECT_EQ(PluginBackupStore::folderName(time, c.name, "AB12"), c.expected);
    }
    // Long characters stop early enough for a file name.
    const QString wide = PluginBackupStore::folderName(time, QString::fromUtf8("👨‍👩‍👧‍👦").repeated(40), "AB12");
    EXPECT_LE(wide.toUtf8().size(), 255);
}

TEST_F(PluginBackupStoreTest, CreateCopiesThePluginExactlyAndListsIt)
{
    const QString path = makeRichPlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
    Plugin plugin = pluginAt(path);
    plugin.name = "Glow/Pro:X";
    const auto before = snapshot(path);

    const QDateTime start = QDateTime::currentDateTimeUtc();
    const PluginBackup backup = PluginBackupStore::createBackup(plugin, "手动备份", 987654321012LL);

    EXPECT_EQ(QFileInfo(backup.directory).fileName(), backup.id);
    EXPECT_TRUE(backup.id.contains("-Glow-Pro-X-")) << backup.id.toStdString();
    EXPECT_EQ(snapshot(backup.directory + "/payload/Glow"), before);
    EXPECT_EQ(snapshot(path), before);

    // meta.json: the five keys, the date as seconds since 2001 as a number.
    const auto object = QJsonDocument::fromJson(PluginFixtures::readBytes(backup.directory + "/meta.json")).object();
    EXPECT_EQ(object.size(), 5);
    EXPECT_EQ(object["pluginName"].toString(), "Glow/Pro:X");
    EXPECT_EQ(object["originalPath"].toString(), path);
    EXPECT_EQ(object["reason"].toString(), "手动备份");
    EXPECT_EQ(object["byteCount"].toInteger(), 987654321012LL);
    ASSERT_TRUE(object["createdAt"].isDouble());
    const double expectedSeconds = start.toSecsSinceEpoch() - 978307200.0;
    EXPECT_NEAR(object["createdAt"].toDouble(), expectedSeconds, 5.0);

    const auto listed = PluginBackupStore::allBackups();
    ASSERT_EQ(listed.size(), 1);
    EXPECT_EQ(listed.first(), backup);
    EXPECT_EQ(PluginBackupStore::payloadCopy(backup), backup.directory + "/payload/Glow");
}

TEST_F(PluginBackupStoreTest, BackupsOfOneSecondGetTheirOwnFolders)
{
    const Plugin plugin = pluginAt(PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Fast"));
    QSet<QString> seen;
    for (int i = 0; i < 5; ++i)
        seen.insert(PluginBackupStore::createBackup(plugin, "r", 1).id);
    EXPECT_EQ(seen.size(), 5);
    EXPECT_EQ(PluginBackupStore::backups(plugin).size(), 5);
}

TEST_F(PluginBackupStoreTest, LinkedPluginFolderIsBackedUpByContent)
{
    const QString real = makeRichPlugin(PluginRoot::user, ZFCPluginType::generator, "Real");
    const QString link = PluginFixtures::categoryFolder(PluginRoot::user, ZFCPluginType::generator) + "/Linked";
    PluginFixtures::makeSymlink(real, link);
    const auto backup = PluginBackupStore::createBackup(pluginAt(link), "r", 1);
    const QString copy = backup.directory + "/payload/Linked";
    EXPECT_FALSE(QFileInfo(copy).isSymLink());
    EXPECT_EQ(snapshot(copy), snapshot(real));
}

// In the user's library a linked plug-in is backed up and restored where the link points,
// and the link stays; in the system library, which every local user may write, both refuse.
TEST_F(PluginBackupStoreTest, RestoreFollowsALinkOnlyInTheUsersOwnLibrary)
{
    for (const PluginRoot root : {PluginRoot::user, PluginRoot::system}) {
        SCOPED_TRACE(root.rawValue().toStdString());
        const QString real = makeRichPlugin(PluginRoot::user, ZFCPluginType::generator, "Real " + root.rawValue());
        const QString link = PluginFixtures::categoryFolder(root, ZFCPluginType::effect) + "/Linked";
        PluginFixtures::makeSymlink(real, link);
        const auto original = snapshot(real);
        const QString refusal = "路径经过符号链接：" + link + "\n";
        std::optional<PluginBackup> made;
        try {
            made = PluginBackupStore::createBackup(pluginAt(link, root), "汉化", 1);
            EXPECT_EQ(root, PluginRoot::user);
        } catch (const PluginBackupError& error) {
            EXPECT_TRUE(error.message().startsWith("无法拷贝插件“Linked”：" + refusal)) << error.message().toStdString();
            EXPECT_TRUE(PluginBackupStore::backups(pluginAt(link, root)).isEmpty());
        }
        const auto backup = made ? *made : BackupFixtures::writeBackup("s", link, "汉化", QDateTime::currentDateTimeUtc());
        PluginFixtures::writeBytes(real + "/tool.sh", "translated");
        const auto translated = snapshot(real);
        try {
            PluginBackupStore::restore(backup, pluginAt(link, root));
            EXPECT_EQ(root, PluginRoot::user);
        } catch (const PluginBackupError& error) {
            EXPECT_TRUE(error.message().startsWith("无法还原插件“Linked”：" + refusal))
                << error.message().toStdString();
        }
        EXPECT_TRUE(QFileInfo(link).isSymLink());
        EXPECT_EQ(snapshot(real), root == PluginRoot::user ? original : translated);
        EXPECT_TRUE(hiddenSiblings(real).isEmpty());
    }
}

TEST_F(PluginBackupStoreTest, ListingSkipsWhatIsNotABackupAndSortsNewestFirst)
{
    writeBackup("b-old", "/lib/A", "r", at(0));
    writeBackup("c-new", "/lib/A", "r", at(10));
    writeBackup("a-same", "/lib/B", "r", at(5));
    writeBackup("d-same", "/lib/B", "r", at(5));
    const QString root = PluginBackupStore::root();
    QDir().mkpath(root + "/no-meta/payload");
    PluginFixtures::writeBytes(root + "/stray.txt", "hello");
    const struct {
        const char* id;
        QByteArray meta;
    } broken[] = {
        {"garbage", "not json"},
        {"array", "[1,2]"},
        {"no-date", R"({"pluginName":"x","originalPath":"/x","reason":"r","byteCount":1})"},
        {"date-string", R"({"pluginName":"x","originalPath":"/x","createdAt":"2024","reason":"r","byteCount":1})"},
        {"count-fraction", R"({"pluginName":"x","originalPath":"/x","createdAt":1,"reason":"r","byteCount":1.5})"},
        {"name-number", R"({"pluginName":1,"originalPath":"/x","createdAt":1,"reason":"r","byteCount":1})"},
        {"huge-date", R"({"pluginName":"x","originalPath":"/x","createdAt":1e300,"reason":"r","byteCount":1})"},
    };
    for (const auto& b : broken)
        PluginFixtures::writeBytes(root + "/" + b.id + "/meta.json", b.meta);

    EXPECT_EQ(ids(PluginBackupStore::allBackups()), QStringList({"c-new", "a-same", "d-same", "b-old"}));
    EXPECT_EQ(ids(PluginBackupStore::backups(pluginAt("/lib/A"))), QStringList({"c-new", "b-old"}));
    for (const char* other : {"/lib/A/", "/lib/a", "/lib/A 2", "/lib"}) {
        SCOPED_TRACE(other);
        EXPECT_TRUE(PluginBackupStore::backups(pluginAt(other)).isEmpty());
    }
}

TEST_F(PluginBackupStoreTest, ListingWithoutARootIsEmptyAndCreatesNothing)
{
    EXPECT_TRUE(PluginBackupStore::allBackups().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(PluginBackupStore::root()));
}

TEST_F(PluginBackupStoreTest, PruneKeepsTheNewestAndTheOriginalTranslation)
{
    const struct {
        const char* label;
        QStringList reasons; // oldest first
        QList<bool> payloads;
        int keep;
        QStringList kept; // ids, newest first
    } cases[] = {
        {"all translations", {"汉化", "汉化", "汉化", "汉化", "汉化"}, {}, 3, {"b4", "b3", "b2", "b0"}},
        {"no translations", {"手动", "手动", "手动", "手动", "手动"}, {}, 3, {"b4", "b3", "b2"}},
        {"original in the middle", {"手动", "插件汉化（原文备份）", "手动", "手动", "手动"}, {}, 3, {"b4", "b3", "b2", "b1"}},
        {"few enough", {"手动", "手动", "手动"}, {}, 3, {"b2", "b1", "b0"}},
        {"original without its copy is not protected",
         {"汉化", "汉化", "汉化", "汉化", "汉化"}, {false, true, true, true, true}, 3, {"b4", "b3", "b2", "b1"}},
        {"keep none", {"汉化", "手动"}, {}, 0, {"b0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TestEnv::reset();
        for (int i = 0; i < c.reasons.size(); ++i)
            writeBackup(QString("b%1").arg(i), "/lib/Effects.localized/P", c.reasons[i], at(i),
                        c.payloads.isEmpty() || c.payloads[i]);
        // Another plug-in's backups are pruned on their own.
        for (int i = 0; i < 2; ++i)
            writeBackup(QString("other%1").arg(i), "/lib/Effects.localized/Q", "手动", at(i));

        PluginBackupStore::prune(c.keep);

        EXPECT_EQ(ids(PluginBackupStore::backups(pluginAt("/lib/Effects.localized/P"))), c.kept);
        EXPECT_EQ(PluginBackupStore::backups(pluginAt("/lib/Effects.localized/Q")).size(), std::min(2, c.keep));
    }
}

namespace {

// The real file operations, except that the removal of a tree whose path holds `m_marker` is
// cut short after its meta.json is gone.
class CutShortRemoval final : public FileOps
{
public:
    explicit CutShortRemoval(QString marker) : m_marker(std::move(marker)), m_previous(FileOps::setCurrent(this)) {}
    ~CutShortRemoval() override { FileOps::setCurrent(m_previous); }

    int removeTree(const QString& path) override
    {
        if (!path.contains(m_marker))
            return FileOps::removeTree(path);
        (void)FileOps::removeTree(path + "/meta.json");
        return EIO;
    }

private:
    QString m_marker;
    FileOps* m_previous;
};

} // namespace

// A removal cut short (by a prune, a failed backup or a restore dropping younger translation
// backups) never leaves a folder in the backups that reads as none: the backup takes a hidden
// name first, is listed no more, and the next prune finishes it.
TEST_F(PluginBackupStoreTest, ARemovalCutShortLeavesNoHalfBackupAndThePruneFinishesIt)
{
    for (int i = 0; i < 5; ++i)
        writeBackup(QString("b%1").arg(i), "/lib/Effects.localized/P", "手动", at(i));
    {
        CutShortRemoval cut("b0");
        PluginBackupStore::prune(3);
    }
    for (const QString& name : backupFolderNames()) {
        if (!name.startsWith('.')) {
            EXPECT_TRUE(QFile::exists(PluginBackupStore::root() + "/" + name + "/meta.json")) << name.toStdString();
        }
    }
    EXPECT_EQ(ids(PluginBackupStore::backups(pluginAt("/lib/Effects.localized/P"))), QStringList({"b4", "b3", "b2"}));
    EXPECT_EQ(backupFolderNames().size(), 4) << "what is left of b0, hidden";
    PluginBackupStore::prune(3);
    EXPECT_EQ(backupFolderNames().size(), 3);
}

TEST_F(PluginBackupStoreTest, RestoreGivesBackTheBackedUpTree)
{
    const QString path = makeRichPlugin(PluginRoot::user, ZFCPluginType::subtitle, "Lower Third");
    const Plugin plugin = pluginAt(path);
    const auto original = snapshot(path);
    const PluginBackup backup = PluginBackupStore::createBackup(plugin, "r", 1);
    const auto backupBefore = snapshot(backup.directory);

    const struct {
        const char* label;
        std::function<void()> damage;
    } cases[] = {
        {"files changed, added and removed", [&] {
             PluginFixtures::writeBytes(path + "/Lower Third.motn", "changed");
             PluginFixtures::writeBytes(path + "/new.txt", "new");
             QFile::remove(path + "/Media/empty.txt");
             QDir(path + "/Empty Folder").removeRecursively();
         }},
        {"plug-in folder deleted meanwhile", [&] { QDir(path).removeRecursively(); }},
        {"a file where the folder was", [&] {
             QDir(path).removeRecursively();
             PluginFixtures::writeBytes(path, "file");
         }},
        {"a link where the folder was", [&] {
             QDir(path).removeRecursively();
             PluginFixtures::makeSymlink("/nonexistent", path);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        c.damage();
        PluginBackupStore::restore(backup, plugin);
        EXPECT_EQ(snapshot(path), original);
        EXPECT_TRUE(hiddenSiblings(path).isEmpty()) << hiddenSiblings(path).join(", ").toStdString();
        EXPECT_EQ(snapshot(backup.directory), backupBefore);
    }
}

TEST_F(PluginBackupStoreTest, RestoreWithoutACopyThrowsPayloadMissingAndChangesNothing)
{
    const QString path = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "P");
    const auto before = snapshot(path);
    const auto empty = writeBackup("empty", path, "汉化", at(0), false);
    const auto hiddenOnly = writeBackup("hidden", path, "汉化", at(1), false);
    PluginFixtures::writeBytes(hiddenOnly.directory + "/payload/.DS_Store", "x");
    const auto fileOnly = writeBackup("file", path, "汉化", at(2), false);
    PluginFixtures::writeBytes(fileOnly.directory + "/payload/P", "not a folder");
    auto noPayload = writeBackup("none", path, "汉化", at(3), false);
    QDir(noPayload.directory + "/payload").removeRecursively();

    for (const auto& backup : {empty, hiddenOnly, fileOnly, noPayload}) {
        SCOPED_TRACE(backup.id.toStdString());
        try {
            PluginBackupStore::restore(backup, pluginAt(path));
            ADD_FAILURE() << "restore succeeded";
        } catch (const PluginBackupError& error) {
            EXPECT_EQ(error.kind(), PluginBackupError::Kind::payloadMissing);
            EXPECT_EQ(error.message(), "备份内容不完整，无法还原。");
        }
        EXPECT_EQ(snapshot(path), before);
    }
}

TEST_F(PluginBackupStoreTest, PayloadCopyFallsBackToTheFirstFolder)
{
    const QString path = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Renamed");
    auto backup = writeBackup("moved", "/elsewhere/Old Name", "r", at(0));
    PluginFixtures::writeBytes(backup.directory + "/payload/.hidden/x", "x");
    ASSERT_EQ(PluginBackupStore::payloadCopy(backup), backup.directory + "/payload/Old Name");
    // A recorded path ending in ".." never makes the backup folder itself the copy.
    auto climbing = backup;
    climbing.originalPath = "/elsewhere/..";
    EXPECT_EQ(PluginBackupStore::payloadCopy(climbing), backup.directory + "/payload/Old Name");
    PluginBackupStore::restore(backup, pluginAt(path));
    EXPECT_EQ(PluginFixtures::readBytes(path + "/content.txt"), "moved");
}

TEST_F(PluginBackupStoreTest, LongPluginNamesStillStage)
{
    const QString name = QString(250, QLatin1Char('n'));
    const QString path = makeRichPlugin(PluginRoot::user, ZFCPluginType::transitions, name);
    const auto original = snapshot(path);
    const auto backup = PluginBackupStore::createBackup(pluginAt(path), "r", 1);
    PluginFixtures::writeBytes(path + "/tool.sh", "changed");
    PluginBackupStore::restore(backup, pluginAt(path));
    EXPECT_EQ(snapshot(path), original);
    EXPECT_TRUE(hiddenSiblings(path).isEmpty());
}

TEST_F(PluginBackupStoreTest, CreateFailuresLeaveNothingBehind)
{
    const QString path = makeRichPlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
    const struct {
        const char* label;
        std::function<void(FaultyFileOps&)> arrange;
        QString plugin;
        QString reason; // part of the message
    } cases[] = {
        {"copy fails", [](FaultyFileOps& f) { f.failOn(FaultyFileOps::Op::copyTree, "/payload/", ENOSPC); },
         path, "无法拷贝插件“Glow”：磁盘空间不足"},
        {"meta.json cannot be written",
         [](FaultyFileOps& f) { f.failOn(FaultyFileOps::Op::writeFile, "meta.json", ENOSPC); }, path,
         "无法写入备份信息：磁盘空间不足"},
        {"plug-in folder gone", [](FaultyFileOps&) {}, path + "-missing", "无法拷贝插件"},
        {"payload folder cannot be made",
         [](FaultyFileOps& f) { f.failOn(FaultyFileOps::Op::makePath, "/payload", EROFS); }, path,
         "无法创建备份文件夹：文件系统只读"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        FaultyFileOps files;
        c.arrange(files);
        Plugin plugin = pluginAt(c.plugin);
        plugin.name = "Glow";
        try {
            PluginBackupStore::createBackup(plugin, "r", 1);
            ADD_FAILURE() << "backup succeeded";
        } catch (const PluginBackupError& error) {
            EXPECT_EQ(error.kind(), PluginBackupError::Kind::fileSystem);
            EXPECT_TRUE(error.message().startsWith(c.reason)) << error.message().toStdString();
        }
        EXPECT_TRUE(backupFolderNames().isEmpty()) << backupFolderNames().join(", ").toStdString();
    }
}

TEST_F(PluginBackupStoreTest, CreateFailsWhenTheBackupRootIsAFile)
{
    const QString path = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "P");
    PluginFixtures::writeBytes(PluginBackupStore::root(), "in the way");
    EXPECT_THROW(PluginBackupStore::createBackup(pluginAt(path), "r", 1), PluginBackupError);
    EXPECT_EQ(PluginFixtures::readBytes(PluginBackupStore::root()), "in the way");
    EXPECT_TRUE(PluginBackupStore::allBackups().isEmpty());
}

TEST_F(PluginBackupStoreTest, FailedRestoreKeepsTheOldPlugin)
{
    const QString path = makeRichPlugin(PluginRoot::user, ZFCPluginType::effect, "Keep");
    const Plugin plugin = pluginAt(path);
    const auto backup = PluginBackupStore::createBackup(plugin, "r", 1);
    PluginFixtures::writeBytes(path + "/edited.txt", "the user's newer work");
    const auto edited = snapshot(path);
    const QString staging = ".Keep.loomwork-restoring";

    const struct {
        const char* label;
        FaultyFileOps::Op op;
        QString marker;
        int error;
        QString message;
    } cases[] = {
        {"copy into staging fails", FaultyFileOps::Op::copyTree, staging, ENOSPC, "无法还原插件“Keep”：磁盘空间不足"},
        {"old folder cannot be moved aside", FaultyFileOps::Op::rename, "/Keep", EIO, "无法还原插件“Keep”"},
        {"staging cannot be moved in", FaultyFileOps::Op::rename, staging, EXDEV, "无法还原插件“Keep”"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        RecordingAdminRunner runner;
        FaultyFileOps files;
        files.failOn(c.op, c.marker, c.error);
        try {
            PluginBackupStore::restore(backup, plugin);
            ADD_FAILURE() << "restore succeeded";
        } catch (const PluginBackupError& error) {
            EXPECT_EQ(error.errorCode(), c.error);
            EXPECT_TRUE(error.message().startsWith(c.message)) << error.message().toStdString();
        }
        EXPECT_EQ(snapshot(path), edited);
        EXPECT_TRUE(hiddenSiblings(path).isEmpty()) << hiddenSiblings(path).join(", ").toStdString();
        // Administrator rights cannot cure these; the old plug-in is never handed to the administrator.
        EXPECT_TRUE(runner.commands().isEmpty());
    }
}

// The templates the user's links lead to are part of the same whole: a restore that fails
// leaves them as untouched as the plug-in folder; a kill leaves both old or both restored.
TEST_F(PluginBackupStoreTest, AFailedRestoreLeavesTheLinkedTemplatesToo)
{
    const QString outside = TestEnv::root() + "/Movies/Outside";
    PluginFixtures::writeBytes(outside + "/A.motn", "backed-up A");
    const QString path = PluginFixtures::categoryFolder(PluginRoot::user, ZFCPluginType::effect) + "/Mine";
    PluginFixtures::writeBytes(path + "/B.moef", "backed-up B");
    PluginFixtures::makeSymlink(outside + "/A.motn", path + "/A.motn");
    const Plugin plugin = pluginAt(path);
    const auto backup = PluginBackupStore::createBackup(plugin, "r", 1);
    PluginFixtures::writeBytes(outside + "/A.motn", "edited A");
    PluginFixtures::writeBytes(path + "/B.moef", "edited B");
    const auto edited = snapshot(path);
    const auto outsideEdited = snapshot(outside);

    const QString staging = ".Mine.loomwork-restoring";
    for (const auto& [op, error] : {std::pair(FaultyFileOps::Op::copyTree, ENOSPC),
                                    std::pair(FaultyFileOps::Op::rename, EXDEV)}) {
        SCOPED_TRACE(error);
        FaultyFileOps files;
        files.failOn(op, staging, error);
        EXPECT_THROW(PluginBackupStore::restore(backup, plugin), PluginBackupError);
        EXPECT_EQ(snapshot(path), edited);
        EXPECT_EQ(snapshot(outside), outsideEdited);
        EXPECT_TRUE(hiddenSiblings(path).isEmpty()) << hiddenSiblings(path).join(", ").toStdString();
    }

    // Killed after the plug-in was swapped in, before or after the templates' finish state:
    // one journal entry covers both, so recovery leaves both as they were or both restored.
    for (const bool recorded : {false, true}) {
        SCOPED_TRACE(recorded);
        const pid_t child = ::fork();
        if (child == 0) {
            TemplateChange::setStepFault([recorded](int step) {
                if (step == 2 && !recorded)
                    ::kill(::getpid(), SIGKILL);
                return 0;
            });
            TemplateChange::setStepHook([recorded](int step) {
                if (step == 2 && recorded)
                    ::kill(::getpid(), SIGKILL);
            });
            PluginBackupStore::restore(backup, plugin);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        AppJournal::recover();
        EXPECT_EQ(PluginFixtures::readBytes(path + "/A.motn"), recorded ? "backed-up A" : "edited A");
        EXPECT_EQ(PluginFixtures::readBytes(path + "/B.moef"), recorded ? "backed-up B" : "edited B");
        EXPECT_TRUE(QFileInfo(path + "/A.motn").isSymLink());
        EXPECT_TRUE(hiddenSiblings(path).isEmpty()) << hiddenSiblings(path).join(", ").toStdString();
        EXPECT_EQ(QDir(path).entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot), QStringList({"A.motn", "B.moef"}));
        EXPECT_EQ(QDir(outside).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList("A.motn"));
    }
}

TEST_F(PluginBackupStoreTest, StructuralFailureIsReportedWithoutAdministrator)
{
    // The category "folder" is a file: nothing can be staged beside the plug-in.
    const QString category = PluginFixtures::categoryFolder(PluginRoot::user, ZFCPluginType::effect);
    const QString source = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::generator, "P");
    const auto backup = PluginBackupStore::createBackup(pluginAt(source), "r", 1);
    QDir(category).removeRecursively();
    PluginFixtures::writeBytes(category, "file");
    RecordingAdminRunner runner;
    try {
        PluginBackupStore::restore(backup, pluginAt(category + "/P"));
        ADD_FAILURE() << "restore succeeded";
    } catch (const PluginBackupError& error) {
        EXPECT_EQ(error.errorCode(), ENOTDIR);
        EXPECT_EQ(error.message(), "无法还原插件“P”：不是文件夹");
    }
    EXPECT_EQ(PluginFixtures::readBytes(category), "file");
    EXPECT_TRUE(runner.commands().isEmpty());

    // A plug-in without a proper folder path is never resolved against the working folder.
    const QStringList before = QDir::current().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& path : {QString(), QString("relative/P"), QString("/"), category + "/.."}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_THROW(PluginBackupStore::restore(backup, pluginAt(path)), PluginBackupError);
    }
    EXPECT_EQ(QDir::current().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
    EXPECT_TRUE(runner.commands().isEmpty());
}

TEST_F(PluginBackupStoreTest, RefusedRestoreFallsBackToAdministratorReplace)
{
    const QString path = makeRichPlugin(PluginRoot::system, ZFCPluginType::effect, "Sys's \"P\" $HOME");
    Plugin plugin = pluginAt(path, PluginRoot::system);
    const auto original = snapshot(path);
    const auto backup = PluginBackupStore::createBackup(plugin, "汉化", 1);
    const QString source = *PluginBackupStore::payloadCopy(backup);

    const struct {
        const char* label;
        bool agree;
        std::optional<AdminRunner::Outcome> outcome; // none: run the command for real
        bool restored;
    } cases[] = {
        {"administrator copy succeeds", true, std::nullopt, true},
        {"administrator command fails", true, AdminRunner::Outcome{true, 1, {}, {}}, false},
        {"explanation declined", false, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        AdminAuth::resetExplanation();
        PluginFixtures::writeBytes(path + "/edited.txt", "edited");
        const auto edited = snapshot(path);
        FakeAlertPresenter alerts;
        alerts.setDefaultAnswer(c.agree);
        RecordingAdminRunner runner;
        runner.setExecuteLocally(true);
        if (c.outcome)
            runner.queueOutcome(*c.outcome);
        FaultyFileOps files;
        files.failOn(FaultyFileOps::Op::copyTree, ".loomwork-restoring", EACCES);

        if (c.restored) {
            PluginBackupStore::restore(backup, plugin);
            EXPECT_EQ(snapshot(path), original);
        } else {
            try {
                PluginBackupStore::restore(backup, plugin);
                ADD_FAILURE() << "restore succeeded";
            } catch (const PluginBackupError& error) {
                EXPECT_EQ(error.message(), "无法还原插件“Sys's \"P\" $HOME”：没有权限");
            }
            EXPECT_EQ(snapshot(path), edited);
        }
        if (c.agree) {
            // The destination's folder and name, and the source: the room and identities are
            // this run's own.
            ASSERT_EQ(runner.commands().size(), 1);
            EXPECT_EQ(runner.commands()[0].value(1), "replace");
            EXPECT_EQ(runner.commands()[0].value(4), QFileInfo(path).fileName());
            EXPECT_EQ(runner.commands()[0].value(5), source);
        } else
            EXPECT_TRUE(runner.commands().isEmpty());
        EXPECT_TRUE(hiddenSiblings(path).isEmpty());
        QFile::remove(path + "/edited.txt");
    }
}

// The restore's question named the plug-in's owner (another user's plug-in is the
// administrator's to replace): the helper replaces it only while it has that owner, and says
// whose it is otherwise.
TEST_F(PluginBackupStoreTest, TheAdministratorRestoresOnlyOverTheOwnerTheUserWasTold)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a plug-in to another user";
    const QString path = makeRichPlugin(PluginRoot::system, ZFCPluginType::effect, "Theirs");
    Plugin plugin = pluginAt(path, PluginRoot::system);
    const auto original = snapshot(path);
    const auto backup = PluginBackupStore::createBackup(plugin, "汉化", 1);
    ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 4343, 4343), 0);
    const struct {
        const char* label;
        std::optional<uid_t> told;
        bool restored;
    } cases[] = {
        {"told its owner", 4343u, true},
        {"told another owner", 4242u, false},
        {"told it is ours", ::geteuid(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        AdminAuth::resetExplanation();
        PluginFixtures::writeBytes(path + "/edited.txt", "edited");
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 4343, 4343), 0);
        plugin = pluginAt(path, PluginRoot::system);
        const auto edited = snapshot(path);
        FakeAlertPresenter alerts;
        alerts.setDefaultAnswer(true);
        RecordingAdminRunner runner;
        runner.setExecuteLocally(true);
        FaultyFileOps files;
        files.failOn(FaultyFileOps::Op::copyTree, ".loomwork-restoring", EACCES);
        QString failure;
        try {
            PluginBackupStore::restore(backup, plugin, c.told);
        } catch (const PluginBackupError& error) {
            failure = error.message();
        }
        ASSERT_EQ(runner.commands().size(), 1);
        EXPECT_EQ(runner.commands()[0].last(), QString::number(*c.told)) << "the owner told goes to the helper";
        if (c.restored) {
            EXPECT_TRUE(failure.isEmpty()) << failure.toStdString();
            EXPECT_EQ(snapshot(path), original);
        } else {
            EXPECT_TRUE(failure.contains("「Theirs」现在属于用户「UID 4343」，不是确认时告知的")) << failure.toStdString();
            EXPECT_EQ(snapshot(path), edited);
        }
        EXPECT_TRUE(hiddenSiblings(path).isEmpty());
        QFile::remove(path + "/edited.txt");
    }
}

// Stopped right after the administrator's helper has replaced the plug-in: what the journal
// holds then (the replace's entry, the restore's own) finds the restored plug-in standing and
// the old one gone as asked, and settles without a word about a lost old version.
TEST_F(PluginBackupStoreTest, ARestoreStoppedAfterTheAdministratorsReplaceIsSettledSilently)
{
    const QString path = makeRichPlugin(PluginRoot::system, ZFCPluginType::effect, "Glow");
    Plugin plugin = pluginAt(path, PluginRoot::system);
    const auto original = snapshot(path);
    const auto backup = PluginBackupStore::createBackup(plugin, "汉化", 1);
    const struct {
        const char* label;
        FaultyFileOps::Op op;
        QString marker;
    } cases[] = {
        {"the staging copy refused", FaultyFileOps::Op::copyTree, ".loomwork-restoring"},
        // The old plug-in moved nowhere: the restore's entry has named it all the same.
        {"both exchanges refused", FaultyFileOps::Op::exchange, path},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        AdminAuth::resetExplanation();
        PluginFixtures::writeBytes(path + "/edited.txt", "edited");
        FakeAlertPresenter alerts;
        alerts.setDefaultAnswer(true);
        RecordingAdminRunner runner;
        FaultyFileOps files;
        files.failOn(c.op, c.marker, EACCES);
        int helped = 0;
        runner.setBeforeRun([&] {
            const QStringList command = runner.commands().constLast();
            if (command.value(1) != "replace")
                return;
            ++helped;
            EXPECT_EQ(QProcess::execute(command.first(), command.mid(1)), 0);
            // Every entry as a kill here leaves it.
            SafeFS::Journal journal;
            ASSERT_EQ(AppJournal::open(journal), 0);
            const auto entries = journal.entries();
            EXPECT_EQ(entries.size(), 2u);
            for (const SafeFS::JournalEntry& entry : entries) {
                SafeFS::RecoveryReport report;
                EXPECT_EQ(SafeFS::recoverEntry(entry, report), 0) << entry.kind;
                EXPECT_TRUE(report.notes.empty()) << entry.kind << ": " << (report.notes.empty() ? "" : report.notes[0]);
                EXPECT_TRUE(report.remains.empty()) << entry.kind;
            }
        });
        PluginBackupStore::restore(backup, plugin);
        EXPECT_EQ(helped, 1);
        AppJournal::recover();
        WorkerThread::waitForAll();
        EXPECT_EQ(snapshot(path), original);
        EXPECT_TRUE(hiddenSiblings(path).isEmpty());
        EXPECT_TRUE(QDir(AppJournal::folder()).entryList(QDir::Files).isEmpty());
        EXPECT_EQ(alerts.questions().size(), 1) << "only the explanation before the helper";
    }
}

TEST_F(PluginBackupStoreTest, SystemRestoreOpensTheLibraryAndRecreatesAMissingCategory)
{
    // The category folder is missing, so it is not writable: the library is opened first.
    QDir().mkpath(TestEnv::systemLibrary());
    const QString path = PluginFixtures::categoryFolder(PluginRoot::system, ZFCPluginType::effect) + "/Gone";
    QDir(QFileInfo(path).absolutePath()).removeRecursively();
    const auto backup = writeBackup("b", path, "汉化", at(0));
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    PluginBackupStore::restore(backup, pluginAt(path, PluginRoot::system));
    EXPECT_EQ(PluginFixtures::readBytes(path + "/content.txt"), "b");
    EXPECT_EQ(runner.commands(),
              QList<QStringList>{AdminAuth::requestPermissionCommand(TestEnv::systemLibrary())});
}

// A backup given the plug-in's folder handle (a translation's, whose check opened it) copies
// what that handle holds, in either library, never what stands at the plug-in's path by now.
TEST_F(PluginBackupStoreTest, ABackupGivenTheCheckedFolderCopiesThatFolder)
{
    for (const PluginRoot root : {PluginRoot::user, PluginRoot::system}) {
        SCOPED_TRACE(root == PluginRoot::user ? "user library" : "system library");
        const QString category = PluginFixtures::categoryFolder(root, ZFCPluginType::effect);
        const QString path = PackageMaker::makeFolder(category, "Glow", {{"Glow.moef", "checked"}});
        const Plugin plugin = pluginAt(path, root);
        const int folder = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(folder, 0);
        // After the check, the name comes to hold another folder.
        ASSERT_TRUE(QDir().rename(path, category + "/Checked"));
        PackageMaker::makeFolder(category, "Glow", {{"Glow.moef", "put there since"}});
        std::optional<QString> copy;
        try {
            copy = PluginBackupStore::payloadCopy(PluginBackupStore::createBackup(plugin, "汉化", 1, folder));
        } catch (const PluginBackupError& e) {
            ADD_FAILURE() << e.message().toStdString();
        }
        ::close(folder);
        ASSERT_TRUE(copy.has_value());
        EXPECT_EQ(PackageMaker::readTree(*copy), (QMap<QString, QByteArray>{{"Glow.moef", "checked"}}));
        QDir(category).removeRecursively();
    }
}
