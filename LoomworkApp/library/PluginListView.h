#pragma once

#include <functional>

#include <QPointer>
#include <QWidget>

#include "library/PluginListController.h"
#include "library/PluginListModel.h"
#include "library/PluginRow.h"

class EmptyStateView;
class ListStatusBar;
class ListToolbar;
class PluginSearchBar;
class PluginTableView;
class QMenu;
class QShortcut;
class QStackedWidget;
class QToolBar;

// The detail column of the main window: the search bar (when open), the plug-in list or
// its scanning / empty state, and the status bar; plus the list's toolbar items. Every
// operation on installed plug-ins starts here (install picker, quick backup, delete with
// its question); the sheets it asks for (backup, version, translation) are the
// application's to open.
//
// The root view creates it with the application state, the operations runner and its
// install entry, installs the toolbar items into the main toolbar, and keeps it told of
// the sign-in state, the window width and the compatibility lookup.
class PluginListView : public QWidget
{
    Q_OBJECT
public:
    using PluginAction = std::function<void(const Plugin& plugin)>;

    PluginListView(AppState* state, OperationsCenter* ops, PluginListController::InstallRequest requestInstall,
                   QWidget* parent = nullptr);

    // The toolbar items exist only while signed in.
    void setLoggedIn(bool loggedIn);
    // The window content's width: sizes and the last-scan time show from 1020 on.
    void setWindowWidth(int width);
    int windowWidth() const { return m_windowWidth; }
    void setCompatLookup(PluginListModel::CompatLookup lookup);
    // The compatibility table changed: repaint the rows' texts.
    void compatChanged();
    // The version and translation sheets; their menu entries show only once set.
    void setOpenVersion(PluginAction action);
    void setOpenLocalize(PluginAction action);
    // Puts the list's items into the main window's toolbar.
    void installToolbar(QToolBar* toolbar);

    void openSearch();
    void closeSearch();
    bool isSearchOpen() const { return m_searchOpen; }
    void pickFiles();
    void focusList();
    // The toolbar's delete.
    void deleteSelected();
    void quickBackup(const Plugin& plugin);

    // Parts, for the root view and for tests.
    PluginListController* controller() const { return m_controller; }
    PluginListModel* model() const { return m_model; }
    PluginTableView* tableView() const { return m_table; }
    EmptyStateView* emptyState() const { return m_empty; }
    QWidget* scanningView() const { return m_scanning; }
    ListStatusBar* statusBar() const { return m_statusBar; }
    ListToolbar* toolbar() const { return m_toolbar; }
    PluginSearchBar* searchBar() const { return m_searchBar; }
    QWidget* currentContent() const;
    // The context menu of one plug-in (shown at a right click).
    QMenu* makeContextMenu(const Plugin& plugin);

signals:
    // The toolbar's backup: the backup sheet is asked for.
    void backupRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void syncContent();
    void onRowAction(const Plugin& plugin, PluginRow::Action action);

    QPointer<AppState> m_state;
    QPointer<OperationsCenter> m_ops;
    PluginListController::InstallRequest m_requestInstall;
    PluginListController* m_controller;
    PluginListModel* m_model;
    PluginSearchBar* m_searchBar;
    QStackedWidget* m_stack;
    QWidget* m_scanning;
    EmptyStateView* m_empty;
    PluginTableView* m_table;
    ListStatusBar* m_statusBar;
    ListToolbar* m_toolbar;
    QShortcut* m_findShortcut;
    PluginAction m_openVersion;
    PluginAction m_openLocalize;
    int m_windowWidth;
    bool m_searchOpen = false;
};
