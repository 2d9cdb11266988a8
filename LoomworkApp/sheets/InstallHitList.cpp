#include "sheets/InstallHitList.h"

#include <algorithm>

#include <QPainter>

#include "ui/Chip.h"
#include "ui/Theme.h"
#include "sheets/InstallSheetModel.h"
#include "sheets/SheetPieces.h"

namespace {

constexpr qreal kCategoryPoints = 10;
constexpr qreal kBadgePoints = 10;
constexpr qreal kMinGap = 4;

QFont nameFont() { return Theme::captionFont(); }
QFont categoryFont() { return Theme::font(kCategoryPoints); }
QFont badgeFont() { return Theme::font(kBadgePoints, QFont::Medium); }

QColor badgeColor(int index, const InstallConflictScanner::Hit& hit)
{
    // Badges come in the order batch, user, system; map the position back to its kind.
    const bool batch = hit.batchCount >= 2;
    if (batch && index == 0)
        return Theme::accent();
    const int afterBatch = index - (batch ? 1 : 0);
    if (hit.inUser && afterBatch == 0)
        return Theme::positive();
    return Theme::warning();
}

} // namespace

class InstallHitList::Model : public LineListModel<InstallConflictScanner::Hit>
{
public:
    explicit Model(QObject* parent)
        : LineListModel([](const InstallConflictScanner::Hit& hit) { return hit.name; }, parent)
    {
    }
};

class InstallHitList::Delegate : public LineDelegate
{
public:
    Delegate(const Model* model, QObject* parent) : LineDelegate(kSpacing, parent), m_model(model) {}

protected:
    int lineHeight() const override
    {
        return std::max(QFontMetrics(nameFont()).height(),
                        int(Chip::sizeFor(QStringLiteral("1"), badgeFont()).height()));
    }

    void paintLine(QPainter& painter, const QRectF& r, int row) const override
    {
        const InstallConflictScanner::Hit& hit = m_model->items.at(row);

        // Badges from the right edge, so the name gets what is left.
        const QStringList tags = badges(hit);
        qreal right = r.right();
        for (int i = int(tags.size()) - 1; i >= 0; --i) {
            const QSizeF size = Chip::sizeFor(tags[i], badgeFont());
            const QRectF tagRect(right - size.width(), r.center().y() - size.height() / 2, size.width(), size.height());
            const QColor color = badgeColor(i, hit);
            Chip::paint(painter, tagRect, tags[i], badgeFont(), color, Theme::alpha(color, 0.14));
            right -= size.width() + (i > 0 ? kItemSpacing : 0);
        }
        if (!tags.isEmpty())
            right -= kMinGap;

        const QString category = InstallSheetModel::displayName(hit.type);
        const qreal categoryWidth = QFontMetricsF(categoryFont()).horizontalAdvance(category);
        const qreal nameWidth = paintElided(painter, r, r.left(), right - r.left() - kItemSpacing - categoryWidth,
                                            hit.name, nameFont(), Theme::textPrimary());
        paintText(painter, r, r.left() + nameWidth + kItemSpacing, categoryWidth, category, categoryFont(),
                  Theme::textTertiary());
    }

private:
    const Model* m_model;
};

InstallHitList::InstallHitList(QWidget* parent) : LineList(kPadding, kSpacing, parent)
{
    m_model = new Model(this);
    setModel(m_model);
    setItemDelegate(new Delegate(m_model, this));
}

void InstallHitList::setHits(const QList<InstallConflictScanner::Hit>& hits)
{
    m_model->reset(hits);
}

QStringList InstallHitList::lineTexts(int row) const
{
    const InstallConflictScanner::Hit& hit = m_model->items.at(row);
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
