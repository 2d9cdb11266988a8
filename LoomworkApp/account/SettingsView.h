#pragma once

#include <QPointer>
#include <QWidget>

#include "account/SettingsModel.h"
#include "account/SettingsTab.h"

class AboutPane;
class AccountPane;
class AppState;
class AppearancePane;
class LibraryPane;
class LoginService;
class QStackedWidget;
class SettingsTabButton;

// The settings window's content: the bar of four tabs, a hairline and the selected pane.
// The panes are built once and keep their state while the window lives.
class SettingsView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kTabBarHeight = 52;
    static constexpr int kTabBarSide = 88;
    static constexpr int kTabSpacing = 8;

    SettingsView(SettingsModel* model, AppState* state, LoginService* login, QWidget* parent = nullptr);

    SettingsTabButton* tabButton(SettingsTab tab) const;
    QWidget* currentPane() const;
    AppearancePane* appearancePane() const { return m_appearance; }
    LibraryPane* libraryPane() const { return m_library; }
    AccountPane* accountPane() const { return m_account; }
    AboutPane* aboutPane() const { return m_about; }

private:
    void showTab(SettingsTab tab);

    QPointer<SettingsModel> m_model;
    SettingsTabButton* m_tabs[4] = {};
    QStackedWidget* m_stack = nullptr;
    AppearancePane* m_appearance = nullptr;
    LibraryPane* m_library = nullptr;
    AccountPane* m_account = nullptr;
    AboutPane* m_about = nullptr;
};
