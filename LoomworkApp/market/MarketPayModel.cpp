#include "market/MarketPayModel.h"

#include "online/MarketService.h"

MarketPayModel::Service MarketPayModel::liveService()
{
    return {&PaymentService::channels, &MarketService::buy, &MarketService::status};
}

MarketPayModel::MarketPayModel(MarketPlugin plugin, Service service, QObject* parent)
    : QObject(parent)
    , m_plugin(std::move(plugin))
    , m_service(std::move(service))
{
    m_pollTimer.setSingleShot(true);
    connect(&m_pollTimer, &QTimer::timeout, this, &MarketPayModel::pollOnce);
}

void MarketPayModel::appear()
{
    m_shown = true;
    const int generation = ++m_orderGeneration;
    // The first order waits for the channel list, so it is made in the channel the list picks.
    m_service.channels(this, [this, generation](const QList<PayChannelInfo>& channels) {
        if (!m_shown || generation != m_orderGeneration)
            return;
        m_channels = channels;
        const auto offered = availableChannels();
        if (!offered.isEmpty())
            m_channel = offered.first().key;
        create();
    });
    setPhase(Phase::creating);
}

void MarketPayModel::disappear()
{
    m_shown = false;
    ++m_orderGeneration;
    stopPolling();
}

void MarketPayModel::create()
{
    if (!m_shown)
        return;
    m_order.reset();
    m_qrImage = QImage();
    setPhase(Phase::creating);
    const int generation = ++m_orderGeneration;
    m_service.buy(m_plugin.pluginId, m_channel, this, [this, generation](const MarketBuyResult& result) {
        if (!m_shown || generation != m_orderGeneration)
            return;
        switch (result.kind) {
        case MarketBuyResult::Kind::order:
            m_order = result.order;
            m_qrImage = PaymentService::qrImage(result.order.qrPayload, 168);
            m_secondsLeft = result.order.expireSeconds;
            setPhase(Phase::waiting);
            startPolling(result.order.orderNo);
            break;
        case MarketBuyResult::Kind::failure:
            setPhase(Phase::failed, result.message);
            break;
        case MarketBuyResult::Kind::free:
        case MarketBuyResult::Kind::owned:
            reportPaid();
            break;
        }
    });
}

void MarketPayModel::chooseChannel(const QString& key)
{
    if (key == m_channel)
        return;
    m_channel = key;
    create();
}

void MarketPayModel::cancel()
{
    stopPolling();
    ++m_orderGeneration;
    emit cancelled();
}

QList<PayChannelInfo> MarketPayModel::availableChannels() const { return PaymentService::available(m_channels); }

QString MarketPayModel::title() const { return QStringLiteral("购买 ") + m_plugin.name; }

QString MarketPayModel::channelName() const
{
    for (const auto& channel : availableChannels()) {
        if (channel.key == m_channel)
            return channel.name;
    }
    return QStringLiteral("微信");
}

QString MarketPayModel::priceLine() const
{
    const std::optional<qint64> price = m_plugin.finalPrice ? m_plugin.finalPrice : m_plugin.price;
    if (!price || *price <= 0)
        return QStringLiteral("免费插件，点击即入库");
    QString line = MarketPlugin::money(*price);
    if (const auto original = m_plugin.originalPriceText())
        line += QStringLiteral("（原价 ") + *original + QStringLiteral("）");
    return line;
}

QString MarketPayModel::scanLine() const
{
    if (!m_order)
        return {};
    return QStringLiteral("请用 ") + channelName() + QStringLiteral(" 扫码支付 ") + MarketPlugin::money(m_order->amount);
}

QString MarketPayModel::expiryLine() const
{
    if (m_secondsLeft < 1)
        return {};
    return QStringLiteral("二维码 %1 秒后过期").arg(m_secondsLeft);
}

void MarketPayModel::startPolling(const QString& orderNo)
{
    stopPolling();
    m_pollOrder = orderNo;
    m_elapsed = 0;
    m_pollTimer.start(m_pollIntervalMs);
}

void MarketPayModel::stopPolling()
{
    m_pollTimer.stop();
    ++m_pollGeneration;
}

void MarketPayModel::pollOnce()
{
    m_elapsed += pollIntervalMs / 1000;
    const int generation = m_pollGeneration;
    m_service.status(m_pollOrder, this, [this, generation](const MarketPayStatus& status) {
        if (generation != m_pollGeneration)
            return;
        switch (status.kind) {
        case MarketPayStatus::Kind::pending:
            m_secondsLeft = status.secondsLeft >= 1 ? status.secondsLeft : std::max<qint64>(m_secondsLeft - 2, 0);
            m_pollTimer.start(m_pollIntervalMs);
            emit changed();
            break;
        case MarketPayStatus::Kind::closed:
            m_order.reset();
            stopPolling();
            setPhase(Phase::failed, status.message.contains(QStringLiteral("expired"))
                                        ? QStringLiteral("二维码已过期，请重新生成")
                                        : status.message);
            break;
        case MarketPayStatus::Kind::failed:
            if (m_elapsed < giveUpAfterSeconds) {
                m_pollTimer.start(m_pollIntervalMs);
                break;
            }
            stopPolling();
            setPhase(Phase::failed, QStringLiteral("长时间未收到支付结果，请稍后在「我的购买」里确认"));
            break;
        case MarketPayStatus::Kind::paid:
            stopPolling();
            reportPaid();
            break;
        }
    });
}

void MarketPayModel::setPhase(Phase phase, QString failure)
{
    m_phase = phase;
    m_failure = std::move(failure);
    emit changed();
}

void MarketPayModel::reportPaid()
{
    setPhase(Phase::paid);
    if (m_paidReported)
        return;
    m_paidReported = true;
    emit paid();
}
