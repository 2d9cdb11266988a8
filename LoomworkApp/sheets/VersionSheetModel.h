#pragma once

#include <optional>

#include <QList>
#include <QObject>
#include <QString>

#include "engine/templates/CompatTable.h"
#include "engine/model/Plugin.h"

// The state and rules of the version sheet: the compatibility rows newest first, what each
// means for the installed Final Cut Pro and against the plug-in's current templates, the
// selection, and the rewrite itself, run on a worker. GUI thread only.
class VersionSheetModel : public QObject
{
    Q_OBJECT
public:
    enum class Availability {
        available,
        downgrade,
        beyondInstalled,
        undetermined
    };

    // How a row's comparison tag is coloured: the plug-in's own release, a newer one, else.
    enum class TagTone {
        current,
        upgrade,
        other
    };

    enum class ChipTone {
        secondary,
        green,
        orange
    };
    struct Chip
    {
        QString text;
        ChipTone tone = ChipTone::secondary;
        bool operator==(const Chip&) const = default;
    };

    VersionSheetModel(const Plugin& plugin, const CompatTable& table, const std::optional<QString>& installedFCP,
                      QObject* parent = nullptr);

    const Plugin& plugin() const { return m_plugin; }
    const std::optional<QString>& installedFCP() const { return m_installedFCP; }
    // The table's rows, newest Final Cut Pro first (equal versions in reverse stored order).
    const QList<CompatRow>& rows() const { return m_rows; }
    // The lowest release that reads the templates as they are now.
    const std::optional<CompatRow>& requirement() const { return m_requirement; }
    // Its position in rows(); the list is centred on it when first shown.
    std::optional<int> requirementIndex() const { return m_requirementIndex; }

    // The chosen row: by position, so that two rows with one version text stay apart.
    std::optional<int> selectedIndex() const { return m_selected; }
    QString selectedFCP() const;
    bool isSelected(int index) const { return m_selected == index; }
    // A click on a row (also while a rewrite runs).
    void select(int index);

    Availability availability(const CompatRow& row) const;
    static QString availabilityText(Availability availability);
    static QString availabilityTooltip(Availability availability);
    std::optional<QString> comparisonTag(const CompatRow& row) const;
    TagTone tagTone(const CompatRow& row) const;
    QList<Chip> infoChips() const;

    bool changed() const;
    bool isWorking() const { return m_isWorking; }
    // While working: what the work waits for (a plug-in busy with an earlier change), else empty.
    const QString& waitingText() const { return m_waitingText; }
    void showWaiting(const QString& text);
    const std::optional<QString>& errorText() const { return m_errorText; }
    const std::optional<QString>& resultText() const { return m_resultText; }
    bool canCancel() const { return !m_isWorking; }
    bool canConfirm() const;
    // "完成" once a rewrite wrote files, else "应用".
    QString confirmTitle() const;
    static QString footerNote();
    static QString workingText();
    static QString zeroFilesText();

    // Rewrites every template to the selected row's versions on a worker. Does nothing
    // without a selection or while a rewrite runs.
    void apply();

signals:
    void stateChanged();
    // A rewrite returned without an error (also when it wrote nothing).
    void applied();

private:
    void finish(int filesChanged, const std::optional<QString>& error, int writeError);

    Plugin m_plugin;
    std::optional<QString> m_installedFCP;
    QList<CompatRow> m_rows;
    std::optional<CompatRow> m_requirement;
    std::optional<int> m_requirementIndex;
    std::optional<QString> m_installedOzml;
    std::optional<int> m_selected;
    bool m_isWorking = false;
    QString m_waitingText;
    std::optional<QString> m_errorText;
    std::optional<QString> m_resultText;
};
