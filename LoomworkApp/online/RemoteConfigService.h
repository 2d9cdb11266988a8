#pragma once

#include <array>
#include <functional>
#include <optional>

#include <QList>
#include <QObject>
#include <QString>

#include "online/RemoteConfig.h"
#include "online/UpdateAlert.h"

// Fetches the remote configuration, publishes it and decides whether to prompt for an update
// and whether to show the notice. Each owning view has its own instance; instances share
// only the two settings keys. GUI thread only.
class RemoteConfigService : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* kSnoozedVersionKey = "update.snoozedVersion";
    static constexpr const char* kDismissedNoticeKey = "notice.dismissedId";

    struct Timing
    {
        // Waits after the first and the second failed try of the document.
        std::array<int, 2> retryWaitsMs{1500, 3000};
        int requestTimeoutMs = 10000;
    };
    // true when the configuration document itself was used, false for the fallbacks.
    using Done = std::function<void(bool fromDocument)>;

    explicit RemoteConfigService(QObject* parent = nullptr);

    void setTiming(const Timing& timing) { m_timing = timing; }

    const RemoteConfig& config() const { return m_config; }
    const std::optional<UpdateAlert>& update() const { return m_update; }
    bool showNotice() const { return m_showNotice; }
    QString snoozedVersion() const;
    QString dismissedNoticeId() const;

    // reload(false) with nobody waiting for the result.
    void load();
    // Fetches and applies the configuration. Of overlapping reloads the newest decides;
    // `done` of every one of them runs once with that newest result.
    void reload(bool force, Done done = {});
    // Postpones `version` (when non-empty after trimming) and clears the prompt.
    void snooze(const std::optional<QString>& version);
    // Clears the prompt without postponing it (an optional sheet closed with Esc).
    void clearUpdate();
    // Remembers the current notice as closed and hides it.
    void dismissNotice();

signals:
    void configChanged();
    void updateChanged();
    void showNoticeChanged();

private:
    void tryDocument(quint64 generation, bool force, int attempt);
    void readFallbacks(quint64 generation, bool force);
    void finish(quint64 generation, const RemoteConfig& config, bool force, bool fromDocument);
    void evaluate(const RemoteConfig& config, bool force, bool fromDocument);
    void fetch(const QString& path, std::function<void(const std::optional<QByteArray>&)> done);
    void setUpdate(const std::optional<UpdateAlert>& update);
    void setShowNotice(bool show);

    Timing m_timing;
    RemoteConfig m_config;
    std::optional<UpdateAlert> m_update;
    bool m_showNotice = false;
    quint64 m_generation = 0;
    QList<Done> m_waiting;
};
