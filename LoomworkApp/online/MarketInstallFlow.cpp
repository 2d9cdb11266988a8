#include "online/MarketInstallFlow.h"

#include <QElapsedTimer>
#include <QFileInfo>

#include "engine/core/Delivery.h"
#include "engine/files/FileOps.h"
#include "engine/files/PluginLease.h"
#include "engine/operations/MarketInstaller.h"
#include "engine/core/NotificationHub.h"
#include "engine/core/WorkerThread.h"
#include "engine/operations/OperationsCenter.h"
#include "online/MarketDownloader.h"

MarketInstallFlow::MarketInstallFlow(QObject* parent) : QObject(parent)
{
}

MarketInstallFlow::~MarketInstallFlow() = default;

MarketInstallStage MarketInstallFlow::stageFor(const QString& pluginId) const
{
    return m_pluginId == pluginId ? m_stage : MarketInstallStage::idle();
}

void MarketInstallFlow::setPauses(int doneMs, int failedMs)
{
    m_donePauseMs = doneMs;
    m_failedPauseMs = failedMs;
}

void MarketInstallFlow::setStage(const MarketInstallStage& stage)
{
    if (m_stage == stage)
        return;
    m_stage = stage;
    emit stageChanged(m_stage);
}

bool MarketInstallFlow::start(const QString& pluginId, const QString& pluginName, const QString& url,
                              const QString& fileName, qint64 fileSize, std::function<void()> onChanged)
{
    // A second run would share the temporary file's fate and the one progress bar.
    if (isBusy())
        return false;
    const quint64 run = ++m_run;
    m_pluginId = pluginId;
    m_pluginName = pluginName;
    emit subjectChanged();
    setStage(MarketInstallStage::downloading(0, 0));

    m_downloader = MarketFileDownloader::download(
        url, fileSize, this,
        [this, run](qint64 received, qint64 total) {
            if (run == m_run && m_stage.kind != MarketInstallStage::Kind::installing)
                setStage(MarketInstallStage::downloading(received, total));
        },
        [this, run, fileName, onChanged = std::move(onChanged)](const MarketFileDownloader::Result& result) {
            if (result.error) {
                finish(run, MarketInstallStage::failed(result.error->message));
                return;
            }
            onDownloaded(run, result.file, fileName, onChanged);
        });
    return true;
}

void MarketInstallFlow::onDownloaded(quint64 run, const QString& file, const QString& fileName,
                                     std::function<void()> onChanged)
{
    const Delivery<MarketInstallFlow> deliver(this);
    // The server's name decides, not the ticket's: "a.ZFCP" installs, "a.zip" does not.
    if (QFileInfo(file).suffix().toLower() != QLatin1String("zfcp")) {
        // Across file systems a move is a copy: never on the GUI thread.
        const bool started = WorkerThread::start([deliver, run, file, fileName] {
            QString moved;
            QString failure;
            try {
                moved = MarketInstaller::moveToDownloads(file, fileName);
            } catch (...) {
                failure = MarketInstaller::describe(std::current_exception());
            }
            // What could not be placed stays in its private folder, for the user to take.
            if (!moved.isEmpty() || !FileOps::current().exists(file))
                MarketFileDownloader::discard(file); // the folder made for it
            else
                failure += QStringLiteral("。下载的文件保留在：") + file;
            deliver([run, moved, failure](MarketInstallFlow& flow) {
                if (moved.isEmpty()) {
                    flow.finish(run, MarketInstallStage::failed(failure));
                    return;
                }
                flow.finish(run, MarketInstallStage::done(QStringLiteral("已下载到「下载」：") + QFileInfo(moved).fileName()));
                OperationsCenter::reveal(moved);
            });
        });
        if (!started)
            finish(run, MarketInstallStage::failed(QStringLiteral("无法启动处理下载的线程（内存或系统资源不足），文件没有移到「下载」。下载的文件保留在：") + file));
        return;
    }

    setStage(MarketInstallStage::installing(0));
    const QString pluginId = m_pluginId.value_or(QString());
    const QString pluginName = m_pluginName;
    const bool started = WorkerThread::start([deliver, run, file, pluginId, pluginName, onChanged] {
        QElapsedTimer sinceReport;
        sinceReport.start();
        bool reported = false;
        const auto progress = [&](double fraction) {
            if (reported && fraction < 1.0 && sinceReport.elapsed() < MarketFileDownloader::progressIntervalMs)
                return;
            reported = true;
            sinceReport.restart();
            deliver([run, fraction](MarketInstallFlow& flow) {
                if (flow.m_run == run && flow.m_stage.kind == MarketInstallStage::Kind::installing)
                    flow.setStage(MarketInstallStage::installing(fraction));
            });
        };
        // A plug-in it replaces may still be busy with an earlier change: the wait is shown.
        const PluginLease::StatusScope waits([deliver, run](const QString& text) {
            deliver([run, text](MarketInstallFlow& flow) {
                if (flow.m_run == run && flow.m_stage.kind == MarketInstallStage::Kind::installing)
                    flow.setStage(MarketInstallStage::installing(flow.m_stage.progress, text));
            });
        });
        std::optional<MarketInstallOutcome> outcome;
        QString failure;
        try {
            outcome = MarketInstaller::install(file, pluginId, pluginName, progress);
        } catch (...) {
            failure = MarketInstaller::describe(std::current_exception());
        }
        MarketFileDownloader::discard(file);
        deliver([run, outcome, failure, onChanged](MarketInstallFlow& flow) {
            if (!outcome) {
                flow.finish(run, MarketInstallStage::failed(failure));
                return;
            }
            QString text = QStringLiteral("已安装 ") + QString::number(outcome->count)
                + QStringLiteral(" 个插件到系统库，打开 FCPX 即可使用");
            if (!outcome->notes.isEmpty())
                text += QLatin1Char('\n') + outcome->notes.join(QLatin1Char('\n'));
            flow.finish(run, MarketInstallStage::done(text));
            if (onChanged)
                onChanged();
            NotificationHub::instance().post(Notifications::pluginsDidChange);
        });
    });
    if (!started) {
        MarketFileDownloader::discard(file);
        finish(run, MarketInstallStage::failed(QStringLiteral("无法启动安装线程（内存或系统资源不足），插件没有安装。")));
    }
}

void MarketInstallFlow::finish(quint64 run, const MarketInstallStage& result)
{
    if (run != m_run)
        return;
    setStage(result);
    QTimer::singleShot(result.kind == MarketInstallStage::Kind::failed ? m_failedPauseMs : m_donePauseMs, this,
                       &MarketInstallFlow::rest);
}

void MarketInstallFlow::rest()
{
    if (isBusy())
        return;
    const bool subjectChanges = m_pluginId.has_value() || !m_pluginName.isEmpty();
    m_pluginId.reset();
    m_pluginName.clear();
    setStage(MarketInstallStage::idle());
    if (subjectChanges)
        emit subjectChanged();
}
