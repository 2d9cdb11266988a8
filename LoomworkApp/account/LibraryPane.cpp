#include "account/LibraryPane.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include "account/LibraryAuthModel.h"
#include "account/SettingsPieces.h"
#include "ui/CardSurface.h"
#include "ui/F.h"
#include "ui/Palette.h"
#include "ui/Tint.h"

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
        return Palette::green();
    case LibraryAuthModel::Status::Dot::orange:
        return Palette::orange();
    case LibraryAuthModel::Status::Dot::red:
        return Palette::red();
    }
    return Palette::green();
}

// "需管理员授权" on an orange capsule.
class Badge final : public QWidget
{
public:
    explicit Badge(const QString& text, QWidget* parent = nullptr) : QWidget(parent), m_text(text) {}

    QSize sizeHint() const override
    {
        const QFontMetrics m(F::tiny());
        return {m.horizontalAdvance(m_text) + 12, m.height() + 2};
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF box(rect());
        QPainterPath path;
        path.addRoundedRect(box, box.height() / 2, box.height() / 2);
        p.fillPath(path, Tint::opacity(Palette::orange(), kBadgeFillOpacity));
        p.setFont(F::tiny());
        p.setPen(Palette::orange());
        p.drawText(box, Qt::AlignCenter, m_text);
    }

private:
    QString m_text;
};

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
    QFont font = F::font(kPathPoints);
    font.setStyleHint(QFont::Monospace);
    font.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace"), F::cjkFamily});
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
                                        kSymbolPoints, &Palette::brand, QSize(16, 16)));
        first->addWidget(new ToneLabel(root.title(), &F::bodyStrong, &Palette::primary));
        if (root.requiresAdmin())
            first->addWidget(new Badge(QStringLiteral("需管理员授权")));
        first->addStretch(1);

        status = new QWidget;
        auto* statusLine = new QHBoxLayout(status);
        statusLine->setContentsMargins(0, 0, 0, 0);
        statusLine->setSpacing(6);
        dot = new DotView(kDot, &Palette::green);
        statusLine->addWidget(dot);
        text = new ToneLabel(QString(), &F::caption, &Palette::secondary);
        statusLine->addWidget(text);
        if (root.requiresAdmin()) {
            button = new QPushButton;
            button->setFont(F::tiny());
            button->setAutoDefault(false);
            statusLine->addWidget(button);
        }
        first->addWidget(status);
        column->addLayout(first);

        const QString shortPath = root.shortPath();
        auto* location = new MiddleElidedLabel(root.requiresAdmin() ? QStringLiteral("/Library/…")
                                                                    : QStringLiteral("~/Movies/…"),
                                               &pathFont, &Palette::secondary);
        location->setToolTip(shortPath.toHtmlEscaped());
        column->addWidget(location);

        if (root.requiresAdmin()) {
            error = new ToneLabel(QString(), &F::tiny, &Palette::orange);
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
        text->setTone(s.offersAuthorization ? SettingsPieces::ColorFn(&Palette::primary)
                                            : SettingsPieces::ColorFn(&Palette::secondary));
        // The unauthorised status keeps its tooltip on the button.
        status->setToolTip(s.offersAuthorization ? QString() : s.tooltip.toHtmlEscaped());
        if (button) {
            button->setVisible(s.offersAuthorization);
            button->setText(s.buttonText);
            button->setEnabled(s.buttonEnabled);
            button->setToolTip(s.tooltip.toHtmlEscaped());
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
    column->addWidget(SettingsPieces::infoNote(
        QStringLiteral("系统库首次写入时会弹出系统授权框（标题显示为 osascript），输入开机密码点「好」即可；授权一次后一般不再询问。")));
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

QLabel* LibraryPane::authErrorLabel() const
{
    return m_cards[PluginRoot::system]->error;
}
