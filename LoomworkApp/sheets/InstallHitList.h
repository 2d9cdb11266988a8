#pragma once

#include <QList>

#include "engine/library/InstallConflictScanner.h"
#include "sheets/LineList.h"

// The conflict page's list of clashing plug-ins, one painted line per hit in report order:
// name, category and the tags of where it clashes.
class InstallHitList : public LineList
{
    Q_OBJECT
public:
    static constexpr int kPadding = 10;
    static constexpr int kSpacing = 5;
    static constexpr int kItemSpacing = 7;

    explicit InstallHitList(QWidget* parent = nullptr);

    void setHits(const QList<InstallConflictScanner::Hit>& hits);
    // Name, category and tags of line `row` as shown (tests, accessibility).
    QStringList lineTexts(int row) const;

    // "本批 N 次" (from 2), "用户库", "系统库", in this order.
    static QStringList badges(const InstallConflictScanner::Hit& hit);

private:
    class Model;
    class Delegate;
    Model* m_model;
};
