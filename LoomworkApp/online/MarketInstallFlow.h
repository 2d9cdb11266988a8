#pragma once

#include <functional>
#include <optional>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include "online/MarketInstallStage.h"

class MarketFileDownloader;

// The one pipeline from a download ticket to the user's library: downloads the file with
// progress, installs a .zfcp package into the system library (MarketInstaller, on a worker
// thread) or moves any other file into Downloads and reveals it (one that cannot be moved
// stays in its private folder, named in the message), publishes each stage, and returns to
// rest a little later. One per market window; lives on the GUI thread.
class MarketInstallFlow : public QObject
{
    Q_OBJECT
public:
    static constexpr int donePauseMs = 2600;
    static constexpr int failedPauseMs = 6000;
    // What a view says when a start is refused because another run is busy.
    static inline const QString busyMessage = QStringLiteral("正在下载另一个插件，稍等一下");

    explicit MarketInstallFlow(QObject* parent = nullptr);
    ~MarketInstallFlow() override;

    const MarketInstallStage& stage() const { return m_stage; }
    const std::optional<QString>& pluginId() const { return m_pluginId; }
    const QString& pluginName() const { return m_pluginName; }
    bool isBusy() const { return m_stage.isBusy(); }
    // `stage` for the plug-in being handled, idle for every other one.
    MarketInstallStage stageFor(const QString& pluginId) const;

    // Starts a run; false (and nothing changes) while another run is downloading or
    // installing. `fileSize` is the ticket's (0: not stated). `onChanged` is called once
    // after a package was installed.
    bool start(const QString& pluginId, const QString& pluginName, const QString& url,
               const QString& fileName, qint64 fileSize, std::function<void()> onChanged = {});

    // Tests: the pauses before returning to rest. A moved download is revealed through
    // OperationsCenter::reveal (tests install a handler there).
    void setPauses(int doneMs, int failedMs);

signals:
    void stageChanged(const MarketInstallStage& stage);
    // pluginId or pluginName changed.
    void subjectChanged();

private:
    void setStage(const MarketInstallStage& stage);
    void onDownloaded(quint64 run, const QString& file, const QString& fileName,
                      std::function<void()> onChanged);
    void finish(quint64 run, const MarketInstallStage& result);
    void rest();

    MarketInstallStage m_stage;
    std::optional<QString> m_pluginId;
    QString m_pluginName;
    quint64 m_run = 0;
    QPointer<MarketFileDownloader> m_downloader;
    int m_donePauseMs = donePauseMs;
    int m_failedPauseMs = failedPauseMs;
};
