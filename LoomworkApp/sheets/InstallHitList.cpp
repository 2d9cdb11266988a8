#include "sheets/InstallHitList.h"

#include <QAbstractListModel>
#include <QPainter>
#include <QStyledItemDelegate>

#include "shell/F.h"
#include "shell/Palette.h"
#include "sheets/InstallSheetModel.h"
#include "sheets/SheetPieces.h"

namespace {

constexpr qreal kCategoryPoints = 10;
constexpr qreal kBadgePoints = 10;
constexpr qreal kMinGap = 4;

QFont nameFont() { return F::caption(); }
QFont categoryFont() { return F::font(kCategoryPoints); }
QFont badgeFont() { return F::font(kBadgePoints, QFont::Medium); }

QColor badgeColor(int index, const InstallConflictScanner::Hit& hit)
{
    // Badges come in the order batch, user, system; map the position back to its kind.
    const bool batch = hit.batchCount >= 2;
    if (batch && index == 0)
        return Palette::brand();
    const int afterBatch = index - (batch ? 1 : 0);
    if (hit.inUser && afterBatch == 0)
        return Palette::green();
    return Palette::orange();
}

} // namespace

class InstallHitList::Model : public QAbstractListModel
{
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(hits.size()); }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || index.row() >= hits.size())
            return {};
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
            return hits[index.row()].name;
        return {};
    }
    void reset(const QList<InstallConflictScanner::Hit>& newHits)
    {
        beginResetModel();
        hits = newHits;
        endResetModel();
    }

    QList<InstallConflictScanner::Hit> hits;
};

class InstallHitList::Delegate : public QStyledItemDelegate
{
public:
    Delegate(const Model* model, QObject* parent) : QStyledItemDelegate(parent), m_model(model) {}

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override
    {
        const int line = std::max(QFontMetrics(nameFont()).height(),
                                  int(SheetPieces::tagSize(QStringLiteral("1"), badgeFont()).height()));
        return {10, line + kSpacing};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const InstallConflictScanner::Hit& hit = m_model->hits.at(index.row());
        const QRectF r = QRectF(option.rect).adjusted(0, 0, 0, -kSpacing);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);

        // Badges from the right edge, so the name gets what is left.
        const QStringList tags = badges(hit);
        qreal right = r.right();
        for (int i = int(tags.size()) - 1; i >= 0; --i) {
            const QSizeF size = SheetPieces::tagSize(tags[i], badgeFont());
            const QRectF tagRect(right - size.width(), r.center().y() - size.height() / 2, size.width(), size.height());
            const QColor color = badgeColor(i, hit);
            SheetPieces::paintTag(*painter, tagRect, tags[i], badgeFont(), color, SheetPieces::withAlpha(color, 0.14));
            right -= size.width() + (i > 0 ? kItemSpacing : 0);
        }
        if (!tags.isEmpty())
            right -= kMinGap;

        const QString category = InstallSheetModel::displayName(hit.type);
        const QFontMetricsF categoryMetrics(categoryFont());
        const qreal categoryWidth = categoryMetrics.horizontalAdvance(category);
        const QFontMetricsF nameMetrics(nameFont());
        const qreal nameRoom = std::max<qreal>(0, right - r.left() - kItemSpacing - categoryWidth);
        const QString name = nameMetrics.elidedText(hit.name, Qt::ElideRight, nameRoom);
        const qreal nameWidth = std::min(nameMetrics.horizontalAdvance(name), nameRoom);
        painter->setFont(nameFont());
        painter->setPen(Palette::primary());
        painter->drawText(QRectF(r.left(), r.top(), nameWidth + 1, r.height()), Qt::AlignVCenter | Qt::AlignLeft, name);
        painter->setFont(categoryFont());
        painter->setPen(Palette::tertiary());
        painter->drawText(QRectF(r.left() + nameWidth + kItemSpacing, r.top(), categoryWidth + 1, r.height()),
                          Qt::AlignVCenter | Qt::AlignLeft, category);
        painter->restore();
    }

private:
    const Model* m_model;
};

InstallHitList::InstallHitList(QWidget* parent) : QListView(parent)
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

void InstallHitList::setHits(const QList<InstallConflictScanner::Hit>& hits)
{
    m_model->reset(hits);
}

int InstallHitList::count() const
{
    return int(m_model->hits.size());
}

QStringList InstallHitList::lineTexts(int row) const
{
    const InstallConflictScanner::Hit& hit = m_model->hits.at(row);
    return QStringList{hit.name, InstallSheetModel::displayName(hit.type)} + badges(hit);
}

QStringList InstallHitList::badges(const InstallConflictScanner::Hit& hit)
{
    QStringList tags;
    if (hit.batchCount >= 2)
        tags << QStringLiteral("本批 ") + QString::number(hit.batchCount) + QStringLiteral(" 次");
    if (hit.inUser)
        tags << QStringLiteral("用户库");
    if (hit.inSystem)
        tags << QStringLiteral("系统库");
    return tags;
}
