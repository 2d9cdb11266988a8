#include "market/MarketMediaPanel.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QSlider>
#include <QTimer>

#include "market/BiliWebPlayer.h"
#include "market/QtPreviewPlayer.h"
#include "online/RemoteImageLoader.h"
#include "ui/BusySpinner.h"
#include "ui/PaintedButton.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"

namespace {

constexpr int kPlayWidth = 120;
constexpr int kPlayHeight = 62 + 10 + 22;
constexpr int kBarHeight = 40;

QColor white(qreal opacity) { return QColor::fromRgbF(1, 1, 1, opacity); }
QColor black(qreal opacity) { return QColor::fromRgbF(0, 0, 0, opacity); }

void paintPlay(QPainter& p, const QRectF& r, const BaseButton::State& state)
{
    const QRectF circle(r.center().x() - 31, r.top(), 62, 62);
    p.setPen(QPen(white(0.65), 1));
    p.setBrush(black(state.down ? 0.55 : 0.42));
    p.drawEllipse(circle.adjusted(0.5, 0.5, -0.5, -0.5));
    SymbolIcon::paint(p, circle.translated(2, 0), u"play.fill", Qt::white, 26);
    const QString text = QStringLiteral("预览视频");
    const QFont font = Theme::font(11.5, QFont::Medium);
    const qreal w = QFontMetricsF(font).horizontalAdvance(text) + 18;
    const QRectF capsule(r.center().x() - w / 2, circle.bottom() + 10, w, 22);
    p.setPen(Qt::NoPen);
    p.setBrush(black(0.4));
    p.drawRoundedRect(capsule, 11, 11);
    p.setPen(Qt::white);
    p.setFont(font);
    p.drawText(capsule, Qt::AlignCenter, text);
}

PaintedButton::Painter symbolPaint(QString symbol, qreal points, qreal opacity)
{
    return [symbol, points, opacity](QPainter& p, const QRectF& r, const BaseButton::State& state) {
        SymbolIcon::paint(p, r, symbol, white(state.down ? opacity * 0.7 : opacity), points);
    };
}

void paintCloseWeb(QPainter& p, const QRectF& r, const BaseButton::State& state)
{
    p.setPen(QPen(white(0.22), 0.6));
    p.setBrush(black(state.over ? 0.65 : 0.5));
    p.drawEllipse(r.adjusted(0.3, 0.3, -0.3, -0.3));
    SymbolIcon::paint(p, r, u"xmark", Qt::white, 10);
}

} // namespace

PreviewPlayer* MarketMediaPanel::makeQtPlayer(QObject* parent) { return new QtPreviewPlayer(parent); }

QWidget* MarketMediaPanel::makeWebPlayer(const QUrl& page, QWidget* parent) { return new BiliWebPlayer(page, parent); }

MarketMediaPanel::MarketMediaPanel(std::optional<QString> coverUrl, std::optional<QString> videoUrl,
                                   MarketMediaModel::PlayerFactory makePlayer, WebFactory makeWeb, QWidget* parent)
    : QWidget(parent)
    , m_model(new MarketMediaModel(std::move(coverUrl), std::move(videoUrl), std::move(makePlayer), this))
    , m_makeWeb(std::move(makeWeb))
    , m_coverLoader(new RemoteImageLoader(this))
    , m_play(new PaintedButton(QSize(kPlayWidth, kPlayHeight), &paintPlay, this))
    , m_preparing(new BusySpinner(BusySpinner::Size::small, this))
    , m_bar(new QWidget(this))
    , m_pause(new PaintedButton(QSize(22, 22), symbolPaint(QStringLiteral("pause.fill"), 14, 1), m_bar))
    , m_slider(new QSlider(Qt::Horizontal, m_bar))
    , m_time(new QLabel(m_bar))
    , m_mute(new PaintedButton(QSize(22, 22), symbolPaint(QStringLiteral("speaker.wave.2.fill"), 13, 0.9), m_bar))
    , m_closeWeb(new PaintedButton(QSize(22, 22), &paintCloseWeb, this))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_play->setAccessibleName(QStringLiteral("预览视频"));
    m_pause->setToolTip(QStringLiteral("暂停并回到封面（再点播放继续）"));
    m_closeWeb->setToolTip(QStringLiteral("退出预览"));
    m_slider->setMaximumWidth(220);
    m_slider->setFocusPolicy(Qt::NoFocus);
    m_time->setTextFormat(Qt::PlainText);
    m_time->setFont(Theme::font(10.5));
    m_time->setStyleSheet(QStringLiteral("color: rgba(255,255,255,217)"));
    auto* row = new QHBoxLayout(m_bar);
    row->setContentsMargins(14, 9, 14, 9);
    row->setSpacing(10);
    row->addWidget(m_pause);
    row->addWidget(m_slider, 1);
    row->addWidget(m_time);
    row->addWidget(m_mute);

    connect(m_play, &QAbstractButton::clicked, m_model, &MarketMediaModel::startPreview);
    connect(m_pause, &QAbstractButton::clicked, m_model, &MarketMediaModel::pauseToCover);
    connect(m_mute, &QAbstractButton::clicked, m_model, &MarketMediaModel::toggleMuted);
    connect(m_closeWeb, &QAbstractButton::clicked, m_model, &MarketMediaModel::closeWeb);
    connect(m_slider, &QSlider::sliderMoved, this, [this](int ms) { m_model->seekTo(ms / 1000.0); });
    connect(m_model, &MarketMediaModel::changed, this, &MarketMediaPanel::sync);
    connect(m_coverLoader, &RemoteImageLoader::finished, this, [this](const QImage& image, const QSize&) {
        m_cover = image;
        update();
    });
    if (const auto cover = m_model->coverAddress()) {
        RemoteImageLoader::Options options;
        options.fitWithin = QSize(1040, 650); // twice the area, for high-density screens
        m_coverLoader->load(*cover, options);
    }
    sync();
}

MarketMediaPanel::~MarketMediaPanel()
{
    delete m_web;
}

void MarketMediaPanel::sync()
{
    const auto face = m_model->face();
    if (m_model->player() != m_watched) {
        if (m_watched)
            m_watched->disconnect(this);
        m_watched = m_model->player();
        if (m_watched)
            connect(m_watched, &PreviewPlayer::frameChanged, this, qOverload<>(&QWidget::update));
    }
    // The page is made only once a link resolved, and goes with the web face.
    if (face == MarketMediaModel::Face::web && (!m_web || m_web->property("page") != *m_model->webEmbed())) {
        delete m_web;
        m_openerActive = window()->isActiveWindow();
        window()->installEventFilter(this);
        m_web = m_makeWeb(*m_model->webEmbed(), this);
        if (m_web) {
            m_web->setProperty("page", *m_model->webEmbed());
            m_web->show();
        }
    } else if (face != MarketMediaModel::Face::web && m_web) {
        delete m_web;
    }
    const bool opening = m_model->preparingWeb() || m_model->startingPlayback();
    m_play->setVisible(face == MarketMediaModel::Face::cover && m_model->showsPlayButton() && !m_model->startingPlayback());
    m_preparing->setVisible(face == MarketMediaModel::Face::cover && opening);
    m_bar->setVisible(face == MarketMediaModel::Face::playing);
    m_closeWeb->setVisible(face == MarketMediaModel::Face::web);
    if (!m_slider->isSliderDown()) {
        m_slider->setRange(0, int(m_model->sliderMaximum() * 1000));
        m_slider->setValue(int(m_model->sliderValue() * 1000));
    }
    m_time->setText(m_model->timeLine());
    m_mute->setPainter(symbolPaint(m_model->muted() ? QStringLiteral("speaker.slash.fill")
                                                  : QStringLiteral("speaker.wave.2.fill"),
                                 13, 0.9));
    place();
    update();
}

void MarketMediaPanel::place()
{
    m_play->move((width() - m_play->width()) / 2, (height() - m_play->height()) / 2);
    m_preparing->move((width() - m_preparing->width()) / 2, height() / 2 - m_preparing->height() - 2);
    m_bar->setGeometry(0, height() - kBarHeight, width(), kBarHeight);
    m_closeWeb->move(width() - 10 - m_closeWeb->width(), 10);
    if (m_web)
        m_web->setGeometry(rect());
    m_closeWeb->raise();
}

void MarketMediaPanel::resizeEvent(QResizeEvent*) { place(); }

// The web engine's drawing surface makes the window that shows it anew, and the new one is
// not activated: no window of the app would take keys (Ctrl+Q, Ctrl+,) until a click.
bool MarketMediaPanel::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::WinIdChange && watched == window() && m_web && m_openerActive) {
        QTimer::singleShot(0, window(), [opener = QPointer<QWidget>(window())] {
            if (opener && opener->isVisible() && !QApplication::activeWindow())
                opener->activateWindow();
        });
    }
    return QWidget::eventFilter(watched, event);
}

void MarketMediaPanel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (m_radius > 0) {
        // Only the top-left corner is round; the others meet the panel's inside.
        const qreal d = 2 * m_radius;
        QPainterPath clip;
        clip.moveTo(0, height());
        clip.lineTo(0, m_radius);
        clip.arcTo(QRectF(0, 0, d, d), 180, -90);
        clip.lineTo(width(), 0);
        clip.lineTo(width(), height());
        clip.closeSubpath();
        p.fillRect(rect(), Theme::floatingBg());
        p.setClipPath(clip);
    }
    p.fillRect(rect(), black(0.9));
    switch (m_model->face()) {
    case MarketMediaModel::Face::cover:
        paintCover(p);
        break;
    case MarketMediaModel::Face::playing:
        paintFrame(p);
        break;
    case MarketMediaModel::Face::web:
        break;
    }
}

void MarketMediaPanel::paintCover(QPainter& p)
{
    if (!m_cover.isNull()) {
        // Fill the area, cropping what overflows.
        const QSizeF size = QSizeF(m_cover.size()).scaled(QSizeF(this->size()), Qt::KeepAspectRatioByExpanding);
        const QRectF target((width() - size.width()) / 2, (height() - size.height()) / 2, size.width(), size.height());
        p.drawImage(target, m_cover);
    } else {
        QLinearGradient ground(QPointF(0, 0), QPointF(width(), height()));
        ground.setColorAt(0, Theme::alpha(Theme::accent(), 0.32));
        ground.setColorAt(1, Theme::alpha(Theme::coverGradientEnd(), 0.24));
        p.fillRect(rect(), Theme::floatingBg());
        p.fillRect(rect(), ground);
        if (!m_model->showsPlayButton())
            SymbolIcon::paint(p, QRectF(rect()), u"shippingbox", white(0.55), 40);
        else
            SymbolIcon::paint(p, QRectF(0, 0, width(), height() * 0.4), u"shippingbox", white(0.55), 40);
    }
    if (m_model->preparingWeb() || m_model->startingPlayback()) {
        const QString text = QStringLiteral("正在打开预览视频…");
        const QFont font = Theme::font(11);
        const qreal w = QFontMetricsF(font).horizontalAdvance(text) + 28;
        const QRectF box(width() / 2.0 - w / 2, height() / 2.0 - 30, w, 60);
        p.setPen(Qt::NoPen);
        p.setBrush(black(0.55));
        p.drawRoundedRect(box, 9, 9);
        p.setFont(font);
        p.setPen(white(0.9));
        p.drawText(box.adjusted(14, 30, -14, -10), Qt::AlignHCenter | Qt::AlignTop, text);
    }
    if (const auto error = m_model->webError() ? m_model->webError() : m_model->playError()) {
        const QFont font = Theme::font(11);
        const QFontMetricsF metrics(font);
        const qreal textW = std::min(metrics.horizontalAdvance(*error), width() - 28.0 - 22 - 16);
        const qreal w = textW + 22 + 16;
        const QRectF capsule(width() / 2.0 - w / 2, height() - 12 - 28, w, 28);
        p.setPen(Qt::NoPen);
        p.setBrush(black(0.6));
        p.drawRoundedRect(capsule, 14, 14);
        SymbolIcon::paint(p, QRectF(capsule.left() + 8, capsule.top(), 16, 28), u"exclamationmark.triangle.fill", Qt::white, 12);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(capsule.left() + 27, capsule.top(), textW, 28), Qt::AlignVCenter | Qt::AlignLeft,
                   metrics.elidedText(*error, Qt::ElideRight, textW));
    }
}

void MarketMediaPanel::paintFrame(QPainter& p)
{
    const QImage frame = m_model->player() ? m_model->player()->frame() : QImage();
    if (!frame.isNull()) {
        const QSizeF size = QSizeF(frame.size()).scaled(QSizeF(this->size()), Qt::KeepAspectRatio);
        p.drawImage(QRectF((width() - size.width()) / 2, (height() - size.height()) / 2, size.width(), size.height()), frame);
    }
    QLinearGradient fade(QPointF(0, height() - kBarHeight), QPointF(0, height()));
    fade.setColorAt(0, black(0));
    fade.setColorAt(1, black(0.62));
    p.fillRect(QRectF(0, height() - kBarHeight, width(), kBarHeight), fade);
}

void MarketMediaPanel::mousePressEvent(QMouseEvent* event)
{
    // A click on the moving picture returns to the cover, like the pause button.
    if (m_model->face() == MarketMediaModel::Face::playing && event->button() == Qt::LeftButton) {
        m_model->pauseToCover();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void MarketMediaPanel::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (event->spontaneous())
        return;
    m_model->leave();
    delete m_web;
}
