#include "engine/library/AppState.h"

#include <algorithm>
#include <memory>
#include <utility>

#include <QStringMatcher>

#include "engine/model/AppSettings.h"
#include "engine/core/Delivery.h"
#include "engine/core/EngineText.h"
#include "engine/core/WorkerThread.h"
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

// What a scan's worker hands back: the new tables, and the shown list made for the inputs
// as they were when the scan began (taken only if they still are).
struct AppState::HandOver
{
    quint64 generation = 0;
    QHash<PluginRoot, QString> errors;
    bool pluginsDiffer = false;
    ScanTables tables;
    Inputs inputs;
    std::vector<bool> localized;
    Derived derived;
};

namespace {

constexpr QChar kNameEnd(u'\0');

// The last reference to a replaced table goes on a worker: freeing 50,000 plug-ins and their
// indexes would hold the GUI thread for several frames.
template <class T>
void freeOffThread(T&& old)
{
    auto held = std::make_shared<std::decay_t<T>>(std::forward<T>(old));
    // Without a thread they go here, as they would have anyway.
    (void)WorkerThread::start([held = std::move(held)]() mutable { held.reset(); });
}

} // namespace

void AppState::startScan()
{
    m_isScanning = true;
    m_scanStartedAt = QDateTime::currentDateTimeUtc();
    const quint64 generation = ++m_scanGeneration;
    emit isScanningChanged(true);

    // The worker gets copies of what it compares with and filters by; its result is
    // dropped with the store. Scans run one after another, so the list shown now is the one
    // the result replaces.
    const Delivery<AppState> deliver(this);
    const bool startingUp = !m_lastScanAt;
    const bool started = WorkerThread::start([deliver, startingUp, generation, previous = m_tables.plugins,
                                              inputs = currentInputs(), localizedPaths = m_localizedPaths] {
        try {
            // What a killed run left is put right before the libraries are first listed.
            if (startingUp)
                AppJournal::recoverAtStartUp();
            PluginScanner::ScanResult result = PluginScanner::scan({PluginRoot::user, PluginRoot::system});
            auto handOver = std::make_shared<HandOver>();
            handOver->generation = generation;
            handOver->errors = std::move(result.errors);
            handOver->pluginsDiffer = result.plugins != previous;
            handOver->tables = makeTables(std::move(result.plugins));
            handOver->inputs = inputs;
            handOver->localized = localizedFlags(handOver->tables, localizedPaths);
            handOver->derived = derive(handOver->tables, handOver->localized, inputs);
            deliver([handOver](AppState& state) { state.adopt(*handOver); });
        } catch (...) {
            try {
                deliver([generation](AppState& state) {
                    state.scanFailed(generation, QStringLiteral("内存不足，插件列表没有读完，请稍后刷新重试"));
                });
            } catch (...) {
                // Not even that fits: the next refresh starts over.
            }
        }
    });
    if (!started)
        scanFailed(generation, QStringLiteral("无法启动读取线程（内存或系统资源不足），请稍后刷新重试"));
}

void AppState::scanFailed(quint64 generation, const QString& why)
{
    if (generation != m_scanGeneration)
        return;
    m_scanErrors.insert(PluginRoot::user, why);
    m_scanErrors.insert(PluginRoot::system, why);
    m_isScanning = false;
    emit scanErrorsChanged();
    emit isScanningChanged(false);
    emit scanFinished();
    if (m_refreshPending) {
        m_refreshPending = false;
        startScan();
    }
}

AppState::ScanTables AppState::makeTables(QList<Plugin> plugins)
{
    ScanTables tables;
    qsizetype length = 0;
    for (const Plugin& plugin : std::as_const(plugins))
        length += plugin.name.size() + 1;
    tables.foldedNames.reserve(length);
    tables.nameStarts.reserve(std::size_t(plugins.size()) + 1);
    tables.indexOfId.reserve(plugins.size());
    tables.indexOfPath.reserve(plugins.size());
    for (qsizetype i = 0; i < plugins.size(); ++i) {
        const Plugin& plugin = plugins.at(i);
        tables.foldedNames.append(plugin.name.toCaseFolded());
        tables.foldedNames.append(kNameEnd);
        tables.nameStarts.push_back(tables.foldedNames.size());
        tables.indexOfId.insert(plugin.id(), i);
        tables.indexOfPath.insert(plugin.path, i);
    }
    tables.plugins = std::move(plugins);
    return tables;
}

void AppState::adopt(HandOver& handOver)
{
    if (handOver.generation != m_scanGeneration) {
        freeOffThread(std::move(handOver));
        return;
    }
    const bool pluginsDiffer = handOver.pluginsDiffer;
    const bool errorsDiffer = handOver.errors != m_scanErrors;
    // An unchanged list keeps the tables the views already share; the equal new ones go.
    if (pluginsDiffer)
        std::swap(m_tables, handOver.tables);
    m_scanErrors = std::move(handOver.errors);
    m_isScanning = false;
    m_lastScanAt = m_scanStartedAt;

    QSet<QString> selection;
    for (const QString& id : std::as_const(m_selection)) {
        if (m_tables.indexOfId.contains(id))
            selection.insert(id);
    }
    const bool selectionDiffers = selection != m_selection;
    m_selection = selection;

    // Records under a library that could not be read are kept: its plug-ins may well
    // still be there.
    const auto records = LocalizedStore::records();
    QSet<QString> kept;
    for (auto it = records.cbegin(); it != records.cend(); ++it) {
        const auto root = PluginRoot::from(it->root);
        if (m_tables.indexOfPath.contains(it.key()) || (root && m_scanErrors.contains(*root)))
            kept.insert(it.key());
    }
    // A prune that cannot be saved only keeps records whose plug-ins are gone, which no list
    // shows; the next scan tries again.
    (void)LocalizedStore::prune(kept);
    const QSet<QString> localized = readLocalizedPaths();
    const bool localizedDiffers = localized != m_localizedPaths;
    m_localizedPaths = localized;
    m_localizedFlags = localizedFlags(m_tables, m_localizedPaths);

    // The worker's list holds when nothing it was made from has changed since; else it is
    // made again here, as a keystroke would.
    Derived derived = handOver.localized == m_localizedFlags && handOver.inputs == currentInputs()
        ? std::move(handOver.derived)
        : derive(m_tables, m_localizedFlags, currentInputs());
    // Everything, derived values included, is in place before anyone hears of it.
    const DerivedChanges changes = applyDerived(std::move(derived), pluginsDiffer);
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
    emitDerived(changes);
    // Observers now hold the new tables: the old ones' last references are these.
    freeOffThread(std::move(handOver));
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
    m_localizedFlags = localizedFlags(m_tables, m_localizedPaths);
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

std::vector<bool> AppState::localizedFlags(const ScanTables& tables, const QSet<QString>& paths)
{
    std::vector<bool> flags(std::size_t(tables.plugins.size()), false);
    for (const QString& path : paths) {
        const auto it = tables.indexOfPath.constFind(path);
        if (it != tables.indexOfPath.cend())
            flags[std::size_t(*it)] = true;
    }
    return flags;
}

AppState::Inputs AppState::currentInputs() const
{
    return {m_libraryFilter, m_categoryFilter, m_searchText.trimmed().toCaseFolded()};
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
    return applyDerived(derive(m_tables, m_localizedFlags, currentInputs()), pluginsReplaced);
}

// Whether each folded name holds `query` (nothing when it is empty).
std::vector<bool> AppState::namesHolding(const ScanTables& tables, const QString& query)
{
    const std::size_t count = std::size_t(tables.plugins.size());
    std::vector<bool> holding(query.isEmpty() ? 0 : count, false);
    if (query.isEmpty())
        return holding;
    // The query's skip table is made once, not once per name.
    const QStringMatcher matcher(query, Qt::CaseSensitive);
    const QString& text = tables.foldedNames;
    if (query.contains(kNameEnd)) {
        // Only such a query could match across two names: each is searched alone.
        for (std::size_t i = 0; i < count; ++i) {
            const qsizetype start = tables.nameStarts[i];
            const QStringView name(text.constData() + start, tables.nameStarts[i + 1] - 1 - start);
            holding[i] = matcher.indexIn(name) >= 0;
        }
        return holding;
    }
    std::size_t row = 0;
    qsizetype at = 0;
    while (row < count && (at = matcher.indexIn(text, tables.nameStarts[row])) >= 0) {
        while (tables.nameStarts[row + 1] <= at)
            ++row;
        holding[row++] = true;
    }
    return holding;
}

AppState::Derived AppState::derive(const ScanTables& tables, const std::vector<bool>& localized,
                                   const Inputs& inputs)
{
    const QString& query = inputs.query;
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
    const QList<Plugin>& plugins = tables.plugins;
    const std::vector<bool> named = namesHolding(tables, query);
    Derived out;
    out.rows.reserve(plugins.size());
    out.shown.assign(std::size_t(plugins.size()), false);
    qint64 totalSize = 0;

    for (qsizetype i = 0; i < plugins.size(); ++i) {
        const Plugin& plugin = plugins.at(i);
        ++out.rootCounts[std::size_t(PluginRoot::Value(plugin.root))];
        if (localized[std::size_t(i)])
            ++out.localizedCount;
        switch (inputs.library.kind()) {
        case LibraryFilter::all: break;
        case LibraryFilter::root:
            if (plugin.root != inputs.library.pluginRoot())
                continue;
            break;
        case LibraryFilter::localized:
            if (!localized[std::size_t(i)])
                continue;
            break;
        }
        ++out.typeCounts[std::size_t(ZFCPluginType::Value(plugin.type))];
        ++out.libraryCount;
        if (inputs.category && *inputs.category != plugin.type)
            continue;
        if (!query.isEmpty() && !typeMatches[std::size_t(ZFCPluginType::Value(plugin.type))]
            && !rootMatches[std::size_t(PluginRoot::Value(plugin.root))] && !named[std::size_t(i)])
            continue;
        out.rows.append(i);
        out.shown[std::size_t(i)] = true;
        totalSize += plugin.sizeBytes;
    }
    out.totalSizeText = EngineText::byteCountText(totalSize);
    return out;
}

AppState::DerivedChanges AppState::applyDerived(Derived derived, bool pluginsReplaced)
{
    const bool countsDiffer = derived.typeCounts != m_typeCounts || derived.rootCounts != m_rootCounts
        || derived.libraryCount != m_libraryCount || derived.localizedCount != m_localizedCount;
    m_typeCounts = derived.typeCounts;
    m_rootCounts = derived.rootCounts;
    m_libraryCount = derived.libraryCount;
    m_localizedCount = derived.localizedCount;
    m_shown = std::move(derived.shown);

    const bool filteredDiffer =
        pluginsReplaced || derived.rows != m_filteredRows || derived.totalSizeText != m_totalSizeText;
    if (filteredDiffer) {
        m_filteredRows = std::move(derived.rows);
        // Its copies of the plug-ins are many small frees.
        if (!m_filtered.isEmpty())
            freeOffThread(std::exchange(m_filtered, {}));
        m_filteredMade = false;
    }
    m_totalSizeText = derived.totalSizeText;

    return {filteredDiffer, countsDiffer, updateSelected(pluginsReplaced)};
}

// The shown rows whose ids are selected, in row order. Nothing to do without a selection;
// else the ids are looked up, not the rows walked.
bool AppState::updateSelected(bool pluginsReplaced)
{
    QList<qsizetype> rows;
    for (const QString& id : std::as_const(m_selection)) {
        const auto it = m_tables.indexOfId.constFind(id);
        if (it != m_tables.indexOfId.cend() && m_shown[std::size_t(*it)])
            rows.append(*it);
    }
    std::sort(rows.begin(), rows.end());
    if (rows == m_selectedRows && !(pluginsReplaced && !rows.isEmpty()))
        return false;
    m_selectedRows = std::move(rows);
    if (!m_selected.isEmpty())
        freeOffThread(std::exchange(m_selected, {}));
    m_selectedMade = false;
    return true;
}

const QList<Plugin>& AppState::filteredPlugins() const
{
    if (!m_filteredMade) {
        m_filtered.reserve(m_filteredRows.size());
        for (const qsizetype i : m_filteredRows)
            m_filtered.append(m_tables.plugins[i]);
        m_filteredMade = true;
    }
    return m_filtered;
}

const QList<Plugin>& AppState::selectedPlugins() const
{
    if (!m_selectedMade) {
        for (const qsizetype i : m_selectedRows)
            m_selected.append(m_tables.plugins[i]);
        m_selectedMade = true;
    }
    return m_selected;
}
