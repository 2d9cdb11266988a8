#include "engine/library/AppState.h"

#include <algorithm>
#include <memory>

#include <QStringMatcher>
#include <QThreadPool>

#include "engine/model/AppSettings.h"
#include "engine/core/Delivery.h"
#include "engine/core/EngineText.h"
#include "engine/files/AppJournal.h"
#include "engine/templates/LocalizedStore.h"

AppState::AppState(QObject* parent)
    : QObject(parent)
    , m_appearance(AppSettings::appearance())
{
    m_localizedPaths = readLocalizedPaths();
    recomputeDerived();
}

// A scan still running finishes on its own; its result is dropped.
AppState::~AppState() = default;

void AppState::setLibraryFilter(LibraryFilter filter)
{
    if (filter == m_libraryFilter)
        return;
    m_libraryFilter = filter;
    const DerivedChanges derived = updateDerived();
    emit libraryFilterChanged();
    emitDerived(derived);
}

void AppState::setCategoryFilter(std::optional<ZFCPluginType> type)
{
    if (type == m_categoryFilter)
        return;
    m_categoryFilter = type;
    const DerivedChanges derived = updateDerived();
    emit categoryFilterChanged();
    emitDerived(derived);
}

void AppState::setSearchText(const QString& text)
{
    if (text == m_searchText)
        return;
    m_searchText = text;
    const DerivedChanges derived = updateDerived();
    emit searchTextChanged(m_searchText);
    emitDerived(derived);
}

void AppState::setSelection(const QSet<QString>& ids)
{
    if (ids == m_selection)
        return;
    m_selection = ids;
    const bool selectedDiffers = updateSelected();
    emit selectionChanged();
    if (selectedDiffers)
        emit selectedPluginsChanged();
}

void AppState::setAppearance(AppearanceMode mode)
{
    AppSettings::setAppearance(mode);
    if (mode == m_appearance)
        return;
    m_appearance = mode;
    emit appearanceChanged(mode);
}

void AppState::refresh()
{
    if (m_isScanning) {
        m_refreshPending = true;
        return;
    }
    startScan();
}

void AppState::startScan()
{
    m_isScanning = true;
    m_scanStartedAt = QDateTime::currentDateTimeUtc();
    emit isScanningChanged(true);

    // The worker gets nothing of the store; its result is dropped with the store.
    const Delivery<AppState> deliver(this);
    const bool startingUp = !m_lastScanAt;
    QThreadPool::globalInstance()->start([deliver, startingUp] {
        // What a killed run left is put right before the libraries are first listed.
        if (startingUp)
            AppJournal::recover(AppJournal::When::startUp);
        PluginScanner::ScanResult result = PluginScanner::scan({PluginRoot::user, PluginRoot::system});
        deliver([result = std::move(result)](AppState& state) { state.publish(result, state.m_scanStartedAt); });
    });
}

void AppState::publish(const PluginScanner::ScanResult& result, const QDateTime& startedAt)
{
    const bool pluginsDiffer = result.plugins != m_plugins;
    const bool errorsDiffer = result.errors != m_scanErrors;
    m_plugins = result.plugins;
    m_foldedNames.clear();
    m_foldedNames.reserve(m_plugins.size());
    m_indexOfId.clear();
    m_indexOfId.reserve(m_plugins.size());
    QSet<QString> validPaths;
    for (qsizetype i = 0; i < m_plugins.size(); ++i) {
        m_foldedNames.append(m_plugins.at(i).name.toCaseFolded());
        m_indexOfId.insert(m_plugins.at(i).id(), i);
        validPaths.insert(m_plugins.at(i).path);
    }
    m_scanErrors = result.errors;
    m_isScanning = false;
    m_lastScanAt = startedAt;

    QSet<QString> selection;
    for (const QString& id : std::as_const(m_selection)) {
        if (m_indexOfId.contains(id))
            selection.insert(id);
    }
    const bool selectionDiffers = selection != m_selection;
    m_selection = selection;

    // Records under a library that could not be read are kept: its plug-ins may well
    // still be there.
    const auto records = LocalizedStore::records();
    for (auto it = records.cbegin(); it != records.cend(); ++it) {
        const auto root = PluginRoot::from(it->root);
        if (root && m_scanErrors.contains(*root))
            validPaths.insert(it.key());
    }
    // A prune that cannot be saved only keeps records whose plug-ins are gone, which no list
    // shows; the next scan tries again.
    (void)LocalizedStore::prune(validPaths);
    const QSet<QString> localized = readLocalizedPaths();
    const bool localizedDiffers = localized != m_localizedPaths;
    m_localizedPaths = localized;
    updateLocalizedFlags();

    // Everything, derived values included, is in place before anyone hears of it.
    const DerivedChanges derived = updateDerived(pluginsDiffer);
    if (pluginsDiffer)
        emit pluginsChanged();
    if (errorsDiffer)
        emit scanErrorsChanged();
    emit isScanningChanged(false);
    emit lastScanAtChanged();
    if (selectionDiffers)
        emit selectionChanged();
    if (localizedDiffers)
        emit localizedPathsChanged();
    emitDerived(derived);
    emit scanFinished();

    if (m_refreshPending) {
        m_refreshPending = false;
        startScan();
    }
}

void AppState::reloadLocalized()
{
    const QSet<QString> localized = readLocalizedPaths();
    if (localized == m_localizedPaths)
        return;
    m_localizedPaths = localized;
    updateLocalizedFlags();
    const DerivedChanges derived = updateDerived();
    emit localizedPathsChanged();
    emitDerived(derived);
}

QSet<QString> AppState::readLocalizedPaths() const
{
    const auto records = LocalizedStore::records();
    QSet<QString> paths;
    for (auto it = records.cbegin(); it != records.cend(); ++it)
        paths.insert(it.key());
    return paths;
}

bool AppState::isLocalized(const Plugin& plugin) const
{
    return m_localizedPaths.contains(plugin.path);
}

bool AppState::passesLibrary(qsizetype index) const
{
    switch (m_libraryFilter.kind()) {
    case LibraryFilter::all: return true;
    case LibraryFilter::root: return m_plugins[index].root == m_libraryFilter.pluginRoot();
    case LibraryFilter::localized: return m_localizedFlags[std::size_t(index)];
    }
    return true;
}

void AppState::updateLocalizedFlags()
{
    m_localizedFlags.assign(std::size_t(m_plugins.size()), false);
    for (qsizetype i = 0; i < m_plugins.size(); ++i)
        m_localizedFlags[std::size_t(i)] = isLocalized(m_plugins.at(i));
}

int AppState::count(std::optional<ZFCPluginType> type) const
{
    return type ? m_typeCounts[std::size_t(ZFCPluginType::Value(*type))] : m_libraryCount;
}

int AppState::countForRoot(PluginRoot root) const
{
    return m_rootCounts[std::size_t(PluginRoot::Value(root))];
}

void AppState::recomputeDerived()
{
    emitDerived(updateDerived());
}

void AppState::emitDerived(const DerivedChanges& changes)
{
    if (changes.filtered)
        emit filteredPluginsChanged();
    if (changes.counts)
        emit countsChanged();
    if (changes.selected)
        emit selectedPluginsChanged();
}

AppState::DerivedChanges AppState::updateDerived(bool pluginsReplaced)
{
    const QString query = m_searchText.trimmed().toCaseFolded();
    // The category and library labels are the same for every row: test them once.
    std::array<bool, 4> typeMatches{};
    std::array<bool, 2> rootMatches{};
    if (!query.isEmpty()) {
        for (const ZFCPluginType type : ZFCPluginType::allCases())
            typeMatches[std::size_t(ZFCPluginType::Value(type))] =
                EngineText::displayName(type).contains(query, Qt::CaseInsensitive);
        for (const PluginRoot root : PluginRoot::allCases())
            rootMatches[std::size_t(PluginRoot::Value(root))] = root.title().contains(query, Qt::CaseInsensitive);
    }
    // The query's skip table is made once, not once per name.
    const QStringMatcher matcher(query, Qt::CaseSensitive);
    QList<qsizetype> rows;
    rows.reserve(m_plugins.size());
    m_shown.assign(std::size_t(m_plugins.size()), false);
    std::array<int, 4> typeCounts{};
    std::array<int, 2> rootCounts{};
    int libraryCount = 0;
    int localizedCount = 0;
    qint64 totalSize = 0;

    for (qsizetype i = 0; i < m_plugins.size(); ++i) {
        const Plugin& plugin = m_plugins.at(i);
        ++rootCounts[std::size_t(PluginRoot::Value(plugin.root))];
        if (m_localizedFlags[std::size_t(i)])
            ++localizedCount;
        if (!passesLibrary(i))
            continue;
        ++typeCounts[std::size_t(ZFCPluginType::Value(plugin.type))];
        ++libraryCount;
        if (m_categoryFilter && *m_categoryFilter != plugin.type)
            continue;
        if (!query.isEmpty() && !typeMatches[std::size_t(ZFCPluginType::Value(plugin.type))]
            && !rootMatches[std::size_t(PluginRoot::Value(plugin.root))] && matcher.indexIn(m_foldedNames.at(i)) < 0)
            continue;
        rows.append(i);
        m_shown[std::size_t(i)] = true;
        totalSize += plugin.sizeBytes;
    }

    const bool countsDiffer = typeCounts != m_typeCounts || rootCounts != m_rootCounts
        || libraryCount != m_libraryCount || localizedCount != m_localizedCount;
    m_typeCounts = typeCounts;
    m_rootCounts = rootCounts;
    m_libraryCount = libraryCount;
    m_localizedCount = localizedCount;

    const QString sizeText = EngineText::byteCountText(totalSize);
    const bool filteredDiffer = pluginsReplaced || rows != m_filteredRows || sizeText != m_totalSizeText;
    if (filteredDiffer) {
        m_filteredRows = std::move(rows);
        m_filtered.clear();
        m_filteredMade = false;
    }
    m_totalSizeText = sizeText;

    return {filteredDiffer, countsDiffer, updateSelected(pluginsReplaced)};
}

// The shown rows whose ids are selected, in row order. Nothing to do without a selection;
// else the ids are looked up, not the rows walked.
bool AppState::updateSelected(bool pluginsReplaced)
{
    QList<qsizetype> rows;
    for (const QString& id : std::as_const(m_selection)) {
        const auto it = m_indexOfId.constFind(id);
        if (it != m_indexOfId.cend() && m_shown[std::size_t(*it)])
            rows.append(*it);
    }
    std::sort(rows.begin(), rows.end());
    if (rows == m_selectedRows && !(pluginsReplaced && !rows.isEmpty()))
        return false;
    m_selectedRows = std::move(rows);
    m_selected.clear();
    m_selectedMade = false;
    return true;
}

const QList<Plugin>& AppState::filteredPlugins() const
{
    if (!m_filteredMade) {
        m_filtered.reserve(m_filteredRows.size());
        for (const qsizetype i : m_filteredRows)
            m_filtered.append(m_plugins[i]);
        m_filteredMade = true;
    }
    return m_filtered;
}

const QList<Plugin>& AppState::selectedPlugins() const
{
    if (!m_selectedMade) {
        for (const qsizetype i : m_selectedRows)
            m_selected.append(m_plugins[i]);
        m_selectedMade = true;
    }
    return m_selected;
}
