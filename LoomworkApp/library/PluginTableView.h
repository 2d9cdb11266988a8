#pragma once

#include <QListView>
#include <QPointer>

#include "library/PluginRow.h"

class PluginListController;
class PluginListModel;

// The list of plug-in rows: a QListView of uniform rows painted by PluginRow, so only
// the visible rows are ever painted. Selection is not Qt's: clicks go through the
// controller's rules into AppState::selection, and the rows draw it.
class PluginTableView : public QListView
{
    Q_OBJECT
public:
    PluginTableView(PluginListModel* model, PluginListController* controller, QWidget* parent = nullptr);

    void setShowSize(bool show);
    bool showSize() const { return m_showSize; }

    int hoveredRow() const { return m_hoverRow; }
    // The row as drawn now (hover, selection, size column...).
    PluginRow rowAt(int row) const;
    // A row's action button in viewport coordinates, if the row shows its buttons.
    std::optional<QRect> actionRect(int row, PluginRow::Action action) const;

signals:
    void actionTriggered(const Plugin& plugin, PluginRow::Action action);
    void contextMenuRequested(const Plugin& plugin, const QPoint& globalPos);

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    class Delegate;
    void setHover(int row, int button);
    void updateRow(int row);
    std::optional<PluginRow::Action> actionUnder(const QPoint& pos, int* rowOut) const;

    PluginListModel* m_model;
    PluginListController* m_controller;
    bool m_showSize = false;
    int m_hoverRow = -1;
    QPointer<QWidget> m_watchedWindow; // its moves clear the hover
    int m_hoverButton = -1;
    int m_pressRow = -1;
    int m_pressButton = -1;
};
