#pragma once

#include <functional>

#include <QImage>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include "online/MarketModels.h"
#include "online/PayChannels.h"

// The pay card's state: channels, the order and its QR code, and the status poll.
// Widget-free; the card shows it and tells its owner through `paid` and `cancelled`.
class MarketPayModel : public QObject {
    Q_OBJECT
public:
    enum class Phase { failed, idle, creating, waiting, paid };

    // The service calls, replaceable in tests.
    struct Service {
        std::function<void(QObject*, std::function<void(const QList<PayChannelInfo>&)>)> channels;
        std::function<void(const QString&, const QString&, QObject*, std::function<void(const MarketBuyResult&)>)> buy;
        std::function<void(const QString&, QObject*, std::function<void(const MarketPayStatus&)>)> status;
    };
    static Service liveService();

    static constexpr int pollIntervalMs = 2000;
    // A failed status query is retried until this many seconds of polling have passed.
    static constexpr int giveUpAfterSeconds = 901;

    MarketPayModel(MarketPlugin plugin, Service service, QObject* parent = nullptr);

    void setPollInterval(int ms) { m_pollIntervalMs = ms; }

    // The card came up: the channel list, then the first order.
    void appear();
    // The card went away: the poll stops and every later reply is dropped.
    void disappear();
    void create();
    void chooseChannel(const QString& key);
    void cancel();

    Phase phase() const { return m_phase; }
    QString failureText() const { return m_failure; }
    std::optional<MarketOrder> order() const { return m_order; }
    QImage qrImage() const { return m_qrImage; }
    qint64 secondsLeft() const { return m_secondsLeft; }
    QString channel() const { return m_channel; }
    QList<PayChannelInfo> availableChannels() const;
    bool showsPicker() const { return availableChannels().size() >= 2; }
    bool polling() const { return m_pollTimer.isActive(); }

    QString title() const;
    QString channelName() const;
    QString priceLine() const;
    QString scanLine() const;
    QString expiryLine() const; // empty when nothing is left to count

signals:
    void changed();
    void paid();
    void cancelled();

private:
    void startPolling(const QString& orderNo);
    void stopPolling();
    void pollOnce();
    void setPhase(Phase phase, QString failure = {});
    void reportPaid();

    MarketPlugin m_plugin;
    Service m_service;
    Phase m_phase = Phase::idle;
    QString m_failure;
    std::optional<MarketOrder> m_order;
    QImage m_qrImage;
    qint64 m_secondsLeft = 0;
    QList<PayChannelInfo> m_channels;
    QString m_channel = QStringLiteral("wechat");
    QTimer m_pollTimer;
    int m_pollIntervalMs = pollIntervalMs;
    QString m_pollOrder;
    int m_elapsed = 0;
    // Each order request and each poll carries the generation it was made in.
    int m_orderGeneration = 0;
    int m_pollGeneration = 0;
    bool m_shown = false;
    bool m_paidReported = false;
};
