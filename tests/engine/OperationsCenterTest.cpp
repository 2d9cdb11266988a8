#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>

#include <fcntl.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "engine/core/WorkerThread.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "LoomworkKit/ZFCProgress.h"
#include "engine/files/AdminAuth.h"
#include "engine/files/AppJournal.h"
#include "engine/files/HeldFolders.h"
#include "engine/core/AlertPresenter.h"
#include "engine/library/InstallConflictScanner.h"
#include "engine/market/MarketInstallRegistry.h"
#include "engine/core/FsPath.h"
#include "engine/core/NotificationHub.h"
#include "engine/operations/OperationsCenter.h"
#include "engine/core/ProgressThrottle.h"
#include "engine/core/SystemError.h"
#include "support/app/BackupFixtures.h"
#include "support/app/DeferredPanelPresenter.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/TestEnv.h"

using PackageMaker::Source;

namespace {

constexpr ZFCPluginType effect{ZFCPluginType::effect};
constexpr ZFCPluginType subtitle{ZFCPluginType::subtitle};

QString text(const std::string& s)
{
    return QString::fromStdString(s);
}

QString category(PluginRoot root, ZFCPluginType type)
{
    return root.path() + QLatin1Char('/') + text(std::string(type.directoryName()));
}

Plugin pluginAt(PluginRoot root, ZFCPluginType type, const QString& name, bool isMarket = false)
{
    Plugin plugin;
    plugin.name = name;
    plugin.type = type;
    plugin.root = root;
    plugin.path = category(root, type) + QLatin1Char('/') + name;
    plugin.isMarket = isMarket;
    return plugin;
}

// Everything the runner published, in order.
struct Recorder
{
    explicit Recorder(OperationsCenter& center)
        : statuses(&center, &OperationsCenter::statusTextChanged),
          progress(&center, &OperationsCenter::progressChanged),
          busy(&center, &OperationsCenter::isBusyChanged),
          alerts(&center, &OperationsCenter::alertChanged)
    {
    }

    QStringList statusTexts() const
    {
        QStringList out;
        for (const auto& args : statuses)
            out << args.at(0).toString();
        return out;
    }
    QList<double> fractions() const
    {
        QList<double> out;
        for (const auto& args : progress)
            out << args.at(0).toDouble();
        return out;
    }

    QSignalSpy statuses;
    QSignalSpy progress;
    QSignalSpy busy;
    QSignalSpy alerts;
};

class OperationsCenterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        AdminAuth::resetExplanation();
        MarketInstallRegistry::reloadFromDisk();
        ASSERT_TRUE(m_work.isValid());
        OperationsCenter::setRevealHandler([this](const QString& path) { revealed << path; });
        OperationsCenter::setBeepHandler([this] { ++beeps; });
    }

    void TearDown() override
    {
        WorkerThread::waitForAll();
        OperationsCenter::setRevealHandler({});
        OperationsCenter::setBeepHandler({});
    }

    QString work(const QString& name) const { return m_work.filePath(name); }
    QString workRoot() const { return m_work.path(); }

    QString package(const QString& name, const QList<Source>& sources)
    {
        const QString path = work(name);
        PackageMaker::pack(path, sources, m_work.path());
        return path;
    }

    static bool waitIdle(OperationsCenter& center)
    {
        return QTest::qWaitFor([&] { return !center.isBusy(); }, 30000);
    }

    // Runs an install to its end; returns whether the callback ran. A worker that outlasts the
    // wait is still waited for: the test's next step (a reset, another install) must not run
    // beside it, nor its callback outlive `calls`.
    static bool install(OperationsCenter& center, const QStringList& files, const InstallPlan& plan)
    {
        int calls = 0;
        center.install(files, plan, [&calls] { ++calls; });
        EXPECT_TRUE(center.isBusy());
        if (!waitIdle(center)) {
            ADD_FAILURE() << "the install did not end in time";
            WorkerThread::waitForAll();
        }
        QCoreApplication::processEvents();
        EXPECT_LE(calls, 1);
        return calls == 1;
    }

    QStringList revealed;
    int beeps = 0;

private:
    QTemporaryDir m_work;
};

const QMap<QString, QByteArray> glowA{{"Glow.moef", "first glow"}, {"Media/a.png", "A"}};
const QMap<QString, QByteArray> glowB{{"Glow.moef", "second glow"}, {"Media/b.png", "B"}};

} // namespace

// ---- install

TEST_F(OperationsCenterTest, InstallsCollidingPluginsUnderTheirPlannedNames)
{
    const QString first = package("first.zfcp", {{effect, "Glow", glowA}});
    const QString second = package("second.zfcp", {{effect, "Glow", glowB}});

    struct Case {
        const char* name;
        QHash<QString, QString> renames;
        QMap<QString, QByteArray> expectedGlow;
        QString expectedStatus;
    };
    const QList<Case> cases{
        {"rename planned for the second package",
         {{"1|effect|Glow", "Glow 2"}},
         glowA,
         "已安装 2 个插件（1 个已重命名）"},
        {"a rename to the stored name is no rename",
         {{"0|effect|Glow", "Glow"}, {"1|effect|Glow", "Glow 2"}},
         glowA,
         "已安装 2 个插件（1 个已重命名）"},
        // What stands on disk is told: one plug-in.
        {"no renames: the second overwrites the first",
         {},
         glowB,
         "已安装 1 个插件"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        OperationsCenter center;
        Recorder recorder(center);
        InstallPlan plan;
        plan.renames = c.renames;
        EXPECT_TRUE(install(center, {first, second}, plan));

        const QString effects = category(PluginRoot::user, effect);
        EXPECT_EQ(PackageMaker::readTree(effects + "/Glow"),
                  (QMap<QString, QByteArray>{{"Glow.moef", c.expectedGlow["Glow.moef"]},
                                             {"Media", "<dir>"},
                                             {c.expectedGlow.lastKey(), c.expectedGlow.last()}}));
        if (!c.renames.isEmpty()) {
            EXPECT_EQ(PackageMaker::readTree(effects + "/Glow 2")["Glow.moef"], QByteArray("second glow"));
        }
        EXPECT_EQ(PackageMaker::namesIn(effects).size(), c.renames.isEmpty() ? 1 : 2) << "no staging left behind";
        EXPECT_EQ(center.statusText(), c.expectedStatus);
        EXPECT_FALSE(center.alertTitle().has_value());
        const QStringList texts = recorder.statusTexts();
        ASSERT_FALSE(texts.isEmpty());
        EXPECT_EQ(texts.first(), QStringLiteral("准备安装…"));
        EXPECT_TRUE(texts.contains(QStringLiteral("提取：Glow")));
        EXPECT_EQ(center.progress(), 1.0);
    }
}

TEST_F(OperationsCenterTest, PlannedRenamesKeepTwinsOfOnePackageApart)
{
    // One package holding Glow twice plus Glow from a second package; one user Glow already.
    const QString first = package("twins.zfcp", {{effect, "Glow", glowA}, {effect, "Glow", glowB}});
    const QString second = package("other.zfcp", {{effect, "Glow", {{"Glow.moef", "third glow"}}},
                                                  {subtitle, "Glow", {{"t.moti", "title"}}}});
    PackageMaker::makeFolder(category(PluginRoot::user, effect), "Glow", {{"Glow.moef", "installed before"}});

    QList<InstallConflictScanner::Entry> entries;
    const QStringList files{first, second};
    for (int i = 0; i < files.size(); ++i) {
        for (const ZFCPlugin& plugin : ZFCPackageReader::readPlugins(QFile::encodeName(files[i]).toStdString()))
            entries.append({i, text(plugin.name), *plugin.pluginType()});
    }
    InstallPlan plan;
    for (const auto& item : InstallConflictScanner::renamePlan(entries, InstallConflictScanner::scan(entries)))
        plan.renames.insert(item.key, item.to);
    ASSERT_EQ(plan.renames.size(), 3);

    OperationsCenter center;
    EXPECT_TRUE(install(center, files, plan));
    EXPECT_EQ(center.statusText(), QStringLiteral("已安装 4 个插件（3 个已重命名）"));
    const QString effects = category(PluginRoot::user, effect);
    EXPECT_EQ(PackageMaker::namesIn(effects), (QStringList{"Glow", "Glow 2", "Glow 3", "Glow 4"}));
    EXPECT_EQ(PackageMaker::readTree(effects + "/Glow")["Glow.moef"], QByteArray("installed before"));
    EXPECT_EQ(PackageMaker::readTree(effects + "/Glow 2")["Glow.moef"], QByteArray("first glow"));
    EXPECT_EQ(PackageMaker::readTree(effects + "/Glow 3")["Glow.moef"], QByteArray("second glow"));
    EXPECT_EQ(PackageMaker::readTree(effects + "/Glow 4")["Glow.moef"], QByteArray("third glow"));
    // The subtitle of the same name collided with nothing.
    EXPECT_EQ(PackageMaker::namesIn(category(PluginRoot::user, subtitle)), QStringList{"Glow"});
}

// Names the reader makes into one folder are one name, as exact repeats are: the plan renames
// each, and every plug-in is kept.
TEST_F(OperationsCenterTest, PlugInsLandingInOneFolderAreRenamedLikeRepeats)
{
    const QString file = package("pair.zfcp", {{effect, "x/y", glowA}, {effect, "x_y", glowB}});
    QList<InstallConflictScanner::Entry> entries;
    for (const ZFCPlugin& plugin : ZFCPackageReader::readPlugins(QFile::encodeName(file).toStdString()))
        entries.append({0, text(plugin.name), *plugin.pluginType()});
    InstallPlan plan;
    for (const auto& item : InstallConflictScanner::renamePlan(entries, InstallConflictScanner::scan(entries)))
        plan.renames.insert(item.key, item.to);

    OperationsCenter center;
    EXPECT_TRUE(install(center, {file}, plan));
    EXPECT_EQ(center.statusText(), QStringLiteral("已安装 2 个插件（2 个已重命名）"));
    const QString effects = category(PluginRoot::user, effect);
    ASSERT_EQ(PackageMaker::namesIn(effects), QStringList({"x_y 2", "x_y 3"}));
    EXPECT_EQ(PackageMaker::readTree(effects + "/x_y 2")["Glow.moef"], QByteArray("first glow"));
    EXPECT_EQ(PackageMaker::readTree(effects + "/x_y 3")["Glow.moef"], QByteArray("second glow"));
}

// A plug-in named in a hidden form of ours would be taken for a leftover and put right or
// removed at the next start: such a package is refused before anything is written. A name
// near a form is a name.
TEST_F(OperationsCenterTest, PlugInsNamedAsOurHiddenFoldersAreRefused)
{
    const QString digits = QStringLiteral("0123456789abcdef");
    const QList<std::pair<QString, QString>> cases{ // name, as refused (empty: installed)
        {" .Glow.loomwork-rewrite-" + digits + " ", ".Glow.loomwork-rewrite-" + digits},
        {".Glow.loomwork-replaced-" + digits.toUpper(), {}},
    };
    for (const auto& [name, refusedAs] : cases) {
        SCOPED_TRACE(name.toStdString());
        TestEnv::reset();
        const QString file = package("hidden.zfcp", {{effect, "Fine", glowA}, {effect, name, glowB}});
        OperationsCenter center;
        EXPECT_EQ(install(center, {file}, {}), refusedAs.isEmpty());
        if (refusedAs.isEmpty()) {
            EXPECT_EQ(PackageMaker::namesIn(category(PluginRoot::user, effect)).size(), 2);
            continue;
        }
        EXPECT_EQ(center.alertMessage(), "插件名称与提取所用的隐藏文件夹同形，不能提取：" + refusedAs + "\n封包：hidden.zfcp");
        EXPECT_FALSE(QFileInfo::exists(TestEnv::userLibrary())) << "nothing may be written";
    }
}

TEST_F(OperationsCenterTest, APackageThatCannotBeOpenedInstallsNothing)
{
    const QString good = package("good.zfcp", {{effect, "Glow", glowA}});

    const QString damaged = work("damaged.zfcp");
    QByteArray garbage(8, '\0');
    garbage[0] = 40;
    garbage += PackageMaker::noise(40, 7);
    PluginFixtures::writeBytes(damaged, garbage);

    const QString empty = package("empty.zfcp", {{effect, "Gone", {{"x", "x"}}}});
    PackageMaker::rewriteMetadata(empty, [](const std::string&) { return std::string("[]"); });

    const QString metadataText = text(ZFCPackageError::metadataCorrupted().errorDescription());
    struct Case {
        const char* name;
        QStringList files;
        QString message;
    };
    const QList<Case> cases{
        {"damaged metadata after a good package", {good, damaged}, metadataText},
        {"a package listing no plug-ins", {good, empty}, metadataText},
        {"a missing file", {good, work("missing.zfcp")}, "文件或文件夹不存在：" + work("missing.zfcp")},
        {"a truncated header", {good, work("short.zfcp")}, text(ZFCPackageError::fileTooSmall().errorDescription())},
    };
    PluginFixtures::writeBytes(work("short.zfcp"), "abc");

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        OperationsCenter center;
        center.setAlertMessage(QStringLiteral("older message"));
        EXPECT_FALSE(install(center, c.files, {}));
        EXPECT_EQ(center.alertTitle(), QStringLiteral("安装失败"));
        EXPECT_EQ(center.alertMessage(), c.message);
        EXPECT_EQ(center.statusText(), QString());
        EXPECT_FALSE(QFileInfo::exists(TestEnv::userLibrary())) << "nothing may be written";
    }
}

TEST_F(OperationsCenterTest, UnknownTypesAreSkippedSilently)
{
    const QString odd = package("odd.zfcp", {{effect, "Odd", {{"x", "x"}}}});
    PackageMaker::rewriteMetadata(odd, [](std::string json) {
        json.replace(json.find("\"effect\""), 8, "\"plugin\"");
        return json;
    });
    OperationsCenter center;
    EXPECT_TRUE(install(center, {odd}, {}));
    EXPECT_EQ(center.statusText(), QStringLiteral("已安装 0 个插件"));
    EXPECT_FALSE(center.alertTitle().has_value());
    EXPECT_FALSE(QFileInfo::exists(category(PluginRoot::user, effect) + "/Odd"));
}

// Three plug-ins, the third failing at extraction or at its swap (or in a later package):
// the library is as it was, the user's old Glow included, and the message says nothing
// was installed.
TEST_F(OperationsCenterTest, AFailedInstallLeavesTheLibraryAsItWas)
{
    const QString effects = category(PluginRoot::user, effect);
    const QList<Source> three{{effect, "Intro", {{"i.moef", "intro"}}},
                              {effect, "Glow", {{"g.moef", "new glow"}}},
                              // Three chunks of noise: the first is written out before the second fails.
                              {effect, "Big", {{"big.bin", PackageMaker::noise(2500000, 1)}}}};
    const QString broken = package("broken.zfcp", three);
    PackageMaker::breakSecondChunk(broken, 2);
    const QString intact = package("three.zfcp", three);
    const QString first = package("first.zfcp", three.mid(0, 2));
    const QString last = package("last.zfcp", three.mid(2));
    PackageMaker::breakSecondChunk(last, 0);
    const struct {
        const char* label;
        QStringList files;
        bool swapFails;
        bool exchangeRefused;
        QString start;
        QString end;
    } cases[] = {
        {"extraction", {broken}, false, false, "文件读写失败：非法分块长度 ", "\n封包：broken.zfcp（第 3 个失败，未安装任何插件）"},
        {"swap", {intact}, true, false, "磁盘空间不足", effects + "/Big\n封包：three.zfcp（第 3 个失败，未安装任何插件）"},
        {"swap by renames", {intact}, true, true, "磁盘空间不足", "\n封包：three.zfcp（第 3 个失败，未安装任何插件）"},
        {"a later package", {first, last}, false, false, "文件读写失败：", "\n封包：last.zfcp（第 1 个失败，未安装任何插件）"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TestEnv::reset();
        PackageMaker::makeFolder(effects, "Glow", {{"Glow.moef", "the user's own glow"}, {"Media/keep.png", "keep"}});
        PluginFixtures::makeSymlink("Media/keep.png", effects + "/Glow/alias.png");
        const auto before = PackageMaker::readTree(TestEnv::userLibrary());
        const auto oldGlow = BackupFixtures::snapshot(effects + "/Glow");
        QSignalSpy posted(&NotificationHub::instance(), &NotificationHub::posted);
        OperationsCenter center;
        {
            FaultyFileOps files;
            if (c.exchangeRefused)
                files.failOn(FaultyFileOps::Op::exchange, "", EINVAL);
            if (c.swapFails)
                files.failOn(FaultyFileOps::Op::rename, "/Big", ENOSPC);
            EXPECT_FALSE(install(center, c.files, {}));
        }
        EXPECT_EQ(center.alertTitle(), QStringLiteral("安装失败"));
        const QString message = center.alertMessage().value_or(QString());
        EXPECT_TRUE(message.startsWith(c.start)) << message.toStdString();
        EXPECT_TRUE(message.endsWith(c.end)) << message.toStdString();
        EXPECT_EQ(center.statusText(), QString());
        EXPECT_EQ(PackageMaker::readTree(TestEnv::userLibrary()), before);
        EXPECT_EQ(BackupFixtures::snapshot(effects + "/Glow"), oldGlow);
        QCoreApplication::processEvents();
        EXPECT_TRUE(posted.isEmpty()) << "nothing changed";
    }

    // The same package unbroken replaces the old plug-in completely.
    const QString good = package("good.zfcp", {{effect, "Glow", {{"big.bin", PackageMaker::noise(2500000, 1)}}}});
    OperationsCenter center;
    EXPECT_TRUE(install(center, {good}, {}));
    const auto after = PackageMaker::readTree(effects + "/Glow");
    EXPECT_EQ(after.keys(), QStringList{"big.bin"});
    EXPECT_EQ(after["big.bin"], PackageMaker::noise(2500000, 1));
    EXPECT_EQ(PackageMaker::namesIn(effects), (QStringList{"Glow"}));
}

TEST_F(OperationsCenterTest, AFailedInstallSwapRollsBackAndNamesNoHiddenFolder)
{
    const QString effects = category(PluginRoot::user, effect);
    PackageMaker::makeFolder(effects, "Glow", {{"Glow.moef", "the user's own glow"}});
    const auto before = PackageMaker::readTree(effects + "/Glow");
    const QString pkg = package("glow.zfcp", {{effect, "Glow", {{"new.moef", "new"}}}});
    FaultyFileOps files;
    files.failOn(FaultyFileOps::Op::rename, ".loomwork-install", ENOSPC);
    OperationsCenter center;
    EXPECT_FALSE(install(center, {pkg}, {}));
    const QString message = center.alertMessage().value_or(QString());
    EXPECT_TRUE(message.startsWith(QStringLiteral("磁盘空间不足"))) << message.toStdString();
    EXPECT_TRUE(message.endsWith(effects + "/Glow\n封包：glow.zfcp")) << message.toStdString();
    EXPECT_EQ(PackageMaker::readTree(effects + "/Glow"), before);
    EXPECT_EQ(QDir(effects).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"Glow"});
}

TEST_F(OperationsCenterTest, SystemErrorsReachTheUserInChinese)
{
    const QString pkg = package("glow.zfcp", {{effect, "Glow", glowA}});
    InstallPlan plan;
    plan.renames.insert(InstallPlan::key(0, effect, "Glow"), QString(300, u'x'));
    OperationsCenter center;
    EXPECT_FALSE(install(center, {pkg}, plan));
    const QString message = center.alertMessage().value_or(QString());
    EXPECT_TRUE(message.startsWith("文件名过长")) << message.toStdString();
    for (int code : {ENAMETOOLONG, ELOOP, EIO, EXDEV, ENOTEMPTY, EBUSY, EMFILE, EFBIG, EINVAL, EILSEQ, ENOTSUP, ENXIO}) {
        SCOPED_TRACE(code);
        EXPECT_FALSE(SystemError::describe(code).contains(QRegularExpression("[A-Za-z]")));
    }
}

TEST_F(OperationsCenterTest, OverwritesWhateverKindOfItemHasTheName)
{
    const QString effects = category(PluginRoot::user, effect);
    PluginFixtures::writeBytes(effects + "/File", "a plain file");
    const QString outside = PackageMaker::makeFolder(workRoot(), "outside", {{"mine", "untouched"}});
    PluginFixtures::makeSymlink(outside, effects + "/Link");
    const QString pkg = package("kinds.zfcp", {{effect, "File", {{"f", "new"}}}, {effect, "Link", {{"l", "new"}}}});
    OperationsCenter center;
    EXPECT_TRUE(install(center, {pkg}, {}));
    EXPECT_EQ(PackageMaker::readTree(effects + "/File"), (QMap<QString, QByteArray>{{"f", "new"}}));
    EXPECT_EQ(PackageMaker::readTree(effects + "/Link"), (QMap<QString, QByteArray>{{"l", "new"}}));
    // The link was replaced, not followed.
    EXPECT_EQ(PackageMaker::readTree(outside), (QMap<QString, QByteArray>{{"mine", "untouched"}}));
    // In the system library, which every local user may write, a link is refused and stays.
    const QString system = category(PluginRoot::system, effect);
    QDir().mkpath(system);
    PluginFixtures::makeSymlink(outside, system + "/Link");
    InstallPlan plan;
    plan.root = PluginRoot::system;
    EXPECT_FALSE(install(center, {pkg}, plan));
    const QString message = center.alertMessage().value_or(QString());
    EXPECT_TRUE(message.startsWith("路径经过符号链接：" + system + "/Link\n")) << message.toStdString();
    EXPECT_TRUE(QFileInfo(system + "/Link").isSymLink());
    EXPECT_EQ(PackageMaker::readTree(outside), (QMap<QString, QByteArray>{{"mine", "untouched"}}));
}

TEST_F(OperationsCenterTest, InstallsIntoAMissingSystemLibraryByPreparingIt)
{
    // The library's path is one the administrator command must quote exactly.
    const QByteArray saved = qgetenv("LOOMWORK_SYSTEM_LIBRARY");
    const QString library = work("Sys 'lib' \"$HOME\" `touch pwned`\nx/Templates.localized");
    qputenv("LOOMWORK_SYSTEM_LIBRARY", QFile::encodeName(library));
    const std::shared_ptr<void> restore(nullptr, [saved](void*) { qputenv("LOOMWORK_SYSTEM_LIBRARY", saved); });

    const QString pkg = package("sys.zfcp", {{effect, "Glow", glowA}});
    FakeAlertPresenter presenter;
    presenter.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    runner.setExecuteLocally(true);

    OperationsCenter center;
    Recorder recorder(center);
    InstallPlan plan;
    plan.root = PluginRoot::system;
    EXPECT_TRUE(install(center, {pkg}, plan));
    EXPECT_EQ(center.statusText(), QStringLiteral("已安装 1 个插件"));
    EXPECT_TRUE(recorder.statusTexts().contains(QStringLiteral("等待管理员授权…")));
    EXPECT_EQ(runner.commands(), QList<QStringList>{AdminAuth::prepareRootCommand(library)});
    EXPECT_EQ(PackageMaker::readTree(library + "/Effects.localized/Glow")["Glow.moef"], QByteArray("first glow"));
    EXPECT_TRUE(QFileInfo(library + "/Titles.localized").isDir());
    EXPECT_FALSE(QFileInfo::exists(QDir::currentPath() + "/pwned"));
    EXPECT_FALSE(QFileInfo::exists(work("pwned")));
}

TEST_F(OperationsCenterTest, RefusedAdministratorRightsStopTheInstall)
{
    const QString pkg = package("sys.zfcp", {{effect, "Glow", glowA}});
    FakeAlertPresenter presenter; // declines the explanation
    RecordingAdminRunner runner;
    OperationsCenter center;
    InstallPlan plan;
    plan.root = PluginRoot::system;
    EXPECT_FALSE(install(center, {pkg}, plan));
    EXPECT_EQ(center.alertTitle(), QStringLiteral("无法写入系统库"));
    EXPECT_EQ(center.alertMessage(), QStringLiteral("未获得管理员授权，请重试或在设置中改用用户库。"));
    EXPECT_EQ(center.statusText(), QString());
    EXPECT_TRUE(runner.commands().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(TestEnv::systemLibrary()));
}

TEST_F(OperationsCenterTest, MissingCategoriesNeedTheAdministratorOnlyInALibraryWeCannotWrite)
{
    const QString pkg = package("sys.zfcp", {{effect, "Glow", glowA}});
    FakeAlertPresenter presenter;
    presenter.setDefaultAnswer(true);
    InstallPlan plan;
    plan.root = PluginRoot::system;
    {
        SCOPED_TRACE("writable library without Effects.localized");
        QDir().mkpath(TestEnv::systemLibrary());
        RecordingAdminRunner runner;
        OperationsCenter center;
        EXPECT_TRUE(install(center, {pkg}, plan));
        EXPECT_TRUE(runner.commands().isEmpty());
        EXPECT_TRUE(QFileInfo(category(PluginRoot::system, effect) + "/Glow/Glow.moef").isFile());
    }
    {
        SCOPED_TRACE("the administrator prepares the library but refuses the category");
        // A library that could not be taken away would be read as installed without the
        // administrator.
        ASSERT_TRUE(QDir(TestEnv::systemLibrary()).removeRecursively());
        RecordingAdminRunner runner; // prepareRoot "succeeds" without creating anything
        runner.queueOutcome({true, 0, {}, {}});
        runner.queueOutcome({true, 1, {}, {}});
        OperationsCenter center;
        EXPECT_FALSE(install(center, {pkg}, plan));
        EXPECT_EQ(runner.commands().value(1), AdminAuth::createDirectoryCommand(category(PluginRoot::system, effect)));
        EXPECT_EQ(center.alertTitle(), QStringLiteral("无法写入系统库"));
        EXPECT_EQ(center.alertMessage(), QStringLiteral("未获得管理员授权，请重试或在设置中改用用户库。"));
    }
}

// A plug-in that cannot be swapped back after a later one fails stays new: the message names
// it and the lists are asked to rescan.
TEST_F(OperationsCenterTest, AnInstallThatCannotBeUndoneAsksForARescan)
{
    const QString effects = category(PluginRoot::user, effect);
    PackageMaker::makeFolder(effects, "Glow", {{"Glow.moef", "old glow"}});
    PackageMaker::makeFolder(category(PluginRoot::user, subtitle), "Title", {{"t", "old title"}});
    const QString pkg = package("two.zfcp", {{effect, "Glow", glowA}, {subtitle, "Title", glowB}});
    // Glow goes in but not back; Title never goes in.
    struct NoWayBack : FileOps {
        std::atomic<int> glowExchanges = 0;
        int stepFault(Step step, const QString& paths) override
        {
            if (step == Step::exchange && (paths.endsWith("/Title") || (paths.endsWith("/Glow") && ++glowExchanges == 2)))
                return EIO;
            return 0;
        }
    } files;
    FileOps* const previous = FileOps::setCurrent(&files);
    QSignalSpy posted(&NotificationHub::instance(), &NotificationHub::posted);
    OperationsCenter center;
    EXPECT_FALSE(install(center, {pkg}, InstallPlan{}));
    FileOps::setCurrent(previous);
    EXPECT_EQ(center.alertTitle(), QStringLiteral("安装失败"));
    const QString message = center.alertMessage().value_or(QString());
    EXPECT_TRUE(message.endsWith("\n封包：two.zfcp（第 2 个失败；Glow 未能还原，已是封包里的版本）")) << message.toStdString();
    EXPECT_EQ(PackageMaker::readTree(effects + "/Glow").value("Glow.moef"), "first glow");
    EXPECT_EQ(PackageMaker::readTree(category(PluginRoot::user, subtitle) + "/Title"), (QMap<QString, QByteArray>{{"t", "old title"}}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !posted.isEmpty(); }, 30000));
    EXPECT_EQ(posted.first().at(0).toString(), Notifications::pluginsDidChange);
}

// ---- remove

TEST_F(OperationsCenterTest, PartialDeleteReportsFailuresAndUnregistersOnlyWhatWentAway)
{
    const QString odd = QStringLiteral("It's \"$HOME\" `id`\nline");
    PackageMaker::makeFolder(category(PluginRoot::user, effect), odd, {{"a", "a"}});
    PackageMaker::makeFolder(category(PluginRoot::system, subtitle), "Title", {{"t", "t"}});
    PackageMaker::makeFolder(category(PluginRoot::user, effect), "Neighbour", {{"n", "n"}});
    // Root may delete anything, so the failing one cannot be removed for a structural
    // reason: its path runs through a plain file.
    PluginFixtures::writeBytes(category(PluginRoot::user, effect) + "/Blocker", "file");
    Plugin stuck = pluginAt(PluginRoot::user, effect, "Stuck", true);
    stuck.path = category(PluginRoot::user, effect) + "/Blocker/Stuck";

    const QList<Plugin> plugins{pluginAt(PluginRoot::user, effect, odd, true), stuck,
                                pluginAt(PluginRoot::system, subtitle, "Title", true)};
    for (const Plugin& plugin : plugins)
        EXPECT_EQ(MarketInstallRegistry::registerPaths({plugin.path}, "id-" + plugin.name, plugin.name), 0);
    const QString unrelated = category(PluginRoot::user, effect) + "/Unrelated";
    EXPECT_EQ(MarketInstallRegistry::registerPaths({unrelated}, "id-u", "Unrelated"), 0);

    OperationsCenter center;
    Recorder recorder(center);
    int calls = 0;
    center.remove(plugins, [&] {
        ++calls;
        EXPECT_FALSE(center.isBusy()) << "idle before the callback";
    });
    ASSERT_TRUE(waitIdle(center));
    QCoreApplication::processEvents();

    EXPECT_EQ(calls, 1);
    EXPECT_EQ(recorder.statusTexts(),
              (QStringList{"正在删除…", "删除：" + odd, "删除：Stuck", "删除：Title", "已删除 2 个插件"}));
    EXPECT_EQ(recorder.fractions(), (QList<double>{1.0 / 3, 2.0 / 3, 1.0}));
    EXPECT_EQ(center.alertTitle(), QStringLiteral("部分插件删除失败"));
    EXPECT_EQ(center.alertMessage(), QStringLiteral("Stuck\n可能因权限或文件占用导致。"));
    EXPECT_FALSE(QFileInfo::exists(plugins[0].path));
    EXPECT_FALSE(QFileInfo::exists(plugins[2].path));
    EXPECT_TRUE(QFileInfo(category(PluginRoot::user, effect) + "/Neighbour/n").isFile());

    MarketInstallRegistry::reloadFromDisk();
    const auto entries = MarketInstallRegistry::entries();
    EXPECT_EQ(QStringList(entries.keyBegin(), entries.keyEnd()).size(), 2);
    EXPECT_TRUE(entries.contains(MarketInstallRegistry::standardizedPath(stuck.path)));
    EXPECT_TRUE(entries.contains(MarketInstallRegistry::standardizedPath(unrelated)));
}

TEST_F(OperationsCenterTest, SystemPluginsFallBackToTheAdministrator)
{
    FakeAlertPresenter presenter;
    presenter.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    // Plug-ins we may not move (another user's): the administrator's, as recorded.
    FaultyFileOps files;
    files.failOn(FaultyFileOps::Op::rename, "/Gr'anted\n", EACCES);
    files.failOn(FaultyFileOps::Op::rename, "/Refused\n", EACCES);
    PluginFixtures::writeBytes(category(PluginRoot::system, effect) + "/Gr'anted/a", "a");
    PluginFixtures::writeBytes(category(PluginRoot::system, effect) + "/Refused/a", "a");
    const Plugin granted = pluginAt(PluginRoot::system, effect, "Gr'anted");
    const Plugin refused = pluginAt(PluginRoot::system, effect, "Refused");
    AdminRunner::Outcome failure;
    failure.launched = true;
    failure.exitStatus = 1;
    runner.queueOutcome({true, 0, {}, {}});
    runner.queueOutcome(failure);
    // The helper that answers 0 has removed it: the count looks at the disk.
    int runs = 0;
    runner.setBeforeRun([&] {
        if (runs++ == 0)
            QDir(granted.path).removeRecursively();
    });
    // A category folder linked elsewhere: nothing is deleted through it, not even by the administrator.
    const QString outside = TestEnv::root() + "/Outside";
    PluginFixtures::writeBytes(outside + "/tmp/keep", "other program's");
    PluginFixtures::makeSymlink(outside, TestEnv::systemLibrary() + "/Generators.localized");
    const Plugin linked = pluginAt(PluginRoot::system, ZFCPluginType::generator, "tmp");
    // A plug-in that is itself a link goes as a link; what it leads to stays.
    PluginFixtures::makeSymlink(outside + "/tmp", category(PluginRoot::system, effect) + "/Alias");
    const Plugin alias = pluginAt(PluginRoot::system, effect, "Alias");

    OperationsCenter center;
    bool called = false;
    center.remove({granted, refused, linked, alias}, [&] { called = true; });
    ASSERT_TRUE(waitIdle(center));
    QCoreApplication::processEvents();
    EXPECT_TRUE(called);
    // Each by the folder, the name and the room the removal recorded.
    ASSERT_EQ(runner.commands().size(), 2);
    const QString folder = category(PluginRoot::system, effect).mid(TestEnv::systemLibrary().size() + 1);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(runner.commands()[i].value(1), "remove");
        EXPECT_EQ(runner.commands()[i].value(3), folder);
        EXPECT_EQ(runner.commands()[i].value(4), i == 0 ? "Gr'anted" : "Refused");
    }
    EXPECT_EQ(center.statusText(), QStringLiteral("已删除 2 个插件"));
    EXPECT_FALSE(QFileInfo(alias.path).isSymLink());
    EXPECT_EQ(center.alertMessage(), "Refused\n可能因权限或文件占用导致。\ntmp\n经过符号链接，未删除。"
                                         + AdminAuth::systemLinkReason());
    EXPECT_TRUE(QFileInfo::exists(outside + "/tmp/keep"));
}

// ---- guards and lifetime

TEST_F(OperationsCenterTest, RequestsWhileBusyOrWithNothingToDoChangeNothing)
{
    FakeAlertPresenter presenter;
    const QString pkg = package("one.zfcp", {{effect, "Glow", glowA}});
    PackageMaker::makeFolder(category(PluginRoot::user, effect), "Victim", {{"v", "v"}});
    const Plugin victim = pluginAt(PluginRoot::user, effect, "Victim");

    OperationsCenter center;
    Recorder recorder(center);
    int calls = 0;
    const auto count = [&calls] { ++calls; };
    center.install({}, {}, count);
    center.remove({}, count);
    center.backup({}, BackupMode::single, std::nullopt, count);
    EXPECT_EQ(recorder.statuses.size() + recorder.busy.size() + recorder.progress.size(), 0);
    EXPECT_TRUE(presenter.panels().isEmpty());

    center.install({pkg}, {}, count);
    ASSERT_TRUE(center.isBusy());
    center.remove({victim}, count);
    center.install({pkg}, {}, count);
    center.backup({victim}, BackupMode::multi, std::nullopt, count);
    ASSERT_TRUE(waitIdle(center));
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(recorder.statusTexts().count(QStringLiteral("准备安装…")), 1);
    EXPECT_TRUE(QFileInfo::exists(victim.path));
    EXPECT_TRUE(presenter.panels().isEmpty());
}

TEST_F(OperationsCenterTest, ARunnerDestroyedMidwayDropsItsResults)
{
    const QString pkg = package("one.zfcp", {{effect, "Glow", {{"big.bin", PackageMaker::noise(3000000, 2)}}}});
    bool called = false;
    {
        OperationsCenter center;
        center.install({pkg}, {}, [&called] { called = true; });
    }
    WorkerThread::waitForAll();
    QCoreApplication::processEvents();
    EXPECT_FALSE(called);
    // The work itself was not abandoned halfway.
    EXPECT_EQ(PackageMaker::readTree(category(PluginRoot::user, effect) + "/Glow")["big.bin"].size(), 3000000);
}

// ---- backup

TEST_F(OperationsCenterTest, BackupWritesPackagesThatReadBack)
{
    const QMap<QString, QByteArray> glowFiles{{"Glow.moef", "glow"}, {"Media/a.png", PackageMaker::noise(1500000, 3)}};
    PackageMaker::makeFolder(category(PluginRoot::user, effect), "Glow", glowFiles);
    PackageMaker::makeFolder(category(PluginRoot::system, subtitle), "Title", {{"t.moti", "title"}});
    const QList<Plugin> plugins{pluginAt(PluginRoot::user, effect, "Glow"),
                                pluginAt(PluginRoot::system, subtitle, "Title")};

    struct Case {
        const char* name;
        BackupMode mode;
        std::optional<QString> defaultName;
    };
    const QList<Case> cases{
        {"single, proposed name", BackupMode::single, std::nullopt},
        {"single, given name", BackupMode::single, QStringLiteral("Glow.zfcp")},
        {"multi", BackupMode::multi, std::nullopt},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        revealed.clear();
        beeps = 0;
        const QString destination = c.mode == BackupMode::single ? work(QStringLiteral("out%1.zfcp").arg(round))
                                                                 : work(QStringLiteral("folder%1").arg(round));
        ++round;
        if (c.mode == BackupMode::multi)
            QDir().mkpath(destination);
        FakeAlertPresenter presenter;
        presenter.queuePick({QUrl::fromLocalFile(destination)});
        OperationsCenter center;
        Recorder recorder(center);
        int calls = 0;
        center.backup(plugins, c.mode, c.defaultName, [&calls] { ++calls; });
        ASSERT_TRUE(waitIdle(center));
        QCoreApplication::processEvents();

        ASSERT_EQ(presenter.panels().size(), 1);
        const AlertPresenter::Panel panel = presenter.panels().first();
        if (c.mode == BackupMode::single) {
            EXPECT_EQ(panel.kind, AlertPresenter::Panel::Kind::save);
            EXPECT_EQ(panel.title, QStringLiteral("保存备份文件"));
            EXPECT_EQ(panel.message, QStringLiteral("选择备份保存位置，文件名为「插件名.zfcp」"));
            EXPECT_EQ(panel.nameFieldValue, c.defaultName.value_or(QStringLiteral("插件备份.zfcp")));
        } else {
            EXPECT_EQ(panel.kind, AlertPresenter::Panel::Kind::open);
            EXPECT_EQ(panel.title, QStringLiteral("选择备份保存位置"));
            EXPECT_EQ(panel.message, QStringLiteral("每个插件会单独打包成一个 .zfcp 文件放到这个目录"));
            EXPECT_EQ(panel.prompt, QStringLiteral("选择"));
            EXPECT_TRUE(panel.canChooseDirectories);
            EXPECT_FALSE(panel.canChooseFiles);
        }
        EXPECT_TRUE(panel.canCreateDirectories);

        EXPECT_EQ(calls, 1);
        EXPECT_EQ(center.statusText(), QStringLiteral("备份完成"));
        EXPECT_EQ(recorder.statusTexts().first(), QStringLiteral("正在打包…"));
        EXPECT_EQ(revealed, QStringList{destination});
        EXPECT_EQ(beeps, 1);

        // Read back and extract: the same trees come out.
        const QStringList packages = c.mode == BackupMode::single
            ? QStringList{destination}
            : QStringList{destination + "/Glow.zfcp", destination + "/Title.zfcp"};
        QTemporaryDir restored;
        QStringList names;
        for (const QString& path : packages) {
            ZFCPackageReader reader(QFile::encodeName(path).toStdString());
            for (const ZFCPlugin& plugin : reader.plugins())
                names << text(plugin.type) + "/" + text(plugin.name);
            reader.extractAll(QFile::encodeName(restored.path()).toStdString());
        }
        EXPECT_EQ(names, (QStringList{"effect/Glow", "subtitle/Title"}));
        EXPECT_EQ(PackageMaker::readTree(restored.path() + "/Effects.localized/Glow"),
                  PackageMaker::readTree(plugins[0].path));
        EXPECT_EQ(PackageMaker::readTree(restored.path() + "/Titles.localized/Title"),
                  PackageMaker::readTree(plugins[1].path));
    }
}

TEST_F(OperationsCenterTest, BackupCancelledOrFailedKeepsItsPromises)
{
    const QList<Plugin> missing{pluginAt(PluginRoot::user, effect, "Missing")};
    {
        SCOPED_TRACE("cancelled panel");
        FakeAlertPresenter presenter; // nothing queued: cancelled
        OperationsCenter center;
        Recorder recorder(center);
        bool called = false;
        center.backup(missing, BackupMode::single, std::nullopt, [&] { called = true; });
        QCoreApplication::processEvents();
        EXPECT_EQ(presenter.panels().size(), 1);
        EXPECT_FALSE(center.isBusy());
        EXPECT_EQ(recorder.statuses.size(), 0);
        EXPECT_FALSE(called);
    }
    {
        SCOPED_TRACE("source folder missing");
        FakeAlertPresenter presenter;
        presenter.queuePick({QUrl::fromLocalFile(work("fail.zfcp"))});
        OperationsCenter center;
        bool called = false;
        center.backup(missing, BackupMode::single, std::nullopt, [&] { called = true; });
        ASSERT_TRUE(waitIdle(center));
        QCoreApplication::processEvents();
        EXPECT_FALSE(called);
        EXPECT_EQ(center.alertTitle(), QStringLiteral("备份失败"));
        EXPECT_EQ(center.alertMessage(),
                  text(ZFCPackageError::sourceDirMissing(QFile::encodeName(missing[0].path).toStdString())
                           .errorDescription()));
        EXPECT_EQ(center.statusText(), QString());
        EXPECT_TRUE(revealed.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(work("fail.zfcp")));
    }
    {
        SCOPED_TRACE("system plug-in that is a link");
        const QString outside = PackageMaker::makeFolder(workRoot(), "outside", {{"private", "someone's"}});
        PluginFixtures::makeSymlink(outside, category(PluginRoot::system, effect) + "/Alias");
        FakeAlertPresenter presenter;
        presenter.queuePick({QUrl::fromLocalFile(work("alias.zfcp"))});
        OperationsCenter center;
        center.backup({pluginAt(PluginRoot::system, effect, "Alias")}, BackupMode::single, std::nullopt);
        ASSERT_TRUE(waitIdle(center));
        QCoreApplication::processEvents();
        EXPECT_EQ(center.alertTitle(), QStringLiteral("备份失败"));
        EXPECT_EQ(center.alertMessage(), AdminAuth::linkRefusal(category(PluginRoot::system, effect) + "/Alias"));
        EXPECT_FALSE(QFileInfo::exists(work("alias.zfcp")));
    }
}

// "备份完成" only once the packages are on the disk: the packer's syncs run inside the call,
// and one that fails (the disk reports a write error) makes the backup a failure, said so.
TEST_F(OperationsCenterTest, ABackupIsDoneOnlyOnceItsPackagesAreOnTheDisk)
{
    PackageMaker::makeFolder(category(PluginRoot::user, effect), "Glow", {{"Glow.moef", "glow"}});
    const QList<Plugin> plugins{pluginAt(PluginRoot::user, effect, "Glow")};
    struct Case {
        const char* name;
        BackupMode mode;
        bool fails;
        QList<ZFCPacker::SyncStep> steps;
    };
    using Step = ZFCPacker::SyncStep;
    const QList<Case> cases{
        {"single", BackupMode::single, false, {Step::file, Step::folder}},
        {"single, the disk fails", BackupMode::single, true, {Step::file}},
        {"multi", BackupMode::multi, false, {Step::fileSystem}},
        {"multi, the disk fails", BackupMode::multi, true, {Step::fileSystem}},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        revealed.clear();
        const QString destination = c.mode == BackupMode::single ? work(QStringLiteral("synced%1.zfcp").arg(round))
                                                                 : work(QStringLiteral("synced%1").arg(round));
        ++round;
        if (c.mode == BackupMode::multi)
            QDir().mkpath(destination);
        QList<Step> steps;
        std::mutex stepsMutex;
        ZFCPacker::setSyncHookForTests([&](int, Step step) {
            const std::lock_guard lock(stepsMutex);
            steps << step;
            return c.fails ? EIO : 0;
        });
        FakeAlertPresenter presenter;
        presenter.queuePick({QUrl::fromLocalFile(destination)});
        OperationsCenter center;
        bool called = false;
        center.backup(plugins, c.mode, std::nullopt, [&called] { called = true; });
        const bool idle = waitIdle(center);
        QCoreApplication::processEvents();
        ZFCPacker::setSyncHookForTests({});
        ASSERT_TRUE(idle);
        EXPECT_EQ(steps, c.steps);
        EXPECT_EQ(called, !c.fails);
        if (c.fails) {
            EXPECT_EQ(center.alertTitle(), QStringLiteral("备份失败"));
            EXPECT_TRUE(center.alertMessage().value_or(QString()).startsWith(SystemError::describe(EIO)))
                << center.alertMessage().value_or(QString()).toStdString();
            EXPECT_NE(center.statusText(), QStringLiteral("备份完成"));
            EXPECT_TRUE(revealed.isEmpty());
        } else {
            EXPECT_EQ(center.statusText(), QStringLiteral("备份完成"));
            EXPECT_EQ(revealed, QStringList{destination});
        }
    }
}

TEST_F(OperationsCenterTest, APanelAnsweringDuringAnotherOperationStartsNothing)
{
    PackageMaker::makeFolder(category(PluginRoot::user, effect), "Glow", glowA);
    PackageMaker::makeFolder(category(PluginRoot::user, effect), "Other", {{"o", "o"}});
    const Plugin glow = pluginAt(PluginRoot::user, effect, "Glow");
    DeferredPanelPresenter presenter;
    const QString destination = work("late.zfcp");

    OperationsCenter center;
    bool backedUp = false;
    center.backup({glow}, BackupMode::single, std::nullopt, [&] { backedUp = true; });
    ASSERT_TRUE(presenter.pending);
    EXPECT_FALSE(center.isBusy()) << "idle while the panel is open";

    bool removed = false;
    center.remove({pluginAt(PluginRoot::user, effect, "Other")}, [&] { removed = true; });
    ASSERT_TRUE(center.isBusy());
    presenter.pending({QUrl::fromLocalFile(destination)});
    ASSERT_TRUE(waitIdle(center));
    WorkerThread::waitForAll();
    QCoreApplication::processEvents();
    EXPECT_TRUE(removed);
    EXPECT_FALSE(backedUp);
    EXPECT_EQ(center.statusText(), QStringLiteral("已删除 1 个插件"));
    EXPECT_FALSE(QFileInfo::exists(destination));

    // A panel answering after its runner is gone does nothing either.
    auto gone = std::make_unique<OperationsCenter>();
    gone->backup({glow}, BackupMode::single);
    gone.reset();
    presenter.pending({QUrl::fromLocalFile(destination)});
    WorkerThread::waitForAll();
    QCoreApplication::processEvents();
    EXPECT_FALSE(QFileInfo::exists(destination));
}

// ---- progress

TEST(ProgressThrottleTest, FormatsClampsAndThrottles)
{
    struct Case { double in; double out; };
    for (const Case c : {Case{1.7, 1}, Case{-0.2, 0}, Case{-1, 0}, Case{0.25, 0.25}, Case{1, 1}}) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(ProgressThrottle::clampedFraction(c.in), c.out);
    }
    EXPECT_EQ(ProgressThrottle::text({ZFCProgress::Stage::decrypting, "Glow", 0.5}), QStringLiteral("解码：Glow"));
    EXPECT_EQ(ProgressThrottle::text({ZFCProgress::Stage::assembling, "", 0.5}), QStringLiteral("编译："));

    qint64 now = 0;
    QList<std::pair<QString, double>> delivered;
    ProgressThrottle throttle([&](const QString& t, double f) { delivered.append({t, f}); }, 33, [&] { return now; });
    // A thousand reports within a tenth of a second reach the GUI four times...
    for (int i = 0; i < 1000; ++i) {
        now = i / 10;
        throttle.report({ZFCProgress::Stage::decrypting, "Big", i / 1000.0});
    }
    EXPECT_EQ(delivered.size(), 4);
    // ...and the newest one is never lost.
    throttle.flush();
    ASSERT_EQ(delivered.size(), 5);
    EXPECT_EQ(delivered.last().second, 0.999);
    throttle.flush();
    EXPECT_EQ(delivered.size(), 5) << "nothing held back twice";
    now += 100;
    throttle.report({ZFCProgress::Stage::extracting, "Big", 1.7});
    ASSERT_EQ(delivered.size(), 6);
    EXPECT_EQ(delivered.last(), std::make_pair(QStringLiteral("提取：Big"), 1.0));
}

// A file name the file system refuses (longer than a name may be, or a path longer than a path
// may be): the message names the plug-in's place and the file, never a hidden folder of ours.
TEST_F(OperationsCenterTest, ANameTheFileSystemRefusesIsToldByThePluginsPlace)
{
    const std::string longName(300, 'x');
    std::string longPath;
    for (int i = 0; i < 20; ++i)
        longPath += std::string(250, char('a' + i)) + "/";
    longPath += "f";
    for (const PluginRoot root : {PluginRoot::user, PluginRoot::system}) {
        for (const std::string& name : {longName, longPath}) {
            SCOPED_TRACE(name.size());
            TestEnv::reset();
            QDir().mkpath(TestEnv::systemLibrary());
            const QString pkg = package("long.zfcp", {{effect, "Glow", {{"long.txt", "x"}}}});
            PackageMaker::rewriteMetadata(pkg, [&](std::string json) {
                json.replace(json.find("long.txt"), 8, name);
                return json;
            });
            InstallPlan plan;
            plan.root = root;
            OperationsCenter center;
            EXPECT_FALSE(install(center, {pkg}, plan));
            const QString message = center.alertMessage().value_or(QString());
            // What the message shows depends on the length of the place (a long name is cut in
            // the middle, a long path refused at the folder where it grows too long): it is
            // compared with the text made of the plug-in's own place, wherever the test runs.
            const QString place = category(root, effect) + "/Glow/";
            const QString file = place + QString::fromStdString(name);
            const QString line = message.section('\n', 0, 0);
            const QString tooLong = SystemError::describe(ENAMETOOLONG) + QStringLiteral("：");
            if (line.startsWith(tooLong)) {
                const QString shown = line.mid(tooLong.size());
                EXPECT_TRUE(shown.startsWith(place) && file.startsWith(shown)) << message.toStdString();
            } else {
                EXPECT_EQ(line, text(ZFCPackageError::failure(ZFCPackageError::Kind::fileCreateFailed,
                                                              QFile::encodeName(file).toStdString())
                                         .errorDescription()));
            }
            EXPECT_TRUE(message.endsWith("\n封包：long.zfcp")) << message.toStdString();
            EXPECT_FALSE(message.contains(".loomwork-")) << message.toStdString();
            EXPECT_FALSE(message.contains("/proc/self/fd")) << message.toStdString();
            EXPECT_TRUE(PackageMaker::namesIn(category(root, effect)).isEmpty());
        }
    }
}

// The journal cannot be kept (its folder another user's, a link, or open to others): the
// install takes no step, and the message names the journal's folder, not the library.
TEST_F(OperationsCenterTest, AJournalThatCannotBeKeptIsNamedAndNothingIsInstalled)
{
    const QString pkg = package("one.zfcp", {{effect, "Glow", glowA}});
    const QString elsewhere = TestEnv::root() + "/elsewhere";
    const std::function<void(const QString&)> spoil[] = {
        [](const QString& folder) { ::chmod(QFile::encodeName(folder).constData(), 0755); },
        [&](const QString& folder) {
            QDir(folder).removeRecursively();
            QDir().mkpath(elsewhere);
            PluginFixtures::makeSymlink(elsewhere, folder);
        },
        [](const QString& folder) { ::chmod(QFile::encodeName(QFileInfo(folder).path()).constData(), 0777); },
    };
    for (const auto& how : spoil) {
        TestEnv::reset();
        const QString journal = AppJournal::folder();
        QDir().mkpath(journal);
        how(journal);
        OperationsCenter center;
        EXPECT_FALSE(install(center, {pkg}, {}));
        const QString message = center.alertMessage().value_or(QString());
        EXPECT_TRUE(message.startsWith("无法写入操作记录：" + journal) || message.startsWith("无法写入操作记录：" + QFileInfo(journal).path()))
            << message.toStdString();
        EXPECT_FALSE(message.contains("Effects.localized")) << message.toStdString();
        EXPECT_TRUE(PackageMaker::namesIn(category(PluginRoot::user, effect)).isEmpty());
        ::chmod(QFile::encodeName(QFileInfo(journal).path()).constData(), 0700);
    }
}

// An old copy we may not remove ourselves (another user's, or root's) is the administrator's,
// as the install recorded it: in our room, or, where it could not be given another parent,
// beside the plug-in. The helper (run for real here) removes that item and nothing else.
TEST_F(OperationsCenterTest, AnOldCopyWeMayNotRemoveGoesToTheAdministratorAsRecorded)
{
    const struct {
        const char* label;
        QList<QPair<FaultyFileOps::Op, QString>> faults;
        const char* command;
    } cases[] = {
        {"in our room", {{FaultyFileOps::Op::removeTree, ".loomwork-install-"}}, "remove-in-room"},
        {"beside the plug-in",
         {{FaultyFileOps::Op::exchange, ".loomwork-install-"}, {FaultyFileOps::Op::removeTree, ".loomwork-incoming-"}},
         "remove"},
    };
    const QString pkg = package("one.zfcp", {{effect, "Glow", glowA}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TestEnv::reset();
        AdminAuth::resetExplanation();
        const QString effects = category(PluginRoot::system, effect);
        PackageMaker::makeFolder(effects, "Glow", {{"old.txt", "old"}});
        PackageMaker::makeFolder(effects, "Keep", {{"keep.txt", "keep"}});
        FakeAlertPresenter alerts;
        alerts.setDefaultAnswer(true);
        RecordingAdminRunner runner;
        runner.setExecuteLocally(true);
        InstallPlan plan;
        plan.root = PluginRoot::system;
        {
            FaultyFileOps files;
            for (const auto& [op, marker] : c.faults)
                files.failOn(op, marker, EACCES);
            OperationsCenter center;
            EXPECT_TRUE(install(center, {pkg}, plan));
            EXPECT_EQ(center.statusText(), "已安装 1 个插件");
        }
        ASSERT_EQ(runner.commands().size(), 1);
        EXPECT_EQ(runner.commands()[0].value(1), c.command);
        EXPECT_EQ(PackageMaker::readTree(effects + "/Glow").value("Glow.moef"), glowA.value("Glow.moef"));
        EXPECT_EQ(PackageMaker::namesIn(effects), QStringList({"Glow", "Keep"})) << "nothing hidden left";
        EXPECT_TRUE(QDir(AppJournal::folder()).entryList(QDir::Files).isEmpty());
    }
}

// The journal turns unwritable (a disk remounted read-only) after the first plug-in of two was
// swapped in, and that one cannot be swapped back either: the message says which plug-in is
// new, never that nothing changed.
TEST_F(OperationsCenterTest, AJournalLostMidwaySaysWhatStandsOnDisk)
{
    class LostJournal final : public FileOps
    {
    public:
        LostJournal() : m_previous(setCurrent(this)) {}
        ~LostJournal() override { setCurrent(m_previous); }
        int stepFault(Step step, const QString&) override
        {
            // Once the first plug-in is swapped in, whichever write comes next.
            if (step == Step::writeJournal && m_exchanges >= 1)
                return EROFS;
            if (step == Step::exchange && ++m_exchanges >= 2)
                return EROFS;
            return 0;
        }

    private:
        int m_exchanges = 0;
        FileOps* m_previous;
    };
    const QString effects = category(PluginRoot::user, effect);
    PackageMaker::makeFolder(effects, "Glow", {{"old.txt", "old"}});
    PackageMaker::makeFolder(effects, "Spark", {{"old.txt", "old"}});
    const QString pkg = package("two.zfcp", {{effect, "Glow", glowA}, {effect, "Spark", glowB}});
    QString message;
    {
        LostJournal lost;
        OperationsCenter center;
        EXPECT_FALSE(install(center, {pkg}, {}));
        message = center.alertMessage().value_or(QString());
    }
    EXPECT_TRUE(message.startsWith("无法写入操作记录：")) << message.toStdString();
    const bool glowNew = PackageMaker::readTree(effects + "/Glow").value("Glow.moef") == glowA.value("Glow.moef");
    ASSERT_TRUE(glowNew) << "the case needs the first plug-in left new: " << message.toStdString();
    EXPECT_TRUE(message.contains("Glow 未能还原，已是封包里的版本")) << message.toStdString();
    EXPECT_FALSE(message.contains("插件没有改动")) << message.toStdString();
    EXPECT_EQ(PackageMaker::readTree(effects + "/Spark"), (QMap<QString, QByteArray>{{"old.txt", "old"}}));
}

// A plug-in that someone else moved or deleted after the list showed it is said to be no longer
// where the list showed it, never blamed on rights or a busy file; nothing else is touched.
TEST_F(OperationsCenterTest, APlugInGoneBeforeItsDeleteIsSaidToBeNoLongerWhereTheListShowedIt)
{
    struct Case {
        const char* name;
        bool moved; // else deleted
        bool held;  // through the folders a question read
        PluginRoot root;
    };
    const Case cases[] = {
        {"moved in its folder", true, false, PluginRoot::user},
        {"deleted", false, false, PluginRoot::user},
        {"moved, folders held", true, true, PluginRoot::user},
        {"deleted, folders held", false, true, PluginRoot::system},
        {"moved in the system library, folders held", true, true, PluginRoot::system},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        PackageMaker::makeFolder(category(c.root, effect), "Gone", {{"a", "a"}});
        Plugin gone = pluginAt(c.root, effect, "Gone");
        ASSERT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(gone.path), gone.identity), 0);
        auto held = c.held ? std::make_shared<HeldFolders>() : nullptr;
        if (held) {
            ASSERT_GE(held->folderOf(gone.path), 0);
        }
        const QString elsewhere = category(c.root, effect) + "/Elsewhere";
        if (c.moved)
            ASSERT_TRUE(QDir().rename(gone.path, elsewhere));
        else
            ASSERT_TRUE(QDir(gone.path).removeRecursively());

        OperationsCenter center;
        center.remove({gone}, {}, {}, held);
        ASSERT_TRUE(waitIdle(center));
        QCoreApplication::processEvents();
        EXPECT_EQ(center.alertTitle(), QStringLiteral("部分插件删除失败"));
        EXPECT_EQ(center.alertMessage(),
                  QStringLiteral("「Gone」已不在列表显示的位置（可能已被移动或删除），未删除。请刷新列表后重试。"));
        EXPECT_EQ(center.statusText(), QStringLiteral("已删除 0 个插件"));
        if (c.moved) {
            EXPECT_EQ(PackageMaker::readTree(elsewhere), (QMap<QString, QByteArray>{{"a", "a"}}));
        }
    }
}

// A system plug-in only the administrator may remove: the helper is told the owner the question
// named, removes the plug-in only while it has that owner, and otherwise the user hears which
// plug-in was left and whose it is.
TEST_F(OperationsCenterTest, TheAdministratorDeletesOnlyWhileThePlugInHasTheOwnerTheUserWasTold)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a plug-in to another user";
    struct Case {
        const char* name;
        uid_t ownerAtQuestion;
        uid_t ownerAtStep;
        bool asked; // the owner was read for a question
        bool removed;
    };
    const Case cases[] = {
        {"told its owner", 4343, 4343, true, true},
        {"told another owner", 4242, 4343, true, false},
        {"nobody named", 4343, 4343, false, false},
    };
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    runner.setExecuteLocally(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        AdminAuth::resetExplanation();
        // Our own step may not move it: the administrator's.
        FaultyFileOps files;
        files.failOn(FaultyFileOps::Op::rename, "Effects.localized/Glow\n", EACCES);
        PackageMaker::makeFolder(category(PluginRoot::system, effect), "Glow", {{"a", "a"}});
        Plugin glow = pluginAt(PluginRoot::system, effect, "Glow");
        const QByteArray native = QFile::encodeName(glow.path);
        ASSERT_EQ(::chown(native.constData(), c.ownerAtQuestion, c.ownerAtQuestion), 0);
        ASSERT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(glow.path), glow.identity), 0);
        auto held = std::make_shared<HeldFolders>();
        if (c.asked) {
            ASSERT_EQ(held->readOwner(glow.path, glow.identity), std::optional<uid_t>(c.ownerAtQuestion));
        }
        ASSERT_EQ(::chown(native.constData(), c.ownerAtStep, c.ownerAtStep), 0);

        OperationsCenter center;
        center.remove({glow}, {}, {}, held);
        ASSERT_TRUE(waitIdle(center));
        QCoreApplication::processEvents();
        EXPECT_EQ(QFileInfo::exists(glow.path), !c.removed);
        EXPECT_EQ(center.statusText(), c.removed ? QStringLiteral("已删除 1 个插件") : QStringLiteral("已删除 0 个插件"));
        if (c.removed) {
            EXPECT_FALSE(center.alertMessage().has_value());
            continue;
        }
        const QString toldName = c.asked ? QStringLiteral("UID ") + QString::number(c.ownerAtQuestion) : QStringLiteral("root");
        EXPECT_EQ(center.alertMessage(), QStringLiteral("「Glow」现在属于用户「UID 4343」，不是确认时告知的「") + toldName
                                             + QStringLiteral("」，管理员没有删除或替换它：") + glow.path);
        EXPECT_EQ(PackageMaker::readTree(glow.path), (QMap<QString, QByteArray>{{"a", "a"}}));
        SafeFS::Identity now;
        ASSERT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(glow.path), now), 0);
        EXPECT_EQ(now, glow.identity);
    }
}
