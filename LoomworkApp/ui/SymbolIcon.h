#pragma once

#include <optional>
#include <span>

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringView>

class QPainter;
class QRectF;

// The symbols the views name (the original platform's symbol names) drawn with glyphs
// of the embedded Material Icons font. The font has one weight, so the weights the views
// ask for only change the size.
class SymbolIcon
{
public:
    struct Entry {
        const char* symbol;   // e.g. "square.and.arrow.down.fill"
        const char* material; // the Material Icons name, for reading the table
        char32_t codepoint;
    };

    static std::span<const Entry> table();
    static std::optional<char32_t> codepoint(QStringView symbol);
    // The glyph as a one-character string; empty for an unknown symbol.
    static QString glyph(QStringView symbol);

    // The embedded font's family, loaded on first use; empty when it could not be loaded.
    static QString fontFamily();
    // The icon font for a symbol drawn at `points` (device-independent pixels).
    static QFont font(qreal points);

    // Draws `symbol` centred in `rect`.
    static void paint(QPainter& painter, const QRectF& rect, QStringView symbol,
                      const QColor& color, qreal points);
    static QPixmap pixmap(QStringView symbol, qreal points, const QColor& color,
                          qreal devicePixelRatio = 1.0);
    // An icon that draws at any size; without a colour it takes the palette's text colour
    // when it is drawn (so it follows the appearance), dimmed when disabled.
    static QIcon icon(const QString& symbol, const QColor& color = {});

    // Material glyphs fill their em square more than the original symbols fill theirs.
    static constexpr qreal kGlyphScale = 1.15;
};
