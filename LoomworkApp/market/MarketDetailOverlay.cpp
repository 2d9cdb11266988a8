#include "market/MarketDetailOverlay.h"

#include <QEvent>
#include <QHideEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QScrollArea>
#include <QShortcut>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "market/MarketPaint.h"
#include "market/MarketPanelPaint.h"
#include "market/MarketPayCard.h"
#include "ui/Appearance.h"
#include "ui/BusySpinner.h"
#include "ui/Hairline.h"
#include "ui/PaintedButton.h"
#include "ui/SafeText.h"
#include "ui/SoftShadow.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"

namespace {

constexpr qreal kRadius = 14;
constexpr int kTitleWidth = MarketDetailOverlay::kPanelWidth - MarketDetailOverlay::kMediaWidth;

QLabel* plainLabel(const QFont& font, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    return label;
}

void colour(QLabel* label, const QColor& color)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

// A widget drawn by one function; the badges, chips and counters of the title block.
class Painted : public QWidget {
public:
    using Paint = std::function<void(QPainter&, const QRectF&)>;
    Painted(QSize size, Paint paint, QWidget* parent)
        : QWidget(parent)
        , m_paint(std::move(paint))
    {
        setFixedSize(size);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        m_paint(p, QRectF(rect()));
    }

private:
    Paint m_paint;
};

QWidget* pillBadge(const QString& text, std::function<QColor()> bg, const QString& icon, QWidget* parent)
{
    const QFont font = Theme::font(10.5, QFont::DemiBold);
    const qreal textW = QFontMetricsF(font).horizontalAdvance(text);
    const qreal iconW = icon.isEmpty() ? 0 : 10 + 4;
    const int w = int(std::ceil(7 + iconW + textW + 7));
    return new Painted(QSize(w, 16), [=](QPainter& p, const QRectF& r) {
        p.setPen(Qt::NoPen);
        p.setBrush(bg());
        p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
        qreal x = 7;
        if (!icon.isEmpty()) {
            SymbolIcon::paint(p, QRectF(x, 0, 10, r.height()), icon, Qt::white, 10);
            x += iconW;
        }
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(x, 0, textW + 1, r.height()), Qt::AlignVCenter | Qt::AlignLeft, text);
    }, parent);
}

QWidget* infoChip(const QString& label, const QString& rawValue, QWidget* parent)
{
    const QString value = SafeText::singleLine(rawValue);
    const QFont labelFont = Theme::font(9.5);
    const QFont valueFont = Theme::font(11, QFont::Medium);
    const qreal textW = std::max(QFontMetricsF(labelFont).horizontalAdvance(label),
                                 std::min(QFontMetricsF(valueFont).horizontalAdvance(value), 140.0));
    const int w = std::max(60, int(std::ceil(textW + 16)));
    return new Painted(QSize(w, 38), [=](QPainter& p, const QRectF& r) {
        p.setPen(Qt::NoPen);
        p.setBrush(Theme::cardBg());
        p.drawRoundedRect(r, 7, 7);
        p.setFont(labelFont);
        p.setPen(Theme::textTertiary());
        p.drawText(QRectF(8, 5, r.width() - 16, 13), Qt::AlignLeft | Qt::AlignVCenter, label);
        p.setFont(valueFont);
        p.setPen(Theme::textPrimary());
        p.drawText(QRectF(8, 18, r.width() - 16, 15), Qt::AlignLeft | Qt::AlignVCenter,
                   QFontMetricsF(valueFont).elidedText(value, Qt::ElideRight, r.width() - 16));
    }, parent);
}

QWidget* metaItem(qint64 count, const QString& label, QWidget* parent)
{
    const QString value = QString::number(count);
    const QFont valueFont = Theme::font(12, QFont::DemiBold);
    const QFont labelFont = Theme::font(10);
    const int w = int(std::ceil(std::max(QFontMetricsF(valueFont).horizontalAdvance(value),
                                         QFontMetricsF(labelFont).horizontalAdvance(label)))) + 2;
    return new Painted(QSize(w, 32), [=](QPainter& p, const QRectF& r) {
        p.setFont(valueFont);
        p.setPen(Theme::textPrimary());
        p.drawText(QRectF(0, 0, r.width(), 17), Qt::AlignCenter, value);
        p.setFont(labelFont);
        p.setPen(Theme::textSecondary());
        p.drawText(QRectF(0, 18, r.width(), 14), Qt::AlignCenter, label);
    }, parent);
}

// A filled (prominent) or tinted (bordered) rounded button with a symbol and a title.
void paintActionButton(QPainter& p, const QRectF& r, BaseButton::State state, bool prominent,
                       const QColor& tint, const QString& symbol, const QString& title, const QFont& font,
                       bool withSymbol)
{
    p.setPen(Qt::NoPen);
    QColor fill = prominent ? tint : Theme::alpha(tint, 0.12);
    if (state.disabled)
        fill = Theme::alpha(fill, prominent ? 0.45 : 0.6);
    else if (state.down)
        fill = prominent ? fill.darker(115) : Theme::alpha(tint, 0.22);
    else if (state.over)
        fill = prominent ? fill.lighter(108) : Theme::alpha(tint, 0.17);
    p.setBrush(fill);
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
    const QColor fg = prominent ? Theme::textOnAccent(state.disabled ? 0.7 : 1) : Theme::alpha(tint, state.disabled ? 0.5 : 1);
    const qreal textW = QFontMetricsF(font).horizontalAdvance(title);
    const qreal gap = prominent ? 6 : 5;
    const qreal total = 14 + gap + textW;
    qreal x = r.center().x() - total / 2;
    if (withSymbol)
        SymbolIcon::paint(p, QRectF(x, r.top(), 14, r.height()), symbol, fg, 13);
    p.setFont(font);
    p.setPen(fg);
    p.drawText(QRectF(x + 14 + gap, r.top(), textW + 1, r.height()), Qt::AlignVCenter | Qt::AlignLeft, title);
}

} // namespace

MarketDetailOverlay::MarketDetailOverlay(MarketPlugin plugin, MarketInstallFlow* flow, Setup setup, QWidget* host)
    : QWidget(host)
    , m_model(new MarketDetailModel(plugin, flow, std::move(setup.hooks), this))
    , m_onClose(std::move(setup.onClose))
    , m_payService(std::move(setup.payService))
    , m_panel(new QWidget(this))
{
    setAttribute(Qt::WA_NoMousePropagation);
    setFocusPolicy(Qt::StrongFocus);
    if (host) {
        setGeometry(host->rect());
        host->installEventFilter(this);
    }

    m_panel->setFixedSize(kPanelWidth, kPanelHeight);
    m_panel->installEventFilter(this);
    auto* column = new QVBoxLayout(m_panel);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* top = new QHBoxLayout;
    top->setSpacing(0);
    m_media = new MarketMediaPanel(m_model->shown().coverUrl, m_model->shown().videoUrl, std::move(setup.makePlayer),
                                   std::move(setup.makeWeb), m_panel);
    m_media->setFixedSize(kMediaWidth, kTopHeight);
    m_media->setTopLeftRadius(kRadius);
    top->addWidget(m_media, 0, Qt::AlignTop);
    auto* titleColumn = new QWidget(m_panel);
    titleColumn->setFixedSize(kTitleWidth, kTopHeight);
    buildTitleColumn(titleColumn);
    top->addWidget(titleColumn, 0, Qt::AlignTop);
    column->addLayout(top);
    column->addWidget(new Hairline(m_panel));

    m_scroll = new QScrollArea(m_panel);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* scrolled = new QWidget;
    scrolled->setAutoFillBackground(false);
    m_scroll->viewport()->setAutoFillBackground(false);
    auto* scrolledColumn = new QVBoxLayout(scrolled);
    scrolledColumn->setContentsMargins(22, 16, 22, 16);
    m_descriptionBlock = new QWidget(scrolled);
    auto* descColumn = new QVBoxLayout(m_descriptionBlock);
    descColumn->setContentsMargins(0, 0, 0, 0);
    descColumn->setSpacing(8);
    const QFont sectionFont = Theme::sectionFont();
    const QString sectionText = QStringLiteral("详细介绍");
    descColumn->addWidget(new Painted(QSize(16 + 5 + int(QFontMetricsF(sectionFont).horizontalAdvance(sectionText)) + 2, 16),
                                      [=](QPainter& p, const QRectF& r) {
                                          SymbolIcon::paint(p, QRectF(0, 0, 14, r.height()), u"text.alignleft", Theme::textSecondary(), 12);
                                          p.setFont(sectionFont);
                                          p.setPen(Theme::textSecondary());
                                          p.drawText(r.adjusted(19, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, sectionText);
                                      },
                                      m_descriptionBlock));
    m_description = plainLabel(Theme::captionFont(), m_descriptionBlock);
    m_description->setWordWrap(true);
    m_description->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_description->setContentsMargins(12, 12, 12, 12);
    m_description->setObjectName(QStringLiteral("description"));
    m_description->setAttribute(Qt::WA_StyledBackground);
    descColumn->addWidget(m_description);
    scrolledColumn->addWidget(m_descriptionBlock);
    scrolledColumn->addStretch(1);
    m_scroll->setWidget(scrolled);
    // setWidget() turns the fill on; the panel's own colour shows through instead.
    scrolled->setAutoFillBackground(false);
    column->addWidget(m_scroll, 1);

    // The close light sits over the media's corner.
    m_close = new PaintedButton(QSize(28, 28), [](QPainter& p, const QRectF& r, const BaseButton::State& state) {
        const QRectF circle(r.center().x() - 6.5, r.center().y() - 6.5, 13, 13);
        p.setPen(Qt::NoPen);
        p.setBrush(state.over ? QColor(216, 58, 50) : QColor(255, 95, 87));
        p.drawEllipse(circle);
        p.setPen(QPen(QColor::fromRgbF(0, 0, 0, 0.12), 0.5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(circle.adjusted(0.25, 0.25, -0.25, -0.25));
        if (state.over)
            SymbolIcon::paint(p, circle, u"xmark", QColor::fromRgbF(0, 0, 0, 0.55), 9);
    }, m_panel);
    m_close->setToolTip(QStringLiteral("关闭（Esc）"));
    m_close->move(16 - 7, 14 - 7);
    m_close->raise();
    connect(m_close, &QAbstractButton::clicked, this, &MarketDetailOverlay::close);

    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    esc->setContext(Qt::WindowShortcut);
    connect(esc, &QShortcut::activated, this, &MarketDetailOverlay::close);

    m_payLayer = new QWidget(this);
    m_payLayer->hide();
    m_payLayer->installEventFilter(this);

    connect(m_model, &MarketDetailModel::changed, this, &MarketDetailOverlay::refresh);
    // Colours are read when set: a new appearance sets them again.
    connect(&Appearance::instance(), &Appearance::changed, this, &MarketDetailOverlay::refresh);
    refresh();
}

void MarketDetailOverlay::buildTitleColumn(QWidget* titleColumn)
{
    auto* column = new QVBoxLayout(titleColumn);
    column->setContentsMargins(22, 18, 22, 14);
    column->setSpacing(7);

    m_badges = new QHBoxLayout;
    m_badges->setSpacing(6);
    m_loadingSpinner = new BusySpinner(BusySpinner::Size::small, titleColumn);
    m_badges->addWidget(m_loadingSpinner);
    m_badges->addStretch(1);
    auto* badgeRow = new QWidget(titleColumn);
    badgeRow->setFixedHeight(16);
    badgeRow->setLayout(m_badges);
    m_badges->setContentsMargins(0, 0, 0, 0);
    column->addWidget(badgeRow);

    m_name = plainLabel(Theme::font(20, QFont::DemiBold), titleColumn);
    m_name->setWordWrap(true);
    m_name->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_name->setMaximumHeight(QFontMetrics(m_name->font()).lineSpacing() * 2 + 2);
    column->addWidget(m_name);

    m_subtitle = plainLabel(Theme::captionFont(), titleColumn);
    m_subtitle->setWordWrap(true);
    m_subtitle->setMaximumHeight(QFontMetrics(m_subtitle->font()).lineSpacing() * 2 + 2);
    column->addWidget(m_subtitle);

    m_author = plainLabel(Theme::font(11), titleColumn);
    m_author->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(m_author);

    auto* priceRow = new QHBoxLayout;
    priceRow->setSpacing(8);
    m_price = plainLabel(Theme::font(21, QFont::DemiBold), titleColumn);
    m_originalPrice = plainLabel(Theme::captionFont(), titleColumn);
    QFont struck = m_originalPrice->font();
    struck.setStrikeOut(true);
    m_originalPrice->setFont(struck);
    m_ownership = plainLabel(Theme::font(14, QFont::DemiBold), titleColumn);
    priceRow->addWidget(m_ownership);
    priceRow->addWidget(m_price);
    priceRow->addWidget(m_originalPrice);
    priceRow->addStretch(1);
    column->addLayout(priceRow);

    m_chips = new QHBoxLayout;
    m_chips->setSpacing(6);
    m_chips->setContentsMargins(0, 1, 0, 0);
    column->addLayout(m_chips);

    auto* bottom = new QHBoxLayout;
    bottom->setSpacing(10);
    m_counters = new QHBoxLayout;
    m_counters->setSpacing(12);
    bottom->addLayout(m_counters);
    bottom->addStretch(1);
    bottom->addSpacing(4);

    m_favorite = new PaintedButton(QSize(76, 32), [](QPainter&, const QRectF&, const BaseButton::State&) {}, titleColumn);
    m_favSpinner = new BusySpinner(BusySpinner::Size::small, m_favorite);
    m_favSpinner->move(9, 8);
    connect(m_favorite, &QAbstractButton::clicked, m_model, &MarketDetailModel::toggleFavorite);
    bottom->addWidget(m_favorite);

    m_action = new QStackedWidget(titleColumn);
    auto* progressFace = new QWidget(m_action);
    auto* progressColumn = new QVBoxLayout(progressFace);
    progressColumn->setContentsMargins(0, 0, 0, 0);
    progressColumn->setSpacing(4);
    m_stageTitle = plainLabel(Theme::tinyFont(), progressFace);
    m_stageBar = new QProgressBar(progressFace);
    m_stageBar->setRange(0, 1000);
    m_stageBar->setTextVisible(false);
    m_stageBar->setFixedSize(132, 6);
    m_stageSpinner = new BusySpinner(BusySpinner::Size::small, progressFace);
    progressColumn->addStretch(1);
    progressColumn->addWidget(m_stageTitle, 0, Qt::AlignRight);
    progressColumn->addWidget(m_stageBar, 0, Qt::AlignRight);
    progressColumn->addWidget(m_stageSpinner, 0, Qt::AlignRight);
    progressColumn->addStretch(1);
    m_action->addWidget(progressFace);

    const QFont badgeFont = Theme::font(13, QFont::DemiBold);
    const QString badgeText = QStringLiteral("已安装");
    const int badgeW = 14 + 14 + 5 + int(std::ceil(QFontMetricsF(badgeFont).horizontalAdvance(badgeText))) + 14;
    auto* installedFace = new QWidget(m_action);
    auto* installedRow = new QHBoxLayout(installedFace);
    installedRow->setContentsMargins(0, 0, 0, 0);
    installedRow->addStretch(1);
    m_installed = new Painted(QSize(badgeW, 30), [=](QPainter& p, const QRectF& r) {
        p.setPen(Qt::NoPen);
        p.setBrush(Theme::alpha(Theme::positive(), 0.12));
        p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
        SymbolIcon::paint(p, QRectF(14, 0, 14, r.height()), u"checkmark.circle.fill", Theme::positive(), 13);
        p.setFont(badgeFont);
        p.setPen(Theme::positive());
        p.drawText(r.adjusted(14 + 14 + 5, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, badgeText);
    }, installedFace);
    m_installed->setToolTip(QStringLiteral("这个插件已经在插件库里了，打开 FCPX 即可使用"));
    installedRow->addWidget(m_installed, 0, Qt::AlignVCenter);
    m_action->addWidget(installedFace);

    auto* buttonFace = new QWidget(m_action);
    auto* buttonRow = new QHBoxLayout(buttonFace);
    buttonRow->setContentsMargins(0, 0, 0, 0);
    buttonRow->addStretch(1);
    m_primary = new PaintedButton(QSize(118, 32), [](QPainter&, const QRectF&, const BaseButton::State&) {}, buttonFace);
    connect(m_primary, &QAbstractButton::clicked, m_model, &MarketDetailModel::primaryAction);
    buttonRow->addWidget(m_primary, 0, Qt::AlignVCenter);
    m_action->addWidget(buttonFace);
    m_action->setFixedSize(140, 40);
    bottom->addWidget(m_action);
    column->addLayout(bottom);
    column->addStretch(1);

    Appearance::follow(this, [this] {
        colour(m_subtitle, Theme::textSecondary());
        colour(m_author, Theme::textSecondary());
        colour(m_originalPrice, Theme::textTertiary());
        colour(m_ownership, Theme::positive());
        colour(m_stageTitle, Theme::accent());
    });

    m_returnKey = new QShortcut(QKeySequence(Qt::Key_Return), this);
    m_returnKey->setContext(Qt::WindowShortcut);
    connect(m_returnKey, &QShortcut::activated, this, [this] {
        if (m_action->currentIndex() == 2 && m_primary->isEnabled() && !m_model->showPay())
            m_primary->click();
    });
}

MarketPayCard* MarketDetailOverlay::payCard() const { return m_payCard; }
QAbstractButton* MarketDetailOverlay::primaryButton() const { return m_primary; }
QAbstractButton* MarketDetailOverlay::closeButton() const { return m_close; }
QWidget* MarketDetailOverlay::installedBadge() const { return m_installed; }

void MarketDetailOverlay::refresh()
{
    const MarketPlugin& shown = m_model->shown();
    const bool owned = m_model->owned();
    const qint64 price = m_model->price();

    // Badges: rebuilt, the spinner and the stretch stay at the end.
    while (m_badges->count() > 2) {
        auto* item = m_badges->takeAt(0);
        delete item->widget();
        delete item;
    }
    QWidget* badgeRow = m_loadingSpinner->parentWidget();
    int at = 0;
    if (owned)
        m_badges->insertWidget(at++, pillBadge(QStringLiteral("已拥有"), &Theme::positive, QStringLiteral("checkmark.seal.fill"), badgeRow));
    else if (price <= 0)
        m_badges->insertWidget(at++, pillBadge(QStringLiteral("免费"), &Theme::priceFree, QString(), badgeRow));
    if (shown.featured.value_or(false))
        m_badges->insertWidget(at++, pillBadge(QStringLiteral("置顶推荐"), &Theme::marketFeatured, QStringLiteral("pin.fill"), badgeRow));
    m_loadingSpinner->setVisible(m_model->loading());

    m_name->setText(shown.name);
    const QString subtitle = shown.subtitle.value_or(QString());
    m_subtitle->setText(subtitle);
    m_subtitle->setVisible(!subtitle.isEmpty());
    const QString vendor = shown.vendor.value_or(QString()).trimmed();
    const QString author = QStringLiteral("作者 · ") + SafeText::singleLine(vendor);
    m_author->setText(m_author->fontMetrics().elidedText(author, Qt::ElideRight, kTitleWidth - 44));
    m_author->setVisible(!vendor.isEmpty());

    m_ownership->setVisible(owned);
    m_price->setVisible(!owned);
    m_ownership->setText(m_model->ownershipLine());
    m_price->setText(MarketPlugin::money(price));
    colour(m_price, price > 0 ? Theme::accent() : Theme::priceFree());
    const auto original = shown.originalPriceText();
    m_originalPrice->setVisible(!owned && original.has_value());
    m_originalPrice->setText(original.value_or(QString()));

    while (auto* item = m_chips->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    QWidget* titleColumn = m_name->parentWidget();
    const QString category = shown.category.value_or(QString());
    const QString size = shown.sizeText();
    m_chips->addWidget(infoChip(QStringLiteral("分类"), category.isEmpty() ? QStringLiteral("—") : category, titleColumn));
    m_chips->addWidget(infoChip(QStringLiteral("语言"), shown.languageText(), titleColumn));
    m_chips->addWidget(infoChip(QStringLiteral("兼容"), shown.compatText(), titleColumn));
    m_chips->addWidget(infoChip(QStringLiteral("大小"), size.isEmpty() ? QStringLiteral("—") : size, titleColumn));
    m_chips->addStretch(1);

    while (auto* item = m_counters->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const std::pair<std::optional<qint64>, QString> counters[] = {
        {shown.saleCount, QStringLiteral("已售")},
        {shown.downloadCount, QStringLiteral("下载")},
        {shown.viewCount, QStringLiteral("浏览")}};
    for (const auto& [count, label] : counters)
        if (count.value_or(0) > 0)
            m_counters->addWidget(metaItem(*count, label, titleColumn));

    const bool favorited = m_model->favorited();
    const bool favBusy = m_model->favBusy();
    m_favorite->setEnabled(!favBusy && !m_model->loading());
    m_favorite->setToolTip(m_model->favoriteHelp());
    m_favSpinner->setVisible(favBusy);
    const QString favTitle = favorited ? QStringLiteral("已收藏") : QStringLiteral("收藏");
    const QString favSymbol = favorited ? QStringLiteral("heart.fill") : QStringLiteral("heart");
    m_favorite->setPainter([=](QPainter& p, const QRectF& r, const BaseButton::State& state) {
        paintActionButton(p, r, state, false, Theme::danger(), favSymbol, favTitle, Theme::font(12.5, QFont::Medium), !favBusy);
    });

    const MarketInstallStage stage = m_model->stage();
    if (stage.isBusy()) {
        m_action->setCurrentIndex(0);
        m_stageTitle->setText(stage.title());
        const auto fraction = stage.fraction();
        m_stageBar->setVisible(fraction.has_value());
        m_stageSpinner->setVisible(!fraction.has_value());
        if (fraction)
            m_stageBar->setValue(int(std::clamp(*fraction, 0.0, 1.0) * 1000));
    } else if (m_model->installed()) {
        m_action->setCurrentIndex(1);
    } else {
        m_action->setCurrentIndex(2);
        const QString title = m_model->primaryTitle();
        const QString symbol = m_model->primarySymbol();
        const QColor tint = owned ? Theme::positive() : Theme::accent();
        m_primary->setEnabled(!m_model->loading());
        m_primary->setAccessibleName(title);
        m_primary->setPainter([=](QPainter& p, const QRectF& r, const BaseButton::State& state) {
            paintActionButton(p, r, state, true, tint, symbol, title, Theme::font(13, QFont::DemiBold), true);
        });
    }

    if (const QString desc = shown.desc.value_or(QString()); !desc.isEmpty()) {
        m_description->setText(desc);
        m_descriptionBlock->show();
    } else {
        m_descriptionBlock->hide();
    }
    m_description->setStyleSheet(QStringLiteral("QLabel#description { background: %1; border-radius: 9px; color: %2; }")
                                     .arg(Theme::cardBg().name(QColor::HexArgb), Theme::textSecondary().name(QColor::HexArgb)));
    syncPay();
}

void MarketDetailOverlay::syncPay()
{
    if (m_model->showPay() && !m_payCard) {
        m_payCard = new MarketPayCard(m_model->shown(), m_payService, m_payLayer);
        connect(m_payCard, &MarketPayCard::cancelled, m_model, &MarketDetailModel::payCancelled);
        connect(m_payCard, &MarketPayCard::paid, m_model, &MarketDetailModel::payPaid);
        m_payLayer->setGeometry(rect());
        m_payCard->move((width() - MarketPayCard::kWidth) / 2, (height() - MarketPayCard::kHeight) / 2);
        m_payLayer->show();
        m_payLayer->raise();
        m_payCard->show();
    } else if (!m_model->showPay() && m_payCard) {
        // Hidden first so the card's poll stops before it goes.
        m_payCard->hide();
        m_payCard->deleteLater();
        m_payCard = nullptr;
        m_payLayer->hide();
    }
}

void MarketDetailOverlay::close()
{
    // Esc and the close light both land here; the window hears it once.
    if (m_closed)
        return;
    m_closed = true;
    if (m_payCard)
        m_payCard->hide();
    if (m_onClose)
        m_onClose();
}

void MarketDetailOverlay::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!m_appeared) {
        m_appeared = true;
        m_model->appear();
    }
    // A field behind the panel (the market's search) would otherwise keep taking the typing.
    QWidget* had = window()->focusWidget();
    if (had && had != this && !isAncestorOf(had))
        m_returnFocus = had;
    setFocus(Qt::OtherFocusReason);
}

void MarketDetailOverlay::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    QWidget* has = window()->focusWidget();
    if (!event->spontaneous() && (has == this || isAncestorOf(has)) && m_returnFocus && m_returnFocus->isVisible())
        m_returnFocus->setFocus(Qt::OtherFocusReason);
}

bool MarketDetailOverlay::focusNextPrevChild(bool next)
{
    // The panel's own ring: itself and what inside it takes Tab, in the window's order.
    QList<QWidget*> ring;
    QWidget* w = this;
    do {
        if ((w == this || isAncestorOf(w)) && (w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->isEnabled())
            ring.append(w);
        w = w->nextInFocusChain();
    } while (w && w != this);
    if (ring.isEmpty())
        return QWidget::focusNextPrevChild(next);
    const qsizetype at = ring.indexOf(window()->focusWidget());
    const qsizetype count = ring.size();
    const qsizetype to = at < 0 ? 0 : (at + (next ? 1 : count - 1)) % count;
    ring[to]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

bool MarketDetailOverlay::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize) {
        setGeometry(parentWidget()->rect());
    } else if (watched == m_panel && event->type() == QEvent::Paint) {
        QPainter p(m_panel);
        MarketPanelPaint::paintPanel(p, QRectF(m_panel->rect()), kRadius);
    } else if (watched == m_payLayer && event->type() == QEvent::Paint) {
        QPainter p(m_payLayer);
        p.fillRect(m_payLayer->rect(), Theme::scrim(0.28));
        if (m_payCard)
            SoftShadow::paint(p, QRectF(m_payCard->geometry()), kRadius, 24, 10, 0.3);
    } else if (watched == m_payLayer && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease)) {
        return true; // the pay card stays; nothing beneath hears the click
    }
    return QWidget::eventFilter(watched, event);
}

void MarketDetailOverlay::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), Theme::scrim(0.34));
    SoftShadow::paint(p, QRectF(m_panel->geometry()), kRadius, 26, 12, 0.28);
}

void MarketDetailOverlay::resizeEvent(QResizeEvent*)
{
    // The panel keeps its size in any window, centred.
    m_panel->move((width() - kPanelWidth) / 2, (height() - kPanelHeight) / 2);
    m_payLayer->setGeometry(rect());
    if (m_payCard)
        m_payCard->move((width() - MarketPayCard::kWidth) / 2, (height() - MarketPayCard::kHeight) / 2);
}

void MarketDetailOverlay::mousePressEvent(QMouseEvent* event)
{
    // The backdrop keeps clicks from the window beneath and does not close.
    event->accept();
}
