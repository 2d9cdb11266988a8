#include <functional>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "account/LibraryAuthModel.h"
#include "engine/core/WorkerThread.h"
#include "engine/library/AppState.h"
#include "engine/files/AdminAuth.h"
#include "engine/market/MarketInstallRegistry.h"
#include "engine/operations/OperationsCenter.h"
#include "online/MarketInstallFlow.h"
#include "online/MarketService.h"
#include "sheets/InstallSheetModel.h"
#include "sheets/LocalizeSheetModel.h"
#include "sheets/SheetWork.h"
#include "sheets/VersionSheetModel.h"
#include "support/app/BackupFixtures.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/StandinTest.h"
#include "support/app/TestEnv.h"

// The system refuses the worker thread of a market install, of a market download's move into
// Downloads, or of the install sheet's reading of its packages: each ends with a message that
// says so, nothing stays busy, and the next try works.
namespace {

using Kind = MarketInstallStage::Kind;

class RefusedThreadTest : public StandinTest
{
protected:
    void SetUp() override
    {
        StandinTest::SetUp();
        m_previousTmp = qgetenv("TMPDIR");
        QDir().mkpath(TestEnv::root() + "/tmp");
        qputenv("TMPDIR", QFile::encodeName(TestEnv::root() + "/tmp"));
        MarketInstallRegistry::reloadFromDisk();
        AdminAuth::resetExplanation();
        QDir().mkpath(TestEnv::systemLibrary());
        m_downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        OperationsCenter::setRevealHandler([](const QString&) {});
        m_flow.setPauses(50, 50);
    }

    void TearDown() override
    {
        WorkerThread::refuseForTests(0);
        OperationsCenter::setRevealHandler({});
        QDir(m_downloads).removeRecursively();
        if (m_previousTmp.isEmpty())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", m_previousTmp);
    }

    MarketDownloadResult ticket(const QString& pluginId)
    {
        QObject context;
        std::optional<MarketDownloadResult> result;
        MarketService::download(pluginId, &context, [&](const MarketDownloadResult& r) { result = r; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 30000));
        return result.value_or(MarketDownloadResult{});
    }

    // One market run to its end and back to rest: what it said, and whether it installed or
    // placed the file.
    std::pair<QString, bool> market(const QString& url, const QString& fileName, qint64 fileSize)
    {
        std::optional<MarketInstallStage> ended;
        const QMetaObject::Connection seen = QObject::connect(
            &m_flow, &MarketInstallFlow::stageChanged, &m_flow, [&](const MarketInstallStage& stage) {
                if (stage.kind == Kind::done || stage.kind == Kind::failed)
                    ended = stage;
            });
        EXPECT_TRUE(m_flow.start("p", "名字", url, fileName, fileSize));
        const bool rested = QTest::qWaitFor([&] { return ended && m_flow.stage().kind == Kind::idle; }, 30000);
        QObject::disconnect(seen);
        EXPECT_TRUE(rested) << "still " << m_flow.stage().title().toStdString();
        return {ended ? ended->message : QString(), ended && ended->kind == Kind::done};
    }

    // The sheet's reading of `package` to its end: what it said, and whether it can install.
    std::pair<QString, bool> parse(InstallSheetModel& model)
    {
        model.parse();
        const bool ended = QTest::qWaitFor([&] { return !model.isParsing(); }, 30000);
        EXPECT_TRUE(ended) << "still parsing";
        return {model.parseError().value_or(QString()), model.canInstall()};
    }

    MarketInstallFlow m_flow;
    FakeAlertPresenter m_presenter;
    QString m_downloads;
    QByteArray m_previousTmp;
    QTemporaryDir m_dir;
};

} // namespace

TEST_F(RefusedThreadTest, ARefusedWorkerEndsWithAMessageAndTheNextTryWorks)
{
    const QString package = m_dir.filePath("glow.zfcp");
    PackageMaker::writePackage(package, {{"effect", "Glow"}});
    InstallSheetModel sheet({package}, PluginRoot::user);
    int cancels = 0;
    QObject::connect(&sheet, &InstallSheetModel::cancelRequested, &sheet, [&] { ++cancels; });

    struct Case
    {
        const char* name;
        std::function<std::pair<QString, bool>()> attempt; // what was said; whether it did its work
        QString refused;                                   // said when its thread is refused
    };
    const Case cases[] = {
        {"market install of a package",
         [&] {
             const MarketDownloadResult twin = ticket("p002");
             return market(twin.url, twin.fileName, twin.fileSize);
         },
         "无法启动安装线程（内存或系统资源不足），插件没有安装。"},
        {"market download moved into Downloads",
         [&] { return market(standin().baseUrl() + "market/blob?bytes=5000&name=a.zip", "a.zip", 5000); },
         "无法启动处理下载的线程（内存或系统资源不足），文件没有移到「下载」。下载的文件保留在："},
        {"install sheet reading its packages", [&] { return parse(sheet); },
         "无法启动读取封包的线程（内存或系统资源不足），请关闭其他程序后重试。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WorkerThread::refuseForTests(1);
        const auto [said, worked] = c.attempt();
        EXPECT_FALSE(worked);
        EXPECT_TRUE(said.startsWith(c.refused)) << said.toStdString();
        WorkerThread::refuseForTests(0);
        const auto [again, workedAgain] = c.attempt();
        EXPECT_TRUE(workedAgain) << again.toStdString();
        EXPECT_FALSE(again.contains("线程")) << again.toStdString();
    }
    // The sheet that read its packages on the second try is whole: it installs, or cancels.
    EXPECT_FALSE(sheet.parseError().has_value());
    ASSERT_EQ(sheet.rows().size(), 1);
    sheet.cancel();
    EXPECT_EQ(cancels, 1);
}

// Refused, the sheet still offers its way out.
TEST_F(RefusedThreadTest, ASheetWhoseReadingWasRefusedStillCancels)
{
    const QString package = m_dir.filePath("glow.zfcp");
    PackageMaker::writePackage(package, {{"effect", "Glow"}});
    InstallSheetModel sheet({package}, PluginRoot::user);
    int cancels = 0;
    QObject::connect(&sheet, &InstallSheetModel::cancelRequested, &sheet, [&] { ++cancels; });
    WorkerThread::refuseForTests(1);
    sheet.parse();
    EXPECT_FALSE(sheet.isParsing());
    EXPECT_TRUE(sheet.parseError().has_value());
    EXPECT_FALSE(sheet.canInstall());
    sheet.reviewConfirm();
    sheet.cancel();
    EXPECT_EQ(cancels, 1);
    EXPECT_TRUE(sheet.isFinished());
}

namespace {

// What one try of a view's background work left: whether it still waits, and what it says.
struct Try
{
    bool waiting = false;
    QString said;
};

class RefusedViewThreadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        AdminAuth::resetExplanation();
        m_alerts.setDefaultAnswer(true);
    }
    void TearDown() override { WorkerThread::refuseForTests(0); }

    FakeAlertPresenter m_alerts;
    RecordingAdminRunner m_runner;
};

CompatTable twoReleases()
{
    CompatTable table;
    table.rows = {{"10.4", "5.4", "5.5", "5.4"}, {"11.0", "5.7", "5.12", "5.7"}};
    return table;
}

} // namespace

// The list's scan, a version rewrite, a translation's reading, writing and restoring, and the
// system library's authorization: refused a thread, each stops waiting at once and says why,
// with nothing changed; the next try does its work.
TEST_F(RefusedViewThreadTest, AViewRefusedItsThreadStopsWaitingAndTheNextTryWorks)
{
    PluginFixtures::TemplateOptions options;
    options.publishedNames = {QStringLiteral("Opacity"), QStringLiteral("Font")};
    const QString folder = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow", options);
    const Plugin plugin = BackupFixtures::pluginAt(folder);
    const QString refused = SheetWork::refusedText();
    AppState state;
    VersionSheetModel version(plugin, twoReleases(), std::nullopt);
    version.select(0);
    std::unique_ptr<LocalizeSheetModel> localize;
    LibraryAuthModel auth(nullptr);

    struct Case
    {
        const char* name;
        std::function<Try()> attempt;
        QString refused;                  // said when the thread is refused
        std::function<bool()> worked;     // after a try with a thread, waited for
    };
    const Case cases[] = {
        {"the list's scan",
         [&] {
             state.refresh();
             return Try{state.isScanning(), state.scanErrors().value(PluginRoot::user)};
         },
         "无法启动读取线程（内存或系统资源不足），请稍后刷新重试",
         [&] {
             return QTest::qWaitFor([&] { return !state.isScanning(); }, 30000) && !state.scanErrors().contains(PluginRoot::user)
                 && state.count(ZFCPluginType::effect) == 1;
         }},
        {"a version rewrite",
         [&] {
             version.apply();
             return Try{version.isWorking(), version.errorText().value_or(QString())};
         },
         "修改失败：" + refused,
         [&] {
             return QTest::qWaitFor([&] { return !version.isWorking(); }, 30000) && version.resultText().has_value();
         }},
        {"a translation's reading",
         [&] {
             localize = std::make_unique<LocalizeSheetModel>(plugin);
             localize->load();
             return Try{localize->isLoading(), localize->errorText().value_or(QString())};
         },
         "读取失败：" + refused,
         [&] {
             return QTest::qWaitFor([&] { return !localize->isLoading(); }, 30000) && localize->entries().size() == 2
                 && !localize->errorText();
         }},
        {"a translation",
         [&] {
             localize->setTarget(0, QStringLiteral("不透明度"));
             localize->apply();
             return Try{localize->isWorking(), localize->errorText().value_or(QString())};
         },
         "写入失败：" + refused,
         [&] {
             return QTest::qWaitFor([&] { return !localize->isWorking(); }, 30000) && !localize->errorText()
                 && PluginFixtures::readBytes(folder + "/Glow.motn").contains("不透明度");
         }},
        {"a translation's restore",
         [&] {
             localize->restore();
             return Try{localize->isWorking(), localize->errorText().value_or(QString())};
         },
         "还原失败：" + refused,
         [&] {
             return QTest::qWaitFor([&] { return !localize->isWorking(); }, 30000) && !localize->errorText()
                 && !PluginFixtures::readBytes(folder + "/Glow.motn").contains("不透明度");
         }},
        {"the system library's authorization",
         [&] {
             auth.authorizeSystem();
             return Try{auth.isAuthorizing(), auth.authError().value_or(QString())};
         },
         "无法启动授权（内存或系统资源不足），请关闭其他程序后重试。",
         [&] {
             m_runner.queueOutcome({true, 126, {}, "Not authorized"});
             auth.authorizeSystem();
             return QTest::qWaitFor([&] { return !auth.isAuthorizing(); }, 30000) && m_runner.commands().size() == 1
                 && auth.authError() == QString(LibraryAuthModel::authFailedText);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray before = PluginFixtures::readBytes(folder + "/Glow.motn");
        WorkerThread::refuseForTests(1);
        const Try refusedTry = c.attempt();
        WorkerThread::refuseForTests(0);
        EXPECT_FALSE(refusedTry.waiting);
        EXPECT_EQ(refusedTry.said, c.refused);
        EXPECT_EQ(PluginFixtures::readBytes(folder + "/Glow.motn"), before);
        EXPECT_TRUE(m_runner.commands().isEmpty());
        if (QString(c.name) != "the system library's authorization")
            c.attempt();
        EXPECT_TRUE(c.worked());
    }
}
