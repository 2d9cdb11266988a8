#pragma once

#include <optional>

#include <sys/types.h>

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include "engine/model/Plugin.h"
#include "engine/templates/TemplateInspector.h"

// What a finished translation tells its presenter.
struct LocalizeOutcome
{
    int changed = 0;          // names the engine rewrote
    int remainingChinese = 0; // entries whose rendering held Chinese when the user confirmed
    int writeError = 0;       // the errno of a write error the disk reported; the change stands
};

// The state and rules of the localize sheet: the published names of one plug-in paired
// with its untranslated copy, the user's rendering of each, the tabs and the search, the
// rename map they make, and the apply and restore runs on a worker. GUI thread only.
class LocalizeSheetModel : public QObject
{
    Q_OBJECT
public:
    struct Entry
    {
        QString original;
        QString current;
        int count = 0;
        bool wasChinese = false;
        // The glossary's rendering of `original`, read once when loading.
        std::optional<QString> suggestion;

        QString key() const { return original + QChar(0x1F) + current; }
    };

    enum class Filter {
        pending,
        done
    };

    enum class Content {
        loading,
        empty,     // no published names at all
        noMatches, // nothing in this tab for this search
        list
    };

    enum class Trailing {
        none,
        revert,
        suggestion
    };

    enum class ChipTone {
        secondary,
        orange,
        green,
        teal
    };
    struct Chip
    {
        QString text;
        ChipTone tone = ChipTone::secondary;
        bool operator==(const Chip&) const = default;
    };

    explicit LocalizeSheetModel(const Plugin& plugin, QObject* parent = nullptr);

    const Plugin& plugin() const { return m_plugin; }
    // Reads the names (and the untranslated copy, when its folder is still there) on a
    // worker; once.
    void load();
    // The same synchronously, for tests and the worker: the entries of the plug-in.
    static QList<Entry> readEntries(const Plugin& plugin, bool* hasBackup);
    // What load() does with what it read: the renderings start from the current Chinese
    // names and the suggestions, and the tab from whether anything is left to translate.
    void setLoaded(QList<Entry> entries, bool hasBackup);

    bool isLoading() const { return m_isLoading; }
    bool isWorking() const { return m_isWorking; }
    // While working: what the work waits for (a plug-in busy with an earlier change), else empty.
    const QString& waitingText() const { return m_waitingText; }
    static QString workingText() { return QStringLiteral("正在处理…"); }
    void showWaiting(const QString& text);
    bool hasBackup() const { return m_hasBackup; }
    const std::optional<QString>& errorText() const { return m_errorText; }
    const QList<Entry>& entries() const { return m_entries; }

    Filter filter() const { return m_filter; }
    void setFilter(Filter filter);
    const QString& keyword() const { return m_keyword; }
    void setKeyword(const QString& keyword);
    // Positions in entries() of the rows shown, in entry order. Follows the tab and the
    // search; an edit does not take a row away under the user's hands (see setTarget).
    const QList<int>& filtered() const { return m_filtered; }

    // Edits of one entry (by its position in entries()).
    QString target(int entry) const;
    void setTarget(int entry, const QString& text);
    void revert(int entry);
    void fillSuggestion(int entry);

    bool isOriginal(int entry) const;
    bool hasEdits(int entry) const;
    // "未收录": not Chinese and no glossary rendering.
    bool isUnlisted(int entry) const;
    // "将还原": a translated name going back to its original.
    bool willRevert(int entry) const;
    Trailing trailing(int entry) const;

    int pendingCount() const;
    int doneCount() const;
    QHash<QString, QString> changes() const;
    int revertCount() const;
    int remainingChinese() const;
    QString footerNote() const;
    QList<Chip> chips() const;
    Content content() const;
    QString noMatchesText() const;
    bool showsTryAnotherKeyword() const;
    QString originalColumnTitle() const;

    bool canCancel() const { return !m_isWorking; }
    bool canConfirm() const { return !m_isWorking && !m_isLoading && !changes().isEmpty(); }
    QString confirmTitle() const;
    // The restore button shows with a backup and is enabled when some name differs from
    // its original.
    bool canRestore() const;
    QString restoreTooltip() const;

    // Writes changes() on a worker; nothing when there are none.
    void apply();
    // The restore question's text: another user's plug-in, which the administrator replaces,
    // is named with its owner, read now and kept as the owner the user was told.
    QString restoreQuestion();
    // Puts the untranslated backup back on a worker.
    void restore();

    static QString tooltipRevert() { return QStringLiteral("还原原文（撤掉这一条的译文）"); }
    static QString tooltipSuggestion() { return QStringLiteral("填入建议译文"); }

signals:
    // The rows shown changed (load, tab, search): the list is rebuilt.
    void listChanged();
    // One entry's rendering changed: its row is redrawn in place.
    void entryChanged(int entry);
    // Counts, notes, buttons or the working state changed.
    void stateChanged();
    void applied(const LocalizeOutcome& outcome);
    // `notes`: what the user must hear besides (items of others left, an old copy kept).
    void restored(const QStringList& notes);

private:
    void refilter();
    // A write or restore that gave no result: not working any more, `heading` + why shown.
    void failWork(const QString& heading, const QString& error);
    bool matches(int entry, const QString& query) const;

    Plugin m_plugin;
    std::optional<uid_t> m_toldOwner; // what restoreQuestion() told
    QList<Entry> m_entries;
    QList<QString> m_targets; // parallel to m_entries
    QList<int> m_filtered;
    Filter m_filter = Filter::pending;
    QString m_keyword;
    bool m_isLoading = true;
    bool m_loadStarted = false;
    bool m_isWorking = false;
    QString m_waitingText;
    bool m_hasBackup = false;
    std::optional<QString> m_errorText;
};
