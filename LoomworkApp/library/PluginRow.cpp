#include "library/PluginRow.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QTextOption>

#include "engine/core/EngineText.h"
#include "ui/SafeText.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "library/CategoryGlyph.h"

namespace {

constexpr qreal kBadgePadH = 5;
constexpr qreal kBadgePadV = 1;
constexpr qreal kLineSpacing = 3;
constexpr qreal kItemSpacing = 6;
constexpr qreal kButtonSpacing = 6;
constexpr qreal kMinSpacer = 8;
constexpr qreal kDotSize = 3;

QFont buttonFont()
{
    QFont f = Theme::tinyFont();
    f.setWeight(QFont::Medium);
    return f;
}

QFont sizeFont()
{
    QFont f = Theme::font(12);
    f.setStyleHint(QFont::Monospace);
    f.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Menlo"), QStringLiteral("monospace"), Theme::cjkFamily});
    f.setFixedPitch(true);
    return f;
}

void capsule(QPainter& p, const QRectF& rect, const QColor& fill, const QColor& stroke = {}, qreal line = 0)
{
    const qreal r = rect.height() / 2;
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(rect, r, r);
    if (stroke.isValid() && line > 0) {
        const QRectF inner = rect.adjusted(line / 2, line / 2, -line / 2, -line / 2);
        p.setPen(QPen(stroke, line));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(inner, inner.height() / 2, inner.height() / 2);
    }
}

void drawLine(QPainter& p, const QRectF& rect, const QString& text, const QColor& color)
{
    QTextOption option(Qt::AlignLeft | Qt::AlignVCenter);
    option.setWrapMode(QTextOption::NoWrap);
    // Names may carry right-to-left marks: each text is its own left-to-right paragraph,
    // so nothing it holds can reorder what is drawn after it.
    option.setTextDirection(Qt::LeftToRight);
    p.setPen(color);
    p.drawText(rect, text, option);
}

// A badge: optional symbol plus text on a capsule. Returns its width.
qreal badgeWidth(const QString& text, bool withSymbol)
{
    const QFontMetricsF fm(Theme::sectionFont());
    return fm.horizontalAdvance(text) + 2 * kBadgePadH + (withSymbol ? 8 + 3 : 0);
}

void drawBadge(QPainter& p, const QRectF& rect, const QString& text, const QString& symbol,
               const QColor& fg, const QColor& bg)
{
    capsule(p, rect, bg);
    QRectF content = rect.adjusted(kBadgePadH, kBadgePadV, -kBadgePadH, -kBadgePadV);
    if (!symbol.isEmpty()) {
        SymbolIcon::paint(p, QRectF(content.left(), content.top(), 8, content.height()), symbol, fg, 8);
        content.setLeft(content.left() + 8 + 3);
    }
    p.setFont(Theme::sectionFont());
    drawLine(p, content, text, fg);
}

} // namespace

QColor RowActionButton::fill() const
{
    return Theme::alpha(tint, hovering ? 0.18 : 0.10);
}

QColor RowActionButton::stroke() const
{
    if (onAccent)
        return Theme::textOnAccent(hovering ? 0.55 : 0.40);
    return Theme::alpha(tint, hovering ? 0.45 : 0.22);
}

QSizeF RowActionButton::sizeHint() const
{
    const QFontMetricsF fm(buttonFont());
    return {std::ceil(fm.horizontalAdvance(title)) + 18, std::ceil(fm.height()) + 8};
}

void RowActionButton::paint(QPainter& p, const QRectF& rect) const
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    if (!enabled)
        p.setOpacity(0.4);
    capsule(p, rect, onAccent ? Theme::floatingBg() : fill(), stroke(), 0.5);
    p.setFont(buttonFont());
    p.setPen(onAccent ? Theme::textPrimary() : tint);
    p.drawText(rect, Qt::AlignCenter, title);
    p.restore();
}

QString PluginRow::actionTitle(Action action)
{
    switch (action) {
    case quickBackup: return QStringLiteral("快速备份");
    case version: return QStringLiteral("版本升降");
    case localize: return QStringLiteral("插件汉化");
    }
    return {};
}

RowActionButton PluginRow::actionButton(Action action, bool onAccent)
{
    RowActionButton button;
    button.title = actionTitle(action);
    switch (action) {
    case quickBackup: button.tint = Theme::accentDeep(); break;
    case version: button.tint = Theme::accent(); break;
    case localize: button.tint = Theme::localizeAction(); break;
    }
    button.onAccent = onAccent;
    return button;
}

QString PluginRow::singleLine(const QString& name)
{
    return SafeText::singleLine(name);
}

PluginRow::Layout PluginRow::layout(const QRectF& itemRect) const
{
    Layout out;
    const QRectF content = itemRect.adjusted(kListInset + kBackgroundOutset, 1, -(kListInset + kBackgroundOutset), -1);
    out.background = content.adjusted(-kBackgroundOutset, -1, kBackgroundOutset, 1);
    out.tile = QRectF(content.left(), content.center().y() - kTileSize / 2.0, kTileSize, kTileSize);

    qreal right = content.right();
    if (showSize) {
        const QFontMetricsF fm(sizeFont());
        const qreal w = std::ceil(fm.horizontalAdvance(plugin.sizeText()));
        out.size = QRectF(right - w, content.top(), w, content.height());
        right -= w + kSpacing;
    }
    if (buttonsShown()) {
        std::array<QRectF, kActionCount> rects;
        for (int i = kActionCount - 1; i >= 0; --i) {
            const QSizeF s = actionButton(Action(i), isHighlighted).sizeHint();
            rects[std::size_t(i)] = QRectF(right - s.width(), content.center().y() - s.height() / 2, s.width(), s.height());
            right -= s.width() + (i > 0 ? kButtonSpacing : 0);
        }
        out.buttons = rects;
        right -= kSpacing;
    }
    right -= kMinSpacer;
    const qreal left = out.tile.right() + kSpacing;
    out.textColumn = QRectF(left, content.top(), std::max<qreal>(0, right - left), content.height());
    return out;
}

std::optional<PluginRow::Action> PluginRow::actionAt(const QRectF& itemRect, const QPointF& point) const
{
    const Layout l = layout(itemRect);
    if (!l.buttons)
        return std::nullopt;
    for (int i = 0; i < kActionCount; ++i) {
        if ((*l.buttons)[std::size_t(i)].contains(point))
            return Action(i);
    }
    return std::nullopt;
}

void PluginRow::paint(QPainter& p, const QRectF& itemRect) const
{
    const Layout l = layout(itemRect);
    const bool hl = isHighlighted;
    const QColor category = Theme::category(plugin.type);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    // Background: the list's accent when selected, a faint wash while hovered.
    if (hl) {
        p.setPen(Qt::NoPen);
        p.setBrush(QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight));
        p.drawRoundedRect(l.background, 7, 7);
    } else if (hovering) {
        p.setPen(Qt::NoPen);
        p.setBrush(Theme::ink(0.045));
        p.drawRoundedRect(l.background, 7, 7);
    }

    // Category tile.
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::alpha(category, hl ? 0.34 : 0.14));
    p.drawRoundedRect(l.tile, 8, 8);
    const QRectF glyph(l.tile.center().x() - 9, l.tile.center().y() - 9, 18, 18);
    CategoryGlyph::paintGlyph(p, plugin.type, glyph, hl ? Theme::textOnAccent() : category, 1.4);

    // Name line and details line, centred as a block.
    const QFontMetricsF nameFm(Theme::bodyFont());
    const QFontMetricsF tinyFm(Theme::tinyFont());
    const QFontMetricsF sectionFm(Theme::sectionFont());
    const qreal nameH = std::max(nameFm.height(), sectionFm.height() + 2 * kBadgePadV);
    const qreal detailH = tinyFm.height();
    const qreal top = l.textColumn.center().y() - (nameH + kLineSpacing + detailH) / 2;
    const QRectF nameLine(l.textColumn.left(), top, l.textColumn.width(), nameH);
    const QRectF detailLine(l.textColumn.left(), top + nameH + kLineSpacing, l.textColumn.width(), detailH);

    const QString localizedText = QStringLiteral("已汉化");
    const QString marketText = QStringLiteral("市场");
    qreal badges = 0;
    if (isLocalized)
        badges += kItemSpacing + badgeWidth(localizedText, false);
    if (plugin.isMarket)
        badges += kItemSpacing + badgeWidth(marketText, true);
    const QString name = nameFm.elidedText(singleLine(plugin.name), Qt::ElideRight,
                                           std::max<qreal>(0, nameLine.width() - badges));
    p.setFont(Theme::bodyFont());
    drawLine(p, nameLine, name, hl ? Theme::textOnAccent() : Theme::textPrimary());
    qreal x = nameLine.left() + nameFm.horizontalAdvance(name);
    const qreal badgeH = sectionFm.height() + 2 * kBadgePadV;
    const qreal badgeTop = nameLine.center().y() - badgeH / 2;
    if (isLocalized) {
        const qreal w = badgeWidth(localizedText, false);
        x += kItemSpacing;
        drawBadge(p, QRectF(x, badgeTop, w, badgeH), localizedText, {}, hl ? Theme::textOnAccent() : Theme::positive(),
                  hl ? Theme::textOnAccent(0.24) : Theme::alpha(Theme::positive(), 0.14));
        x += w;
    }
    if (plugin.isMarket) {
        const qreal w = badgeWidth(marketText, true);
        x += kItemSpacing;
        drawBadge(p, QRectF(x, badgeTop, w, badgeH), marketText, QStringLiteral("bag.fill"),
                  hl ? Theme::textOnAccent() : Theme::marketBadge(), hl ? Theme::textOnAccent(0.24) : Theme::alpha(Theme::marketBadge(), 0.14));
    }

    // Details: category · library · compatibility.
    p.save();
    p.setClipRect(detailLine);
    p.setFont(Theme::tinyFont());
    const QColor detailFg = hl ? Theme::textOnAccent(0.85) : Theme::textSecondary();
    const QColor dotColor = Theme::alpha(hl ? Theme::textOnAccent(0.85) : Theme::textSecondary(), 0.55 * (hl ? 0.6 : 1.0));
    x = detailLine.left();
    auto text = [&](const QString& s, const QColor& color) {
        const qreal w = tinyFm.horizontalAdvance(s);
        drawLine(p, QRectF(x, detailLine.top(), w + 1, detailLine.height()), s, color);
        x += w + kItemSpacing;
    };
    auto dot = [&] {
        p.setPen(Qt::NoPen);
        p.setBrush(dotColor);
        p.drawEllipse(QRectF(x, detailLine.center().y() - kDotSize / 2, kDotSize, kDotSize));
        x += kDotSize + kItemSpacing;
    };
    text(EngineText::displayName(plugin.type), hl ? Theme::textOnAccent(0.92) : category);
    dot();
    text(plugin.root.title(), detailFg);
    // Without a compatibility source there is no third item to separate.
    if (compatText.isEmpty() && !needsUpgrade) {
        p.restore();
        paintTrailing(p, l);
        p.restore();
        return;
    }
    dot();
    if (needsUpgrade) {
        const QColor warn = hl ? Theme::textOnAccent() : Theme::warning();
        SymbolIcon::paint(p, QRectF(x, detailLine.top(), 12, detailLine.height()),
                          QStringLiteral("exclamationmark.triangle.fill"), warn, 11);
        x += 12 + 4;
        text(tinyFm.elidedText(compatText, Qt::ElideRight, std::max<qreal>(0, detailLine.right() - x)), warn);
    } else {
        text(tinyFm.elidedText(compatText, Qt::ElideRight, std::max<qreal>(0, detailLine.right() - x)), detailFg);
    }
    p.restore();
    paintTrailing(p, l);
    p.restore();
}

void PluginRow::paintTrailing(QPainter& p, const Layout& l) const
{
    const bool hl = isHighlighted;
    if (l.buttons) {
        for (int i = 0; i < kActionCount; ++i) {
            RowActionButton button = actionButton(Action(i), hl);
            button.hovering = hoveredButton == i && actionsEnabled;
            button.enabled = actionsEnabled;
            button.paint(p, (*l.buttons)[std::size_t(i)]);
        }
    }
    if (l.size) {
        p.setFont(sizeFont());
        p.setPen(hl ? Theme::textOnAccent(0.85) : Theme::textSecondary());
        p.drawText(*l.size, Qt::AlignRight | Qt::AlignVCenter, plugin.sizeText());
    }
}
