#include "market/MarketStatusBar.h"

#include <QFontMetricsF>
#include <QKeySequence>
#include <QPainter>
#include <QProgressBar>

#include "ui/BusySpinner.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "market/MarketPaint.h"

namespace {

constexpr int kGap = 8;
const QString kHint = QStringLiteral("买完点下载会自动装进 FCPX 系统模板库，无需手动解压");
// The platform's own text for the close shortcut: ⌘W on macOS, Ctrl+W elsewhere.
const QString kCloseHint = QStringLiteral("按 Esc 或 %1 关闭窗口")
                               .arg(QKeySequence(Qt::CTRL | Qt::Key_W).toString(QKeySequence::NativeText));

} // namespace

MarketStatusBar::MarketStatusBar(QWidget* parent)
    : QWidget(parent), m_spinner(new BusySpinner(BusySpinner::Size::small, this)), m_bar(new QProgressBar(this))
{
    setObjectName(QStringLiteral("marketStatusBar"));
    m_spinner->setFixedSize(12, 12);
    m_spinner->hide();
    m_bar->setRange(0, 1000);
    m_bar->setTextVisible(false);
    m_bar->setFixedSize(kBarWidth, 6);
    m_bar->hide();
}

QSize MarketStatusBar::sizeHint() const
{
    return {600, int(std::ceil(QFontMetricsF(Theme::tinyFont()).height())) + 2 * kVerticalPadding + 2};
}

void MarketStatusBar::setStage(const MarketInstallStage& stage)
{
    if (stage == m_stage)
        return;
    m_stage = stage;
    const bool busy = stage.isBusy();
    const std::optional<double> fraction = stage.fraction();
    m_spinner->setVisible(busy);
    m_bar->setVisible(busy && fraction.has_value());
    if (fraction)
        m_bar->setValue(int(*fraction * 1000));
    relayout();
    update();
}

void MarketStatusBar::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    relayout();
}

void MarketStatusBar::relayout()
{
    const int cy = height() / 2;
    m_spinner->move(kSidePadding, cy - m_spinner->height() / 2);
    const qreal titleW = QFontMetricsF(Theme::tinyFont()).horizontalAdvance(m_stage.title());
    m_bar->move(kSidePadding + m_spinner->width() + kGap + int(std::ceil(titleW)) + kGap, cy - m_bar->height() / 2);
}

void MarketStatusBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), Theme::barBg());
    const QFontMetricsF metrics(Theme::tinyFont());
    const qreal closeW = metrics.horizontalAdvance(kCloseHint);
    const QRectF close(width() - kSidePadding - closeW, 0, closeW, height());
    MarketPaint::elidedText(painter, close, kCloseHint, Theme::tinyFont(), Theme::textTertiary());
    qreal x = kSidePadding;
    const qreal room = close.left() - kGap;
    if (m_stage.isBusy()) {
        x += m_spinner->width() + kGap;
        MarketPaint::elidedText(painter, QRectF(x, 0, std::max<qreal>(0, room - x), height()), m_stage.title(), Theme::tinyFont(),
                                Theme::textPrimary());
        return;
    }
    SymbolIcon::paint(painter, QRectF(x, 0, 12, height()), u"shield.lefthalf.filled", Theme::textSecondary(), 11);
    x += 12 + kGap;
    MarketPaint::elidedText(painter, QRectF(x, 0, std::max<qreal>(0, room - x), height()), kHint, Theme::tinyFont(),
                            Theme::textSecondary());
}
