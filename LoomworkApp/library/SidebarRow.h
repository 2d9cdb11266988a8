#pragma once

#include <QColor>
#include <QFont>
#include <QRectF>

#include "ui/BaseButton.h"
#include "library/SidebarModel.h"

class CountBadge;

// One clickable row of the sidebar: a leading icon in a 22-wide frame, the title, and at
// the trailing end either a warning triangle (tooltip: the error) or the count. Selected
// rows are drawn on Theme::selectionBg with the title in the brand colour and medium
// weight; hovered ones on Theme::controlBgOver.
class SidebarRow : public BaseButton
{
    Q_OBJECT
public:
    static constexpr int kPaddingH = 8;
    static constexpr int kPaddingV = 6;
    static constexpr int kIconFrame = 22;
    static constexpr int kSpacing = 9;
    static constexpr qreal kRadius = 8;
    static constexpr qreal kWarningSize = 11;
    static constexpr int kGlyphSize = 17;
    static constexpr qreal kGlyphLineWidth = 1.4;

    explicit SidebarRow(const SidebarModel::Row& row, QWidget* parent = nullptr);

    void setRow(const SidebarModel::Row& row);
    const SidebarModel::Row& row() const { return m_row; }

    bool isSelected() const { return m_row.selected; }
    bool isHovered() const { return isOver(); }
    // What the row draws in its present state.
    QColor backgroundColor() const;
    QColor titleColor() const;
    QFont titleFont() const;
    // The count badge, or nullptr while the row shows no count (no count or an error).
    CountBadge* countBadge() const;
    // Where the warning triangle is drawn; empty without an error.
    QRectF warningRect() const;
    // The tooltip shown for the pointer at `pos`: the error over the triangle, else the
    // row's own tooltip (empty for none).
    QString toolTipAt(const QPoint& pos) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    int contentHeight() const;
    void layoutBadge();

    SidebarModel::Row m_row;
    CountBadge* m_badge;
};
