#include "library/PluginListModel.h"

#include "library/PluginListController.h"

PluginListModel::PluginListModel(AppState* state, PluginListController* controller, QObject* parent)
    : QAbstractListModel(parent), m_state(state), m_controller(controller), m_plugins(state->plugins()),
      m_rows(state->filteredRows())
{
    connect(state, &AppState::filteredPluginsChanged, this, [this] {
        beginResetModel();
        m_plugins = m_state->plugins();
        m_rows = m_state->filteredRows();
        endResetModel();
    });
    connect(state, &AppState::selectionChanged, this, &PluginListModel::repaintAll);
    connect(state, &AppState::localizedPathsChanged, this, &PluginListModel::repaintAll);
}

void PluginListModel::setCompatLookup(CompatLookup lookup)
{
    m_compat = std::move(lookup);
    repaintAll();
}

void PluginListModel::compatChanged()
{
    repaintAll();
}

void PluginListModel::repaintAll()
{
    if (!m_rows.isEmpty())
        emit dataChanged(index(0), index(int(m_rows.size()) - 1));
}

int PluginListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

const Plugin* PluginListModel::pluginAt(int row) const
{
    return row >= 0 && row < m_rows.size() ? &m_plugins[m_rows[row]] : nullptr;
}

int PluginListModel::rowOf(const QString& id) const
{
    for (int i = 0; i < m_rows.size(); ++i) {
        if (m_plugins[m_rows[i]].id() == id)
            return i;
    }
    return -1;
}

QVariant PluginListModel::data(const QModelIndex& index, int role) const
{
    const Plugin* plugin = pluginAt(index.row());
    if (!plugin || index.parent().isValid())
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return plugin->name;
    case PluginRole:
        return QVariant::fromValue(*plugin);
    case IdRole:
        return plugin->id();
    case HighlightedRole:
        return m_controller->isHighlighted(plugin->id());
    case ShowsActionsRole:
        return m_controller->showsActions(plugin->id());
    case LocalizedRole:
        return m_state && m_state->isLocalized(*plugin);
    case CompatTextRole:
        return m_compat.text ? m_compat.text(*plugin) : QString();
    case NeedsUpgradeRole:
        return m_compat.needsUpgrade ? m_compat.needsUpgrade(*plugin) : false;
    default:
        return {};
    }
}
