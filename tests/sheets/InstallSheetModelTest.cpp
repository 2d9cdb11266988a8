#include <memory>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "LoomworkKit/ZFCPackageError.h"
#include <SafeFS/Identity.h>
#include "engine/operations/OperationsCenter.h"
#include "sheets/InstallSheetModel.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

namespace {

using Choice = InstallSheetModel::Choice;
using Phase = InstallSheetModel::Phase;
using Packaged = PackageMaker::PackagedPlugin;

class InstallSheetModelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        ASSERT_TRUE(m_dir.isValid());
    }

    QString package(const QString& name, const QList<Packaged>& plugins)
    {
        const QString path = m_dir.filePath(name);
        PackageMaker::writePackage(path, plugins);
        return path;
    }

    QString junk(const QString& name, const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(name);
        PluginFixtures::writeBytes(path, bytes);
        return path;
    }

    // A model whose scan has finished, with its outcome recorded.
    std::unique_ptr<InstallSheetModel> parsed(const QStringList& files, PluginRoot target)
    {
        auto model = std::make_unique<InstallSheetModel>(files, target);
        QObject::connect(model.get(), &InstallSheetModel::installRequested, model.get(),
                         [this](const InstallPlan& plan) { m_plans.append(plan); });
        QObject::connect(model.get(), &InstallSheetModel::cancelRequested, model.get(), [this] { ++m_cancels; });
        model->parse();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !model->isParsing(); }, 20000));
        return model;
    }

    // Glow in both libraries and "Glow 2" in the user library; Title in the system library.
    void furnishLibraries()
    {
        PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
        PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow 2");
        PluginFixtures::makePlugin(PluginRoot::system, ZFCPluginType::effect, "Glow");
        PluginFixtures::makePlugin(PluginRoot::system, ZFCPluginType::subtitle, "Title");
    }

    // Clashes of every kind: both libraries, across packages and twice inside one package.
    QStringList mixedBatch()
    {
        return {package("a.zfcp", {{"effect", "Glow"}, {"subtitle", "Title"}, {"generator", "Dup"}}),
                package("b.zfcp", {{"generator", "Dup"}, {"effect", "New"}}),
                package("c.zfcp", {{"effect", "Twin"}, {"effect", "Twin"}})};
    }

    QTemporaryDir m_dir;
    QList<InstallPlan> m_plans;
    int m_cancels = 0;
};

QStringList hitNames(const InstallConflictScanner::Report& report)
{
    QStringList names;
    for (const auto& hit : report.hits)
        names << hit.name;
    return names;
}

} // namespace

TEST_F(InstallSheetModelTest, RowsCountEveryPluginButOnlyKnownTypesBecomeEntries)
{
    const QStringList files{package("Mixed.ZFCP", {{"transitions", "Wipe"}, {"effect", "Glow"}, {"motion", "Odd"},
                                                   {"subtitle", "Lower Third"}, {"effect", "Blur"}}),
                            package("unknown.zfcp", {{"motion", "One"}, {"Effect", "Two"}}),
                            package("one.zfcp", {{"generator", "Grid"}})};
    const auto result = InstallSheetModel::scanPackages(files);
    ASSERT_FALSE(result.error) << result.error->toStdString();
    ASSERT_EQ(result.rows.size(), 3);
    EXPECT_EQ(result.rows[0], (InstallSheetModel::FileRow{0, "Mixed.ZFCP", {"字幕", "效果", "转场"}, 5}));
    // Unrecognised types (case matters) count as plug-ins but give no category and no entry.
    EXPECT_EQ(result.rows[1], (InstallSheetModel::FileRow{1, "unknown.zfcp", {}, 2}));
    EXPECT_EQ(result.rows[2], (InstallSheetModel::FileRow{2, "one.zfcp", {"发生器"}, 1}));
    ASSERT_EQ(result.entries.size(), 5);
    EXPECT_EQ(result.entries[0].name, "Wipe");
    EXPECT_EQ(result.entries[4].name, "Grid");
    EXPECT_EQ(result.entries[4].packageIndex, 2);
    EXPECT_EQ(result.report.total, 5);
    EXPECT_TRUE(result.report.hits.isEmpty());
    EXPECT_TRUE(result.renamePairs.isEmpty());
}

TEST_F(InstallSheetModelTest, ClashesWithBothLibrariesAndWithinTheBatchGetTheirTextsAndOwnNames)
{
    furnishLibraries();
    auto model = parsed(mixedBatch(), PluginRoot::system);
    ASSERT_FALSE(model->parseError()) << model->parseError()->toStdString();
    const auto& report = model->report();
    EXPECT_EQ(hitNames(report), (QStringList{"Glow", "Title", "Dup", "Dup", "Twin", "Twin"}));
    EXPECT_EQ(report.perPackage, (QHash<int, int>{{0, 3}, {1, 1}, {2, 2}}));
    EXPECT_EQ(report.userCount(), 1);
    EXPECT_EQ(report.systemCount(), 2);
    EXPECT_EQ(report.batchDuplicateCount(), 4);

    // Every clashing plug-in gets a free name; the two Twins of one package each their own.
    const QList<InstallSheetModel::RenameItem> expected{
        {"0|effect|Glow", "Glow", "Glow 3", ZFCPluginType::effect},
        {"0|subtitle|Title", "Title", "Title 2", ZFCPluginType::subtitle},
        {"0|generator|Dup", "Dup", "Dup 2", ZFCPluginType::generator},
        {"1|generator|Dup", "Dup", "Dup 3", ZFCPluginType::generator},
        {"2|effect|Twin", "Twin", "Twin 2", ZFCPluginType::effect},
        {"2|effect|Twin|2", "Twin", "Twin 3", ZFCPluginType::effect}};
    EXPECT_EQ(model->renamePairs(), expected);

    EXPECT_EQ(model->totalPlugins(), 7);
    EXPECT_EQ(model->headerSubtitle(), "共 3 个 .zfcp 文件 · 7 个插件");
    EXPECT_EQ(model->hintTitle(), "2 个插件与本机已有的同名，另有 4 个批内重名");
    EXPECT_EQ(model->hintDetail(),
              "用户库已有 1 个 · 系统库已有 2 个 · 本批文件内重名 4 个。点「安装」后可选择：覆盖 / 重命名后安装 / 换到用户库安装。");
    EXPECT_EQ(model->conflictTitle(), "发现 6 个同名插件");
    EXPECT_EQ(model->conflictSubtitle(),
              "本次共 7 个插件，其中 2 个与本机已有的同名（用户库 1、系统库 2）；另有 4 个是本批文件内重名");
    EXPECT_EQ(model->conflictListTitle(), "冲突清单（7 个插件里 6 个命中）");
    EXPECT_EQ(model->moveBlockerText(), QString("这些插件在用户库里也有同名，换库依然会冲突，只能覆盖或重命名"));
    EXPECT_EQ(model->choiceDetail(Choice::overwrite),
              "用包里的文件替换本机已有的同名插件，原插件无法恢复；本批内部重名的只保留最后一个");
    EXPECT_EQ(model->choiceDetail(Choice::rename), "在原名称后加编号（Glow → Glow 3），本机已有的插件保持不动");

    model->setTargetRoot(PluginRoot::user);
    EXPECT_EQ(model->hintDetail(),
              "用户库已有 1 个 · 系统库已有 2 个 · 本批文件内重名 4 个。点「安装」后可选择：覆盖 / 重命名后安装。");
}

TEST_F(InstallSheetModelTest, TextsAndMoveBlockerFollowWhereTheClashesAre)
{
    struct Case {
        const char* name;
        QList<Packaged> plugins;
        PluginRoot target;
        QString hintTitle;
        QString subtitle;
        std::optional<QString> blocker;
    };
    const QString userTarget = "当前目标已经是用户库，这个方式只在系统库有同名时可用";
    const QString batch = "本次导入的文件之间就有重名，换库解决不了，请用重命名";
    const Case cases[] = {
        {"only in the system library", {{"subtitle", "Title"}, {"effect", "Fresh"}}, PluginRoot::system,
         "1 个插件与本机已有的同名", "本次共 2 个插件，其中 1 个与本机已有的同名（系统库 1）", std::nullopt},
        {"only in the system library, user target", {{"subtitle", "Title"}}, PluginRoot::user,
         "1 个插件与本机已有的同名", "本次共 1 个插件，其中 1 个与本机已有的同名（系统库 1）", userTarget},
        {"twice in one package, nothing local", {{"generator", "Same"}, {"generator", "Same"}}, PluginRoot::system,
         "本批文件里有 2 个重名插件", "本次共 2 个插件，另有 2 个是本批文件内重名", batch},
        {"same name, other type", {{"generator", "Title"}, {"transitions", "Title"}}, PluginRoot::system,
         "", "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        PluginFixtures::makePlugin(PluginRoot::system, ZFCPluginType::subtitle, "Title");
        auto model = parsed({package(QString("%1.zfcp").arg(c.name), c.plugins)}, c.target);
        ASSERT_FALSE(model->parseError());
        EXPECT_EQ(model->moveBlockerText(), c.blocker);
        EXPECT_EQ(model->isChoiceDisabled(Choice::moveToUser), c.blocker.has_value());
        if (c.hintTitle.isEmpty()) {
            EXPECT_FALSE(model->hasHits());
            continue;
        }
        EXPECT_EQ(model->hintTitle(), c.hintTitle);
        EXPECT_EQ(model->conflictSubtitle(), c.subtitle);
        EXPECT_EQ(model->choiceDetail(Choice::moveToUser),
                  c.blocker.value_or("整批插件都装进用户库（无需管理员），系统库那份保留，同一个插件会出现两份，不建议"));
    }
}

TEST_F(InstallSheetModelTest, AnUnreadablePackageStopsTheScanAndNamesTheFile)
{
    const QString good = package("first.zfcp", {{"effect", "Glow"}, {"effect", "Glow"}});
    const QString never = package("third.zfcp", {{"effect", "Other"}});
    struct Case {
        const char* name;
        QString path;
        QString description;
    };
    const Case cases[] = {
        {"missing", m_dir.filePath("gone.zfcp"), "文件或文件夹不存在"},
        {"too small", junk("tiny.zfcp", "abc"), QString::fromStdString(ZFCPackageError::fileTooSmall().errorDescription())},
        {"garbage", junk("noise.zfcp", QByteArray(4096, '\x5a')),
         QString::fromStdString(ZFCPackageError::metadataCorrupted().errorDescription())},
        {"hostile length", junk("huge.zfcp", QByteArray("\xff\xff\xff\x7f\0\0\0\0", 8) + QByteArray(64, 'x')),
         QString::fromStdString(ZFCPackageError::metadataCorrupted().errorDescription())},
        {"a folder", [&] { QDir().mkpath(m_dir.filePath("folder.zfcp")); return m_dir.filePath("folder.zfcp"); }(),
         "是一个文件夹"},
        // A package cut short (a copy or download that stopped): refused here, said as damage.
        {"cut short", junk("short.zfcp", PluginFixtures::readBytes(package("whole.zfcp", {{"effect", "Cut"}})).chopped(1)),
         QString::fromStdString(ZFCPackageError::incomplete("Cut").errorDescription())},
        // Opening it would wait for a writer forever.
        {"a FIFO", [&] { ::mkfifo(QFile::encodeName(m_dir.filePath("pipe.zfcp")).constData(), 0600); return m_dir.filePath("pipe.zfcp"); }(),
         "不是普通文件"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_plans.clear();
        auto model = parsed({good, c.path, never}, PluginRoot::user);
        ASSERT_TRUE(model->parseError());
        const QString prefix = "无法解析 " + QFileInfo(c.path).fileName() + "：";
        EXPECT_TRUE(model->parseError()->startsWith(prefix)) << model->parseError()->toStdString();
        EXPECT_GT(model->parseError()->size(), prefix.size());
        if (!c.description.isEmpty()) {
            EXPECT_EQ(*model->parseError(), prefix + c.description);
        }
        // What was read stays listed; no conflict data; nothing can be installed.
        ASSERT_EQ(model->rows().size(), 1);
        EXPECT_EQ(model->rows()[0].name, "first.zfcp");
        EXPECT_EQ(model->report().total, 0);
        EXPECT_TRUE(model->report().hits.isEmpty());
        EXPECT_TRUE(model->report().perPackage.isEmpty());
        EXPECT_TRUE(model->renamePairs().isEmpty());
        EXPECT_FALSE(model->canInstall());
        model->reviewConfirm();
        EXPECT_TRUE(m_plans.isEmpty());
    }
}

TEST_F(InstallSheetModelTest, TwoHundredPackagesAreReadOffTheGuiThreadAndAllGetNames)
{
    QStringList files;
    for (int i = 0; i < 200; ++i)
        files << package(QString("p%1.zfcp").arg(i), {{"effect", "Shared"}, {"subtitle", QString("Own %1").arg(i)}});

    InstallSheetModel model(files, PluginRoot::user);
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(0);
    model.parse();
    // parse() only starts the work: nothing is applied until the event loop runs.
    EXPECT_TRUE(model.isParsing());
    EXPECT_TRUE(model.rows().isEmpty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isParsing(); }, 60000));
    EXPECT_GT(ticks, 0);

    ASSERT_FALSE(model.parseError());
    EXPECT_EQ(model.rows().size(), 200);
    EXPECT_EQ(model.totalPlugins(), 400);
    EXPECT_EQ(model.report().hits.size(), 200);
    EXPECT_EQ(model.hintTitle(), "本批文件里有 200 个重名插件");
    ASSERT_EQ(model.renamePairs().size(), 200);
    QSet<QString> names;
    for (const auto& pair : model.renamePairs())
        names.insert(pair.to);
    EXPECT_EQ(names.size(), 200);
    EXPECT_TRUE(names.contains("Shared 2"));
    EXPECT_TRUE(names.contains("Shared 201"));
}

TEST_F(InstallSheetModelTest, ConfirmingGivesExactlyOnePlanOfTheChosenWay)
{
    // Without clashes the review page installs at once into the chosen library.
    {
        auto model = parsed({package("clean.zfcp", {{"effect", "Fresh"}})}, PluginRoot::system);
        model->reviewConfirm();
        ASSERT_EQ(m_plans.size(), 1);
        EXPECT_EQ(m_plans[0].root, PluginRoot::system);
        EXPECT_TRUE(m_plans[0].renames.isEmpty());
        EXPECT_EQ(model->phase(), Phase::review);
        model->reviewConfirm();
        model->cancel();
        EXPECT_EQ(m_plans.size(), 1);
        EXPECT_EQ(m_cancels, 0);
    }

    SetUp();
    PluginFixtures::makePlugin(PluginRoot::system, ZFCPluginType::effect, "Glow");
    const QString systemGlow = InstallPlan::target(PluginRoot::system, ZFCPluginType::effect, "Glow");
    const QString clash = package("clash.zfcp", {{"effect", "Glow"}, {"generator", "New"}});
    struct Case {
        const char* name;
        PluginRoot target;
        std::optional<PluginRoot> switchTo; // on the review page, after choosing
        Choice choice;
        Choice expectedChoice;
        PluginRoot expectedRoot;
        QHash<QString, QString> expectedRenames;
    };
    const Case cases[] = {
        {"overwrite", PluginRoot::system, {}, Choice::overwrite, Choice::overwrite, PluginRoot::system, {}},
        {"rename", PluginRoot::system, {}, Choice::rename, Choice::rename, PluginRoot::system, {{"0|effect|Glow", "Glow 2"}}},
        {"move to the user library", PluginRoot::system, {}, Choice::moveToUser, Choice::moveToUser, PluginRoot::user, {}},
        // Chosen while allowed, then blocked by picking the user library: the conflict page
        // opens with rename.
        {"move blocked later", PluginRoot::system, PluginRoot::user, Choice::moveToUser, Choice::rename, PluginRoot::user,
         {{"0|effect|Glow", "Glow 2"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_plans.clear();
        auto model = parsed({clash}, c.target);
        model->reviewConfirm();
        ASSERT_EQ(model->phase(), Phase::conflict);
        model->choose(c.choice);
        model->back();
        EXPECT_EQ(model->phase(), Phase::review);
        EXPECT_EQ(model->choice(), c.choice);
        if (c.switchTo)
            model->setTargetRoot(*c.switchTo);
        model->reviewConfirm();
        ASSERT_EQ(model->phase(), Phase::conflict);
        EXPECT_EQ(model->choice(), c.expectedChoice);
        EXPECT_TRUE(m_plans.isEmpty());
        model->conflictConfirm();
        model->conflictConfirm();
        ASSERT_EQ(m_plans.size(), 1);
        EXPECT_EQ(m_plans[0].root, c.expectedRoot);
        EXPECT_EQ(m_plans[0].renames, c.expectedRenames);
        // The plan carries what the scan saw: the clashing Glow itself, nothing at a new name.
        SafeFS::Identity glow;
        ASSERT_EQ(SafeFS::identityAt(AT_FDCWD, QFile::encodeName(systemGlow).toStdString(), glow), 0);
        const auto seenGlow = m_plans[0].seenAt(systemGlow);
        ASSERT_TRUE(seenGlow.has_value());
        EXPECT_TRUE(*seenGlow == glow);
        for (const QString& name : c.expectedRenames) {
            const auto seenNew = m_plans[0].seenAt(InstallPlan::target(c.expectedRoot, ZFCPluginType::effect, name));
            ASSERT_TRUE(seenNew.has_value()) << name.toStdString();
            EXPECT_FALSE(seenNew->known());
        }
    }

    // A blocked way cannot be chosen.
    m_plans.clear();
    auto model = parsed({clash}, PluginRoot::user);
    model->reviewConfirm();
    model->choose(Choice::moveToUser);
    EXPECT_EQ(model->choice(), Choice::rename);
    EXPECT_NE(model->confirmTitle(), "装到用户库");
    model->cancel();
    model->conflictConfirm();
    EXPECT_TRUE(m_plans.isEmpty());
    EXPECT_EQ(m_cancels, 1);
}

TEST_F(InstallSheetModelTest, RenamePlanKeysAreTheOnesTheInstallReads)
{
    furnishLibraries();
    const QByteArray userGlow = "kept";
    PluginFixtures::writeBytes(PluginFixtures::categoryFolder(PluginRoot::user, ZFCPluginType::effect) + "/Glow/mine.txt",
                               userGlow);
    const QStringList files = mixedBatch();
    auto model = parsed(files, PluginRoot::user);
    model->reviewConfirm();
    model->choose(Choice::rename);
    model->conflictConfirm();
    ASSERT_EQ(m_plans.size(), 1);

    OperationsCenter ops;
    bool finished = false;
    ops.install(files, m_plans[0], [&] { finished = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished || (!ops.isBusy() && ops.alertTitle()); }, 20000));
    ASSERT_FALSE(ops.alertTitle()) << ops.alertMessage().value_or(QString()).toStdString();

    const auto folder = [](ZFCPluginType type, const QString& name) {
        return PluginFixtures::categoryFolder(PluginRoot::user, type) + "/" + name;
    };
    // Each plug-in landed under its planned name: nothing replaced, nothing lost.
    for (const auto& [type, name, content] : {
             std::tuple{ZFCPluginType::effect, "Glow 3", "effect/Glow"},
             std::tuple{ZFCPluginType::subtitle, "Title 2", "subtitle/Title"},
             std::tuple{ZFCPluginType::generator, "Dup 2", "generator/Dup"},
             std::tuple{ZFCPluginType::generator, "Dup 3", "generator/Dup"},
             std::tuple{ZFCPluginType::effect, "New", "effect/New"},
             std::tuple{ZFCPluginType::effect, "Twin 2", "effect/Twin"},
             std::tuple{ZFCPluginType::effect, "Twin 3", "effect/Twin"}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(PluginFixtures::readBytes(folder(type, name) + "/Info.txt"), QByteArray(content));
    }
    EXPECT_EQ(PluginFixtures::readBytes(folder(ZFCPluginType::effect, "Glow") + "/mine.txt"), userGlow);
    EXPECT_FALSE(QFile::exists(folder(ZFCPluginType::effect, "Twin")));
    EXPECT_FALSE(QFile::exists(folder(ZFCPluginType::generator, "Dup")));
}
