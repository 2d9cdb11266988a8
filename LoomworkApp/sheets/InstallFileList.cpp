#include "sheets/InstallFileList.h"

#include <algorithm>

#include <QPainter>

#include "ui/Chip.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "sheets/SheetPieces.h"

namespace {

constexpr qreal kSymbolPoints = 13;
constexpr qreal kTagPoints = 10.5;

QFont nameFont() { return Theme::calloutFont(); }
QFont countFont() { return Theme::tinyFont(); }
QFont tagFont() { return Theme::font(kTagPoints, QFont::Medium); }
QFont typesFont() { return Theme::captionFont(); }

struct Line
{
    InstallSheetModel::FileRow row;
    int clashes = 0;
};

} // namespace

class InstallFileList::Model : public LineListModel<Line>
{
public:
    explicit Model(QObject* parent) : LineListModel([](const Line& line) { return line.row.name; }, parent) {}
};

class InstallFileList::Delegate : public LineDelegate
{
public:
    Delegate(const Model* model, QObject* parent) : LineDelegate(kSpacing, parent), m_model(model) {}

protected:
    int lineHeight() const override
    {
        return std::max({QFontMetrics(nameFont()).height(), QFontMetrics(typesFont()).height(),
                         int(Chip::sizeFor(QStringLiteral("1"), tagFont()).height())});
    }

    void paintLine(QPainter& painter, const QRectF& r, int row) const override
    {
        const Line& line = m_model->items.at(row);
        painter.setRenderHint(QPainter::TextAntialiasing);

        const qreal symbolWidth = QFontMetricsF(SymbolIcon::font(kSymbolPoints)).height();
        SymbolIcon::paint(painter, QRectF(r.left(), r.top(), symbolWidth, r.height()), QStringLiteral("doc.zipper"),
                          Theme::textSecondary(), kSymbolPoints);
        qreal left = r.left() + symbolWidth + kItemSpacing;
        qreal right = r.right();

        const QString types = typesText(line.row);
        if (!types.isEmpty()) {
            const qreal width = QFontMetricsF(typesFont()).horizontalAdvance(types);
            painter.setFont(typesFont());
            painter.setPen(Theme::textSecondary());
            painter.drawText(QRectF(right - width, r.top(), width, r.height()), Qt::AlignVCenter | Qt::AlignRight, types);
            right -= width + kItemSpacing;
        }

        // Name, count and tag sit together from the left; the name gives way when short of room.
        const QString count = countText(line.row);
        const QString clash = clashText(line.clashes);
        qreal trailing = 0;
        const qreal countWidth = count.isEmpty() ? 0 : QFontMetricsF(countFont()).horizontalAdvance(count);
        const QSizeF tag = clash.isEmpty() ? QSizeF() : Chip::sizeFor(clash, tagFont());
        if (!count.isEmpty())
            trailing += kItemSpacing + countWidth;
        if (!clash.isEmpty())
            trailing += kItemSpacing + tag.width();

        left += paintElided(painter, r, left, right - left - trailing, line.row.name, nameFont(), Theme::textPrimary());

        if (!count.isEmpty()) {
            left += kItemSpacing;
            paintText(painter, r, left, countWidth, count, countFont(), Theme::textTertiary());
            left += countWidth;
        }
        if (!clash.isEmpty()) {
            left += kItemSpacing;
            const QRectF tagRect(left, r.center().y() - tag.height() / 2, tag.width(), tag.height());
            Chip::paint(painter, tagRect, clash, tagFont(), Theme::warning(),
                                  Theme::alpha(Theme::warning(), 0.14));
        }
    }

private:
    const Model* m_model;
};

InstallFileList::InstallFileList(QWidget* parent) : LineList(kPadding, kSpacing, parent)
{
    m_model = new Model(this);
    setModel(m_model);
    setItemDelegate(new Delegate(m_model, this));
}

void InstallFileList::setRows(const QList<InstallSheetModel::FileRow>& rows, const QHash<int, int>& perPackage)
{
    QList<Line> lines;
    lines.reserve(rows.size());
    for (const InstallSheetModel::FileRow& row : rows)
        lines.append({row, perPackage.value(row.id)});
    m_model->reset(std::move(lines));
}

QStringList InstallFileList::lineTexts(int row) const
{
    const Line& line = m_model->items.at(row);
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
