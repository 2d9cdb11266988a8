#include "ui/ShellAlertPresenter.h"

#include "ui/AppAlert.h"
#include "ui/AppPanel.h"

ShellAlertPresenter& ShellAlertPresenter::instance()
{
    static ShellAlertPresenter presenter;
    return presenter;
}

bool ShellAlertPresenter::confirm(const QString& title, const QString& message, Style style,
                                  const QString& primary, const QString& secondary)
{
    return AppAlert::confirm(title, message, style, primary, secondary);
}

void ShellAlertPresenter::presentPanel(const Panel& panel, PickHandler onPick)
{
    AppPanel::present(panel, std::move(onPick));
}
