#pragma once

#include <functional>

#include <QDialog>
#include <QMessageBox>
#include <QPointer>

#include "sheets/LocalizeSheetModel.h"

class BusySpinner;
class QLabel;
class QLayout;
class QLineEdit;
class QListView;
class QPushButton;
class QStackedWidget;

namespace TemplateSheetPieces {
class InfoChip;
class Message;
class Segments;
}

// The sheet that translates one plug-in's published parameter names: counts, the two tabs
// and the search, one editable rendering per name (a list view over a model, so thousands
// of names stay smooth and a row updates in place while its field has focus), and the
// footer with the restore and confirm buttons. Window-modal, opened with open(); while it
// works it ignores Esc, Return and the close button. Closes itself after calling back.
class LocalizeSheet : public QDialog
{
    Q_OBJECT
public:
    static constexpr int kWidth = 660;
    static constexpr int kHeight = 600;

    using Applied = std::function<void(const LocalizeOutcome& outcome)>;

    LocalizeSheet(const Plugin& plugin, Applied onApplied, std::function<void(const QStringList& notes)> onRestored,
                  QWidget* parent = nullptr);

    LocalizeSheetModel& model() { return m_model; }
    QListView* listView() const { return m_list; }
    QLineEdit* searchField() const { return m_search; }
    TemplateSheetPieces::Segments* tabs() const { return m_tabs; }
    QPushButton* cancelButton() const { return m_cancel; }
    QPushButton* confirmButton() const { return m_confirm; }
    QPushButton* restoreButton() const { return m_restore; }
    QWidget* currentContent() const;
    QWidget* contentPage(LocalizeSheetModel::Content content) const;
    QString messageText() const;
    QStringList chipTexts() const;
    // The restore question, while it is shown.
    QMessageBox* restoreAlert() const { return m_restoreAlert; }
    // The trailing button's rectangle in a row of the list.
    static QRect trailingRect(const QRect& row);
    static QRect fieldRect(const QRect& row);

    void askRestore();
    void dismiss();

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    class ListModel;
    class RowDelegate;
    QLayout* buildHeader(const QString& pluginName);
    QLayout* buildToolbar();
    QWidget* buildContent();
    QWidget* buildListPage();
    QWidget* buildFooter();
    void connectParts();
    void sync();
    void syncContent();
    void restyle();

    LocalizeSheetModel m_model;
    Applied m_onApplied;
    std::function<void(const QStringList&)> m_onRestored;
    ListModel* m_listModel;
    QLabel* m_symbol;
    QLabel* m_title;
    QLabel* m_name;
    QList<TemplateSheetPieces::InfoChip*> m_chips;
    TemplateSheetPieces::Segments* m_tabs;
    QLineEdit* m_search;
    QLabel* m_editHint;
    QStackedWidget* m_content;
    QWidget* m_loadingPage;
    QWidget* m_emptyPage;
    QWidget* m_noMatchesPage;
    QWidget* m_listPage;
    QLabel* m_loadingText;
    QLabel* m_emptySymbol;
    QLabel* m_emptyTitle;
    QLabel* m_emptyDetail;
    QLabel* m_noMatchesText;
    QLabel* m_tryAnother;
    QLabel* m_originalHeader;
    QLabel* m_targetHeader;
    QListView* m_list;
    QLabel* m_driveSymbol;
    QLabel* m_driveNote;
    TemplateSheetPieces::Message* m_message;
    BusySpinner* m_spinner;
    QLabel* m_working;
    QPushButton* m_restore;
    QPushButton* m_cancel;
    QPushButton* m_confirm;
    QPointer<QMessageBox> m_restoreAlert;
};
