#pragma once

#include <QColor>

class QWidget;

// Translucent surfaces drawn over the window background.
class Surface
{
public:
    static QColor card();          // primary at 0.05
    static QColor cardStroke();    // primary at 0.075
    static QColor pill();          // primary at 0.06
    static QColor hover();         // primary at 0.06
    static QColor selection();     // brand at 0.13
    static QColor divider();       // primary at 0.1
    static QColor sidebarTop();    // #F8F8FA / #323336
    static QColor sidebarBottom(); // #F3F3F6 / #2C2E31
};

// Buttons and controls drawn by the views themselves show no focus frame.
void noFocusRing(QWidget* widget);
