#pragma once

#include <functional>

#include <QDialog>

#include "engine/operations/OperationsCenter.h"

class QLabel;
class QPushButton;

// The sheet before a backup: how many plug-ins and bytes, and the two packing modes as
// cards. It keeps no state: the mode belongs to the presenter (modeChanged tells it),
// and its buttons only call back; the presenter closes it (dismiss()) and starts the
// backup. Window-modal, opened with open().
class BackupSheet : public QDialog
{
    Q_OBJECT
public:
    using Action = std::function<void()>;

    BackupSheet(int count, qint64 totalBytes, BackupMode mode, Action onCancel, Action onConfirm,
                QWidget* parent = nullptr);

    BackupMode mode() const { return m_mode; }
    // Selects a card (as a click on it does) and tells the presenter.
    void setMode(BackupMode mode);
    // Closes the sheet for the presenter.
    void dismiss();

    QString summaryText() const;
    QString hintText() const;
    static QString hintText(BackupMode mode);
    QPushButton* cancelButton() const { return m_cancel; }
    QPushButton* confirmButton() const { return m_confirm; }
    QWidget* card(BackupMode mode) const;

    static constexpr int kWidth = 520;

signals:
    void modeChanged(BackupMode mode);

public slots:
    // Esc and the window's close button run onCancel; the sheet stays until dismissed.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    class OptionCard;
    class TipBox;
    void sync();
    void restyle();

    int m_count;
    qint64 m_totalBytes;
    BackupMode m_mode;
    Action m_onCancel;
    Action m_onConfirm;
    bool m_dismissing = false;
    QLabel* m_title;
    QLabel* m_summary;
    OptionCard* m_multiCard;
    OptionCard* m_singleCard;
    TipBox* m_tip;
    QLabel* m_footnote;
    QPushButton* m_cancel;
    QPushButton* m_confirm;
};
