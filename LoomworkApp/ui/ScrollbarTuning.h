#pragma once

class QAbstractScrollArea;
class QWidget;

// Every vertical scroll area of every window shows the thin scroll bar instead of the
// system one. A sweep every 0.4 s finds the scroll areas (also those of windows and
// lists made later) and lays a ThinScrollBar over each.
class ScrollbarTuning
{
public:
    static constexpr int kSweepMs = 400;
    static constexpr int kMaxDepth = 23;

    // Starts the sweep once; later calls do nothing.
    static void install();

    // One pass over the visible windows.
    static void sweep();
    // Visits `widget` and its descendants down to depth 23.
    static void walk(QWidget* widget, int depth);
    // Hides the area's own vertical scroll bar and lays the thin one over it (once).
    static void attach(QAbstractScrollArea* area);
};
