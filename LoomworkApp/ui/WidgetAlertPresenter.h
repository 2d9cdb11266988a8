#pragma once

#include "engine/core/AlertPresenter.h"

// The engine's questions and panels shown with real widgets (AppAlert, AppPanel).
// main() installs one: AlertPresenter::setCurrent(&WidgetAlertPresenter::instance()).
class WidgetAlertPresenter final : public AlertPresenter
{
public:
    static WidgetAlertPresenter& instance();

    bool confirm(const QString& title, const QString& message, Style style,
                 const QString& primary, const QString& secondary) override;
    void presentPanel(const Panel& panel, PickHandler onPick) override;
};
