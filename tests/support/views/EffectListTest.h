#pragma once

#include <initializer_list>

#include <QSet>
#include <QString>

#include "engine/library/AppState.h"
#include "engine/operations/OperationsCenter.h"
#include "support/views/ListFixtures.h"

// A plug-in list test over a user library of effects only.
class EffectListTest : public ListFixtures::ListTest
{
protected:
    // `count` user effects named from `pattern` ("Row %1" gives "Row 0", "Row 1", ...),
    // scanned into `state`; a fatal failure when not all of them are listed.
    void makeEffects(int count, const QString& pattern);

    // The id of the plug-in on filtered row `row`; the ids of several rows.
    QString id(int row) const;
    QSet<QString> rows(std::initializer_list<int> list) const;

    AppState state;
    OperationsCenter ops;
};
