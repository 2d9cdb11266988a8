#pragma once

#include <gtest/gtest.h>

#include <QList>
#include <QString>

#include "engine/model/Plugin.h"

class AppState;
class QWidget;

// Libraries, scans and pictures for the plug-in list's tests.
namespace ListFixtures {

// Rescans and waits for the result.
void scan(AppState& state);
// The plug-in of `state` whose name is `name` (aborts the test when missing).
Plugin find(const AppState& state, const QString& name);
// "light" or "dark"; the views follow at once.
void setAppearance(const char* mode);
// build/screenshots/<name>.png; returns the path.
QString savePicture(QWidget& widget, const QString& name);
// What a tooltip window shows for `tip`: its markup's text when Qt reads it as markup, else
// `tip` itself.
QString shownToolTip(const QString& tip);
// Processes events for `ms`.
void settle(int ms = 30);

// Fusion style, the icon font and the application font, once per process.
void installTheme();

// A fresh installation per test: empty libraries and settings, light appearance, and
// an operations runner that neither reveals folders nor beeps.
class ListTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace ListFixtures
