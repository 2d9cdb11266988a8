#pragma once

#include <array>
#include <optional>
#include <vector>

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include "engine/model/AppearanceMode.h"
#include "engine/model/Plugin.h"
#include "engine/library/PluginScanner.h"

// Which library subset the list shows.
class LibraryFilter
{
public:
    enum Kind {
        all,
        root,
        localized
    };

    static LibraryFilter allLibraries() { return LibraryFilter(all, PluginRoot::user); }
    static LibraryFilter onlyRoot(PluginRoot r) { return LibraryFilter(root, r); }
    static LibraryFilter onlyLocalized() { return LibraryFilter(localized, PluginRoot::user); }

    Kind kind() const { return m_kind; }
    // Meaningful only when kind() is root.
    PluginRoot pluginRoot() const { return m_root; }
    bool operator==(const LibraryFilter& other) const
    {
        return m_kind == other.m_kind && (m_kind != root || m_root == other.m_root);
    }

private:
    LibraryFilter(Kind kind, PluginRoot r) : m_kind(kind), m_root(r) {}
    Kind m_kind;
    PluginRoot m_root;
};

// The one observable store of the plug-in list, used on the GUI thread. It holds the last
// scan, the filters, the search text and the selection, and keeps the lists and counts
// derived from them up to date after every change (reading them costs nothing).
class AppState : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isScanning READ isScanning NOTIFY isScanningChanged)
    Q_PROPERTY(QDateTime lastScanAt READ lastScanAtValue NOTIFY lastScanAtChanged)
    Q_PROPERTY(QString searchText READ searchText WRITE setSearchText NOTIFY searchTextChanged)
    Q_PROPERTY(QString totalSizeText READ totalSizeText NOTIFY filteredPluginsChanged)
    Q_PROPERTY(int localizedCount READ localizedCount NOTIFY countsChanged)

public:
    explicit AppState(QObject* parent = nullptr);
    ~AppState() override;

    const QList<Plugin>& plugins() const { return m_tables.plugins; }
    const QHash<PluginRoot, QString>& scanErrors() const { return m_scanErrors; }
    bool isScanning() const { return m_isScanning; }
    const std::optional<QDateTime>& lastScanAt() const { return m_lastScanAt; }
    const QSet<QString>& localizedPaths() const { return m_localizedPaths; }
    LibraryFilter libraryFilter() const { return m_libraryFilter; }
    std::optional<ZFCPluginType> categoryFilter() const { return m_categoryFilter; }
    const QString& searchText() const { return m_searchText; }
    const QSet<QString>& selection() const { return m_selection; }
    AppearanceMode appearance() const { return m_appearance; }

    void setLibraryFilter(LibraryFilter filter);
    void setCategoryFilter(std::optional<ZFCPluginType> type);
    void setSearchText(const QString& text);
    void setSelection(const QSet<QString>& ids);
    // Stores the choice under "appearanceMode"; the shell applies it on appearanceChanged.
    void setAppearance(AppearanceMode mode);

    // Rescans both libraries off the GUI thread, where the tables the list needs are made
    // too; the GUI thread only takes them over. A call during a scan is remembered and runs
    // once after it.
    void refresh();
    void reloadLocalized();
    bool isLocalized(const Plugin& plugin) const;

    // The shown rows as indices into plugins(), in order: what a keystroke changes, without
    // copying a plug-in.
    const QList<qsizetype>& filteredRows() const { return m_filteredRows; }
    qsizetype filteredCount() const { return m_filteredRows.size(); }
    // The same rows as plug-ins, and the visible selection, made on first use after a change.
    const QList<Plugin>& filteredPlugins() const;
    const QList<Plugin>& selectedPlugins() const;
    // Plug-ins of one type (any type for nullopt) within the library filter.
    int count(std::optional<ZFCPluginType> type) const;
    int countForRoot(PluginRoot root) const;
    int localizedCount() const { return m_localizedCount; }
    const QString& totalSizeText() const { return m_totalSizeText; }

signals:
    void pluginsChanged();
    void scanErrorsChanged();
    void isScanningChanged(bool scanning);
    void lastScanAtChanged();
    void localizedPathsChanged();
    void libraryFilterChanged();
    void categoryFilterChanged();
    void searchTextChanged(const QString& text);
    void selectionChanged();
    void appearanceChanged(AppearanceMode mode);
    // Derived values: the shown list (and its total size), the visible selection, counts.
    void filteredPluginsChanged();
    void selectedPluginsChanged();
    void countsChanged();
    // After a scan result has been published.
    void scanFinished();

private:
    // The plug-ins of one scan and the tables made from them alone: built by the scan's
    // worker, handed over whole, and freed off the GUI thread once replaced.
    struct ScanTables
    {
        QList<Plugin> plugins;
        // The names case-folded for the search, one after another with a NUL after each, and
        // where each starts (index for index with plugins, then the end): a key's search runs
        // through one block of memory rather than 50,000 strings.
        QString foldedNames;
        std::vector<qsizetype> nameStarts{0};
        QHash<QString, qsizetype> indexOfId;
        QHash<QString, qsizetype> indexOfPath;
    };
    // What the shown list depends on besides the scan and the translated marks.
    struct Inputs
    {
        LibraryFilter library = LibraryFilter::allLibraries();
        std::optional<ZFCPluginType> category;
        QString query; // trimmed and case-folded
        bool operator==(const Inputs& other) const
        {
            return library == other.library && category == other.category && query == other.query;
        }
    };
    struct Derived
    {
        QList<qsizetype> rows;
        std::vector<bool> shown; // by index into the plug-ins
        std::array<int, 4> typeCounts{};
        std::array<int, 2> rootCounts{};
        int libraryCount = 0;
        int localizedCount = 0;
        QString totalSizeText;
    };
    struct HandOver;

    void startScan();
    void adopt(HandOver& handOver);
    // A scan that gave no list (no thread to run on, memory running out): the list shown
    // stays, both libraries say why, and the scan is over.
    void scanFailed(quint64 generation, const QString& why);
    QSet<QString> readLocalizedPaths() const;
    Inputs currentInputs() const;
    static ScanTables makeTables(QList<Plugin> plugins);
    // Whether each plug-in is translated, index for index.
    static std::vector<bool> localizedFlags(const ScanTables& tables, const QSet<QString>& paths);
    static std::vector<bool> namesHolding(const ScanTables& tables, const QString& query);
    // The shown rows and the counts: one function for the GUI thread and the scan's worker.
    static Derived derive(const ScanTables& tables, const std::vector<bool>& localized, const Inputs& inputs);
    struct DerivedChanges
    {
        bool filtered = false;
        bool counts = false;
        bool selected = false;
    };
    // Observers are told only after every value, derived ones included, is current.
    // `pluginsReplaced`: the same rows may now stand for other plug-ins.
    DerivedChanges updateDerived(bool pluginsReplaced = false);
    DerivedChanges applyDerived(Derived derived, bool pluginsReplaced);
    bool updateSelected(bool pluginsReplaced = false);
    void emitDerived(const DerivedChanges& changes);
    void recomputeDerived();
    QDateTime lastScanAtValue() const { return m_lastScanAt.value_or(QDateTime()); }

    ScanTables m_tables;
    // Kept with m_localizedPaths, index for index with the plug-ins.
    std::vector<bool> m_localizedFlags;
    QHash<PluginRoot, QString> m_scanErrors;
    bool m_isScanning = false;
    bool m_refreshPending = false;
    // Only the result of the latest scan is taken.
    quint64 m_scanGeneration = 0;
    std::optional<QDateTime> m_lastScanAt;
    QSet<QString> m_localizedPaths;
    LibraryFilter m_libraryFilter = LibraryFilter::allLibraries();
    std::optional<ZFCPluginType> m_categoryFilter;
    QString m_searchText;
    QSet<QString> m_selection;
    AppearanceMode m_appearance;

    QList<qsizetype> m_filteredRows;
    std::vector<bool> m_shown;  // by index into the plug-ins
    QList<qsizetype> m_selectedRows;
    mutable QList<Plugin> m_filtered;
    mutable bool m_filteredMade = false;
    mutable QList<Plugin> m_selected;
    mutable bool m_selectedMade = false;
    std::array<int, 4> m_typeCounts{};
    int m_libraryCount = 0;
    std::array<int, 2> m_rootCounts{};
    int m_localizedCount = 0;
    QString m_totalSizeText;

    QDateTime m_scanStartedAt;
};
