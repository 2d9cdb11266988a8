#include "ui/ZfcpMark.h"

#include <QPainter>

#include "ui/AppResources.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"

namespace {

const QImage& markImage()
{
    static const QImage image = AppResources::image(QStringLiteral("zFCP"), QStringLiteral("svg"));
    return image;
}

} // namespace

ZfcpMark::ZfcpMark(int size, bool square, QWidget* parent) : QWidget(parent)
{
    const QImage& image = markImage();
    int width = size;
    if (!square && !image.isNull() && image.height() > 0)
        width = qRound(qreal(size) * image.width() / image.height());
    setFixedSize(width, size);
}

void ZfcpMark::paintMark(QPainter& painter, const QRectF& rect)
{
    const QImage& image = markImage();
    if (!image.isNull()) {
        painter.save();
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        QSizeF fitted = QSizeF(image.size()).scaled(rect.size(), Qt::KeepAspectRatio);
        painter.drawImage(QRectF(rect.center() - QPointF(fitted.width() / 2, fitted.height() / 2), fitted), image);
        painter.restore();
        return;
    }
    SymbolIcon::paint(painter, rect, u"doc.zipper", Theme::accent(),
                      std::min(rect.width(), rect.height()) / SymbolIcon::kGlyphScale);
}

void ZfcpMark::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintMark(p, rect());
}
