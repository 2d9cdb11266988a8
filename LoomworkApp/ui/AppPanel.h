#pragma once

#include <QList>
#include <QUrl>

#include "engine/core/AlertPresenter.h"

class QFileDialog;
class QWidget;

// Open and save panels: a sheet of the host window when there is one, else modal.
class AppPanel
{
public:
    using Panel = AlertPresenter::Panel;
    using PickHandler = AlertPresenter::PickHandler;

    // `onPick` runs on the GUI thread and only when the user confirmed. With a host window
    // or from a worker the call returns at once; without a host it runs the panel modally
    // and `onPick` has run when it returns.
    static void present(const Panel& panel, PickHandler onPick);

    // The file dialog for `panel`, not yet shown.
    static QFileDialog* makeDialog(const Panel& panel, QWidget* parent);
    // The URLs a confirmed dialog hands on: all of an open panel's, a save panel's one.
    static QList<QUrl> pickedUrls(const QFileDialog& dialog, Panel::Kind kind);
};
