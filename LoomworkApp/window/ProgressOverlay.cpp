#include "window/ProgressOverlay.h"

#include <cmath>

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QVBoxLayout>

#include "engine/operations/OperationsCenter.h"
#include "ui/SoftShadow.h"
#include "ui/Theme.h"
#include "ui/Transitions.h"

namespace {
constexpr int kBarSteps = 1000;
constexpr qreal kCardRadius = 14;
constexpr int kFadeMs = 200;
constexpr qreal kShadowRadius = 20;
constexpr qreal kShadowOpacity = 0.33;
} // namespace

// The card paints no effect of its own: a graphics effect here, nested in the overlay's
// fade, kept small progress steps off the screen and broke the fade's painting. The
// overlay draws the card's shadow under it instead.
class ProgressOverlay::Card : public QWidget
{
public:
    explicit Card(QWidget* parent) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Theme::floatingBg());
        p.drawRoundedRect(QRectF(rect()), kCardRadius, kCardRadius);
    }
};

ProgressOverlay::ProgressOverlay(OperationsCenter* ops, QWidget* parent)
    : QWidget(parent), m_ops(ops), m_card(new Card(this)), m_bar(new QProgressBar(m_card)),
      m_status(new QLabel(m_card)), m_percent(new QLabel(m_card))
{
    setAttribute(Qt::WA_NoMousePropagation);
    setFocusPolicy(Qt::StrongFocus);
    auto* column = new QVBoxLayout(m_card);
    column->setContentsMargins(28, 28, 28, 28);
    column->setSpacing(14);
    m_bar->setRange(0, kBarSteps);
    m_bar->setTextVisible(false);
    m_bar->setFixedSize(kBarWidth, 6);
    // The bar repaints by itself only for steps of several pixels; smooth progress moves
    // in smaller ones.
    connect(m_bar, &QProgressBar::valueChanged, m_bar, qOverload<>(&QWidget::update));
    column->addWidget(m_bar, 0, Qt::AlignHCenter);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    m_status->setAlignment(Qt::AlignHCenter);
    m_status->setFixedWidth(kTextWidth);
    column->addWidget(m_status, 0, Qt::AlignHCenter);
    m_percent->setTextFormat(Qt::PlainText);
    m_percent->setAlignment(Qt::AlignHCenter);
    column->addWidget(m_percent, 0, Qt::AlignHCenter);

    parent->installEventFilter(this);
    setGeometry(parent->rect());
    connect(ops, &OperationsCenter::isBusyChanged, this, &ProgressOverlay::sync);
    connect(ops, &OperationsCenter::statusTextChanged, this, &ProgressOverlay::sync);
    connect(ops, &OperationsCenter::progressChanged, this, &ProgressOverlay::sync);
    restyle();
    hide();
    setAttribute(Qt::WA_TransparentForMouseEvents, true);
    sync();
}

QString ProgressOverlay::percentText(double progress)
{
    const double clamped = std::isfinite(progress) ? std::clamp(progress, 0.0, 1.0) : 0.0;
    return QString::number(int(std::floor(clamped * 100))) + u'%';
}

void ProgressOverlay::sync()
{
    const bool busy = m_ops && m_ops->isBusy();
    if (!busy) {
        // Input passes at once; only the picture fades.
        if (!testAttribute(Qt::WA_TransparentForMouseEvents)) {
            setAttribute(Qt::WA_TransparentForMouseEvents, true);
            if (hasFocus())
                clearFocus();
            if (isVisible())
                Transitions::fadeOut(this, kFadeMs);
            else
                hide();
        }
        return;
    }
    const double progress = m_ops->progress();
    const int value = int(std::floor((std::isfinite(progress) ? std::clamp(progress, 0.0, 1.0) : 0.0) * kBarSteps));
    m_bar->setValue(value);
    m_status->setText(m_ops->statusText());
    m_percent->setText(percentText(progress));
    const QRect cardBefore = m_card->geometry();
    m_card->adjustSize();
    m_card->move((width() - m_card->width()) / 2, (height() - m_card->height()) / 2);
    if (m_card->geometry() != cardBefore)
        update(); // the shadow around it
    if (isHidden() || testAttribute(Qt::WA_TransparentForMouseEvents)) {
        setAttribute(Qt::WA_TransparentForMouseEvents, false);
        setGeometry(parentWidget()->rect());
        Transitions::fadeIn(this, kFadeMs);
        raise();
        setFocus(Qt::OtherFocusReason);
    }
}

void ProgressOverlay::restyle()
{
    m_status->setFont(Theme::captionFont());
    QFont mono = Theme::font(10);
    mono.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Menlo"), QStringLiteral("monospace")});
    mono.setStyleHint(QFont::Monospace);
    m_percent->setFont(mono);
    QPalette p = m_percent->palette();
    p.setColor(QPalette::WindowText, Theme::textSecondary());
    m_percent->setPalette(p);
    QPalette bp = m_bar->palette();
    bp.setColor(QPalette::Highlight, Theme::accent());
    m_bar->setPalette(bp);
}

void ProgressOverlay::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange)
        restyle();
    QWidget::changeEvent(event);
}

bool ProgressOverlay::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize) {
        setGeometry(parentWidget()->rect());
        m_card->move((width() - m_card->width()) / 2, (height() - m_card->height()) / 2);
    }
    if (watched == parentWidget() && event->type() == QEvent::ChildAdded && isVisible())
        raise();
    return QWidget::eventFilter(watched, event);
}

void ProgressOverlay::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), Theme::scrim(0.25));
    SoftShadow::paint(p, QRectF(m_card->geometry()), kCardRadius, kShadowRadius, 0, kShadowOpacity);
}

// While shown the window underneath takes no input at all.
bool ProgressOverlay::event(QEvent* event)
{
    // Claimed shortcuts come back as plain key presses, which the veil swallows: neither
    // the menus' nor the list's shortcuts act under it.
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    return QWidget::event(event);
}

void ProgressOverlay::keyPressEvent(QKeyEvent* event)
{
    event->accept();
}

void ProgressOverlay::mousePressEvent(QMouseEvent* event)
{
    event->accept();
}

void ProgressOverlay::wheelEvent(QWheelEvent* event)
{
    event->accept();
}

bool ProgressOverlay::focusNextPrevChild(bool)
{
    return true;
}
