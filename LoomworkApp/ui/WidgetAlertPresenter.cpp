#include "ui/WidgetAlertPresenter.h"

#include "ui/AppAlert.h"
#include "ui/AppPanel.h"

WidgetAlertPresenter& WidgetAlertPresenter::instance()
{
    static WidgetAlertPresenter presenter;
    return presenter;
}

bool WidgetAlertPresenter::confirm(const QString& title, const QString& message, Style style,
                                  const QString& primary, const QString& secondary)
{
    return AppAlert::confirm(title, message, style, primary, secondary);
}

void WidgetAlertPresenter::presentPanel(const Panel& panel, PickHandler onPick)
{
    AppPanel::present(panel, std::move(onPick));
}
