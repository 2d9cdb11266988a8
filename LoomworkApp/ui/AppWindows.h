#pragma once

#include <optional>

#include <QList>

#include "ui/DialogPlacement.h"

class QWidget;

// The application's top-level windows as facts for DialogPlacement.
struct AppWindows {
    QList<QWidget*> widgets;
    DialogPlacement::Windows facts;
    std::optional<int> key;
    std::optional<int> main;

    static AppWindows snapshot();
    std::optional<int> indexOf(const QWidget* widget) const;
    QWidget* at(std::optional<int> index) const;
};
