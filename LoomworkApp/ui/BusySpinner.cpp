#include "ui/BusySpinner.h"

#include <cmath>

#include <QPainter>

#include "ui/Theme.h"

BusySpinner::BusySpinner(Size size, QWidget* parent)
    : QWidget(parent), m_side(size == Size::small ? kSmallSide : kRegularSide)
{
    setFixedSize(m_side, m_side);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_timer.setInterval(kStepMs);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % kSpokes;
        update();
    });
}

QSize BusySpinner::sizeHint() const
{
    return {m_side, m_side};
}

void BusySpinner::showEvent(QShowEvent*)
{
    m_timer.start();
}

void BusySpinner::hideEvent(QHideEvent*)
{
    m_timer.stop();
}

void BusySpinner::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal side = m_side;
    const qreal outer = side / 2.0;
    const qreal inner = outer * 0.46;
    const qreal width = std::max<qreal>(1.5, side / 11.0);
    p.translate(side / 2.0, side / 2.0);
    for (int i = 0; i < kSpokes; ++i) {
        // The spoke just passed is darkest; the others fade behind it.
        const int age = (m_step - i + kSpokes) % kSpokes;
        QPen pen(Theme::alpha(Theme::textSecondary(), 1.0 - 0.75 * age / qreal(kSpokes - 1)), width, Qt::SolidLine, Qt::RoundCap);
        p.setPen(pen);
        const qreal angle = 2.0 * M_PI * i / kSpokes - M_PI / 2.0;
        p.drawLine(QPointF(std::cos(angle) * inner, std::sin(angle) * inner),
                   QPointF(std::cos(angle) * (outer - width / 2), std::sin(angle) * (outer - width / 2)));
    }
}
