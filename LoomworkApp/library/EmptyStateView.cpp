#include "library/EmptyStateView.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/SymbolIcon.h"
#include "ui/Theme.h"

class EmptyStateView::Icon : public QWidget
{
public:
    explicit Icon(QWidget* parent) : QWidget(parent) { setFixedSize(84, 84); }
    QString symbol;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Theme::cardBg());
        p.drawEllipse(QRectF(rect()));
        SymbolIcon::paint(p, QRectF(rect()), symbol, Theme::alpha(Theme::textSecondary(), 0.75), 38);
    }
};

EmptyStateView::EmptyStateView(QWidget* parent)
    : QWidget(parent)
    , m_icon(new Icon(this))
    , m_title(new QLabel(this))
    , m_message(new QLabel(this))
    , m_refresh(new QPushButton(QStringLiteral("刷新列表"), this))
    , m_install(new QPushButton(QStringLiteral("选择 .zfcp 文件…"), this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(32, 32, 32, 32);
    column->setSpacing(14);
    column->addStretch(1);
    column->addWidget(m_icon, 0, Qt::AlignHCenter);

    auto* words = new QVBoxLayout;
    words->setSpacing(5);
    m_title->setTextFormat(Qt::PlainText);
    m_title->setAlignment(Qt::AlignHCenter);
    m_message->setTextFormat(Qt::PlainText);
    m_message->setAlignment(Qt::AlignHCenter);
    m_message->setWordWrap(true);
    m_message->setMaximumWidth(kMessageWidth);
    words->addWidget(m_title, 0, Qt::AlignHCenter);
    words->addWidget(m_message, 0, Qt::AlignHCenter);
    column->addLayout(words);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->setContentsMargins(0, 2, 0, 0);
    buttons->addStretch(1);
    buttons->addWidget(m_refresh);
    buttons->addWidget(m_install);
    buttons->addStretch(1);
    column->addLayout(buttons);
    column->addStretch(1);

    m_install->setDefault(false);
    m_install->setAutoDefault(false);
    m_refresh->setAutoDefault(false);
    connect(m_refresh, &QPushButton::clicked, this, &EmptyStateView::refreshRequested);
    connect(m_install, &QPushButton::clicked, this, &EmptyStateView::installRequested);
    restyle();
    setHasAnyPlugin(false);
}

QString EmptyStateView::title() const
{
    return m_hasAnyPlugin ? QStringLiteral("没有符合条件的插件") : QStringLiteral("尚未检测到已安装的插件");
}

QString EmptyStateView::message() const
{
    return m_hasAnyPlugin ? QStringLiteral("试试调整左侧分类，或清空搜索关键词。")
                          : QStringLiteral("把 .zfcp 备份文件拖进窗口即可自动安装，也可以点工具栏的「安装」选择文件。");
}

QString EmptyStateView::symbol() const
{
    return m_hasAnyPlugin ? QStringLiteral("line.3.horizontal.decrease.circle") : QStringLiteral("shippingbox");
}

void EmptyStateView::setHasAnyPlugin(bool hasAnyPlugin)
{
    m_hasAnyPlugin = hasAnyPlugin;
    m_icon->symbol = symbol();
    m_icon->update();
    m_title->setText(title());
    m_message->setText(message());
    m_install->setVisible(!hasAnyPlugin);
    fitMessage();
}

void EmptyStateView::fitMessage()
{
    // As wide as the text needs, at most 340, then as many lines as that takes.
    const int natural = QFontMetrics(m_message->font()).horizontalAdvance(m_message->text()) + 2;
    const int width = std::min(natural, kMessageWidth);
    m_message->setFixedWidth(width);
    const int height = m_message->heightForWidth(width);
    if (height > 0)
        m_message->setFixedHeight(height);
}

void EmptyStateView::restyle()
{
    m_title->setFont(Theme::headingFont());
    m_message->setFont(Theme::captionFont());
    QPalette p = m_message->palette();
    p.setColor(QPalette::WindowText, Theme::textSecondary());
    m_message->setPalette(p);
    m_refresh->setFont(Theme::calloutFont());
    m_install->setFont(Theme::calloutFont());
    makeProminent(m_install, Theme::accent());
    fitMessage();
}

void EmptyStateView::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange)
        restyle();
    QWidget::changeEvent(event);
}
