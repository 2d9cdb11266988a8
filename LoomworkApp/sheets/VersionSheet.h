#pragma once

#include <functional>
#include <optional>

#include <QDialog>

#include "sheets/VersionSheetModel.h"

class BusySpinner;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QScrollArea;

namespace TemplateSheetPieces {
class Message;
}

// The sheet that rewrites one plug-in's templates to another Final Cut Pro release:
// the compatibility rows newest first with what each means here, the legend or the
// outcome, "取消" and "应用"/"完成". Window-modal, opened with open(); while a rewrite
// runs it ignores Esc, Return and the close button.
class VersionSheet : public QDialog
{
    Q_OBJECT
public:
    static constexpr int kWidth = 560;
    static constexpr int kHeight = 560;
    // The list is centred on the plug-in's own release this long after it is first shown.
    static constexpr int kScrollDelayMs = 220;

    VersionSheet(const Plugin& plugin, const CompatTable& table, const std::optional<QString>& installedFCP,
                 std::function<void()> onApplied, QWidget* parent = nullptr);

    VersionSheetModel& model() { return m_model; }
    QPushButton* cancelButton() const { return m_cancel; }
    QPushButton* confirmButton() const { return m_confirm; }
    QScrollArea* list() const { return m_scroll; }
    QString messageText() const;
    // The rectangle of row `index` in the list's content.
    QRect rowRect(int index) const;
    // Closes the sheet.
    void dismiss();

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    class RowList;
    void sync();
    void restyle();
    void centreRequirement();

    VersionSheetModel m_model;
    std::function<void()> m_onApplied;
    bool m_shownOnce = false;
    QLabel* m_symbol;
    QLabel* m_title;
    QLabel* m_name;
    QHBoxLayout* m_chips;
    QScrollArea* m_scroll;
    RowList* m_rows;
    QWidget* m_footer;
    TemplateSheetPieces::Message* m_message;
    BusySpinner* m_spinner;
    QLabel* m_working;
    QPushButton* m_cancel;
    QPushButton* m_confirm;
};
