#pragma once

#include <array>
#include <optional>

#include <QColor>
#include <QRectF>
#include <QString>

#include "engine/model/Plugin.h"

class QPainter;

// The capsule button of a row's actions.
struct RowActionButton
{
    QString title;
    QColor tint;
    bool onAccent = false;
    bool hovering = false;
    bool enabled = true;

    QColor fill() const;
    QColor stroke() const;
    QSizeF sizeHint() const;
    void paint(QPainter& painter, const QRectF& rect) const;
};

// One installed plug-in as a list row: category tile, name with badges, details line,
// the three action buttons while hovered (or forced) and the size when wide. A value
// that the list's delegate fills for every row it paints; nothing is kept between rows.
struct PluginRow
{
    enum Action {
        quickBackup,
        version,
        localize
    };
    static constexpr int kActionCount = 3;

    // The row is 50 high (36 tile, 7 above and below) plus 1 above and below for the
    // background; the inset list keeps 10 from the edges, the background reaches 6 out.
    static constexpr int kHeight = 52;
    static constexpr int kListInset = 10;
    static constexpr int kBackgroundOutset = 6;
    static constexpr int kTileSize = 36;
    static constexpr int kSpacing = 12;
    static constexpr int kMaxNameLength = 300;

    Plugin plugin;
    bool showSize = false;
    QString compatText;
    bool needsUpgrade = false;
    bool showsActions = false;
    bool isHighlighted = false;
    bool isLocalized = false;
    bool hovering = false;
    int hoveredButton = -1;
    bool actionsEnabled = true;

    struct Layout {
        QRectF background;
        QRectF tile;
        QRectF textColumn;
        std::optional<std::array<QRectF, kActionCount>> buttons;
        std::optional<QRectF> size;
    };

    bool buttonsShown() const { return showsActions || hovering; }
    Layout layout(const QRectF& itemRect) const;
    void paint(QPainter& painter, const QRectF& itemRect) const;
    // The action button under `point`, if the buttons are shown.
    std::optional<Action> actionAt(const QRectF& itemRect, const QPointF& point) const;

    static QString actionTitle(Action action);
    static RowActionButton actionButton(Action action, bool onAccent);
    // A name as one line of plain text (SafeText::singleLine).
    static QString singleLine(const QString& name);

private:
    void paintTrailing(QPainter& painter, const Layout& layout) const;
};
