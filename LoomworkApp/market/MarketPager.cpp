#include "market/MarketPager.h"

#include <QFontMetricsF>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "market/MarketPaint.h"

namespace {

const QString kEllipsis = QStringLiteral("…");

QFont numberFont(bool current)
{
    QFont font = Theme::font(11.5, current ? QFont::DemiBold : QFont::Normal);
    return font;
}

} // namespace

MarketPager::MarketPager(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(kButton + 2);
    setMouseTracking(true);
}

void MarketPager::setState(int page, int totalPages, const QList<int>& window, bool loading)
{
    m_page = page;
    m_totalPages = totalPages;
    m_window = window;
    m_loading = loading;
    update();
}

QList<MarketPager::Item> MarketPager::items() const
{
    QList<Item> list;
    list.append({Item::Kind::previous, m_page - 1, {}, m_page >= 2 && !m_loading});
    if (!m_window.isEmpty() && m_window.first() > 1) {
        list.append({Item::Kind::page, 1, {}, !m_loading});
        list.append({Item::Kind::ellipsis, 0, {}, false});
    }
    for (int n : m_window)
        list.append({Item::Kind::page, n, {}, !m_loading});
    if (!m_window.isEmpty() && m_window.last() < m_totalPages) {
        list.append({Item::Kind::ellipsis, 0, {}, false});
        list.append({Item::Kind::page, m_totalPages, {}, !m_loading});
    }
    list.append({Item::Kind::next, m_page + 1, {}, m_page < m_totalPages && !m_loading});

    const QFontMetricsF metrics(Theme::tinyFont());
    const QFontMetricsF numbers(numberFont(true));
    qreal total = 0;
    QList<qreal> widths;
    for (const Item& item : list) {
        qreal w = kButton;
        if (item.kind == Item::Kind::ellipsis)
            w = metrics.horizontalAdvance(kEllipsis);
        else if (item.kind == Item::Kind::page)
            w = std::max<qreal>(kButton, numbers.horizontalAdvance(QString::number(item.page)) + 10);
        widths.append(w);
        total += w;
    }
    total += kSpacing * (list.size() - 1);
    qreal x = (width() - total) / 2;
    const qreal top = 2;
    for (qsizetype i = 0; i < list.size(); ++i) {
        list[i].rect = QRectF(x, top, widths[i], kButton);
        x += widths[i] + kSpacing;
    }
    return list;
}

void MarketPager::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    for (const Item& item : items()) {
        switch (item.kind) {
        case Item::Kind::previous:
        case Item::Kind::next: {
            const bool atEdge = item.kind == Item::Kind::previous ? m_page < 2 : m_page >= m_totalPages;
            const QColor ink = Theme::alpha(Theme::textSecondary(), atEdge ? 0.4 : 1.0);
            SymbolIcon::paint(painter, item.rect, item.kind == Item::Kind::previous ? u"chevron.left" : u"chevron.right",
                              ink, 9);
            break;
        }
        case Item::Kind::ellipsis:
            MarketPaint::elidedText(painter, item.rect, kEllipsis, Theme::tinyFont(), Theme::textTertiary(), Qt::AlignCenter);
            break;
        case Item::Kind::page: {
            const bool current = item.page == m_page;
            if (current) {
                painter.setPen(Qt::NoPen);
                painter.setBrush(Theme::accent());
                painter.drawRoundedRect(item.rect, item.rect.height() / 2, item.rect.height() / 2);
            }
            painter.setFont(numberFont(current));
            painter.setPen(current ? QColor(Qt::white) : Theme::textSecondary());
            painter.drawText(item.rect, Qt::AlignCenter, QString::number(item.page));
            break;
        }
        }
    }
}

void MarketPager::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    for (const Item& item : items()) {
        if (item.rect.contains(event->position()) && item.enabled && item.kind != Item::Kind::ellipsis) {
            emit pageRequested(item.page);
            return;
        }
    }
}

bool MarketPager::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        for (const Item& item : items()) {
            if (!item.rect.contains(help->pos()))
                continue;
            QString tip;
            if (item.kind == Item::Kind::previous)
                tip = QStringLiteral("上一页");
            else if (item.kind == Item::Kind::next)
                tip = QStringLiteral("下一页");
            else if (item.kind == Item::Kind::page)
                tip = QStringLiteral("第 %1 页").arg(item.page);
            if (!tip.isEmpty()) {
                QToolTip::showText(help->globalPos(), tip, this);
                return true;
            }
        }
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    return QWidget::event(event);
}
