#pragma once

#include <QList>
#include <QPair>
#include <QString>

// Runs one test of this executable (`filter`) in a child process with `settings` added to its
// environment and, when `preload` is not empty, that library preloaded. False when the child
// ended by a signal; a child that exits must have passed its one test (a failure is added).
bool runTestInChild(const QString& filter, const QList<QPair<QString, QString>>& settings, const QString& preload);
