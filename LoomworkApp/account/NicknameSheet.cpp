#include "account/NicknameSheet.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/Hairline.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "ui/UserAvatar.h"
#include "account/NicknameModel.h"
#include "account/SettingsPieces.h"

using SettingsPieces::SymbolView;
using SettingsPieces::ToneLabel;

namespace {

constexpr qreal kErrorSymbolPoints = 11;

// Digits of equal width, so the counter does not jitter while typing.
QFont digitsFont()
{
    QFont font = Theme::tinyFont();
    font.setStyleHint(QFont::Monospace);
    font.setFamilies({QStringLiteral("DejaVu Sans Mono"), Theme::cjkFamily});
    return font;
}

} // namespace

NicknameSheet::NicknameSheet(LoginService* login, QWidget* parent)
    : QDialog(parent)
    , m_model(new NicknameModel(login, this))
{
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("修改昵称"));
    setFixedWidth(kWidth);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* title = new QVBoxLayout;
    title->setContentsMargins(0, 18, 0, 14);
    title->setSpacing(4);
    title->addWidget(new ToneLabel(QStringLiteral("修改昵称"), &Theme::headingFont, &Theme::textPrimary), 0, Qt::AlignHCenter);
    title->addWidget(new ToneLabel(QStringLiteral("昵称的第一个字会作为你的头像"), &Theme::captionFont, &Theme::textSecondary), 0,
                     Qt::AlignHCenter);
    column->addLayout(title);
    column->addWidget(new Hairline);

    auto* body = new QVBoxLayout;
    body->setContentsMargins(20, 16, 20, 16);
    body->setSpacing(12);

    auto* preview = new QHBoxLayout;
    preview->setSpacing(12);
    m_avatar = new UserAvatar(std::nullopt, std::nullopt, kPreviewAvatar);
    preview->addWidget(m_avatar, 0, Qt::AlignVCenter);
    auto* names = new QVBoxLayout;
    names->setSpacing(3);
    m_previewName = new ToneLabel(QString(), &Theme::bodyStrongFont, &Theme::textPrimary);
    m_initialLine = new ToneLabel(QString(), &Theme::tinyFont, &Theme::textSecondary);
    names->addWidget(m_previewName);
    names->addWidget(m_initialLine);
    preview->addLayout(names, 1);
    body->addLayout(preview);

    auto* fieldBlock = new QVBoxLayout;
    fieldBlock->setSpacing(5);
    auto* fieldTitle = new QHBoxLayout;
    fieldTitle->addWidget(new ToneLabel(QStringLiteral("昵称"), &Theme::captionFont, &Theme::textSecondary));
    fieldTitle->addStretch(1);
    m_counter = new ToneLabel(QString(), &digitsFont, &Theme::textTertiary);
    fieldTitle->addWidget(m_counter);
    fieldBlock->addLayout(fieldTitle);
    m_field = new QLineEdit(m_model->text());
    m_field->setPlaceholderText(QStringLiteral("例如：阿林"));
    m_field->setFont(Theme::bodyFont());
    fieldBlock->addWidget(m_field);
    body->addLayout(fieldBlock);

    m_errorRow = new QWidget;
    auto* errorLine = new QHBoxLayout(m_errorRow);
    errorLine->setContentsMargins(0, 0, 0, 0);
    errorLine->setSpacing(5);
    errorLine->addWidget(new SymbolView(QStringLiteral("exclamationmark.circle.fill"), kErrorSymbolPoints,
                                        &Theme::danger, QSize(13, 13)));
    m_error = new ToneLabel(QString(), &Theme::tinyFont, &Theme::danger);
    m_error->setWordWrap(true);
    errorLine->addWidget(m_error, 1);
    body->addWidget(m_errorRow);

    auto* note = new ToneLabel(QStringLiteral("留空保存会恢复默认昵称，侧边栏与账户页重新显示「用户中心」。"), &Theme::tinyFont,
                               &Theme::textSecondary);
    note->setWordWrap(true);
    body->addWidget(note);
    column->addLayout(body);
    column->addWidget(new Hairline);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(18, 13, 18, 13);
    buttons->setSpacing(10);
    buttons->addStretch(1);
    m_cancel = new QPushButton(QStringLiteral("取消"));
    m_cancel->setAutoDefault(false);
    m_save = new QPushButton;
    m_save->setAutoDefault(false);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_save);
    column->addLayout(buttons);

    connect(m_field, &QLineEdit::textEdited, this, [this](const QString& text) {
        m_model->setText(text);
        // The cut is shown in the field at once, the cursor at its end.
        if (m_field->text() != m_model->text())
            m_field->setText(m_model->text());
    });
    // Return saves even when the button is disabled for an unchanged name.
    connect(m_field, &QLineEdit::returnPressed, m_model, &NicknameModel::save);
    connect(m_save, &QPushButton::clicked, m_model, &NicknameModel::save);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_model, &NicknameModel::changed, this, &NicknameSheet::sync);
    connect(m_model, &NicknameModel::closeRequested, this, &QDialog::accept);
    restyle();
    sync();
}

void NicknameSheet::sync()
{
    const QString preview = m_model->previewName();
    m_previewName->setText(preview);
    m_initialLine->setText(m_model->initialLine());
    m_avatar->setMember(m_model->previewAvatarName(), std::nullopt);
    m_counter->setText(m_model->counterText());
    m_error->setText(m_model->error().value_or(QString()));
    m_errorRow->setVisible(m_model->error().has_value());
    m_save->setText(m_model->saveButtonText());
    m_save->setEnabled(m_model->canPressSave());
    adjustSize();
}

void NicknameSheet::restyle()
{
    m_cancel->setFont(Theme::calloutFont());
    m_save->setFont(Theme::calloutFont());
    makeProminent(m_save, Theme::accent());
}

void NicknameSheet::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange)
        restyle();
    QDialog::changeEvent(event);
}

void NicknameSheet::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    QTimer::singleShot(0, m_field, [field = m_field] { field->setFocus(Qt::OtherFocusReason); });
}

void NicknameSheet::done(int result)
{
    // Whatever closes the sheet, a later reply no longer reaches it.
    m_model->close();
    QDialog::done(result);
}

QLabel* NicknameSheet::counter() const
{
    return m_counter;
}

QLabel* NicknameSheet::previewName() const
{
    return m_previewName;
}

QLabel* NicknameSheet::initialLine() const
{
    return m_initialLine;
}
