#pragma once

#include <QDialog>

#include "online/UpdateAlert.h"

class QLabel;
class QPushButton;
class QScrollArea;
class RemoteConfigService;

// The sheet that offers a newer version, optionally or as a must. "以后再说" (optional
// alerts only) reports laterClicked() and closes; the update button opens the download
// link and leaves the sheet open; a forced sheet ignores Esc and stays until its owner
// replaces or removes the alert. Quitting works under it: the quit key quits Loomwork, and
// so does any other request to close a forced sheet (its close button).
class UpdateSheet : public QDialog
{
    Q_OBJECT
public:
    static constexpr int kWidth = 440;

    UpdateSheet(const UpdateAlert& alert, QWidget* parent = nullptr);

    // Opens the sheet window-modal over `host` for `service`'s alert: "以后再说" postpones the
    // version, Esc on an optional sheet clears the prompt without postponing it, and the
    // sheet follows the service's later evaluations (replaced, or closed when none is left).
    static UpdateSheet* present(const UpdateAlert& alert, RemoteConfigService& service, QWidget* host);

    void setAlert(const UpdateAlert& alert);
    const UpdateAlert& alert() const { return m_alert; }
    // Closes the sheet whatever the alert says (its owner no longer has one).
    void closeByOwner();

    // 264 without notes; 404 up to five lines, 46 more for each further line, at most 560.
    static int heightFor(const UpdateAlert& alert);
    // Closes every window but the update sheets, the windows they sit on last, then quits;
    // a window that refuses to close (a sheet at work) keeps Loomwork running.
    static void quitApplication();

    QLabel* titleLabel() const { return m_title; }
    QPushButton* laterButton() const { return m_later; }
    QPushButton* updateButton() const { return m_update; }
    QScrollArea* notesArea() const { return m_notes; }

signals:
    void laterClicked();

public slots:
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void build();
    void openDownload();

    UpdateAlert m_alert;
    QLabel* m_title = nullptr;
    QPushButton* m_later = nullptr;
    QPushButton* m_update = nullptr;
    QScrollArea* m_notes = nullptr;
    bool m_closingByOwner = false;
};
