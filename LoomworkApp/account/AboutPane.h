#pragma once

#include <functional>

#include <QUrl>
#include <QWidget>

#include "online/UpdateAlert.h"

class QLabel;
class QPushButton;
class UpdateCheckModel;

// The settings pane about the application: logo, name, version, what it does, a link to
// the maker's tools page and "检查更新" with its result line. A newer version is handed to
// the update presenter, which the application installs (the update sheet lives in another
// feature).
class AboutPane : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kLogo = 68;

    // Shows the update prompt for `alert` over `parent`; `onLater` postpones the version,
    // `onClosed` runs whenever the prompt goes away.
    using UpdatePresenter = std::function<void(QWidget* parent, const UpdateAlert& alert,
                                               std::function<void()> onLater, std::function<void()> onClosed)>;
    static void setUpdatePresenter(UpdatePresenter presenter);

    explicit AboutPane(QWidget* parent = nullptr);

    UpdateCheckModel* updateCheck() const { return m_check; }
    QPushButton* checkButton() const { return m_checkButton; }
    QLabel* hintLabel() const { return m_hint; }
    QPushButton* linkButton() const { return m_link; }

    // The tools page: https://<web host>/ruded, labelled without the scheme.
    static QUrl toolsPageUrl();
    static QString toolsPageLabel();

private:
    void syncHint();
    void presentUpdate(const UpdateAlert& alert);

    UpdateCheckModel* m_check;
    QPushButton* m_checkButton = nullptr;
    QLabel* m_hint = nullptr;
    QPushButton* m_link = nullptr;
};
