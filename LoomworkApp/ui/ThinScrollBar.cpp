#include "ui/ThinScrollBar.h"

#include <QAbstractScrollArea>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>

#include "ui/Appearance.h"
#include "ui/Theme.h"

ThinScrollBar::ThinScrollBar(QAbstractScrollArea* area) : QWidget(area), m_area(area)
{
    setObjectName(QStringLiteral("loomworkThinScrollBar"));
    setAttribute(Qt::WA_NoSystemBackground);
    QScrollBar* bar = area->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, &ThinScrollBar::contentMoved);
    connect(bar, &QScrollBar::rangeChanged, this, &ThinScrollBar::contentMoved);
    area->installEventFilter(this);
    area->viewport()->installEventFilter(this);
    syncFrame();
    raise();
    show();
}

QColor ThinScrollBar::knobColor(bool dragging)
{
    return dragging ? Theme::scrollKnobDown() : Theme::scrollKnob();
}

std::optional<ThinScrollMetrics> ThinScrollBar::metrics() const
{
    if (!m_area)
        return std::nullopt;
    const QScrollBar* bar = m_area->verticalScrollBar();
    const qreal visible = bar->pageStep();
    const qreal total = qreal(bar->maximum()) - bar->minimum() + bar->pageStep();
    return ThinScrollMetrics::make(visible, total, height());
}

qreal ThinScrollBar::scrollOffset() const
{
    if (!m_area)
        return 0;
    const QScrollBar* bar = m_area->verticalScrollBar();
    return bar->value() - bar->minimum();
}

std::optional<QRectF> ThinScrollBar::knobRect() const
{
    const auto m = metrics();
    if (!m)
        return std::nullopt;
    return m->knobRect(scrollOffset(), QRectF(rect()));
}

void ThinScrollBar::scrollTo(qreal offset)
{
    const auto m = metrics();
    if (!m_area || !m)
        return;
    QScrollBar* bar = m_area->verticalScrollBar();
    bar->setValue(bar->minimum() + qRound(m->clamp(offset)));
    update();
}

void ThinScrollBar::syncFrame()
{
    if (!m_area)
        return;
    const QRect viewport = m_area->viewport()->geometry();
    const QRect frame(viewport.right() + 1 - kWidth, viewport.top(), kWidth, viewport.height());
    if (geometry() != frame)
        setGeometry(frame);
    // Where there is nothing to scroll, presses reach the content below.
    setAttribute(Qt::WA_TransparentForMouseEvents, !metrics() && !m_dragging);
    update();
}

void ThinScrollBar::contentMoved()
{
    syncFrame();
    update();
}

bool ThinScrollBar::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest)
        syncFrame();
    return QWidget::eventFilter(watched, event);
}

void ThinScrollBar::paintEvent(QPaintEvent*)
{
    const auto knob = knobRect();
    if (!knob)
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal radius = std::min(knob->width(), knob->height()) / 2;
    QPainterPath path;
    path.addRoundedRect(*knob, radius, radius);
    p.fillPath(path, knobColor(m_dragging));
}

void ThinScrollBar::mousePressEvent(QMouseEvent* event)
{
    const auto m = metrics();
    const auto knob = knobRect();
    if (!m || !knob || event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    const QPointF at = event->position();
    if (!ThinScrollMetrics::grabRect(*knob).contains(at)) {
        scrollTo(m->pageTarget(scrollOffset(), at.y(), *knob));
        return;
    }
    m_dragging = true;
    m_dragStart = at;
    m_dragOrigin = scrollOffset();
    update();
}

void ThinScrollBar::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_dragging)
        return;
    const auto m = metrics();
    if (!m || m->travel <= 0)
        return;
    scrollTo(m->dragTarget(m_dragOrigin, event->position().y() - m_dragStart.y()));
}

void ThinScrollBar::mouseReleaseEvent(QMouseEvent*)
{
    if (!m_dragging)
        return;
    m_dragging = false;
    syncFrame();
    update();
}
