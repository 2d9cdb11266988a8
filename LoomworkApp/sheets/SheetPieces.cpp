#include "sheets/SheetPieces.h"

#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "ui/SymbolIcon.h"
#include "ui/Theme.h"

namespace SheetPieces {

namespace {

constexpr int kCardPadding = 10;
constexpr int kCardSpacing = 10;
constexpr qreal kRadioPoints = 15;
constexpr qreal kIconPoints = 17;

QFont monospaced(qreal points)
{
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPointSizeF(Theme::pointSizeForPixels(points));
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

QString LineLabel::shownText() const
{
    return fontMetrics().elidedText(text(), m_mode, contentsRect().width());
}

void LineLabel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setPen(palette().color(QPalette::WindowText));
    p.setFont(font());
    p.drawText(contentsRect(), int(alignment()) | Qt::TextSingleLine, shownText());
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
    p.fillPath(path, Theme::alpha(color, 0.13));
    SymbolIcon::paint(p, QRectF(rect()), m_symbol, color, kIconPoints);
}

// ---- RadioCard

RadioCard::RadioCard(const QString& title, DetailStyle detailStyle, QWidget* parent) : BaseButton(parent)
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
    m_title = label(title, Theme::bodyFont());
    m_titleRow->addWidget(m_title, 0, Qt::AlignVCenter);
    column->addLayout(m_titleRow);
    if (detailStyle == DetailStyle::path) {
        m_detail = new LineLabel(QString(), Qt::ElideMiddle);
        m_detail->setFont(monospaced(11));
    } else {
        m_detail = label(QString(), Theme::tinyFont(), true);
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
    QColor radio = disabled ? Theme::alpha(Theme::textSecondary(), 0.5) : chosen ? Theme::accent() : Theme::textSecondary();
    tone(m_radio, Theme::alpha(radio, dim));
    tone(m_title, Theme::alpha(disabled ? Theme::textSecondary() : Theme::textPrimary(), dim));
    tone(m_detail, Theme::alpha(disabled ? Theme::alpha(Theme::textSecondary(), 0.8) : Theme::textSecondary(), dim));
    update();
}

void RadioCard::onStateChanged(State previous)
{
    if (previous.disabled != state().disabled)
        restyle();
    else
        update();
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
    p.fillPath(path, chosen ? Theme::selectionBg() : Theme::cardBg());
}

} // namespace SheetPieces
