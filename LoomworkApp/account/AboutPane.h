#pragma once

#include <QWidget>

#include "online/UpdateAlert.h"

class QLabel;
class QPushButton;
class UpdateCheckModel;

// The settings pane about the application: logo, name, version, what it does, a link to
// the maker's tools page and "检查更新" with its result line; a newer version is reported
// by updateOffered() for the update sheet, which the application presents.
class AboutPane : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kLogo = 68;

    explicit AboutPane(QWidget* parent = nullptr);

    UpdateCheckModel* updateCheck() const { return m_check; }
    QPushButton* checkButton() const { return m_checkButton; }
    QLabel* hintLabel() const { return m_hint; }

    // The tools page's address without the scheme.
    static QString toolsPageLabel();

signals:
    // A check found a newer version, offered by updateCheck()->remote().
    void updateOffered(const UpdateAlert& alert);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void syncHint();

    UpdateCheckModel* m_check;
    QWidget* m_logo = nullptr;
    QPushButton* m_checkButton = nullptr;
    QLabel* m_hint = nullptr;
    QPushButton* m_link = nullptr;
};
