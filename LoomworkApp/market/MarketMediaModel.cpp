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
    m_startLimit.setSingleShot(true);
    m_startLimit.setInterval(kStartLimitMs);
    connect(&m_startLimit, &QTimer::timeout, this, &MarketMediaModel::stuck);
}

void MarketMediaModel::setEmbedResolver(EmbedResolver resolver) { m_resolve = std::move(resolver); }

QString MarketMediaModel::linkFailedText()
{
    return QStringLiteral("这个 B 站链接暂时打不开，请检查链接是否有效");
}

QString MarketMediaModel::playFailedText()
{
    return QStringLiteral("无法播放预览视频");
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
    if (m_started && m_player && m_moving)
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
    if (m_started && m_player)
        return;
    m_playError.reset();
    if (!m_player) {
        m_player = m_makePlayer(this);
        if (!m_player)
            return;
        m_player->setMuted(m_muted);
        m_player->setSource(*address);
        connect(m_player, &PreviewPlayer::positionChanged, this, [this](double seconds) {
            if (!std::isfinite(seconds))
                return;
            m_progress = seconds;
            if (m_started && !m_moving && seconds > m_startedFrom) {
                m_moving = true;
                m_startLimit.stop();
            }
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
        connect(m_player, &PreviewPlayer::failed, this, &MarketMediaModel::fail);
    }
    m_startedFrom = 0;
    if (m_resumeAt > 0.2) {
        m_player->seek(m_resumeAt);
        m_startedFrom = m_resumeAt;
    }
    m_moving = false;
    m_started = true;
    m_startLimit.start();
    m_player->play();
    emit changed();
}

void MarketMediaModel::stuck()
{
    if (!startingPlayback())
        return;
    // A sound output that never starts holds the picture too: once more without it.
    if (!m_triedWithoutSound && m_player->playWithoutSound()) {
        m_triedWithoutSound = true;
        m_muted = true;
        m_startedFrom = 0;
        m_resumeAt = 0;
        m_startLimit.start();
        emit changed();
        return;
    }
    fail();
}

void MarketMediaModel::fail()
{
    if (!m_player)
        return;
    teardown();
    m_playError = playFailedText();
    emit changed();
}

void MarketMediaModel::pauseToCover()
{
    m_startLimit.stop();
    if (m_player)
        m_player->pause();
    if (std::isfinite(m_progress) && m_progress > 0)
        m_resumeAt = m_progress;
    m_started = false;
    m_moving = false;
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
    m_startLimit.stop();
    m_started = false;
    m_moving = false;
    m_triedWithoutSound = false;
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
    m_playError.reset();
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
