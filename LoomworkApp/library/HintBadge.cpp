#include "library/HintBadge.h"

#include <cmath>
#include <numbers>

#include <QLinearGradient>
#include <QPainter>

#include "ui/Theme.h"
#include "ui/ZfcpMark.h"
#include "library/MarkAnimator.h"

namespace {

const QString kText = QStringLiteral("拖拽 .zfcp 文件自动安装");
constexpr QChar kNoBreakSpace(0x00A0);

QString shown(const QString& character)
{
    return character == QLatin1String(" ") ? QString(kNoBreakSpace) : character;
}

} // namespace

HintBadge::HintBadge(MarkAnimator* animator, QWidget* parent) : QWidget(parent), m_animator(animator)
{
    setFont(Theme::tinyFont());
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    if (animator)
        connect(animator, &MarkAnimator::changed, this, qOverload<>(&QWidget::update));
}

const QStringList& HintBadge::characters()
{
    static const QStringList list = [] {
        QStringList out;
        for (QChar c : kText)
            out << QString(c);
        return out;
    }();
    return list;
}

qreal HintBadge::waveOffset(qreal wave, int index)
{
    if (wave < 0)
        return 0;
    const qreal t = (2 * wave - 0.11 * index) / 0.34;
    if (t > 0 && t < 1)
        return -kWaveHeight * std::sin(std::numbers::pi * t);
    return 0;
}

QSize HintBadge::sizeHint() const
{
    const QFontMetricsF fm(font());
    qreal text = 0;
    for (const QString& c : characters())
        text += fm.horizontalAdvance(shown(c));
    text += kLetterSpacing * (characters().size() - 1);
    const qreal height = std::max<qreal>(kMarkSize, fm.height()) + 2 * kWaveHeight;
    return {qCeil(kOverhang + kMarkSize + kSpacing + text), qCeil(height)};
}

void HintBadge::paintMark(QPainter& painter, const QRectF& rect)
{
    const qreal dpr = devicePixelRatioF();
    QImage mark(QSize(kMarkSize, kMarkSize) * dpr, QImage::Format_ARGB32_Premultiplied);
    mark.setDevicePixelRatio(dpr);
    mark.fill(Qt::transparent);
    const qreal sweep = m_animator ? m_animator->sweep() : -1.0;
    const qreal glow = m_animator ? m_animator->glow() : 0;
    {
        QPainter p(&mark);
        ZfcpMark::paintMark(p, QRectF(0, 0, kMarkSize, kMarkSize));
    }
    if (sweep > -1.0 || glow > 0) {
        QImage light(mark.size(), QImage::Format_ARGB32_Premultiplied);
        light.setDevicePixelRatio(dpr);
        light.fill(Qt::transparent);
        {
            QPainter p(&light);
            p.setRenderHint(QPainter::Antialiasing);
            const qreal w = kMarkSize;
            p.translate(w / 2 + sweep * w * 1.4, w / 2);
            p.rotate(18);
            auto band = [&](qreal bandWidth, qreal peak) {
                QLinearGradient g(0, -w, 0, w);
                g.setColorAt(0, Theme::glint(0));
                g.setColorAt(0.5, Theme::glint(peak));
                g.setColorAt(1, Theme::glint(0));
                p.fillRect(QRectF(-bandWidth / 2, -w, bandWidth, 2 * w), g);
            };
            band(0.75 * w, 0.55);
            band(std::max(0.22 * w, 2.0), 1.0);
            p.resetTransform();
            if (glow > 0)
                p.fillRect(QRectF(0, 0, w, w), Theme::glint(glow));
            p.setCompositionMode(QPainter::CompositionMode_DestinationIn);
            p.drawImage(QPointF(0, 0), mark);
        }
        QPainter p(&mark);
        p.setCompositionMode(QPainter::CompositionMode_Plus);
        p.drawImage(QPointF(0, 0), light);
    }
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.translate(rect.center());
    if (m_animator) {
        painter.rotate(m_animator->tilt());
        painter.scale(m_animator->scale(), m_animator->scale());
    }
    painter.drawImage(QRectF(-rect.width() / 2, -rect.height() / 2, rect.width(), rect.height()), mark);
    painter.restore();
}

void HintBadge::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal midY = height() / 2.0;
    paintMark(p, QRectF(kOverhang, midY - kMarkSize / 2.0, kMarkSize, kMarkSize));

    const QFontMetricsF fm(font());
    const qreal wave = m_animator ? m_animator->wave() : -1.0;
    p.setFont(font());
    p.setPen(Theme::textSecondary());
    qreal x = kOverhang + kMarkSize + kSpacing;
    const qreal baseline = midY + (fm.ascent() - fm.descent()) / 2;
    const QStringList& chars = characters();
    for (int i = 0; i < chars.size(); ++i) {
        const QString c = shown(chars[i]);
        p.drawText(QPointF(x, baseline + waveOffset(wave, i)), c);
        x += fm.horizontalAdvance(c) + kLetterSpacing;
    }
}
