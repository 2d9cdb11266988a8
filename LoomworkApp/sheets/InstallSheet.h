#pragma once

#include <functional>

#include <QDialog>
#include <QPointer>
#include <QStringList>

#include "engine/model/InstallPlan.h"
#include "engine/model/Plugin.h"
#include "sheets/InstallSheetModel.h"

class InstallFileList;
class InstallHitList;
class QLabel;
class QPushButton;
class QStackedWidget;
class QVariantAnimation;
class QWidget;
namespace SheetPieces {
class RadioCard;
class Panel;
class Tag;
}

// The sheet every install of .zfcp packages passes through: the review page lists the
// packages, picks the target library and warns about name clashes; the conflict page offers
// overwrite, rename or the user library. Window-modal, opened with open(); it starts reading
// the packages when first shown.
//
// It calls exactly one of onCancel and onInstall (Escape and closing the window count as
// cancel), then closes and deletes itself; the callbacks may delete it sooner. Picking the
// other library calls onTargetRootChanged at once, so that the presenter can remember it.
class InstallSheet : public QDialog
{
    Q_OBJECT
public:
    using CancelHandler = std::function<void()>;
    using InstallHandler = std::function<void(const InstallPlan& plan)>;
    using TargetRootHandler = std::function<void(PluginRoot root)>;

    static constexpr int kWidth = 560;
    static constexpr int kReviewHeight = 520;
    static constexpr int kConflictHeight = 584;
    static constexpr int kMargin = 22;
    static constexpr int kForwardMs = 160;
    static constexpr int kBackMs = 150;
    static constexpr int kPreviewRows = 4;

    InstallSheet(const QStringList& files, PluginRoot targetRoot, TargetRootHandler onTargetRootChanged,
                 CancelHandler onCancel, InstallHandler onInstall, QWidget* parent = nullptr);
    ~InstallSheet() override;

    InstallSheetModel& model() { return *m_model; }

    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildReviewPage();
    QWidget* buildConflictPage();
    void refresh();
    void refreshReview();
    void refreshConflict();
    void phaseChanged(InstallSheetModel::Phase phase);
    void settle(int result);
    // The page's fixed height, or more when its content needs more at the sheet's width.
    int pageHeight(InstallSheetModel::Phase phase) const;

    InstallSheetModel* m_model;
    TargetRootHandler m_onTargetRootChanged;
    CancelHandler m_onCancel;
    InstallHandler m_onInstall;
    bool m_closing = false;

    QStackedWidget* m_pages = nullptr;
    QPointer<QVariantAnimation> m_heightAnimation;

    // Review page
    QLabel* m_reviewTitle = nullptr;
    QLabel* m_reviewSubtitle = nullptr;
    QLabel* m_targetHeading = nullptr;
    SheetPieces::RadioCard* m_userCard = nullptr;
    SheetPieces::RadioCard* m_systemCard = nullptr;
    QWidget* m_parsingRow = nullptr;
    QLabel* m_parsingText = nullptr;
    QWidget* m_errorRow = nullptr;
    QLabel* m_errorSymbol = nullptr;
    QLabel* m_errorText = nullptr;
    SheetPieces::Panel* m_filesPanel = nullptr;
    InstallFileList* m_fileList = nullptr;
    QWidget* m_filler = nullptr;
    SheetPieces::Panel* m_hint = nullptr;
    QLabel* m_hintSymbol = nullptr;
    QLabel* m_hintTitle = nullptr;
    QLabel* m_hintDetail = nullptr;
    QPushButton* m_reviewCancel = nullptr;
    QPushButton* m_installButton = nullptr;

    // Conflict page
    QLabel* m_conflictTitle = nullptr;
    QLabel* m_conflictSubtitle = nullptr;
    QLabel* m_choiceHeading = nullptr;
    SheetPieces::RadioCard* m_choiceCards[3] = {};
    SheetPieces::Panel* m_preview = nullptr;
    QList<QLabel*> m_previewTones; // secondary header parts
    QList<QWidget*> m_previewRows;
    QList<QLabel*> m_previewFrom;
    QList<QLabel*> m_previewArrow;
    QList<QLabel*> m_previewTo;
    QLabel* m_previewMore = nullptr;
    QLabel* m_listSymbol = nullptr;
    QLabel* m_listTitle = nullptr;
    InstallHitList* m_hitList = nullptr;
    QPushButton* m_backButton = nullptr;
    QPushButton* m_conflictCancel = nullptr;
    QPushButton* m_confirmButton = nullptr;
};
