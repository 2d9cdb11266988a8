#include "window/DropTargetOverlay.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "ui/SoftShadow.h"
#include "ui/Theme.h"
#include "ui/ZfcpMark.h"

namespace {

constexpr int kMarkSize = 64;
constexpr int kCardPadding = 32;
constexpr int kCardSpacing = 12;
constexpr qreal kCardRadius = 16;
constexpr qreal kBorderRadius = 14;
constexpr qreal kBorderInset = 12;
constexpr qreal kBorderWidth = 2;
constexpr qreal kWashOpacity = 0.08;
constexpr qreal kMarkShadowRadius = 5;
constexpr qreal kMarkShadowOffset = 2;
constexpr qreal kMarkShadowOpacity = 0.12;

// The card: a rounded opaque panel standing in for the material (nothing blurs behind
// it here), with the mark's shadow drawn on it.
class DropCard : public QWidget
{
public:
    explicit DropCard(QWidget* parent) : QWidget(parent)
    {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(kCardPadding, kCardPadding, kCardPadding, kCardPadding);
        layout->setSpacing(kCardSpacing);
        m_mark = new ZfcpMark(kMarkSize, true, this);
        layout->addWidget(m_mark, 0, Qt::AlignHCenter);
        auto* title = new QLabel(QStringLiteral("松开自动安装插件.zfcp文件"), this);
        title->setFont(Theme::headingFont());
        title->setAlignment(Qt::AlignHCenter);
        layout->addWidget(title);
        auto* hint = new QLabel(QStringLiteral("支持多个文件批量拖入"), this);
        hint->setFont(Theme::captionFont());
        hint->setAlignment(Qt::AlignHCenter);
        followColour(hint, QPalette::WindowText, &Theme::textSecondary);
        layout->addWidget(hint);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), kCardRadius, kCardRadius);
        painter.fillPath(path, Theme::floatingBg());
        SoftShadow::paintUnder(painter, *m_mark, kMarkShadowRadius, kMarkShadowOffset, kMarkShadowOpacity);
    }

private:
    ZfcpMark* m_mark;
};

} // namespace

DropTargetOverlay::DropTargetOverlay(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    layout->addWidget(new DropCard(this), 0, Qt::AlignHCenter);
    layout->addStretch();
}

void DropTargetOverlay::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor wash = Theme::accent();
    wash.setAlphaF(kWashOpacity);
    painter.fillRect(rect(), wash);

    // An inside border: the pen's centre sits half a line inside the inset rectangle.
    const qreal half = kBorderWidth / 2;
    const QRectF border = QRectF(rect()).adjusted(kBorderInset + half, kBorderInset + half,
                                                  -kBorderInset - half, -kBorderInset - half);
    QPen pen(Theme::accent(), kBorderWidth, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setDashPattern({8 / kBorderWidth, 6 / kBorderWidth}); // Qt measures dashes in pen widths
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(border, kBorderRadius - half, kBorderRadius - half);
}
