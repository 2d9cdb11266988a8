#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <optional>

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include "engine/library/InstallConflictScanner.h"
#include "engine/model/InstallPlan.h"
#include "engine/model/Plugin.h"

// The state and rules of the install sheet: reads the packages' plug-in lists on a worker,
// finds the name clashes with both libraries and within the batch, derives the texts of the
// review and conflict pages and turns the user's choices into one InstallPlan. It changes
// no files. GUI thread only; the scan shares nothing with it but a copy of the file list.
//
// It ends exactly once: either installRequested or cancelRequested is emitted, and every
// action after that does nothing.
class InstallSheetModel : public QObject
{
    Q_OBJECT
public:
    enum class Phase {
        review,
        conflict
    };

    enum class Choice {
        overwrite,
        rename,
        moveToUser
    };
    static std::optional<Choice> choiceFromRaw(const QString& raw);
    static QString rawValue(Choice choice);

    // One package read successfully.
    struct FileRow
    {
        int id = 0;        // position of the file in the list
        QString name;      // last path component, extension included
        QStringList types; // distinct category display names, ascending
        int plugins = 0;   // every listed plug-in, unrecognised types included

        bool operator==(const FileRow&) const = default;
    };

    using RenameItem = InstallConflictScanner::RenameItem;

    struct ScanResult
    {
        QList<FileRow> rows;
        QList<InstallConflictScanner::Entry> entries;
        InstallConflictScanner::Report report;
        QList<RenameItem> renamePairs;
        std::optional<QString> error;
    };

    InstallSheetModel(const QStringList& files, PluginRoot targetRoot, QObject* parent = nullptr);
    ~InstallSheetModel() override;

    const QStringList& files() const { return m_files; }
    PluginRoot targetRoot() const { return m_targetRoot; }
    const QList<FileRow>& rows() const { return m_rows; }
    const InstallConflictScanner::Report& report() const { return m_report; }
    const QList<RenameItem>& renamePairs() const { return m_renamePairs; }
    const std::optional<QString>& parseError() const { return m_parseError; }
    bool isParsing() const { return m_isParsing; }
    Phase phase() const { return m_phase; }
    Choice choice() const { return m_choice; }
    bool isFinished() const { return m_finished; }

    // Starts the background scan; once per sheet (the file list never changes), again only
    // after the system refused its thread (parseError() says so).
    void parse();

    void setTargetRoot(PluginRoot root);
    // Takes the way only when its row is not disabled.
    void choose(Choice choice);
    // The review page's "安装": installs at once without hits, else opens the conflict page.
    void reviewConfirm();
    // The conflict page's confirm button.
    void conflictConfirm();
    // The conflict page's "返回".
    void back();
    // "取消", Escape or closing the window.
    void cancel();

    // Derived values the pages show.
    int totalPlugins() const;
    bool canInstall() const { return !m_isParsing && !m_parseError && !m_finished; }
    bool hasHits() const { return !m_report.hits.isEmpty(); }
    // Hits that exist in the user or the system library.
    int localHitCount() const;
    std::optional<QString> moveBlockerText() const;
    bool isChoiceDisabled(Choice choice) const;
    QString headerSubtitle() const;
    QString hintTitle() const;
    QString hintDetail() const;
    QString conflictTitle() const;
    QString conflictSubtitle() const;
    QString conflictListTitle() const;
    QString renameExample() const;
    static QString choiceTitle(Choice choice);
    QString choiceDetail(Choice choice) const;
    QString confirmTitle() const;
    bool canConfirmConflict() const;
    // The rename plan as the install operation reads it.
    QHash<QString, QString> renameMap() const;

    // The scan itself: reads the files in order and stops at the first one that cannot be
    // read. Safe on any thread; stops early (with a result nobody uses) once `cancelled`.
    static ScanResult scanPackages(const QStringList& files, const std::atomic<bool>* cancelled = nullptr);
    // "无法解析 <file name>：<description>".
    static QString failureText(const QString& fileName, const std::exception_ptr& error);
    static QString displayName(ZFCPluginType type);

signals:
    // Any of the state above changed.
    void changed();
    void phaseChanged(InstallSheetModel::Phase phase);
    void targetRootChanged(PluginRoot root);
    void installRequested(const InstallPlan& plan);
    void cancelRequested();

private:
    void apply(const ScanResult& result);
    void setPhase(Phase phase);
    void finishInstall(InstallPlan plan);

    QStringList m_files;
    PluginRoot m_targetRoot;
    QList<FileRow> m_rows;
    InstallConflictScanner::Report m_report;
    QList<RenameItem> m_renamePairs;
    std::optional<QString> m_parseError;
    bool m_isParsing = true;
    Phase m_phase = Phase::review;
    Choice m_choice = Choice::rename;
    bool m_parseStarted = false;
    bool m_finished = false;
    std::shared_ptr<std::atomic<bool>> m_cancelled = std::make_shared<std::atomic<bool>>(false);
};
