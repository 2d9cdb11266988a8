#pragma once

#include <QHash>
#include <QList>

#include "sheets/InstallSheetModel.h"
#include "sheets/LineList.h"

// The review page's list of packages: one painted line per package read, with its plug-in
// count, its clash count and its categories.
class InstallFileList : public LineList
{
    Q_OBJECT
public:
    static constexpr int kPadding = 10;
    static constexpr int kSpacing = 6;
    static constexpr int kItemSpacing = 8;

    explicit InstallFileList(QWidget* parent = nullptr);

    // perPackage: package index -> clashing plug-ins.
    void setRows(const QList<InstallSheetModel::FileRow>& rows, const QHash<int, int>& perPackage);
    // The texts of line `row` as shown, in order (tests, accessibility).
    QStringList lineTexts(int row) const;

    // The parts of one line.
    static QString countText(const InstallSheetModel::FileRow& row);   // "" below 2 plug-ins
    static QString clashText(int clashes);                               // "" below 1
    static QString typesText(const InstallSheetModel::FileRow& row);

private:
    class Model;
    class Delegate;
    Model* m_model;
};
