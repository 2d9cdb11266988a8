#include "engine/AppState.h"

#include <memory>

#include <QThreadPool>

#include "engine/AppSettings.h"
#include "engine/Delivery.h"
#include "engine/EngineText.h"
#include "engine/LocalizedStore.h"
#include "engine/PluginFolderSwap.h"

std::optional<AppearanceMode> AppearanceMode::from(const QString& raw)
{
    for (const AppearanceMode mode : allCases()) {
        if (mode.rawValue() == raw)
            return mode;
    }
    return std::nullopt;
}

const std::array<AppearanceMode, 3>& AppearanceMode::allCases()
{
    static const std::array<AppearanceMode, 3> cases{AppearanceMode(system), AppearanceMode(light),
                                                     AppearanceMode(dark)};
    return cases;
}

QString AppearanceMode::rawValue() const
{
    switch (m_value) {
    case light: return QStringLiteral("light");
    case dark: return QStringLiteral("dark");
    case system: break;
    }
    return QStringLiteral("system");
}

QString AppearanceMode::title() const
{
    switch (m_value) {
    case light: return QStringLiteral("浅色");
    case dark: return QStringLiteral("深色");
    case system: break;
    }
    return QStringLiteral("跟随系统");
}

QString AppearanceMode::symbol() const
{
    switch (m_value) {
    case light: return QStringLiteral("sun.max");
    case dark: return QStringLiteral("moon");
    case system: break;
    }
    return QStringLiteral("circle.lefthalf.filled");
}

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
        if (startingUp) {
            for (const PluginRoot root : {PluginRoot::user, PluginRoot::system})
                PluginFolderSwap::recoverLibrary(root.path());
        }
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
    for (const auto& plugin : m_plugins)
        m_foldedNames.append(plugin.name.toCaseFolded());
    m_scanErrors = result.errors;
    m_isScanning = false;
    m_lastScanAt = startedAt;

    QSet<QString> ids;
    QSet<QString> validPaths;
    for (const auto& plugin : m_plugins) {
        ids.insert(plugin.id());
        validPaths.insert(plugin.path);
    }
    const QSet<QString> selection = m_selection & ids;
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
    LocalizedStore::prune(validPaths);
    const QSet<QString> localized = readLocalizedPaths();
    const bool localizedDiffers = localized != m_localizedPaths;
    m_localizedPaths = localized;

    // Everything, derived values included, is in place before anyone hears of it.
    const DerivedChanges derived = updateDerived();
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

bool AppState::passesLibrary(const Plugin& plugin) const
{
    switch (m_libraryFilter.kind()) {
    case LibraryFilter::all: return true;
    case LibraryFilter::root: return plugin.root == m_libraryFilter.pluginRoot();
    case LibraryFilter::localized: return isLocalized(plugin);
    }
    return true;
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

AppState::DerivedChanges AppState::updateDerived()
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
    QList<Plugin> filtered;
    std::array<int, 4> typeCounts{};
    std::array<int, 2> rootCounts{};
    int libraryCount = 0;
    int localizedCount = 0;
    qint64 totalSize = 0;

    for (qsizetype i = 0; i < m_plugins.size(); ++i) {
        const Plugin& plugin = m_plugins[i];
        ++rootCounts[std::size_t(PluginRoot::Value(plugin.root))];
        if (isLocalized(plugin))
            ++localizedCount;
        if (!passesLibrary(plugin))
            continue;
        ++typeCounts[std::size_t(ZFCPluginType::Value(plugin.type))];
        ++libraryCount;
        if (m_categoryFilter && *m_categoryFilter != plugin.type)
            continue;
        if (!query.isEmpty() && !typeMatches[std::size_t(ZFCPluginType::Value(plugin.type))]
            && !rootMatches[std::size_t(PluginRoot::Value(plugin.root))] && !m_foldedNames[i].contains(query))
            continue;
        filtered.append(plugin);
        totalSize += plugin.sizeBytes;
    }

    const bool countsDiffer = typeCounts != m_typeCounts || rootCounts != m_rootCounts
        || libraryCount != m_libraryCount || localizedCount != m_localizedCount;
    m_typeCounts = typeCounts;
    m_rootCounts = rootCounts;
    m_libraryCount = libraryCount;
    m_localizedCount = localizedCount;

    const QString sizeText = EngineText::byteCountText(totalSize);
    const bool filteredDiffer = filtered != m_filtered || sizeText != m_totalSizeText;
    m_filtered = std::move(filtered);
    m_totalSizeText = sizeText;

    return {filteredDiffer, countsDiffer, updateSelected()};
}

bool AppState::updateSelected()
{
    QList<Plugin> selected;
    for (const auto& plugin : m_filtered) {
        if (m_selection.contains(plugin.id()))
            selected.append(plugin);
    }
    if (selected == m_selected)
        return false;
    m_selected = std::move(selected);
    return true;
}
