#include <algorithm>
#include <cerrno>
#include <limits>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSemaphore>
#include <QStandardPaths>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

#include "engine/files/AdminAuth.h"
#include "engine/core/AppPaths.h"
#include "engine/files/FileOps.h"
#include "engine/market/MarketInstallRegistry.h"
#include "engine/core/NotificationHub.h"
#include "engine/operations/OperationsCenter.h"
#include "engine/library/PluginScanner.h"
#include "online/MarketDownloader.h"
#include "online/MarketInstallFlow.h"
#include "online/MarketService.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"
#include "support/app/TestEnv.h"

namespace {

using Kind = MarketInstallStage::Kind;

mode_t modeOf(const QString& path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class MarketInstallFlowTest : public StandinTest
{
protected:
    void SetUp() override
    {
        StandinTest::SetUp();
        // A temporary folder of this process's own: other test processes download too.
        m_previousTmp = qgetenv("TMPDIR");
        QDir().mkpath(TestEnv::root() + "/tmp");
        qputenv("TMPDIR", QFile::encodeName(TestEnv::root() + "/tmp"));
        MarketInstallRegistry::reloadFromDisk();
        AdminAuth::resetExplanation();
        QDir().mkpath(TestEnv::systemLibrary());
        m_downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        QDir(m_downloads).removeRecursively();
        MarketFileDownloader::setLimits(MarketFileDownloader::defaultStallMs, MarketFileDownloader::defaultDeadlineMs);
        OperationsCenter::setRevealHandler([this](const QString& path) { m_revealed << path; });
        QObject::connect(&NotificationHub::instance(), &NotificationHub::posted, &m_flow,
                         [this](const QString& name) { m_notices << name; });
        QObject::connect(&m_flow, &MarketInstallFlow::stageChanged, &m_flow,
                         [this](const MarketInstallStage& stage) { m_stages << stage; });
        m_flow.setPauses(100, 100);
        m_leftoversBefore = leftovers();
    }

    void TearDown() override
    {
        if (m_previousTmp.isEmpty())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", m_previousTmp);
        OperationsCenter::setRevealHandler({});
        MarketFileDownloader::setFreeSpaceQuery({});
        MarketFileDownloader::setLimits(MarketFileDownloader::defaultStallMs, MarketFileDownloader::defaultDeadlineMs);
        QDir(m_downloads).removeRecursively();
    }

    static QStringList leftovers()
    {
        return QDir(QDir::tempPath()).entryList({"loomwork-market-*"}, QDir::AllEntries | QDir::Hidden);
    }

    MarketDownloadResult ticket(const QString& pluginId)
    {
        QObject context;
        std::optional<MarketDownloadResult> result;
        MarketService::download(pluginId, &context, [&](const MarketDownloadResult& r) { result = r; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 30000));
        EXPECT_EQ(result.value_or(MarketDownloadResult{}).kind, MarketDownloadResult::Kind::ok) << pluginId.toStdString();
        return result.value_or(MarketDownloadResult{});
    }

    QString blob(qint64 bytes, const QString& name) const
    {
        return standin().baseUrl() + QString("market/blob?bytes=%1&name=%2").arg(bytes).arg(name);
    }

    // Starts a run and waits for its result.
    MarketInstallStage run(const QString& pluginId, const QString& url, const QString& fileName, qint64 fileSize = 0,
                           int* changed = nullptr)
    {
        m_stages.clear();
        EXPECT_TRUE(m_flow.start(pluginId, "名字", url, fileName, fileSize, [changed] {
            if (changed)
                ++*changed;
        }));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !m_flow.isBusy(); }, 30000));
        // The result as published: an earlier run's pause may already have put it to rest.
        for (auto it = m_stages.crbegin(); it != m_stages.crend(); ++it) {
            if (it->kind == Kind::done || it->kind == Kind::failed)
                return *it;
        }
        return m_flow.stage();
    }

    MarketInstallFlow m_flow;
    FakeAlertPresenter m_presenter;
    QList<MarketInstallStage> m_stages;
    QStringList m_notices;
    QStringList m_revealed;
    QStringList m_leftoversBefore;
    QString m_downloads;
    QByteArray m_previousTmp;
};

} // namespace

TEST_F(MarketInstallFlowTest, AFreePluginInstallsIsRecordedAndPostsOneChange)
{
    const auto twin = ticket("p002");
    int changed = 0;
    const auto stage = run("p002", twin.url, twin.fileName, twin.fileSize, &changed);
    EXPECT_EQ(stage, MarketInstallStage::done("已安装 2 个插件到系统库，打开 FCPX 即可使用"));
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(m_notices.count(Notifications::pluginsDidChange), 1);
    EXPECT_EQ(m_flow.stageFor("p002"), stage);
    EXPECT_EQ(m_flow.stageFor("p003"), MarketInstallStage::idle());

    const auto scanned = PluginScanner::scan({PluginRoot::system});
    QStringList market;
    for (const Plugin& plugin : scanned.plugins) {
        if (plugin.isMarket)
            market << plugin.name;
    }
    EXPECT_EQ(market, QStringList({"Twin A", "Twin B"}));
    EXPECT_EQ(leftovers(), m_leftoversBefore);

    EXPECT_TRUE(QTest::qWaitFor([&] { return m_flow.stage().kind == Kind::idle; }, 30000));
    EXPECT_FALSE(m_flow.pluginId().has_value());
    EXPECT_TRUE(m_flow.pluginName().isEmpty());
}

TEST_F(MarketInstallFlowTest, FailuresGiveTheirTextsAndLeaveNoFileBehind)
{
    MarketFileDownloader::setLimits(600, 20000);
    const struct {
        const char* name;
        std::function<QString()> url;
        QJsonObject script;
        QString message;
        qint64 fileSize = 0; // the ticket's
    } cases[] = {
        {"ftp", [] { return QString("ftp://127.0.0.1/a.zfcp"); }, {}, "下载地址无效"},
        {"file", [] { return QString("file:///etc/passwd"); }, {}, "下载地址无效"},
        {"404", [&] { return ticket("p007").url; }, {}, "下载失败（HTTP 404），请稍后重试"},
        {"empty", [&] { return ticket("p008").url; }, {}, "下载到的文件是空的，请联系客服"},
        {"cut", [&] { return blob(3 << 20, "cut.zfcp"); }, {{"route", "/market/blob"}, {"cutAfter", 100000}}, "下载中断，请检查网络后重试"},
        {"cut without a length", [&] { return blob(100000, "cut.zip"); },
         {{"route", "/market/blob"}, {"unsized", true}, {"cutAfter", 5000}}, "下载中断，请检查网络后重试", 100000},
        {"longer than the ticket says", [&] { return blob(5000, "long.zip"); }, {}, "下载的文件大小与服务器说明的不符，已停止下载", 4000},
        {"stall", [&] { return blob(1 << 20, "slow.zfcp"); }, {{"route", "/market/blob"}, {"slowMs", 5000}}, "下载超时，请检查网络后重试"},
        {"no server", [] { return QString("http://127.0.0.1:%1/x.zfcp").arg(StandinProcess::closedPort()); }, {}, "无法连接下载服务器，请检查网络后重试"},
        {"damaged package", [&] { return blob(4096, "bad.zfcp"); }, {}, ""},
        {"redirect to file:", [&] { return standin().baseUrl() + "market/redirect"; },
         {{"route", "/market/redirect"}, {"http", 302}, {"headers", QJsonObject{{"Location", "file:///etc/passwd"}}}}, "下载地址无效"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.script.isEmpty())
            standin().control("script", c.script);
        const auto stage = run("p1", c.url(), "x.zip", c.fileSize);
        EXPECT_EQ(stage.kind, Kind::failed);
        if (!c.message.isEmpty())
            EXPECT_EQ(stage.message, c.message);
        else
            EXPECT_FALSE(stage.message.isEmpty());
        EXPECT_EQ(leftovers(), m_leftoversBefore);
        EXPECT_TRUE(m_notices.isEmpty());
        EXPECT_FALSE(QDir(m_downloads).exists() && !QDir(m_downloads).isEmpty());
        standin().control("reset");
    }
}

TEST_F(MarketInstallFlowTest, ABodyBeyondItsStatedSizeOrTheFreeSpaceIsStoppedBeforeItIsWritten)
{
    MarketFileDownloader::setLimits(600, 20000); // the endless ones, not stopped, would meet it
    QStringList asked;
    qint64 free = 0;
    MarketFileDownloader::setFreeSpaceQuery([&](const QString& folder) { asked << folder; return free; });
    const qint64 endless = qint64(1) << 40;
    const QString mismatch = "下载的文件大小与服务器说明的不符，已停止下载";
    const struct {
        const char* name;
        QJsonObject script;
        qint64 bytes, fileSize, free;
        QString message;
    } cases[] = {
        {"no length", {{"unsized", true}}, endless, 1000, endless, mismatch},
        {"no length after a redirect", {{"unsized", true}, {"redirects", 1}}, endless, 1000, endless, mismatch},
        {"a length above the ticket's", {}, endless, 1000, endless, mismatch},
        {"a length below the ticket's", {}, 500, 1000, endless, mismatch},
        {"an endless error page", {{"unsized", true}, {"http", 500}}, endless, 1000, endless, "下载失败（HTTP 500），请稍后重试"},
        {"the ticket's size beyond the free space", {}, 5000, 5000, 1000, "磁盘空间不足：需要 5 KB，可用 1 KB"},
        {"a length beyond the free space", {}, 2'500'000, 0, 1'000'000, "磁盘空间不足：需要 2.5 MB，可用 1 MB"},
        {"just enough space", {}, 5000, 5000, 5000, "已下载到「下载」：big.zip"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QJsonObject script = c.script;
        script["route"] = "/market/blob";
        standin().control("script", script);
        free = c.free;
        EXPECT_EQ(run("p1", blob(c.bytes, "big.zip"), "big.zip", c.fileSize).message, c.message);
        // What was counted is what was written.
        qint64 written = 0;
        for (const MarketInstallStage& stage : m_stages)
            written = std::max(written, stage.received);
        EXPECT_LE(written, c.fileSize);
        EXPECT_EQ(leftovers(), m_leftoversBefore);
        standin().control("reset");
    }
    for (const QString& folder : asked)
        EXPECT_TRUE(folder.startsWith(QDir::tempPath() + "/loomwork-market-")) << folder.toStdString();
}

// What a download writes, read from its file itself (held open from the first report on, so
// that it is still seen once a failure has removed it): never more than the ticket's size, and
// for a body of no stated size, never more than leaves the margin free. A fake disk: its free
// space is its capacity less what the download's file holds.
TEST_F(MarketInstallFlowTest, TheBytesOnDiskStayWithinTheStatedSizeAndTheFreeSpace)
{
    const qint64 margin = MarketFileDownloader::freeSpaceMargin;
    qint64 capacity = 0;
    MarketFileDownloader::setFreeSpaceQuery(
        [&](const QString& folder) { return capacity - QFileInfo(folder + "/.download.part").size(); });
    // Far more than any bound below (not stopped, it would be written whole).
    const qint64 endless = qint64(16) << 20;
    const QString stopped = "，已停止下载，下载的部分已删除";
    const struct {
        const char* name;
        qint64 bytes, fileSize, capacity, bound;
        QString message; // the start of it
    } cases[] = {
        {"no size anywhere, room enough", 2 << 20, 0, margin + (3 << 20), 2 << 20, ""},
        {"the ticket's size, no length", endless, 1000, endless, 1000, "下载的文件大小与服务器说明的不符，已停止下载"},
        {"no size anywhere, 3 MiB to spare", endless, 0, margin + (3 << 20), 3 << 20, "磁盘空间不足：已下载 "},
        {"no size anywhere, 4 KB free", endless, 0, 4096, 0, "磁盘空间不足：可用空间只剩 4 KB，已停止下载，未保存任何内容"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        standin().control("script", {{"route", "/market/blob"}, {"unsized", true}});
        capacity = c.capacity;
        QObject context;
        int fd = -1;
        std::optional<MarketFileDownloader::Result> result;
        MarketFileDownloader::download(
            blob(c.bytes, "big.zip"), c.fileSize, &context,
            [&](qint64, qint64) {
                if (fd >= 0)
                    return;
                for (const QString& folder : leftovers()) {
                    if (!m_leftoversBefore.contains(folder))
                        fd = ::open(QFile::encodeName(QDir::tempPath() + "/" + folder + "/.download.part").constData(), O_RDONLY | O_CLOEXEC);
                }
            },
            [&](const MarketFileDownloader::Result& r) { result = r; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 30000));
        struct stat st {};
        const qint64 written = fd >= 0 && ::fstat(fd, &st) == 0 ? st.st_size : 0;
        if (fd >= 0)
            ::close(fd);
        EXPECT_LE(written, c.bound);
        if (c.message.isEmpty()) {
            ASSERT_FALSE(result->error.has_value()) << result->error->message.toStdString();
            EXPECT_EQ(written, c.bytes);
            EXPECT_EQ(QFileInfo(result->file).size(), c.bytes);
            MarketFileDownloader::discard(result->file);
        } else {
            ASSERT_TRUE(result->error.has_value());
            EXPECT_TRUE(result->error->message.startsWith(c.message)) << result->error->message.toStdString();
            if (c.bound > 0 && c.fileSize == 0)
                EXPECT_TRUE(result->error->message.endsWith(stopped)) << result->error->message.toStdString();
            else
                EXPECT_EQ(result->error->message, c.message);
        }
        EXPECT_EQ(leftovers(), m_leftoversBefore);
        standin().control("reset");
    }
}

TEST_F(MarketInstallFlowTest, TheServersNameDecidesWhatHappens)
{
    const auto upper = ticket("p005");
    EXPECT_EQ(run("p005", upper.url, upper.fileName, upper.fileSize), MarketInstallStage::done("已安装 1 个插件到系统库，打开 FCPX 即可使用"));

    QDir().mkpath(m_downloads);
    for (const char* taken : {"a.zip", "a (1).zip"}) {
        QFile file(m_downloads + "/" + taken);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    m_notices.clear();
    int changed = 0;
    const auto zip = run("p006", blob(5000, "a.zip"), "a.zip", 5000, &changed);
    EXPECT_EQ(zip, MarketInstallStage::done("已下载到「下载」：a (2).zip"));
    EXPECT_EQ(QFile(m_downloads + "/a (2).zip").size(), 5000);
    EXPECT_EQ(m_revealed, QStringList({m_downloads + "/a (2).zip"}));
    EXPECT_EQ(changed, 0);
    EXPECT_TRUE(m_notices.isEmpty());

    // A name with climbing parts stays one file inside Downloads.
    const auto climbing = run("p006", blob(10, "..%2F..%2Fescape.zip"), "../../escape.zip");
    EXPECT_EQ(climbing, MarketInstallStage::done("已下载到「下载」：_.._escape.zip"));
    // Nor is it hidden there.
    EXPECT_EQ(run("p006", blob(10, ".bashrc"), ".bashrc"), MarketInstallStage::done("已下载到「下载」：bashrc"));

    // A 10,000-character name from the server is cut to a name the file system takes.
    const QString huge = QString(9996, QChar('n')) + ".zip";
    standin().control("script", {{"route", "/market/blob"},
                                 {"headers", QJsonObject{{"Content-Disposition", "attachment; filename=\"" + huge + "\""}}}});
    const auto cut = run("p006", blob(10, "x.zip"), huge);
    ASSERT_EQ(cut.kind, Kind::done) << cut.message.toStdString();
    EXPECT_EQ(cut.message, "已下载到「下载」：" + QString(107, QChar('n')) + ".zip");
    EXPECT_EQ(leftovers(), m_leftoversBefore);
}

TEST_F(MarketInstallFlowTest, UnknownLengthShowsBytesAndLargeTotalsDoNotOverflow)
{
    const auto unsized = ticket("p009");
    EXPECT_EQ(run("p009", unsized.url, unsized.fileName, unsized.fileSize).kind, Kind::done);
    const bool sawBytes = std::any_of(m_stages.begin(), m_stages.end(), [](const MarketInstallStage& s) {
        return s.kind == Kind::downloading && s.received > 0 && s.total < 1 && !s.fraction()
            && s.title().startsWith("正在下载 ") && !s.title().endsWith("%");
    });
    EXPECT_TRUE(sawBytes);

    const qint64 twoGB = (qint64(2) << 30) + 5;
    // Whatever the disk under the test holds: the transfer is cut long before.
    MarketFileDownloader::setFreeSpaceQuery([](const QString&) { return std::numeric_limits<qint64>::max(); });
    standin().control("script", {{"route", "/market/blob"}, {"cutAfter", 4 << 20}});
    EXPECT_EQ(run("p1", blob(twoGB, "big.zfcp"), "big.zfcp").message, "下载中断，请检查网络后重试");
    const bool sawTotal = std::any_of(m_stages.begin(), m_stages.end(), [&](const MarketInstallStage& s) {
        return s.kind == Kind::downloading && s.total == twoGB && s.title() == "正在下载 0%";
    });
    EXPECT_TRUE(sawTotal);
    EXPECT_EQ(leftovers(), m_leftoversBefore);
}

TEST_F(MarketInstallFlowTest, ASecondStartWhileBusyIsRefusedAndTheRunKeepsItsStage)
{
    const auto glow = ticket("p001");
    m_flow.setPauses(400, 400);
    EXPECT_EQ(run("p001", glow.url, glow.fileName, glow.fileSize).kind, Kind::done);

    // Started within the first run's pause: the pause's end leaves the new run alone.
    standin().control("script", {{"route", "/market/blob"}, {"slowMs", 30}});
    QElapsedTimer elapsed;
    elapsed.start();
    ASSERT_TRUE(m_flow.start("slow", "慢", blob(8 << 20, "slow.zip"), "slow.zip", 8 << 20));
    EXPECT_FALSE(m_flow.start("other", "别的", glow.url, glow.fileName, glow.fileSize));
    EXPECT_EQ(m_flow.pluginId(), QString("slow"));
    // Started after the first run's pause, this fires after it; the download takes seconds.
    bool pauseOver = false;
    QTimer::singleShot(400, Qt::PreciseTimer, [&] { pauseOver = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return pauseOver; }, 30000));
    EXPECT_EQ(m_flow.stage().kind, Kind::downloading);
    EXPECT_EQ(m_flow.pluginName(), "慢");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_flow.isBusy(); }, 20000));
    EXPECT_EQ(m_flow.stage().kind, Kind::done);

    // 128 pieces arrive over about 4 s, each in several reads: progress is handed on at most every 33 ms.
    const auto downloading = std::count_if(m_stages.begin(), m_stages.end(), [](const MarketInstallStage& s) {
        return s.kind == Kind::downloading && s.received > 0;
    });
    EXPECT_LE(downloading, elapsed.elapsed() / MarketFileDownloader::progressIntervalMs + 2);
}

TEST_F(MarketInstallFlowTest, CancelAtTheClashAlertChangesNoFile)
{
    PackageMaker::makeFolder(TestEnv::systemLibrary() + "/Titles.localized", "Glow", {{"mine.txt", "keep"}});
    const auto before = PackageMaker::readTree(TestEnv::systemLibrary());
    const auto glow = ticket("p001");
    EXPECT_EQ(run("p001", glow.url, glow.fileName, glow.fileSize), MarketInstallStage::failed("已取消安装：目标库里的同名插件保持不变"));
    EXPECT_EQ(m_presenter.questions().size(), 1);
    EXPECT_EQ(PackageMaker::readTree(TestEnv::systemLibrary()), before);
    EXPECT_TRUE(m_notices.isEmpty());
    EXPECT_EQ(leftovers(), m_leftoversBefore);
}

TEST_F(MarketInstallFlowTest, ADownloadIsPrivateUntilPlacedAndAMissingTmpdirFallsBack)
{
    QObject context;
    std::optional<MarketFileDownloader::Result> result;
    MarketFileDownloader::download(blob(5000, "a.zip"), 5000, &context, {},
                                   [&](const MarketFileDownloader::Result& r) { result = r; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 30000));
    const QFileInfo file(result->file);
    EXPECT_EQ(QFileInfo(file.absolutePath()).absolutePath(), QFileInfo(TestEnv::root() + "/tmp").canonicalFilePath());
    EXPECT_EQ(modeOf(file.absolutePath()), 0700);
    EXPECT_EQ(modeOf(file.filePath()), 0600);
    MarketFileDownloader::discard(result->file);
    // Where TMPDIR names nothing, downloads go to /tmp (not written here: it is no test's).
    qputenv("TMPDIR", QFile::encodeName(TestEnv::root() + "/missing"));
    EXPECT_EQ(AppPaths::temporaryFolder(), "/tmp");
}

TEST_F(MarketInstallFlowTest, AFileIsMovedIntoDownloadsOffTheGuiThread)
{
    // With the one worker held, the move waits for it instead of running on the GUI thread.
    QThreadPool& pool = *QThreadPool::globalInstance();
    const int threads = pool.maxThreadCount();
    pool.setMaxThreadCount(1);
    QSemaphore held;
    pool.start([&held] { held.acquire(); });
    ASSERT_TRUE(m_flow.start("p006", "名字", blob(5000, "a.zip"), "a.zip", 5000));
    const bool downloaded = QTest::qWaitFor(
        [&] { return m_flow.stage().kind != Kind::downloading || m_flow.stage().received == 5000; }, 30000);
    QCoreApplication::processEvents();
    EXPECT_EQ(m_flow.stage(), MarketInstallStage::downloading(5000, 5000));
    EXPECT_FALSE(QFile::exists(m_downloads + "/a.zip"));
    held.release();
    pool.setMaxThreadCount(threads);
    ASSERT_TRUE(downloaded);

    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_flow.isBusy(); }, 30000));
    EXPECT_EQ(m_flow.stage(), MarketInstallStage::done("已下载到「下载」：a.zip"));
    // Placed, it is an ordinary file again.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(modeOf(m_downloads + "/a.zip"), 0666 & ~mask);
}

// Downloads on another, full disk: the move is a copy, and the copy runs out of space.
TEST_F(MarketInstallFlowTest, AFullDownloadsFolderSaysSoAndKeepsWhatWasDownloaded)
{
    struct FullDownloads : FileOps {
        QString downloads;
        int renameNoReplace(const QString& from, const QString& to) override
        {
            return to.startsWith(downloads + "/") ? EXDEV : FileOps::renameNoReplace(from, to);
        }
        int copyTree(const QString& from, const QString& to) override
        {
            return to.startsWith(downloads + "/") ? ENOSPC : FileOps::copyTree(from, to);
        }
    } full;
    full.downloads = m_downloads;
    FileOps* const previous = FileOps::setCurrent(&full);
    const auto restore = qScopeGuard([&] { FileOps::setCurrent(previous); });

    const auto zip = run("p006", blob(5000, "a.zip"), "a.zip", 5000);
    ASSERT_EQ(zip.kind, Kind::failed);
    const QString prefix = "无法移到「下载」：磁盘空间不足。下载的文件保留在：";
    ASSERT_TRUE(zip.message.startsWith(prefix)) << zip.message.toStdString();
    const QString kept = zip.message.mid(prefix.size());
    EXPECT_TRUE(kept.startsWith(QDir::tempPath() + "/loomwork-market-")) << kept.toStdString();
    EXPECT_TRUE(kept.endsWith("/a.zip"));
    EXPECT_EQ(QFile(kept).size(), 5000);
    EXPECT_EQ(modeOf(kept), 0600u) << "still private";
    EXPECT_FALSE(QFile::exists(m_downloads + "/a.zip"));
    EXPECT_TRUE(m_revealed.isEmpty());
    MarketFileDownloader::discard(kept);

    // A package is installed from the private download and never goes through Downloads.
    const auto glow = ticket("p001");
    EXPECT_EQ(run("p001", glow.url, glow.fileName, glow.fileSize).kind, Kind::done);
    EXPECT_EQ(leftovers(), m_leftoversBefore);
}

TEST(MarketFileDownloaderNames, SuggestedFileNameReadsContentDisposition)
{
    const struct {
        const char* header;
        const char* url;
        QString name;
    } cases[] = {
        {"attachment; filename*=UTF-8''%E7%B4%A0%E6%9D%90.zip", "http://h/f", "素材.zip"},
        {"attachment; filename=\"fallback.zip\"; filename*=UTF-8''real.ZFCP", "http://h/f", "real.ZFCP"},
        {"attachment; filename=\"a \\\"q\\\".zfcp\"", "http://h/f", "a \"q\".zfcp"},
        {"attachment; filename=plain.zfcp; size=3", "http://h/f", "plain.zfcp"},
        {"attachment; filename*=ISO-8859-1''caf%E9.zip", "http://h/f", "café.zip"},
        {"attachment; filename=\"../../etc/passwd\"", "http://h/f", "_.._etc_passwd"},
        {"attachment; filename=\".bashrc\"", "http://h/f", "bashrc"},
        {"attachment; filename*=UTF-8''%2E%2E", "http://h/f", "下载文件"},
        {"", "http://h/dir/pack%20one.zfcp?t=1", "pack one.zfcp"},
        {"inline", "http://h/", "plugin.zfcp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        EXPECT_EQ(MarketFileDownloader::suggestedFileName(c.header, QUrl(c.url)), c.name);
    }
}
