#include "library/PluginSearchBar.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>

#include "engine/library/AppState.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"

namespace {

constexpr int kOuterH = 20;
constexpr int kOuterTop = 10;
constexpr int kOuterBottom = 6;
constexpr qreal kRadius = 8;

} // namespace

PluginSearchBar::PluginSearchBar(AppState* state, QWidget* parent)
    : QWidget(parent)
    , m_state(state)
    , m_frame(new QWidget(this))
    , m_field(new QLineEdit(m_frame))
    , m_clear(new QToolButton(m_frame))
    , m_cancel(new QPushButton(QStringLiteral("取消"), m_frame))
{
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(kOuterH, kOuterTop, kOuterH, kOuterBottom);
    outer->addWidget(m_frame);

    auto* row = new QHBoxLayout(m_frame);
    row->setContentsMargins(10, 7, 10, 7);
    row->setSpacing(8);
    auto* glass = new QLabel(m_frame);
    glass->setObjectName(QStringLiteral("searchGlass"));
    row->addWidget(glass);
    m_field->setPlaceholderText(QStringLiteral("搜索插件名称"));
    m_field->setFrame(false);
    m_field->setClearButtonEnabled(false);
    m_field->setText(state->searchText());
    m_field->installEventFilter(this);
    row->addWidget(m_field, 1);
    m_clear->setToolTip(QStringLiteral("清空搜索"));
    m_clear->setAutoRaise(true);
    noFocusRing(m_clear);
    row->addWidget(m_clear);
    m_cancel->setFlat(true);
    m_cancel->setCursor(Qt::PointingHandCursor);
    noFocusRing(m_cancel);
    row->addWidget(m_cancel);

    connect(m_field, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (m_state)
            m_state->setSearchText(text);
    });
    connect(state, &AppState::searchTextChanged, this, [this](const QString& text) {
        if (m_field->text() != text)
            m_field->setText(text);
        syncClear();
    });
    connect(m_clear, &QToolButton::clicked, this, [this] {
        if (m_state)
            m_state->setSearchText(QString());
        m_field->setFocus(Qt::OtherFocusReason);
    });
    connect(m_cancel, &QPushButton::clicked, this, &PluginSearchBar::closeRequested);
    restyle();
    syncClear();
}

void PluginSearchBar::syncClear()
{
    m_clear->setVisible(m_state && !m_state->searchText().isEmpty());
}

void PluginSearchBar::restyle()
{
    m_field->setFont(Theme::calloutFont());
    QPalette fp = m_field->palette();
    fp.setColor(QPalette::Base, Qt::transparent);
    m_field->setPalette(fp);
    if (auto* glass = m_frame->findChild<QLabel*>(QStringLiteral("searchGlass")))
        glass->setPixmap(SymbolIcon::pixmap(QStringLiteral("magnifyingglass"), 12, Theme::textSecondary(), devicePixelRatioF()));
    m_clear->setIcon(QIcon(SymbolIcon::pixmap(QStringLiteral("xmark.circle.fill"), 12, Theme::textSecondary(), devicePixelRatioF())));
    m_clear->setIconSize(QSize(12, 12));
    m_cancel->setFont(Theme::captionFont());
    QPalette cp = m_cancel->palette();
    cp.setColor(QPalette::ButtonText, Theme::accent());
    m_cancel->setPalette(cp);
}

void PluginSearchBar::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange)
        restyle();
    QWidget::changeEvent(event);
}

bool PluginSearchBar::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_field) {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            emit closeRequested();
            return true;
        }
        if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)
            update();
    }
    return QWidget::eventFilter(watched, event);
}

void PluginSearchBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(m_frame->geometry());
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::ink(0.055));
    p.drawRoundedRect(frame, kRadius, kRadius);
    const qreal line = 0.6;
    const QRectF inner = frame.adjusted(line / 2, line / 2, -line / 2, -line / 2);
    p.setPen(QPen(m_field->hasFocus() ? Theme::alpha(Theme::accent(), 0.45) : Theme::ink(0.1), line));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(inner, kRadius, kRadius);
}
