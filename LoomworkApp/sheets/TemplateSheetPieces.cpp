#include "sheets/TemplateSheetPieces.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "sheets/SheetPieces.h"

namespace TemplateSheetPieces {

namespace {

constexpr qreal kChipPadX = 7;
constexpr qreal kChipPadY = 3;

} // namespace

void Bar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), Theme::barBg());
}

InfoChip::InfoChip(QWidget* parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void InfoChip::set(const QString& text, std::function<QColor()> color)
{
    m_text = text;
    m_color = std::move(color);
    updateGeometry();
    update();
}

QSize InfoChip::sizeHint() const
{
    const QFontMetricsF fm(Theme::tinyFont());
    return QSizeF(fm.horizontalAdvance(m_text) + 2 * kChipPadX, fm.height() + 2 * kChipPadY).toSize();
}

void InfoChip::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect());
    QPainterPath capsule;
    capsule.addRoundedRect(r, r.height() / 2, r.height() / 2);
    p.fillPath(capsule, Theme::capsuleBg());
    p.setFont(Theme::tinyFont());
    p.setPen(m_color ? m_color() : Theme::textSecondary());
    p.drawText(r, Qt::AlignCenter | Qt::TextSingleLine, m_text);
}

Message::Message(QWidget* parent) : QWidget(parent)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(5);
    m_symbol = new QLabel(this);
    m_symbol->setTextFormat(Qt::PlainText);
    row->addWidget(m_symbol, 0, Qt::AlignTop);
    m_text = new QLabel(this);
    m_text->setTextFormat(Qt::PlainText);
    m_text->setWordWrap(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(m_text, 1);
}

void Message::set(const QString& symbol, const QString& text, const QFont& font, std::function<QColor()> color)
{
    m_symbolName = symbol;
    m_color = std::move(color);
    m_text->setFont(font);
    m_text->setText(text);
    restyle();
}

QString Message::text() const
{
    return m_text->text();
}

void Message::restyle()
{
    const QColor color = m_color ? m_color() : Theme::textSecondary();
    m_symbol->setVisible(!m_symbolName.isEmpty());
    if (!m_symbolName.isEmpty()) {
        const QFontMetrics fm(m_text->font());
        m_symbol->setPixmap(SymbolIcon::pixmap(m_symbolName, 12.5, color, devicePixelRatioF()));
        m_symbol->setFixedHeight(fm.height());
    }
    SheetPieces::tone(m_text, color);
}

Segments::Segments(const QString& first, const QString& second, int width, QWidget* parent)
    : QWidget(parent), m_titles{first, second}, m_width(width)
{
    setFixedWidth(width);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize Segments::sizeHint() const
{
    return {m_width, QFontMetrics(Theme::captionFont()).height() + 8};
}

void Segments::setCurrent(int index)
{
    if (index == m_current || index < 0 || index > 1)
        return;
    m_current = index;
    update();
    emit currentChanged(index);
}

void Segments::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && isEnabled())
        setCurrent(event->position().x() < width() / 2.0 ? 0 : 1);
}

void Segments::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath track;
    track.addRoundedRect(r, 6, 6);
    p.fillPath(track, Theme::capsuleBg());
    const qreal half = r.width() / 2;
    const QRectF on(r.left() + (m_current == 0 ? 0 : half) + 2, r.top() + 2, half - 4, r.height() - 4);
    QPainterPath thumb;
    thumb.addRoundedRect(on, 5, 5);
    p.fillPath(thumb, palette().color(QPalette::Base));
    p.setPen(Theme::cardStroke());
    p.drawPath(thumb);
    p.setFont(Theme::captionFont());
    for (int i = 0; i < 2; ++i) {
        p.setPen(i == m_current ? Theme::textPrimary() : Theme::textSecondary());
        p.drawText(QRectF(r.left() + i * half, r.top(), half, r.height()), Qt::AlignCenter, m_titles[i]);
    }
}

} // namespace TemplateSheetPieces
