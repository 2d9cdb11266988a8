#include "market/MarketPlaceholder.h"

#include <QFontMetricsF>
#include <QPainter>

#include "ui/BusySpinner.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "market/MarketPaint.h"

namespace {

constexpr qreal kSymbolSize = 30;
constexpr qreal kGap = 8;
constexpr qreal kLoadingGap = 10;
const QString kLoadingText = QStringLiteral("正在读取插件…");

} // namespace

MarketPlaceholder::MarketPlaceholder(QWidget* parent)
    : QWidget(parent), m_spinner(new BusySpinner(BusySpinner::Size::regular, this))
{
    m_spinner->hide();
}

void MarketPlaceholder::showMessage(const QString& symbol, const QString& title, const QString& text)
{
    m_loading = false;
    m_symbol = symbol;
    m_title = title;
    m_text = text;
    m_spinner->hide();
    update();
}

void MarketPlaceholder::showLoading()
{
    m_loading = true;
    m_symbol.clear();
    m_title.clear();
    m_text = kLoadingText;
    m_spinner->show();
    resizeEvent(nullptr);
    update();
}

QSize MarketPlaceholder::sizeHint() const
{
    const qreal h = m_loading ? BusySpinner::kRegularSide + kLoadingGap + QFontMetricsF(Theme::captionFont()).height()
                              : kSymbolSize * 1.2 + kGap + QFontMetricsF(Theme::bodyStrongFont()).height() + kGap
                                    + QFontMetricsF(Theme::captionFont()).height();
    return QSizeF(300, h).toSize();
}

void MarketPlaceholder::resizeEvent(QResizeEvent*)
{
    const qreal block = BusySpinner::kRegularSide + kLoadingGap + QFontMetricsF(Theme::captionFont()).height();
    m_spinner->move((width() - m_spinner->width()) / 2, int((height() - block) / 2));
}

void MarketPlaceholder::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal captionH = QFontMetricsF(Theme::captionFont()).height();
    if (m_loading) {
        const qreal block = BusySpinner::kRegularSide + kLoadingGap + captionH;
        const qreal top = (height() - block) / 2 + BusySpinner::kRegularSide + kLoadingGap;
        MarketPaint::elidedText(painter, QRectF(0, top, width(), captionH), m_text, Theme::captionFont(), Theme::textSecondary(),
                                Qt::AlignCenter);
        return;
    }
    const qreal symbolH = kSymbolSize * 1.2;
    const qreal titleH = QFontMetricsF(Theme::bodyStrongFont()).height();
    const qreal block = symbolH + kGap + titleH + kGap + captionH;
    qreal top = (height() - block) / 2;
    SymbolIcon::paint(painter, QRectF(0, top, width(), symbolH), m_symbol, Theme::textTertiary(), kSymbolSize);
    top += symbolH + kGap;
    MarketPaint::elidedText(painter, QRectF(0, top, width(), titleH), m_title, Theme::bodyStrongFont(), Theme::textPrimary(),
                            Qt::AlignCenter);
    top += titleH + kGap;
    MarketPaint::elidedText(painter, QRectF(0, top, width(), captionH), m_text, Theme::captionFont(), Theme::textSecondary(),
                            Qt::AlignCenter);
}
