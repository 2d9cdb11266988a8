#include "library/SidebarRow.h"

#include <cmath>

#include <QEnterEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

#include "ui/CountBadge.h"
#include "ui/SafeText.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "library/CategoryGlyph.h"

SidebarRow::SidebarRow(const SidebarModel::Row& row, QWidget* parent)
    : BaseButton(parent), m_badge(new CountBadge(0, false, this))
{
    setAttribute(Qt::WA_Hover);
    noFocusRing(this);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // Clicks on the count belong to the row.
    m_badge->setAttribute(Qt::WA_TransparentForMouseEvents);
    setRow(row);
}

void SidebarRow::setRow(const SidebarModel::Row& row)
{
    m_row = row;
    setAccessibleName(row.title);
    m_badge->setVisible(countBadge() != nullptr);
    m_badge->setCount(row.count.value_or(0));
    m_badge->setHighlighted(row.selected);
    layoutBadge();
    updateGeometry();
    update();
}

CountBadge* SidebarRow::countBadge() const
{
    return !m_row.error && m_row.count ? m_badge : nullptr;
}

QColor SidebarRow::backgroundColor() const
{
    if (m_row.selected)
        return Theme::selectionBg();
    if (isOver())
        return Theme::controlBgOver();
    return Qt::transparent;
}

QColor SidebarRow::titleColor() const
{
    return m_row.selected ? Theme::accent() : Theme::textPrimary();
}

QFont SidebarRow::titleFont() const
{
    return m_row.selected ? Theme::bodyStrongFont() : Theme::bodyFont();
}

int SidebarRow::contentHeight() const
{
    const int icon = int(std::ceil(19 * SymbolIcon::kGlyphScale));
    const int text = std::max(QFontMetrics(Theme::bodyFont()).height(), QFontMetrics(Theme::bodyStrongFont()).height());
    return std::max(icon, text);
}

QSize SidebarRow::sizeHint() const
{
    const int title = QFontMetrics(Theme::bodyStrongFont()).horizontalAdvance(m_row.title);
    const int trailing = m_badge->sizeHint().width();
    return {kPaddingH * 2 + kIconFrame + kSpacing + title + kSpacing + 4 + trailing,
            contentHeight() + kPaddingV * 2};
}

QSize SidebarRow::minimumSizeHint() const
{
    return {kPaddingH * 2 + kIconFrame, sizeHint().height()};
}

QRectF SidebarRow::warningRect() const
{
    if (!m_row.error)
        return {};
    const qreal side = std::ceil(kWarningSize * SymbolIcon::kGlyphScale);
    return {width() - kPaddingH - side, (height() - side) / 2, side, side};
}

void SidebarRow::layoutBadge()
{
    const QSize hint = m_badge->sizeHint();
    m_badge->setGeometry(width() - kPaddingH - hint.width(), (height() - hint.height()) / 2,
                         hint.width(), hint.height());
}

void SidebarRow::resizeEvent(QResizeEvent* event)
{
    QAbstractButton::resizeEvent(event);
    layoutBadge();
}

QString SidebarRow::toolTipAt(const QPoint& pos) const
{
    // Only the triangle explains the error; the library rows have no tooltip of their own.
    if (m_row.error && warningRect().contains(pos))
        return *m_row.error;
    return m_row.toolTip;
}

bool SidebarRow::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString text = toolTipAt(help->pos());
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), SafeText::toolTip(text), this);
        return true;
    }
    return BaseButton::event(event);
}

void SidebarRow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);

    const QColor background = backgroundColor();
    if (background.alpha() > 0) {
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), kRadius, kRadius);
        p.fillPath(shape, background);
    }

    const QRectF icon(kPaddingH, kPaddingV, kIconFrame, height() - 2 * kPaddingV);
    if (m_row.category) {
        const QRectF glyph(icon.center().x() - kGlyphSize / 2.0, icon.center().y() - kGlyphSize / 2.0,
                           kGlyphSize, kGlyphSize);
        CategoryGlyph::paintGlyph(p, *m_row.category, glyph, Theme::category(*m_row.category),
                                  kGlyphLineWidth);
    } else {
        SymbolIcon::paint(p, icon, m_row.symbol, Theme::accent(), m_row.symbolSize);
    }

    qreal trailingLeft = width() - kPaddingH;
    if (m_row.error) {
        const QRectF warning = warningRect();
        SymbolIcon::paint(p, warning, u"exclamationmark.triangle.fill", Theme::warning(), kWarningSize);
        trailingLeft = warning.left();
    } else if (m_row.count) {
        trailingLeft = m_badge->geometry().left();
    }

    const qreal titleLeft = icon.right() + kSpacing;
    const qreal titleRight = (m_row.error || m_row.count) ? trailingLeft - kSpacing - 4 - kSpacing
                                                          : width() - kPaddingH;
    const QFont font = titleFont();
    p.setFont(font);
    p.setPen(titleColor());
    const QRectF titleRect(titleLeft, 0, std::max<qreal>(0, titleRight - titleLeft), height());
    const QString title = QFontMetrics(font).elidedText(m_row.title, Qt::ElideRight, int(titleRect.width()));
    p.drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, title);
}
