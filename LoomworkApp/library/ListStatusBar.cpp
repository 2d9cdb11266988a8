#include "library/ListStatusBar.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QTimer>

#include "engine/library/AppState.h"
#include "engine/operations/OperationsCenter.h"
#include "ui/Dot.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "ui/WindowWidth.h"
#include "library/PluginListController.h"

// The small indeterminate indicator shown while a scan runs.
class ListStatusBar::Spinner : public QWidget
{
public:
    explicit Spinner(QWidget* parent) : QWidget(parent), m_timer(new QTimer(this))
    {
        setFixedSize(12, 12);
        m_timer->setInterval(80);
        connect(m_timer, &QTimer::timeout, this, [this] {
            m_step = (m_step + 1) % 12;
            update();
        });
    }

protected:
    void showEvent(QShowEvent*) override { m_timer->start(); }
    void hideEvent(QHideEvent*) override { m_timer->stop(); }
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(6, 6);
        p.scale(0.7, 0.7); // the mini indicator, scaled to 0.7
        for (int i = 0; i < 12; ++i) {
            const qreal fade = ((i - m_step + 12) % 12) / 12.0;
            p.setPen(QPen(Theme::alpha(Theme::textSecondary(), 0.25 + 0.75 * fade), 1.6, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(0, -4), QPointF(0, -7.5));
            p.rotate(30);
        }
    }

private:
    QTimer* m_timer;
    int m_step = 0;
};

ListStatusBar::ListStatusBar(PluginListController* controller, QWidget* parent)
    : QWidget(parent), m_controller(controller), m_windowWidth(WindowWidth::kDefault)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(20, 8, 20, 8);
    row->setSpacing(8);
    m_spinner = new Spinner(this);
    row->addWidget(m_spinner);
    m_scanning = addLabel();
    m_scanning->setText(QStringLiteral("正在扫描…"));
    m_scanDot = new Dot(this);
    m_filter = addLabel();
    auto* dot1 = new Dot(this);
    m_count = addLabel();
    auto* dot2 = new Dot(this);
    m_total = addLabel();
    m_selectedDot = new Dot(this);
    m_selected = addLabel();
    m_lastScanDot = new Dot(this);
    m_lastScan = addLabel();
    m_warning = addLabel();
    m_warning->setToolTip(QStringLiteral("首次写入系统目录时会请求管理员授权"));
    for (QWidget* w : std::initializer_list<QWidget*>{m_scanning, m_scanDot, m_filter, dot1, m_count, dot2, m_total,
                                                      m_selectedDot, m_selected, m_lastScanDot, m_lastScan})
        row->addWidget(w, 0, Qt::AlignVCenter);
    row->addSpacing(8);
    row->addStretch(1);
    m_warningIcon = new QLabel(this);
    row->addWidget(m_warningIcon, 0, Qt::AlignVCenter);
    row->addWidget(m_warning, 0, Qt::AlignVCenter);
    m_ordered = {m_scanning, m_filter, m_count, m_total, m_selected, m_lastScan, m_warning};
    // The filter, counts and the warning may be long; the counts keep their room.
    m_filter->setMinimumWidth(0);
    m_warning->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    m_warning->setMinimumWidth(60);

    AppState* state = controller->state();
    for (auto signal : {&AppState::filteredPluginsChanged, &AppState::selectionChanged, &AppState::lastScanAtChanged,
                        &AppState::scanErrorsChanged, &AppState::libraryFilterChanged, &AppState::categoryFilterChanged})
        connect(state, signal, this, &ListStatusBar::refresh);
    connect(state, &AppState::isScanningChanged, this, &ListStatusBar::refresh);
    restyle();
    refresh();
}

QLabel* ListStatusBar::addLabel()
{
    auto* label = new QLabel(this);
    label->setTextFormat(Qt::PlainText);
    return label;
}

void ListStatusBar::setWindowWidth(int width)
{
    if (width == m_windowWidth)
        return;
    m_windowWidth = width;
    refresh();
}

void ListStatusBar::refresh()
{
    const PluginListController::StatusLine line = m_controller->statusLine(m_windowWidth);
    m_spinner->setVisible(line.scanning);
    m_scanning->setVisible(line.scanning);
    m_scanDot->setVisible(line.scanning);
    m_filter->setText(line.filter);
    m_count->setText(line.count);
    m_total->setText(line.total);
    m_selectedDot->setVisible(line.selected.has_value());
    m_selected->setVisible(line.selected.has_value());
    m_selected->setText(line.selected.value_or(QString()));
    m_lastScanDot->setVisible(line.lastScan.has_value());
    m_lastScan->setVisible(line.lastScan.has_value());
    m_lastScan->setText(line.lastScan.value_or(QString()));
    m_warning->setVisible(line.systemError.has_value());
    m_warningIcon->setVisible(line.systemError.has_value());
    m_warning->setText(line.systemError.value_or(QString()));
}

QStringList ListStatusBar::visibleTexts() const
{
    QStringList texts;
    for (QLabel* label : m_ordered) {
        if (!label->isHidden())
            texts << label->text();
    }
    return texts;
}

void ListStatusBar::restyle()
{
    setFont(Theme::captionFont());
    auto colour = [](QLabel* label, const QColor& color) {
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, color);
        label->setPalette(p);
        label->setFont(Theme::captionFont());
    };
    for (QLabel* label : {m_count, m_total, m_lastScan})
        colour(label, Theme::textSecondary());
    colour(m_filter, Theme::textPrimary());
    colour(m_scanning, Theme::accent());
    colour(m_selected, Theme::accent());
    colour(m_warning, Theme::warning());
    m_warningIcon->setPixmap(SymbolIcon::pixmap(QStringLiteral("exclamationmark.triangle.fill"), 12,
                                                Theme::warning(), devicePixelRatioF()));
    m_warningIcon->setToolTip(m_warning->toolTip());
    update();
}

void ListStatusBar::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange)
        restyle();
    QWidget::changeEvent(event);
}

void ListStatusBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), Theme::barBg());
    p.fillRect(QRectF(0, 0, width(), 0.5), Theme::divider());
}
