#pragma once

#include <utility>

#include <QAbstractListModel>
#include <QList>
#include <QListView>
#include <QStyledItemDelegate>

#include "ui/SafeText.h"

class QPainter;

// The install sheet's painted lists: a frameless, unselectable list view whose lines a
// delegate paints, so that hundreds of lines cost nothing but painting.
class LineList : public QListView
{
    Q_OBJECT
public:
    int count() const;

protected:
    // padding: around the lines; spacing: below each line.
    LineList(int padding, int spacing, QWidget* parent);
};

// One item a line; the item's name is the line's display text and tooltip.
template <typename Item>
class LineListModel : public QAbstractListModel
{
public:
    using NameFn = QString (*)(const Item&);

    LineListModel(NameFn name, QObject* parent) : QAbstractListModel(parent), m_name(name) {}

    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(items.size()); }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || index.row() >= items.size())
            return {};
        if (role == Qt::DisplayRole)
            return m_name(items[index.row()]);
        if (role == Qt::ToolTipRole)
            return SafeText::toolTip(m_name(items[index.row()]));
        return {};
    }
    void reset(QList<Item> newItems)
    {
        beginResetModel();
        items = std::move(newItems);
        endResetModel();
    }

    QList<Item> items;

private:
    NameFn m_name;
};

// Paints line `row` into the rect above its spacing, antialiased, with the painter's
// state restored afterwards.
class LineDelegate : public QStyledItemDelegate
{
public:
    LineDelegate(int spacing, QObject* parent) : QStyledItemDelegate(parent), m_spacing(spacing) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

protected:
    virtual int lineHeight() const = 0;
    virtual void paintLine(QPainter& painter, const QRectF& line, int row) const = 0;

    // `text` from `left`, `width` wide, left-aligned and centred on the line.
    static void paintText(QPainter& painter, const QRectF& line, qreal left, qreal width, const QString& text,
                          const QFont& font, const QColor& color);
    // The same cut at the end to fit `room` (none below 0); returns the width it takes.
    static qreal paintElided(QPainter& painter, const QRectF& line, qreal left, qreal room, const QString& text,
                             const QFont& font, const QColor& color);

private:
    int m_spacing;
};
