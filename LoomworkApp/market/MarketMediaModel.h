#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include "market/PreviewPlayer.h"

// The media panel's state: cover, inline playback of a media file, or the video site's
// embedded player page. Widget-free so the state machine is testable with a fake player.
// Inline playback shows as playing only once the position moves: until then the cover says
// it is opening; a player that does not start goes on without sound once, then the cover
// says it cannot play.
class MarketMediaModel : public QObject {
    Q_OBJECT
public:
    enum class Face { cover, playing, web };

    using PlayerFactory = std::function<PreviewPlayer*(QObject* parent)>;
    // How long a started player may show no progress before it counts as stuck.
    static constexpr int kStartLimitMs = 10000;

    using EmbedResolver = std::function<void(const std::optional<QString>& videoUrl, QObject* context,
                                             std::function<void(const std::optional<QUrl>&)> done)>;

    MarketMediaModel(std::optional<QString> coverUrl, std::optional<QString> videoUrl,
                     PlayerFactory makePlayer, QObject* parent = nullptr);

    // Tests resolve site links without the network.
    void setEmbedResolver(EmbedResolver resolver);
    void setStartLimit(int ms) { m_startLimit.setInterval(ms); }

    static QString timeText(double seconds);
    static bool isInlinePlayable(const std::optional<QString>& videoUrl);

    Face face() const;
    bool showsPlayButton() const;
    std::optional<QUrl> coverAddress() const;

    void startPreview();
    void pauseToCover();
    void closeWeb();
    void toggleMuted();
    // The panel left the screen: player and page go, the mute choice stays.
    void leave();

    // The slider: range 0 … max(duration, 0.1); writing moves the player.
    double sliderMaximum() const;
    double sliderValue() const;
    void seekTo(double seconds);

    bool started() const { return m_started; }
    bool muted() const { return m_muted; }
    bool preparingWeb() const { return m_preparingWeb; }
    // A started player that has not shown progress yet.
    bool startingPlayback() const { return m_started && m_player && !m_moving; }
    std::optional<QString> playError() const { return m_playError; }
    double progress() const { return m_progress; }
    double duration() const { return m_duration; }
    double resumeAt() const { return m_resumeAt; }
    std::optional<QString> webError() const { return m_webError; }
    std::optional<QUrl> webEmbed() const { return m_webEmbed; }
    PreviewPlayer* player() const { return m_player; }
    QString timeLine() const;

    static QString linkFailedText();
    static QString playFailedText();

signals:
    void changed();

private:
    void startPlay();
    void teardown();
    void stuck();
    void fail();

    std::optional<QString> m_coverUrl;
    std::optional<QString> m_videoUrl;
    PlayerFactory m_makePlayer;
    EmbedResolver m_resolve;
    QPointer<PreviewPlayer> m_player;
    bool m_started = false;
    double m_resumeAt = 0;
    double m_progress = 0;
    double m_duration = 0;
    bool m_muted = false;
    std::optional<QUrl> m_webEmbed;
    bool m_preparingWeb = false;
    std::optional<QString> m_webError;
    std::optional<QString> m_playError;
    // The position the player started from; it plays once it is past it.
    double m_startedFrom = 0;
    bool m_moving = false;
    bool m_triedWithoutSound = false;
    QTimer m_startLimit;
    // A resolution that finishes after leave() is dropped.
    int m_generation = 0;
};
