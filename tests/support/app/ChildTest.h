#pragma once

#include <functional>

#include <QList>
#include <QPair>
#include <QString>

// Runs one test of this executable (`filter`) in a child process with `settings` added to its
// environment and, when `preload` is not empty, that library preloaded. False when the child
// ended by a signal; a child that exits must have passed its one test (a failure is added).
bool runTestInChild(const QString& filter, const QList<QPair<QString, QString>>& settings, const QString& preload);

// A failing allocation swept over a change, each try in a child of its own: for `at` = 1,
// 1 + stride, …, `oneTry(at, root, fired)` runs with a fresh, empty scene folder `root` and no
// file at `fired` (the failing allocator creates it when the allocation `at` is reached). The
// sweep ends once a try no longer reaches its allocation, or a failure was added. Returns how
// many tries ran.
int sweepAllocations(const QString& dir, long stride,
                     const std::function<void(long at, const QString& root, const QString& fired)>& oneTry);
