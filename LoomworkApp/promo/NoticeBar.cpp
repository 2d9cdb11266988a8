#include "promo/NoticeBar.h"

#include <cmath>

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

#include "ui/PaintedButton.h"
#include "ui/SafeText.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "promo/PromoStyle.h"

namespace {

constexpr qreal kLeading = 14.5;
constexpr qreal kTrailing = 36;
constexpr qreal kVertical = 7;
constexpr qreal kIconPoints = 12;
constexpr qreal kIconGap = 7;
constexpr QSize kCloseSize{20, 18};
constexpr int kCloseInset = 9;

QFont titleFont()
{
    QFont f = Theme::captionFont();
    f.setWeight(QFont::DemiBold);
    return f;
}

qreal headingLeft()
{
    return kLeading + kIconPoints * SymbolIcon::kGlyphScale + kIconGap;
}

// The title and its colon at their natural width, never cut: a bar narrower than its
// title clips the row at its edge, as any fixed label would.
QString heading(const QString& title)
{
    return title + QStringLiteral("：");
}

} // namespace

NoticeBar::NoticeBar(const QString& title, const QString& text, QWidget* parent)
    : QWidget(parent),
      m_close(new PaintedButton(kCloseSize, [](QPainter& p, const QRectF& r, const PaintedButton::State& s) {
          if (s.over) {
              p.setPen(Qt::NoPen);
              p.setBrush(Theme::controlBgOver());
              p.drawRoundedRect(r, 5, 5);
          }
          SymbolIcon::paint(p, r, u"xmark", Theme::textSecondary(), 10);
      }, this))
{
    m_close->setToolTip(QStringLiteral("不再显示这条公告"));
    connect(m_close, &QAbstractButton::clicked, this, &NoticeBar::closeClicked);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setNotice(title, text);
}

void NoticeBar::setNotice(const QString& title, const QString& text)
{
    m_title = SafeText::singleLine(title, -1); // the title is never cut
    m_text = PromoStyle::oneLine(text, 2000);
    m_fullText = text;
    setFixedHeight(sizeHint().height());
    update();
}

QSize NoticeBar::sizeHint() const
{
    const int line = std::max(QFontMetrics(titleFont()).height(), QFontMetrics(Theme::captionFont()).height());
    return {400, int(std::ceil(kVertical * 2 + line + 1))};
}

QRectF NoticeBar::textRect() const
{
    const qreal titleWidth = QFontMetricsF(titleFont()).horizontalAdvance(heading(m_title));
    const qreal left = headingLeft() + titleWidth;
    return QRectF(left, 0, std::max<qreal>(width() - kTrailing - left, 0), height() - 1);
}

void NoticeBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), PromoStyle::faded(Theme::accent(), 0.1));
    const qreal lineHeight = height() - 1;

    const qreal iconWidth = kIconPoints * SymbolIcon::kGlyphScale;
    SymbolIcon::paint(p, QRectF(kLeading, 0, iconWidth, lineHeight), u"megaphone.fill", Theme::accent(),
                      kIconPoints);

    const QString title = heading(m_title);
    const QFont headingFont = titleFont();
    p.setFont(headingFont);
    p.setPen(Theme::accent());
    p.drawText(QRectF(headingLeft(), 0, QFontMetricsF(headingFont).horizontalAdvance(title) + 1, lineHeight),
               Qt::AlignLeft | Qt::AlignVCenter, title);

    const QRectF body = textRect();
    p.setFont(Theme::captionFont());
    p.setPen(Theme::textPrimary());
    const QString elided = QFontMetricsF(Theme::captionFont()).elidedText(m_text, Qt::ElideRight, body.width());
    p.drawText(body, Qt::AlignLeft | Qt::AlignVCenter, elided);

    p.fillRect(QRectF(0, height() - 0.5, width(), 0.5), Theme::divider());
}

void NoticeBar::resizeEvent(QResizeEvent*)
{
    m_close->move(width() - kCloseInset - kCloseSize.width(), (height() - 1 - kCloseSize.height()) / 2);
}

bool NoticeBar::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        if (textRect().contains(help->pos()))
            QToolTip::showText(help->globalPos(), PromoStyle::plainToolTip(m_fullText), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}
