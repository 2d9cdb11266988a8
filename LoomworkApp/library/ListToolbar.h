#pragma once

#include <QHash>
#include <QList>
#include <QPointer>

#include "ui/BaseButton.h"
#include "library/ToolbarModeStore.h"

class PluginListController;
class QAction;
class QLabel;
class QToolBar;

// A toolbar button drawn by the list itself: the symbol (15, tinted), with its title
// under it in the icon-and-label mode; at 0.4 of its tint while disabled.
class ListToolButton : public BaseButton
{
    Q_OBJECT
public:
    ListToolButton(const QString& title, const QString& symbol, QWidget* parent = nullptr);

    // An invalid tint means the primary colour.
    void setTint(const QColor& tint);
    void setShowsLabel(bool shows);
    bool showsLabel() const { return m_showsLabel; }
    QColor effectiveTint() const;
    // The line under the icon that holds the title in the icon-and-label mode.
    static int labelLineHeight();

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_symbol;
    QColor m_tint;
    bool m_showsLabel = true;
};

// The items the plug-in list puts into the main window's toolbar: the title with the
// logo, the drop hint, install / backup / refresh / delete and the search button. They
// exist only while signed in; enabled states follow the controller.
class ListToolbar : public QObject
{
    Q_OBJECT
public:
    explicit ListToolbar(PluginListController* controller, QWidget* owner);
    ~ListToolbar() override;

    // Adds the items to `toolbar` (once); a flexible space separates title and tools.
    void install(QToolBar* toolbar);
    void setLoggedIn(bool loggedIn);
    bool isLoggedIn() const { return m_loggedIn; }
    void setSearchOpen(bool open);
    void setDisplayMode(ToolbarModeStore::Mode mode);

    QWidget* titleItem() const { return m_title; }
    QWidget* actionItem() const { return m_action; }
    ListToolButton* installButton() const { return m_install; }
    ListToolButton* backupButton() const { return m_backup; }
    ListToolButton* refreshButton() const { return m_refresh; }
    ListToolButton* deleteButton() const { return m_delete; }
    ListToolButton* searchButton() const { return m_search; }
    QList<QWidget*> items() const;
    QList<QAction*> actions() const { return m_actions; }

    static QString searchTooltip();
    static QString refreshTooltip();

signals:
    void installClicked();
    void backupClicked();
    void refreshClicked();
    void deleteClicked();
    void searchClicked();

private:
    void syncEnabled();
    void setItemEnabled(QWidget* item, bool enabled);
    void syncVisibility();

    PluginListController* m_controller;
    bool m_loggedIn = false;
    bool m_searchOpen = false;
    ToolbarModeStore::Mode m_mode;
    QWidget* m_title;
    QLabel* m_titleAddress;
    QWidget* m_action;
    ListToolButton* m_install;
    ListToolButton* m_backup;
    ListToolButton* m_refresh;
    ListToolButton* m_delete;
    ListToolButton* m_search;
    QPointer<QToolBar> m_toolbar;
    QList<QAction*> m_actions;
    QHash<QWidget*, QAction*> m_itemActions;
};
