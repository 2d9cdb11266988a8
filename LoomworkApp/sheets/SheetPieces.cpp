#include "sheets/SheetPieces.h"

#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "ui/F.h"
#include "ui/Palette.h"
#include "ui/Surface.h"
#include "ui/SymbolIcon.h"
#include "ui/Tint.h"

namespace SheetPieces {

namespace {

constexpr qreal kTagPadX = 5;
constexpr qreal kTagPadY = 1;
constexpr int kCardPadding = 10;
constexpr int kCardSpacing = 10;
constexpr qreal kRadioPoints = 15;
constexpr qreal kIconPoints = 17;

QFont monospaced(qreal points)
{
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPointSizeF(F::pointSizeForPixels(points));
    f.setWeight(QFont::Normal);
    return f;
}

} // namespace

QLabel* label(const QString& text, const QFont& font, bool wrap)
{
    auto* l = new QLabel(text);
    l->setTextFormat(Qt::PlainText);
    l->setFont(font);
    l->setWordWrap(wrap);
    return l;
}

void tone(QLabel* label, const QColor& color)
{
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, color);
    label->setPalette(p);
    // Inside a button a label would otherwise draw in the button's text colour.
    label->setForegroundRole(QPalette::WindowText);
}

QLabel* symbolLabel(const QString& symbol, qreal points)
{
    auto* l = new QLabel(SymbolIcon::glyph(symbol));
    l->setTextFormat(Qt::PlainText);
    l->setFont(SymbolIcon::font(points));
    l->setAlignment(Qt::AlignCenter);
    return l;
}

QSizeF tagSize(const QString& text, const QFont& font)
{
    const QFontMetricsF fm(font);
    return {fm.horizontalAdvance(text) + 2 * kTagPadX, fm.height() + 2 * kTagPadY};
}

void paintTag(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
              const QColor& textColor, const QColor& fill)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath capsule;
    capsule.addRoundedRect(rect, rect.height() / 2, rect.height() / 2);
    painter.fillPath(capsule, fill);
    painter.setFont(font);
    painter.setPen(textColor);
    painter.drawText(rect, Qt::AlignCenter | Qt::TextSingleLine, text);
    painter.restore();
}

// ---- LineLabel

LineLabel::LineLabel(const QString& text, Qt::TextElideMode mode, QWidget* parent) : QLabel(text, parent), m_mode(mode)
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize LineLabel::minimumSizeHint() const
{
    return {0, QLabel::minimumSizeHint().height()};
}

void LineLabel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setPen(palette().color(QPalette::WindowText));
    p.setFont(font());
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), m_mode, area.width());
    p.drawText(area, int(alignment()) | Qt::TextSingleLine, shown);
}

// ---- Tag

Tag::Tag(const QString& text, const QFont& font, ColorFn textColor, ColorFn fill, QWidget* parent)
    : QWidget(parent), m_text(text), m_font(font), m_textColor(std::move(textColor)), m_fill(std::move(fill))
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Tag::setText(const QString& text)
{
    m_text = text;
    updateGeometry();
    update();
}

QSize Tag::sizeHint() const
{
    return tagSize(m_text, m_font).toSize() + QSize(1, 0);
}

void Tag::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintTag(p, QRectF(rect()), m_text, m_font, m_textColor(), m_fill());
}

// ---- Panel

Panel::Panel(std::function<QColor()> fill, QWidget* parent) : QWidget(parent), m_fill(std::move(fill)) {}

void Panel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), kRadius, kRadius);
    p.fillPath(path, m_fill());
}

// ---- IconBox

IconBox::IconBox(const QString& symbol, std::function<QColor()> color, QSize size, QWidget* parent)
    : QWidget(parent), m_symbol(symbol), m_color(std::move(color))
{
    setFixedSize(size);
}

void IconBox::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor color = m_color();
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), Panel::kRadius, Panel::kRadius);
    p.fillPath(path, Tint::opacity(color, 0.13));
    SymbolIcon::paint(p, QRectF(rect()), m_symbol, color, kIconPoints);
}

// ---- RadioCard

RadioCard::RadioCard(const QString& title, DetailStyle detailStyle, QWidget* parent) : QAbstractButton(parent)
{
    noFocusRing(this);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(kCardPadding, kCardPadding, kCardPadding, kCardPadding);
    row->setSpacing(kCardSpacing);
    m_radio = symbolLabel(QStringLiteral("circle"), kRadioPoints);
    m_radio->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    row->addWidget(m_radio, 0, Qt::AlignTop);

    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    m_titleRow = new QHBoxLayout;
    m_titleRow->setSpacing(6);
    m_title = label(title, F::body());
    m_titleRow->addWidget(m_title, 0, Qt::AlignVCenter);
    column->addLayout(m_titleRow);
    if (detailStyle == DetailStyle::path) {
        m_detail = new LineLabel(QString(), Qt::ElideMiddle);
        m_detail->setFont(monospaced(11));
    } else {
        m_detail = label(QString(), F::tiny(), true);
    }
    column->addWidget(m_detail);
    row->addLayout(column, 1);
    restyle();
}

void RadioCard::setDetail(const QString& text)
{
    if (m_detail->text() == text)
        return;
    m_detail->setText(text);
}

QString RadioCard::detail() const
{
    return m_detail->text();
}

void RadioCard::setSelected(bool selected)
{
    if (m_selected == selected)
        return;
    m_selected = selected;
    restyle();
}

void RadioCard::restyle()
{
    const bool disabled = !isEnabled();
    const bool chosen = m_selected && !disabled;
    const qreal dim = disabled ? kDisabledOpacity : 1.0;
    m_radio->setText(SymbolIcon::glyph(m_selected ? QStringLiteral("largecircle.fill.circle") : QStringLiteral("circle")));
    QColor radio = disabled ? Tint::opacity(Palette::secondary(), 0.5) : chosen ? Palette::brand() : Palette::secondary();
    tone(m_radio, Tint::opacity(radio, dim));
    tone(m_title, Tint::opacity(disabled ? Palette::secondary() : Palette::primary(), dim));
    tone(m_detail, Tint::opacity(disabled ? Tint::opacity(Palette::secondary(), 0.8) : Palette::secondary(), dim));
    update();
}

void RadioCard::changeEvent(QEvent* event)
{
    QAbstractButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange)
        restyle();
}

void RadioCard::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool chosen = m_selected && isEnabled();
    if (!isEnabled())
        p.setOpacity(kDisabledOpacity);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), Panel::kRadius, Panel::kRadius);
    p.fillPath(path, chosen ? Surface::selection() : Surface::card());
}

} // namespace SheetPieces
