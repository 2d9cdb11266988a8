#pragma once

#include <QObject>

class QAbstractScrollArea;

// Every vertical scroll area of every window shows the thin scroll bar instead of the
// system one. Once installed, an application-wide event filter lays a ThinScrollBar over
// each scroll area as it is shown or its viewport grows tall enough to carry a knob;
// nothing polls.
class ScrollbarTuning : public QObject
{
    Q_OBJECT
public:
    // Installs the filter once (later calls do nothing) and attaches to the scroll areas
    // of windows already shown.
    static void install();
    // Hides the area's own vertical scroll bar and lays the thin one over it (once).
    static void attach(QAbstractScrollArea* area);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using QObject::QObject;
};
