#include "sheets/InstallFileList.h"

#include <QAbstractListModel>
#include <QPainter>
#include <QStyledItemDelegate>

#include "shell/F.h"
#include "shell/Palette.h"
#include "shell/SymbolIcon.h"
#include "sheets/SheetPieces.h"

namespace {

constexpr qreal kSymbolPoints = 13;
constexpr qreal kTagPoints = 10.5;

QFont nameFont() { return F::callout(); }
QFont countFont() { return F::tiny(); }
QFont tagFont() { return F::font(kTagPoints, QFont::Medium); }
QFont typesFont() { return F::caption(); }

struct Line
{
    InstallSheetModel::FileRow row;
    int clashes = 0;
};

} // namespace

class InstallFileList::Model : public QAbstractListModel
{
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(lines.size()); }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || index.row() >= lines.size())
            return {};
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
            return lines[index.row()].row.name;
        return {};
    }
    void reset(QList<Line> newLines)
    {
        beginResetModel();
        lines = std::move(newLines);
        endResetModel();
    }

    QList<Line> lines;
};

class InstallFileList::Delegate : public QStyledItemDelegate
{
public:
    Delegate(const Model* model, QObject* parent) : QStyledItemDelegate(parent), m_model(model) {}

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override
    {
        const int line = std::max({QFontMetrics(nameFont()).height(), QFontMetrics(typesFont()).height(),
                                   int(SheetPieces::tagSize(QStringLiteral("1"), tagFont()).height())});
        return {10, line + kSpacing};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const Line& line = m_model->lines.at(index.row());
        // The spacing sits below each line.
        QRectF r = QRectF(option.rect).adjusted(0, 0, 0, -kSpacing);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setRenderHint(QPainter::TextAntialiasing);

        const qreal symbolWidth = QFontMetricsF(SymbolIcon::font(kSymbolPoints)).height();
        SymbolIcon::paint(*painter, QRectF(r.left(), r.top(), symbolWidth, r.height()), QStringLiteral("doc.zipper"),
                          Palette::secondary(), kSymbolPoints);
        qreal left = r.left() + symbolWidth + kItemSpacing;
        qreal right = r.right();

        const QString types = typesText(line.row);
        if (!types.isEmpty()) {
            const qreal width = QFontMetricsF(typesFont()).horizontalAdvance(types);
            painter->setFont(typesFont());
            painter->setPen(Palette::secondary());
            painter->drawText(QRectF(right - width, r.top(), width, r.height()), Qt::AlignVCenter | Qt::AlignRight, types);
            right -= width + kItemSpacing;
        }

        // Name, count and tag sit together from the left; the name gives way when short of room.
        const QString count = countText(line.row);
        const QString clash = clashText(line.clashes);
        qreal trailing = 0;
        const qreal countWidth = count.isEmpty() ? 0 : QFontMetricsF(countFont()).horizontalAdvance(count);
        const QSizeF tag = clash.isEmpty() ? QSizeF() : SheetPieces::tagSize(clash, tagFont());
        if (!count.isEmpty())
            trailing += kItemSpacing + countWidth;
        if (!clash.isEmpty())
            trailing += kItemSpacing + tag.width();

        const QFontMetricsF nameMetrics(nameFont());
        const qreal nameRoom = std::max<qreal>(0, right - left - trailing);
        const QString name = nameMetrics.elidedText(line.row.name, Qt::ElideRight, nameRoom);
        const qreal nameWidth = std::min(nameMetrics.horizontalAdvance(name), nameRoom);
        painter->setFont(nameFont());
        painter->setPen(Palette::primary());
        painter->drawText(QRectF(left, r.top(), nameWidth + 1, r.height()), Qt::AlignVCenter | Qt::AlignLeft, name);
        left += nameWidth;

        if (!count.isEmpty()) {
            left += kItemSpacing;
            painter->setFont(countFont());
            painter->setPen(Palette::tertiary());
            painter->drawText(QRectF(left, r.top(), countWidth + 1, r.height()), Qt::AlignVCenter | Qt::AlignLeft, count);
            left += countWidth;
        }
        if (!clash.isEmpty()) {
            left += kItemSpacing;
            const QRectF tagRect(left, r.center().y() - tag.height() / 2, tag.width(), tag.height());
            SheetPieces::paintTag(*painter, tagRect, clash, tagFont(), Palette::orange(),
                                  SheetPieces::withAlpha(Palette::orange(), 0.14));
        }
        painter->restore();
    }

private:
    const Model* m_model;
};

InstallFileList::InstallFileList(QWidget* parent) : QListView(parent)
{
    m_model = new Model(this);
    setModel(m_model);
    setItemDelegate(new Delegate(m_model, this));
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::NoSelection);
    setFocusPolicy(Qt::NoFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setUniformItemSizes(true);
    setViewportMargins(kPadding, kPadding, kPadding, kPadding - kSpacing);
    setAutoFillBackground(false);
    viewport()->setAutoFillBackground(false);
}

void InstallFileList::setRows(const QList<InstallSheetModel::FileRow>& rows, const QHash<int, int>& perPackage)
{
    QList<Line> lines;
    lines.reserve(rows.size());
    for (const InstallSheetModel::FileRow& row : rows)
        lines.append({row, perPackage.value(row.id)});
    m_model->reset(std::move(lines));
}

int InstallFileList::count() const
{
    return int(m_model->lines.size());
}

QStringList InstallFileList::lineTexts(int row) const
{
    const Line& line = m_model->lines.at(row);
    QStringList texts{line.row.name};
    for (const QString& text : {countText(line.row), clashText(line.clashes), typesText(line.row)})
        if (!text.isEmpty())
            texts << text;
    return texts;
}

QString InstallFileList::countText(const InstallSheetModel::FileRow& row)
{
    return row.plugins >= 2 ? QString::number(row.plugins) + QStringLiteral(" 个") : QString();
}

QString InstallFileList::clashText(int clashes)
{
    return clashes >= 1 ? QString::number(clashes) + QStringLiteral(" 个同名") : QString();
}

QString InstallFileList::typesText(const InstallSheetModel::FileRow& row)
{
    return row.types.join(QStringLiteral("、"));
}
