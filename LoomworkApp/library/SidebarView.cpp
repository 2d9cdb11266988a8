#include "library/SidebarView.h"

#include <QEvent>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>

#include "engine/library/AppState.h"
#include "ui/Hairline.h"
#include "ui/SidebarSurface.h"
#include "ui/Theme.h"
#include "library/SidebarRow.h"
#include "library/SidebarUserBar.h"

namespace {

// A section heading, drawn in the secondary colour of the appearance in force.
class SectionTitle final : public QWidget
{
public:
    SectionTitle(const QString& text, int topPadding, QWidget* parent)
        : QWidget(parent), m_text(text), m_top(topPadding)
    {
        setFont(Theme::sectionFont());
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setAccessibleName(text);
    }

    QSize sizeHint() const override
    {
        const QFontMetrics fm(font());
        return {fm.horizontalAdvance(m_text) + 2 * kPaddingH, m_top + fm.height() + kPaddingBottom};
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setFont(font());
        p.setPen(Theme::textSecondary());
        const QRect textRect(kPaddingH, m_top, width() - 2 * kPaddingH,
                             height() - m_top - kPaddingBottom);
        p.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, m_text);
    }

private:
    static constexpr int kPaddingH = 8;
    static constexpr int kPaddingBottom = 3;
    QString m_text;
    int m_top;
};

// Watches the user area and every widget above it up to the window, and reports where
// the area's top edge lies above the window's bottom edge whenever one of them has been
// moved or resized (once per turn of the event loop, after the layout pass).
class WindowBottomDistanceReader final : public QObject
{
public:
    WindowBottomDistanceReader(QWidget* watched, std::function<void()> report)
        : QObject(watched), m_watched(watched), m_report(std::move(report))
    {
        watchChain();
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::ParentChange:
            watchChain();
            schedule();
            break;
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
            schedule();
            break;
        default:
            break;
        }
        return false;
    }

private:
    void watchChain()
    {
        for (const QPointer<QWidget>& w : std::as_const(m_chain))
            if (w)
                w->removeEventFilter(this);
        m_chain.clear();
        for (QWidget* w = m_watched; w; w = w->isWindow() ? nullptr : w->parentWidget()) {
            w->installEventFilter(this);
            m_chain.append(w);
        }
    }

    void schedule()
    {
        if (m_pending)
            return;
        m_pending = true;
        // Queued on the probe: dropped if the area is gone by then.
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_pending = false;
                m_report();
            },
            Qt::QueuedConnection);
    }

    QWidget* m_watched;
    QList<QPointer<QWidget>> m_chain;
    std::function<void()> m_report;
    bool m_pending = false;
};

} // namespace

SidebarView::SidebarView(AppState* state, Callbacks callbacks, QWidget* parent)
    : QWidget(parent), m_model(new SidebarModel(state, this)), m_callbacks(std::move(callbacks))
{
    m_model->onOpenMarket = m_callbacks.onOpenMarket;

    auto* content = new QWidget;
    content->setAutoFillBackground(false);
    auto* rows = new QVBoxLayout(content);
    rows->setContentsMargins(kContentPaddingH, 0, kContentPaddingH, kContentPaddingBottom);
    rows->setSpacing(kRowSpacing);
    using Section = SidebarModel::Section;
    for (Section section : {Section::library, Section::categories}) {
        rows->addWidget(new SectionTitle(SidebarModel::sectionTitle(section),
                                         section == Section::library ? 10 : 14, content));
        for (const SidebarModel::Row& r : m_model->rows(section)) {
            auto* row = new SidebarRow(r, content);
            const SidebarModel::RowId id = r.id;
            connect(row, &SidebarRow::clicked, this, [this, id] { m_model->activate(id); });
            m_rows.insert(id, row);
            rows->addWidget(row);
        }
    }
    rows->addStretch(1);

    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_scroll->setWidget(content);

    // The bottom area stays at the foot of the column while the rows scroll above it.
    auto* bottom = new QWidget(this);
    auto* bottomLayout = new QVBoxLayout(bottom);
    bottomLayout->setContentsMargins(0, 8, 0, 0);
    bottomLayout->setSpacing(0);

    m_carouselSlot = new QWidget(bottom);
    m_carouselLayout = new QVBoxLayout(m_carouselSlot);
    m_carouselLayout->setContentsMargins(12, 0, 12, 10);
    m_carouselLayout->setSpacing(0);
    m_carouselSlot->hide();
    bottomLayout->addWidget(m_carouselSlot);

    m_userArea = new QWidget(bottom);
    auto* userLayout = new QVBoxLayout(m_userArea);
    userLayout->setContentsMargins(0, 0, 0, 4);
    userLayout->setSpacing(0);
    auto* hairlineHolder = new QWidget(m_userArea);
    auto* hairlineLayout = new QVBoxLayout(hairlineHolder);
    hairlineLayout->setContentsMargins(12, 0, 12, 0);
    hairlineLayout->addWidget(new Hairline(hairlineHolder));
    userLayout->addWidget(hairlineHolder);
    m_userBar = new SidebarUserBar(m_callbacks.onOpenAccount, m_callbacks.onOpenSettings, m_userArea);
    userLayout->addWidget(m_userBar);
    bottomLayout->addWidget(m_userArea);
    new WindowBottomDistanceReader(m_userArea, [this] { reportDividerY(); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_scroll, 1);
    layout->addWidget(bottom, 0);

    connect(m_model, &SidebarModel::changed, this, &SidebarView::refreshRows);
}

void SidebarView::refreshRows()
{
    for (auto it = m_rows.cbegin(); it != m_rows.cend(); ++it)
        it.value()->setRow(m_model->row(it.key()));
}

void SidebarView::setMember(const std::optional<Member>& member)
{
    m_userBar->setMember(member);
}

void SidebarView::setCarousel(QWidget* carousel)
{
    if (carousel == m_carousel)
        return;
    if (m_carousel)
        delete m_carousel.data();
    m_carousel = carousel;
    if (carousel)
        m_carouselLayout->addWidget(carousel);
    m_carouselSlot->setVisible(carousel != nullptr);
}

void SidebarView::reportDividerY()
{
    if (!m_callbacks.onDividerY)
        return;
    QWidget* window = m_userArea->window();
    if (!window || window == m_userArea)
        return;
    const qreal top = m_userArea->mapTo(window, QPoint(0, 0)).y();
    const qreal distance = window->height() - top;
    if (distance > 0)
        m_callbacks.onDividerY(distance);
}

void SidebarView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    SidebarSurface::paintSurface(p, QRectF(rect()));
}
