#include "account/AppearancePane.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "engine/library/AppState.h"
#include "ui/BaseButton.h"
#include "ui/SafeText.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "account/SettingsPieces.h"

namespace {

constexpr int kCardHeight = 112;
constexpr qreal kCardRadius = 10;
constexpr qreal kSymbolPoints = 24;
constexpr int kSymbolFrame = 28;
constexpr int kLabelSpacing = 9;
constexpr qreal kCheckPoints = 14;
constexpr int kCheckPadding = 7;
constexpr qreal kSelectedStroke = 1.5;
constexpr qreal kStroke = 0.5;

} // namespace

class AppearancePane::Card final : public BaseButton
{
public:
    Card(AppearanceMode mode, AppState* state, QWidget* parent)
        : BaseButton(parent)
        , m_mode(mode)
        , m_state(state)
    {
        setText(mode.title());
        setToolTip(SafeText::toolTip(mode.title()));
        setFixedHeight(kCardHeight);
        setCursor(Qt::PointingHandCursor);
        noFocusRing(this);
        connect(this, &QAbstractButton::clicked, this, [this] {
            if (m_state)
                m_state->setAppearance(m_mode);
        });
    }

    bool selected() const { return m_state && m_state->appearance() == m_mode; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const bool on = selected();
        const QRectF box(rect());
        QPainterPath fill;
        fill.addRoundedRect(box, kCardRadius, kCardRadius);
        p.fillPath(fill, on ? Theme::selectionBg() : Theme::cardBg());
        const qreal stroke = on ? kSelectedStroke : kStroke;
        const QRectF edge = box.adjusted(0.5, 0.5, -0.5, -0.5);
        p.setPen(QPen(on ? Theme::accent() : Theme::cardStroke(), stroke));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(edge, kCardRadius - 0.5, kCardRadius - 0.5);

        const QFont font = Theme::bodyFont();
        const int textHeight = QFontMetrics(font).height();
        const qreal top = (box.height() - kSymbolFrame - kLabelSpacing - textHeight) / 2;
        SymbolIcon::paint(p, QRectF(0, top, box.width(), kSymbolFrame), m_mode.symbol(), Theme::textPrimary(),
                          kSymbolPoints);
        p.setFont(font);
        p.setPen(Theme::textPrimary());
        p.drawText(QRectF(0, top + kSymbolFrame + kLabelSpacing, box.width(), textHeight), Qt::AlignHCenter,
                   text());
        if (on) {
            const qreal side = kCheckPoints + 2;
            SymbolIcon::paint(p, QRectF(box.right() - kCheckPadding - side, kCheckPadding, side, side),
                              u"checkmark.circle.fill", Theme::accent(), kCheckPoints);
        }
    }

private:
    AppearanceMode m_mode;
    QPointer<AppState> m_state;
};

AppearancePane::AppearancePane(AppState* state, QWidget* parent)
    : QWidget(parent)
    , m_state(state)
{
    auto* column = new QVBoxLayout(this);
    SettingsPieces::applyPaneMargins(column);
    column->setSpacing(16);
    column->addWidget(SettingsPieces::paneHeader(QStringLiteral("显示模式"),
                                                 QStringLiteral("选择 App 的显示方式，深色模式更适合夜间剪辑环境。")));
    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    for (const AppearanceMode mode : AppearanceMode::allCases()) {
        auto* card = new Card(mode, state, this);
        m_cards.append(card);
        row->addWidget(card, 1);
    }
    column->addLayout(row);
    column->addWidget(SettingsPieces::infoNote(
        QStringLiteral("外观切换立即生效，设置窗口、弹窗与登录页会同步变化，无需重启 App。")));
    column->addStretch(1);
    if (m_state) {
        connect(m_state, &AppState::appearanceChanged, this, [this] {
            for (Card* card : m_cards)
                card->update();
        });
    }
}

QList<QAbstractButton*> AppearancePane::cards() const
{
    QList<QAbstractButton*> list;
    for (Card* card : m_cards)
        list.append(card);
    return list;
}
