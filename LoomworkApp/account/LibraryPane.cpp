#include "account/LibraryPane.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine/files/AdminRunner.h"
#include "ui/CardSurface.h"
#include "ui/Chip.h"
#include "ui/SafeText.h"
#include "ui/Theme.h"
#include "account/LibraryAuthModel.h"
#include "account/SettingsPieces.h"

using SettingsPieces::DotView;
using SettingsPieces::SymbolView;
using SettingsPieces::ToneLabel;

namespace {

constexpr qreal kCardRadius = 10;
constexpr int kCardPadding = 13;
constexpr int kDot = 7;
constexpr qreal kSymbolPoints = 13;
constexpr qreal kPathPoints = 11.5;
constexpr qreal kBadgeFillOpacity = 0.16;

QColor dotColor(LibraryAuthModel::Status::Dot dot)
{
    switch (dot) {
    case LibraryAuthModel::Status::Dot::green:
        return Theme::positive();
    case LibraryAuthModel::Status::Dot::orange:
        return Theme::warning();
    case LibraryAuthModel::Status::Dot::red:
        return Theme::danger();
    }
    return Theme::positive();
}

// A one-line label cut in the middle when it does not fit.
class MiddleElidedLabel final : public ToneLabel
{
public:
    MiddleElidedLabel(const QString& text, std::function<QFont()> font, SettingsPieces::ColorFn tone)
        : ToneLabel(text, std::move(font), std::move(tone)), m_full(text)
    {
        setTextInteractionFlags(Qt::TextSelectableByMouse);
        setMinimumWidth(1);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        setText(fontMetrics().elidedText(m_full, Qt::ElideMiddle, width()));
        ToneLabel::resizeEvent(event);
    }

private:
    QString m_full;
};

QFont pathFont()
{
    QFont font = Theme::font(kPathPoints);
    font.setStyleHint(QFont::Monospace);
    font.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace"), Theme::cjkFamily});
    return font;
}

} // namespace

class LibraryPane::RootCard final : public CardSurface
{
public:
    RootCard(PluginRoot root, QWidget* parent) : CardSurface(kCardRadius, parent), m_root(root)
    {
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(kCardPadding, kCardPadding, kCardPadding, kCardPadding);
        column->setSpacing(6);

        auto* first = new QHBoxLayout;
        first->setSpacing(7);
        first->addWidget(new SymbolView(root.requiresAdmin() ? QStringLiteral("externaldrive.fill")
                                                             : QStringLiteral("folder.fill"),
                                        kSymbolPoints, &Theme::accent, QSize(16, 16)));
        first->addWidget(new ToneLabel(root.title(), &Theme::bodyStrongFont, &Theme::textPrimary));
        if (root.requiresAdmin())
            first->addWidget(new Chip(QStringLiteral("需管理员授权"), Theme::tinyFont(), &Theme::warning,
                                      [] { return Theme::alpha(Theme::warning(), kBadgeFillOpacity); }));
        first->addStretch(1);

        status = new QWidget;
        auto* statusLine = new QHBoxLayout(status);
        statusLine->setContentsMargins(0, 0, 0, 0);
        statusLine->setSpacing(6);
        dot = new DotView(kDot, &Theme::positive);
        statusLine->addWidget(dot);
        text = new ToneLabel(QString(), &Theme::captionFont, &Theme::textSecondary);
        statusLine->addWidget(text);
        if (root.requiresAdmin()) {
            button = new QPushButton;
            button->setFont(Theme::tinyFont());
            button->setAutoDefault(false);
            statusLine->addWidget(button);
        }
        first->addWidget(status);
        column->addLayout(first);

        // Off macOS the system library may be any folder: the one in use is named.
        const QString path = LibraryAuthModel::locationText(root);
        location = new MiddleElidedLabel(path, &pathFont, &Theme::textSecondary);
        location->setToolTip(SafeText::toolTip(path));
        column->addWidget(location);

        if (root.requiresAdmin()) {
            error = new ToneLabel(QString(), &Theme::tinyFont, &Theme::warning);
            error->setWordWrap(true);
            error->hide();
            column->addWidget(error);
        }
    }

    void sync(const LibraryAuthModel& model)
    {
        const auto s = model.status(m_root);
        dot->setFill([d = s.dot] { return dotColor(d); });
        text->setText(s.text);
        text->setTone(s.offersAuthorization ? SettingsPieces::ColorFn(&Theme::textPrimary)
                                            : SettingsPieces::ColorFn(&Theme::textSecondary));
        // The unauthorised status keeps its tooltip on the button.
        status->setToolTip(s.offersAuthorization ? QString() : SafeText::toolTip(s.tooltip));
        if (button) {
            button->setVisible(s.offersAuthorization);
            button->setText(s.buttonText);
            button->setEnabled(s.buttonEnabled);
            button->setToolTip(SafeText::toolTip(s.tooltip));
        }
        if (error) {
            error->setText(model.authError().value_or(QString()));
            error->setVisible(model.authError().has_value());
        }
    }

    PluginRoot m_root;
    QWidget* status = nullptr;
    DotView* dot = nullptr;
    ToneLabel* text = nullptr;
    ToneLabel* location = nullptr;
    QPushButton* button = nullptr;
    ToneLabel* error = nullptr;
};

LibraryPane::LibraryPane(AppState* state, QWidget* parent)
    : QWidget(parent)
    , m_model(new LibraryAuthModel(state, this))
{
    auto* column = new QVBoxLayout(this);
    SettingsPieces::applyPaneMargins(column);
    column->setSpacing(16);
    column->addWidget(SettingsPieces::paneHeader(
        QStringLiteral("Final Cut Pro插件位置"),
        QStringLiteral("同时读取两个FCPX插件目录；用户库无需授权即可安装，系统库首次写入时需管理员授权。")));
    auto* cards = new QVBoxLayout;
    cards->setSpacing(10);
    for (const PluginRoot root : PluginRoot::allCases()) {
        m_cards[root] = new RootCard(root, this);
        cards->addWidget(m_cards[root]);
    }
    column->addLayout(cards);
    // Each system asks in its own window: macOS names it after osascript and wants the login
    // password; polkit asks for the user's own.
    column->addWidget(SettingsPieces::infoNote(
        AdminRunner::current().flavor() == AdminRunner::Flavor::macOS
            ? QStringLiteral("系统库首次写入时会弹出系统授权框（标题显示为 osascript），输入开机密码点「好」即可；授权一次后一般不再询问。")
            : QStringLiteral("系统库首次写入时会弹出系统身份验证窗口，输入当前登录账户的密码并确认即可；授权一次后一般不再询问。")));
    column->addStretch(1);

    connect(m_cards[PluginRoot::system]->button, &QPushButton::clicked, m_model, &LibraryAuthModel::authorizeSystem);
    connect(m_model, &LibraryAuthModel::changed, this, &LibraryPane::sync);
    sync();
}

void LibraryPane::sync()
{
    for (RootCard* card : m_cards)
        card->sync(*m_model);
}

void LibraryPane::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_model->refreshSystemWritable();
}

QLabel* LibraryPane::statusLabel(PluginRoot root) const
{
    return m_cards[root]->text;
}

QWidget* LibraryPane::statusRow(PluginRoot root) const
{
    return m_cards[root]->status;
}

QPushButton* LibraryPane::authorizeButton() const
{
    return m_cards[PluginRoot::system]->button;
}

QLabel* LibraryPane::locationLabel(PluginRoot root) const
{
    return m_cards[root]->location;
}

QLabel* LibraryPane::authErrorLabel() const
{
    return m_cards[PluginRoot::system]->error;
}
