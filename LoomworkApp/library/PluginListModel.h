#pragma once

#include <functional>

#include <QAbstractListModel>
#include <QPointer>

#include "engine/library/AppState.h"

class PluginListController;

// The rows of the plug-in list: AppState::filteredRows, in order, over the store's
// plug-ins (both shared, never copied). A new list resets the model (cheap: the view lays
// out uniform rows lazily); a new selection or set of translated paths only asks the view
// to repaint what it shows.
class PluginListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role {
        PluginRole = Qt::UserRole + 1, // Plugin
        IdRole,                        // QString
        HighlightedRole,               // bool
        ShowsActionsRole,              // bool
        LocalizedRole,                 // bool
        CompatTextRole,                // QString
        NeedsUpgradeRole               // bool
    };

    // Where the compatibility texts come from (the compatibility service).
    struct CompatLookup {
        std::function<QString(const Plugin&)> text;
        std::function<bool(const Plugin&)> needsUpgrade;
    };

    PluginListModel(AppState* state, PluginListController* controller, QObject* parent = nullptr);

    void setCompatLookup(CompatLookup lookup);
    // The lookup's answers changed (a new compatibility table): repaint the rows.
    void compatChanged();

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    const Plugin* pluginAt(int row) const;
    int rowOf(const QString& id) const;

private:
    void repaintAll();

    QPointer<AppState> m_state;
    PluginListController* m_controller;
    CompatLookup m_compat;
    QList<Plugin> m_plugins;
    QList<qsizetype> m_rows;
};
