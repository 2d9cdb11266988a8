#include "market/MarketMediaModel.h"

#include <cmath>

#include "online/BiliVideo.h"
#include "online/MarketService.h"

MarketMediaModel::MarketMediaModel(std::optional<QString> coverUrl, std::optional<QString> videoUrl,
                                   PlayerFactory makePlayer, QObject* parent)
    : QObject(parent)
    , m_coverUrl(std::move(coverUrl))
    , m_videoUrl(std::move(videoUrl))
    , m_makePlayer(std::move(makePlayer))
    , m_resolve(&BiliVideo::embedUrl)
{
}

void MarketMediaModel::setEmbedResolver(EmbedResolver resolver) { m_resolve = std::move(resolver); }

QString MarketMediaModel::linkFailedText()
{
    return QStringLiteral("这个 B 站链接暂时打不开，请检查链接是否有效");
}

QString MarketMediaModel::timeText(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0)
        return QStringLiteral("0:00");
    // Beyond any real video: shown as the largest value instead of overflowing.
    const double rounded = std::min(std::round(seconds), 9.0e15);
    const auto whole = static_cast<long long>(rounded);
    return QString::asprintf("%lld:%02lld", whole / 60, whole % 60);
}

bool MarketMediaModel::isInlinePlayable(const std::optional<QString>& videoUrl)
{
    if (!videoUrl)
        return false;
    // The file is what comes before the first "?", even when that is nothing: a query alone
    // ("?x=a.mp4") names no file.
    const QString file = videoUrl->toLower().section(u'?', 0, 0);
    return file.endsWith(QStringLiteral(".mp4")) || file.endsWith(QStringLiteral(".mov"))
        || file.endsWith(QStringLiteral(".m4v"));
}

MarketMediaModel::Face MarketMediaModel::face() const
{
    if (m_webEmbed)
        return Face::web;
    if (m_started && m_player)
        return Face::playing;
    return Face::cover;
}

bool MarketMediaModel::showsPlayButton() const
{
    return isInlinePlayable(m_videoUrl) || BiliVideo::isBiliLink(m_videoUrl);
}

std::optional<QUrl> MarketMediaModel::coverAddress() const { return MarketService::absoluteURL(m_coverUrl); }

void MarketMediaModel::startPreview()
{
    if (!BiliVideo::isBiliLink(m_videoUrl)) {
        startPlay();
        return;
    }
    if (m_preparingWeb || m_webEmbed)
        return;
    m_preparingWeb = true;
    m_webError.reset();
    const int generation = m_generation;
    m_resolve(m_videoUrl, this, [this, generation](const std::optional<QUrl>& page) {
        if (generation != m_generation)
            return;
        m_preparingWeb = false;
        if (page)
            m_webEmbed = page;
        else
            m_webError = linkFailedText();
        emit changed();
    });
    emit changed();
}

void MarketMediaModel::startPlay()
{
    const auto address = MarketService::absoluteURL(m_videoUrl);
    if (!address)
        return;
    if (!m_player) {
        m_player = m_makePlayer(this);
        if (!m_player)
            return;
        m_player->setMuted(m_muted);
        m_player->setSource(*address);
        connect(m_player, &PreviewPlayer::positionChanged, this, [this](double seconds) {
            if (std::isfinite(seconds))
                m_progress = seconds;
            emit changed();
        });
        connect(m_player, &PreviewPlayer::durationChanged, this, [this](double seconds) {
            if (std::isfinite(seconds) && seconds > 0)
                m_duration = seconds;
            emit changed();
        });
        connect(m_player, &PreviewPlayer::playedToEnd, this, [this] {
            if (m_player)
                m_player->pause();
            teardown();
            emit changed();
        });
    }
    if (m_resumeAt > 0.2)
        m_player->seek(m_resumeAt);
    m_player->play();
    m_started = true;
    emit changed();
}

void MarketMediaModel::pauseToCover()
{
    if (m_player)
        m_player->pause();
    if (std::isfinite(m_progress) && m_progress > 0)
        m_resumeAt = m_progress;
    m_started = false;
    emit changed();
}

void MarketMediaModel::teardown()
{
    if (m_player) {
        m_player->pause();
        m_player->disconnect(this);
        m_player->deleteLater();
    }
    m_player = nullptr;
    m_started = false;
    m_progress = 0;
    m_duration = 0;
    m_resumeAt = 0;
}

void MarketMediaModel::closeWeb()
{
    m_webEmbed.reset();
    m_webError.reset();
    emit changed();
}

void MarketMediaModel::toggleMuted()
{
    m_muted = !m_muted;
    if (m_player)
        m_player->setMuted(m_muted);
    emit changed();
}

void MarketMediaModel::leave()
{
    teardown();
    m_webEmbed.reset();
    m_preparingWeb = false;
    m_webError.reset();
    ++m_generation;
    emit changed();
}

double MarketMediaModel::sliderMaximum() const { return std::max(m_duration, 0.1); }

double MarketMediaModel::sliderValue() const { return std::clamp(m_progress, 0.0, sliderMaximum()); }

void MarketMediaModel::seekTo(double seconds)
{
    m_progress = seconds;
    if (m_player)
        m_player->seek(seconds);
    emit changed();
}

QString MarketMediaModel::timeLine() const
{
    return timeText(m_progress) + QStringLiteral(" / ") + timeText(m_duration);
}
