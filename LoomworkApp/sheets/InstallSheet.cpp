#include "sheets/InstallSheet.h"

#include <QEasingCurve>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QVariantAnimation>
#include <QVBoxLayout>

#include "ui/Appearance.h"
#include "ui/BusySpinner.h"
#include "ui/Chip.h"
#include "ui/Hairline.h"
#include "ui/SafeText.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "ui/ZfcpMark.h"
#include "sheets/InstallFileList.h"
#include "sheets/InstallHitList.h"
#include "sheets/SheetPieces.h"

using SheetPieces::label;
using SheetPieces::tone;
using Choice = InstallSheetModel::Choice;

namespace {

constexpr int kReviewSpacing = 16;
constexpr int kConflictSpacing = 14;
constexpr int kParsingHeight = 60;
constexpr int kFilesMinHeight = 120;
constexpr int kHitsMinHeight = 104;
constexpr int kScreenAllowance = 40;
constexpr Choice kChoices[] = {Choice::overwrite, Choice::rename, Choice::moveToUser};

QFont captionMedium()
{
    QFont f = Theme::captionFont();
    f.setWeight(QFont::Medium);
    return f;
}

QPushButton* dialogButton(const QString& text)
{
    auto* button = new QPushButton(text);
    button->setAutoDefault(false);
    return button;
}

QHBoxLayout* row(int spacing)
{
    auto* layout = new QHBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

QVBoxLayout* column(int spacing, QWidget* owner = nullptr)
{
    auto* layout = owner ? new QVBoxLayout(owner) : new QVBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

SheetPieces::RadioCard* targetCard(PluginRoot root, const QString& tagText, std::function<QColor()> tagFill)
{
    auto* card = new SheetPieces::RadioCard(root.title(), SheetPieces::RadioCard::DetailStyle::path);
    card->titleRow()->addWidget(new Chip(tagText, Theme::tinyFont(), [] { return Theme::textPrimary(); },
                                                     std::move(tagFill)),
                                0, Qt::AlignVCenter);
    card->titleRow()->addStretch();
    card->setDetail(root.shortPath());
    card->setToolTip(SafeText::toolTip(QStringLiteral("完整路径：") + root.subtitle()));
    card->setObjectName(root.rawValue() + QStringLiteral("Card"));
    return card;
}

} // namespace

InstallSheet::InstallSheet(const QStringList& files, PluginRoot targetRoot, TargetRootHandler onTargetRootChanged,
                           CancelHandler onCancel, InstallHandler onInstall, QWidget* parent)
    : QDialog(parent),
      m_model(new InstallSheetModel(files, targetRoot, this)),
      m_onTargetRootChanged(std::move(onTargetRootChanged)),
      m_onCancel(std::move(onCancel)),
      m_onInstall(std::move(onInstall))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QStringLiteral("插件安装"));
    setFixedSize(kWidth, kReviewHeight);

    auto* body = column(0, this);
    body->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    m_pages = new QStackedWidget;
    m_pages->addWidget(buildReviewPage());
    m_pages->addWidget(buildConflictPage());
    body->addWidget(m_pages);

    connect(m_model, &InstallSheetModel::changed, this, &InstallSheet::refresh);
    connect(m_model, &InstallSheetModel::phaseChanged, this, &InstallSheet::phaseChanged);
    connect(m_model, &InstallSheetModel::targetRootChanged, this, [this](PluginRoot root) {
        if (m_onTargetRootChanged)
            m_onTargetRootChanged(root);
    });
    connect(m_model, &InstallSheetModel::installRequested, this, [this](const InstallPlan& plan) {
        QPointer<InstallSheet> self(this);
        if (m_onInstall)
            m_onInstall(plan);
        if (self)
            settle(QDialog::Accepted);
    });
    connect(m_model, &InstallSheetModel::cancelRequested, this, [this] {
        QPointer<InstallSheet> self(this);
        if (m_onCancel)
            m_onCancel();
        if (self)
            settle(QDialog::Rejected);
    });
    connect(&Appearance::instance(), &Appearance::changed, this, &InstallSheet::refresh);
    refresh();
}

InstallSheet::~InstallSheet() = default;

void InstallSheet::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    m_model->parse();
}

void InstallSheet::done(int result)
{
    // Escape, the window's close button and reject() all end the sheet as a cancel.
    if (m_closing || m_model->isFinished()) {
        QDialog::done(result);
        return;
    }
    m_model->cancel();
}

void InstallSheet::settle(int result)
{
    m_closing = true;
    QDialog::done(result);
}

// ---- review page

QWidget* InstallSheet::buildReviewPage()
{
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("reviewPage"));
    auto* layout = column(kReviewSpacing, page);

    // Header
    auto* header = row(10);
    header->addWidget(new ZfcpMark(38, false), 0, Qt::AlignVCenter);
    auto* titles = column(2);
    m_reviewTitle = label(QStringLiteral("插件安装"), Theme::headingFont());
    m_reviewSubtitle = label(QString(), Theme::captionFont());
    titles->addWidget(m_reviewTitle);
    titles->addWidget(m_reviewSubtitle);
    header->addLayout(titles);
    header->addStretch();
    layout->addLayout(header);

    // Target library
    auto* target = column(8);
    m_targetHeading = label(QStringLiteral("安装到"), Theme::bodyStrongFont());
    target->addWidget(m_targetHeading);
    m_userCard = targetCard(PluginRoot::user, QStringLiteral("推荐"), [] { return Theme::alpha(Theme::positive(), 0.16); });
    m_systemCard = targetCard(PluginRoot::system, QStringLiteral("需管理员授权"),
                              [] { return Theme::alpha(Theme::warning(), 0.16); });
    connect(m_userCard, &QAbstractButton::clicked, this, [this] { m_model->setTargetRoot(PluginRoot::user); });
    connect(m_systemCard, &QAbstractButton::clicked, this, [this] { m_model->setTargetRoot(PluginRoot::system); });
    target->addWidget(m_userCard);
    target->addWidget(m_systemCard);
    layout->addLayout(target);

    layout->addWidget(new Hairline);

    // Files: the spinner, the error or the list
    m_parsingRow = new QWidget;
    m_parsingRow->setFixedHeight(kParsingHeight);
    auto* parsing = row(8);
    m_parsingRow->setLayout(parsing);
    parsing->addStretch();
    parsing->addWidget(new BusySpinner(BusySpinner::Size::small), 0, Qt::AlignVCenter);
    m_parsingText = label(QStringLiteral("正在解析封包…"), Theme::captionFont());
    parsing->addWidget(m_parsingText, 0, Qt::AlignVCenter);
    parsing->addStretch();
    layout->addWidget(m_parsingRow);

    m_errorRow = new QWidget;
    m_errorRow->setObjectName(QStringLiteral("parseError"));
    auto* error = row(6);
    m_errorRow->setLayout(error);
    m_errorSymbol = SheetPieces::symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), 12.5);
    m_errorText = label(QString(), Theme::captionFont(), true);
    m_errorText->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    error->addWidget(m_errorSymbol, 0, Qt::AlignTop);
    error->addWidget(m_errorText, 1);
    layout->addWidget(m_errorRow);

    m_filesPanel = new SheetPieces::Panel([] { return Theme::cardBg(); });
    m_filesPanel->setMinimumHeight(kFilesMinHeight);
    m_fileList = new InstallFileList;
    column(0, m_filesPanel)->addWidget(m_fileList);
    layout->addWidget(m_filesPanel, 1);

    // Keeps the buttons at the bottom while the list is not shown.
    m_filler = new QWidget;
    m_filler->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    layout->addWidget(m_filler, 1);

    // Conflict hint
    m_hint = new SheetPieces::Panel([] { return Theme::alpha(Theme::warning(), 0.1); });
    m_hint->setObjectName(QStringLiteral("conflictHint"));
    auto* hint = row(8);
    hint->setContentsMargins(10, 10, 10, 10);
    m_hint->setLayout(hint);
    m_hintSymbol = SheetPieces::symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), 11);
    m_hintSymbol->setContentsMargins(0, 1, 0, 0);
    hint->addWidget(m_hintSymbol, 0, Qt::AlignTop);
    auto* hintTexts = column(3);
    m_hintTitle = label(QString(), captionMedium(), true);
    m_hintDetail = label(QString(), Theme::tinyFont(), true);
    hintTexts->addWidget(m_hintTitle);
    hintTexts->addWidget(m_hintDetail);
    hint->addLayout(hintTexts, 1);
    layout->addWidget(m_hint);

    // Buttons
    auto* buttons = row(8);
    buttons->addStretch();
    m_reviewCancel = dialogButton(QStringLiteral("取消"));
    m_installButton = dialogButton(QStringLiteral("安装"));
    m_installButton->setObjectName(QStringLiteral("installButton"));
    m_installButton->setDefault(true);
    connect(m_reviewCancel, &QPushButton::clicked, this, [this] { m_model->cancel(); });
    connect(m_installButton, &QPushButton::clicked, this, [this] { m_model->reviewConfirm(); });
    buttons->addWidget(m_reviewCancel);
    buttons->addWidget(m_installButton);
    layout->addLayout(buttons);
    return page;
}

// ---- conflict page

QWidget* InstallSheet::buildConflictPage()
{
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("conflictPage"));
    auto* layout = column(kConflictSpacing, page);

    // Header
    auto* header = row(10);
    header->addWidget(new SheetPieces::IconBox(QStringLiteral("exclamationmark.triangle.fill"),
                                               [] { return Theme::warning(); }, QSize(38, 38)),
                      0, Qt::AlignVCenter);
    auto* titles = column(2);
    m_conflictTitle = label(QString(), Theme::headingFont());
    m_conflictSubtitle = label(QString(), Theme::captionFont(), true);
    titles->addWidget(m_conflictTitle);
    titles->addWidget(m_conflictSubtitle);
    header->addLayout(titles, 1);
    layout->addLayout(header);

    // Choices
    auto* choices = column(8);
    m_choiceHeading = label(QStringLiteral("处理方式"), Theme::bodyStrongFont());
    choices->addWidget(m_choiceHeading);
    for (int i = 0; i < 3; ++i) {
        const Choice choice = kChoices[i];
        auto* card = new SheetPieces::RadioCard(InstallSheetModel::choiceTitle(choice),
                                                SheetPieces::RadioCard::DetailStyle::wrapping);
        card->setObjectName(InstallSheetModel::rawValue(choice) + QStringLiteral("Choice"));
        connect(card, &QAbstractButton::clicked, this, [this, choice] { m_model->choose(choice); });
        choices->addWidget(card);
        m_choiceCards[i] = card;
    }
    layout->addLayout(choices);

    // Rename preview
    m_preview = new SheetPieces::Panel([] { return Theme::alpha(Theme::accent(), 0.08); });
    m_preview->setObjectName(QStringLiteral("renamePreview"));
    auto* preview = column(5, m_preview);
    preview->setContentsMargins(10, 10, 10, 10);
    auto* previewHeader = row(5);
    QLabel* previewSymbol = SheetPieces::symbolLabel(QStringLiteral("character.textbox"), 10);
    QLabel* previewTitle = label(QStringLiteral("安装时将使用的新名字"), Theme::sectionFont());
    m_previewTones = {previewSymbol, previewTitle};
    previewHeader->addWidget(previewSymbol);
    previewHeader->addWidget(previewTitle);
    previewHeader->addStretch();
    preview->addLayout(previewHeader);
    for (int i = 0; i < kPreviewRows; ++i) {
        auto* line = new QWidget;
        auto* lineLayout = row(6);
        line->setLayout(lineLayout);
        auto* from = new SheetPieces::LineLabel(QString(), Qt::ElideMiddle);
        from->setFont(Theme::captionFont());
        QLabel* arrow = SheetPieces::symbolLabel(QStringLiteral("arrow.right"), 9);
        // Cut in the middle: a long name keeps its end, where a rename adds " 2".
        auto* to = new SheetPieces::LineLabel(QString(), Qt::ElideMiddle);
        to->setFont(captionMedium());
        lineLayout->addWidget(from, 0);
        lineLayout->addWidget(arrow, 0);
        lineLayout->addWidget(to, 0);
        lineLayout->addStretch();
        preview->addWidget(line);
        m_previewRows << line;
        m_previewFrom << from;
        m_previewArrow << arrow;
        m_previewTo << to;
    }
    m_previewMore = label(QString(), Theme::tinyFont());
    preview->addWidget(m_previewMore);
    layout->addWidget(m_preview);

    // Conflict list
    auto* list = column(6);
    auto* listHeader = row(5);
    m_listSymbol = SheetPieces::symbolLabel(QStringLiteral("list.bullet"), 10);
    m_listTitle = label(QString(), Theme::sectionFont());
    listHeader->addWidget(m_listSymbol);
    listHeader->addWidget(m_listTitle);
    listHeader->addStretch();
    list->addLayout(listHeader);
    auto* hitsPanel = new SheetPieces::Panel([] { return Theme::cardBg(); });
    hitsPanel->setMinimumHeight(kHitsMinHeight);
    m_hitList = new InstallHitList;
    column(0, hitsPanel)->addWidget(m_hitList);
    list->addWidget(hitsPanel, 1);
    layout->addLayout(list, 1);

    // Buttons
    auto* buttons = row(10);
    m_backButton = dialogButton(QStringLiteral("返回"));
    m_backButton->setFlat(true);
    m_backButton->setFont(Theme::captionFont());
    noFocusRing(m_backButton);
    m_backButton->setCursor(Qt::PointingHandCursor);
    connect(m_backButton, &QPushButton::clicked, this, [this] { m_model->back(); });
    buttons->addWidget(m_backButton);
    buttons->addStretch();
    m_conflictCancel = dialogButton(QStringLiteral("取消"));
    m_confirmButton = dialogButton(QString());
    m_confirmButton->setObjectName(QStringLiteral("confirmButton"));
    connect(m_conflictCancel, &QPushButton::clicked, this, [this] { m_model->cancel(); });
    connect(m_confirmButton, &QPushButton::clicked, this, [this] { m_model->conflictConfirm(); });
    buttons->addWidget(m_conflictCancel);
    buttons->addWidget(m_confirmButton);
    layout->addLayout(buttons);
    return page;
}

// ---- state

void InstallSheet::refresh()
{
    refreshReview();
    refreshConflict();
    if (!m_heightAnimation)
        setFixedSize(kWidth, pageHeight(m_model->phase()));
}

int InstallSheet::pageHeight(InstallSheetModel::Phase phase) const
{
    // The fixed heights suit the original fonts; taller CJK line heights must not squeeze
    // the cards or cut the hint, so the sheet grows instead.
    const bool conflict = phase == InstallSheetModel::Phase::conflict;
    QWidget* page = m_pages->widget(conflict ? 1 : 0);
    const int width = kWidth - 2 * kMargin;
    int needed = page->layout()->minimumHeightForWidth(width) + 2 * kMargin;
    // Never beyond the screen, whatever a package's names make the texts wrap to.
    if (const QScreen* screen = this->screen())
        needed = std::min(needed, screen->availableGeometry().height() - kScreenAllowance);
    return std::max(conflict ? kConflictHeight : kReviewHeight, needed);
}

void InstallSheet::refreshReview()
{
    const InstallSheetModel& m = *m_model;
    tone(m_reviewTitle, Theme::textPrimary());
    m_reviewSubtitle->setText(m.headerSubtitle());
    tone(m_reviewSubtitle, Theme::textSecondary());
    tone(m_targetHeading, Theme::textPrimary());
    m_userCard->setSelected(m.targetRoot() == PluginRoot::user);
    m_systemCard->setSelected(m.targetRoot() == PluginRoot::system);
    m_userCard->restyle();
    m_systemCard->restyle();

    const bool parsing = m.isParsing();
    const bool failed = !parsing && m.parseError().has_value();
    m_parsingRow->setVisible(parsing);
    tone(m_parsingText, Theme::textSecondary());
    m_errorRow->setVisible(failed);
    m_errorText->setText(m.parseError().value_or(QString()));
    tone(m_errorText, Theme::warning());
    tone(m_errorSymbol, Theme::warning());
    const bool listed = !parsing && !failed;
    if (listed && m_fileList->count() != m.rows().size())
        m_fileList->setRows(m.rows(), m.report().perPackage);
    m_filesPanel->setVisible(listed);
    m_filler->setVisible(!listed);
    m_fileList->viewport()->update();

    m_hint->setVisible(!parsing && m.hasHits());
    m_hintTitle->setText(m.hintTitle());
    m_hintDetail->setText(m.hintDetail());
    tone(m_hintSymbol, Theme::warning());
    tone(m_hintTitle, Theme::textPrimary());
    tone(m_hintDetail, Theme::textSecondary());
    // The box layout squeezes a wrapping panel to its one-line minimum beside a stretching
    // list; claim the wrapped height outright. Labels that were never shown have no height
    // for a width (-1): a hidden hint keeps what it had.
    const int wrapped = m_hint->layout()->minimumHeightForWidth(kWidth - 2 * kMargin);
    if (wrapped >= 0)
        m_hint->setMinimumHeight(wrapped);

    m_installButton->setEnabled(m.canInstall());
}

void InstallSheet::refreshConflict()
{
    const InstallSheetModel& m = *m_model;
    m_conflictTitle->setText(m.conflictTitle());
    tone(m_conflictTitle, Theme::textPrimary());
    m_conflictSubtitle->setText(m.conflictSubtitle());
    tone(m_conflictSubtitle, Theme::textSecondary());
    tone(m_choiceHeading, Theme::textPrimary());
    for (int i = 0; i < 3; ++i) {
        SheetPieces::RadioCard* card = m_choiceCards[i];
        card->setEnabled(!m.isChoiceDisabled(kChoices[i]));
        card->setSelected(m.choice() == kChoices[i]);
        card->setDetail(m.choiceDetail(kChoices[i]));
        card->restyle();
    }

    const QList<InstallSheetModel::RenameItem>& pairs = m.renamePairs();
    m_preview->setVisible(m.choice() == Choice::rename && !pairs.isEmpty());
    for (QLabel* part : std::as_const(m_previewTones))
        tone(part, Theme::textSecondary());
    for (int i = 0; i < kPreviewRows; ++i) {
        const bool shown = i < pairs.size();
        m_previewRows[i]->setVisible(shown);
        m_previewFrom[i]->setText(shown ? pairs[i].from : QString());
        m_previewTo[i]->setText(shown ? pairs[i].to : QString());
        tone(m_previewFrom[i], Theme::textSecondary());
        tone(m_previewArrow[i], Theme::textTertiary());
        tone(m_previewTo[i], Theme::accent());
    }
    m_previewMore->setVisible(pairs.size() > kPreviewRows);
    m_previewMore->setText(QStringLiteral("…另有 ") + QString::number(pairs.size() - kPreviewRows) + QStringLiteral(" 个"));
    tone(m_previewMore, Theme::textPrimary());

    tone(m_listSymbol, Theme::textSecondary());
    m_listTitle->setText(m.conflictListTitle());
    tone(m_listTitle, Theme::textSecondary());
    if (m_hitList->count() != m.report().hits.size())
        m_hitList->setHits(m.report().hits);
    m_hitList->viewport()->update();

    m_backButton->setIcon(SymbolIcon::icon(QStringLiteral("chevron.left"), Theme::textSecondary()));
    QPalette backPalette = m_backButton->palette();
    backPalette.setColor(QPalette::ButtonText, Theme::textSecondary());
    m_backButton->setPalette(backPalette);
    m_confirmButton->setText(m.confirmTitle());
    m_confirmButton->setEnabled(m.canConfirmConflict());
}

void InstallSheet::phaseChanged(InstallSheetModel::Phase phase)
{
    const bool forward = phase == InstallSheetModel::Phase::conflict;
    m_pages->setCurrentIndex(forward ? 1 : 0);
    m_installButton->setDefault(!forward);
    m_confirmButton->setDefault(forward);

    if (m_heightAnimation)
        m_heightAnimation->stop();
    auto* animation = new QVariantAnimation(this);
    animation->setStartValue(height());
    animation->setEndValue(pageHeight(phase));
    animation->setDuration(forward ? kForwardMs : kBackMs);
    animation->setEasingCurve(QEasingCurve::OutCubic);
    connect(animation, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { setFixedSize(kWidth, value.toInt()); });
    connect(animation, &QVariantAnimation::finished, this, [this] { setFixedSize(kWidth, pageHeight(m_model->phase())); });
    m_heightAnimation = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}
