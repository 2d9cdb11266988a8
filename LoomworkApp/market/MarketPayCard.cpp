#include "market/MarketPayCard.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "market/MarketPanelPaint.h"
#include "ui/BusySpinner.h"
#include "ui/Hairline.h"
#include "ui/SymbolIcon.h"
#include "ui/Appearance.h"
#include "ui/Theme.h"

namespace {

QLabel* plainLabel(const QFont& font, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    return label;
}

QLabel* symbolLabel(const QString& symbol, qreal points, QColor (*color)(), QWidget* parent)
{
    auto* label = new QLabel(parent);
    Appearance::follow(label, [=] { label->setPixmap(SymbolIcon::pixmap(symbol, points, color(), parent->devicePixelRatioF())); });
    label->setAlignment(Qt::AlignCenter);
    return label;
}

enum Face { kBusy, kWaiting, kFailed, kPaid };

} // namespace

MarketPayCard::MarketPayCard(const MarketPlugin& plugin, MarketPayModel::Service service, QWidget* parent)
    : QWidget(parent)
    , m_model(new MarketPayModel(plugin, std::move(service), this))
{
    setFixedSize(kWidth, kHeight);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // Header: tile, title and price line.
    auto* header = new QHBoxLayout;
    header->setContentsMargins(18, 16, 18, 12);
    header->setSpacing(10);
    auto* tile = symbolLabel(QStringLiteral("creditcard.fill"), 15, &Theme::purchase, this);
    tile->setFixedSize(34, 34);
    tile->setObjectName(QStringLiteral("payTile"));
    header->addWidget(tile);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    auto* title = plainLabel(Theme::headingFont(), this);
    title->setText(m_model->title());
    title->setWordWrap(true);
    m_price = plainLabel(Theme::tinyFont(), this);
    m_price->setText(m_model->priceLine());
    followColour(m_price, QPalette::WindowText, &Theme::textSecondary);
    titles->addWidget(title);
    titles->addWidget(m_price);
    header->addLayout(titles, 1);
    column->addLayout(header);
    column->addWidget(new Hairline(this));

    // Middle: the channel picker over one of four faces.
    auto* middle = new QVBoxLayout;
    middle->setContentsMargins(18, 14, 18, 14);
    middle->setSpacing(12);
    m_picker = new QWidget(this);
    m_pickerRow = new QHBoxLayout(m_picker);
    m_pickerRow->setContentsMargins(0, 0, 0, 0);
    m_pickerRow->setSpacing(0);
    m_pickerGroup = new QButtonGroup(this);
    m_picker->setFixedWidth(200);
    middle->addWidget(m_picker, 0, Qt::AlignHCenter);

    m_faces = new QStackedWidget(this);
    auto* busy = new QWidget;
    auto* busyColumn = new QVBoxLayout(busy);
    busyColumn->addStretch();
    busyColumn->addWidget(new BusySpinner(BusySpinner::Size::regular, busy), 0, Qt::AlignHCenter);
    m_creating = plainLabel(Theme::tinyFont(), busy);
    m_creating->setText(QStringLiteral("正在生成支付二维码…"));
    busyColumn->addWidget(m_creating, 0, Qt::AlignHCenter);
    busyColumn->addStretch();
    m_faces->addWidget(busy);

    auto* waiting = new QWidget;
    auto* waitColumn = new QVBoxLayout(waiting);
    waitColumn->setSpacing(10);
    waitColumn->addStretch();
    m_qr = new QLabel(waiting);
    m_qr->setFixedSize(168, 168);
    m_qr->setObjectName(QStringLiteral("payQr"));
    waitColumn->addWidget(m_qr, 0, Qt::AlignHCenter);
    m_scan = plainLabel(Theme::captionFont(), waiting);
    waitColumn->addWidget(m_scan, 0, Qt::AlignHCenter);
    m_expiry = plainLabel(Theme::tinyFont(), waiting);
    waitColumn->addWidget(m_expiry, 0, Qt::AlignHCenter);
    waitColumn->addStretch();
    m_faces->addWidget(waiting);

    auto* failed = new QWidget;
    auto* failColumn = new QVBoxLayout(failed);
    failColumn->setSpacing(10);
    failColumn->addStretch();
    failColumn->addWidget(symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), 26, &Theme::warning, failed));
    m_failure = plainLabel(Theme::captionFont(), failed);
    m_failure->setAlignment(Qt::AlignCenter);
    m_failure->setWordWrap(true);
    failColumn->addWidget(m_failure);
    m_retry = new QPushButton(QStringLiteral("重新生成二维码"), failed);
    m_retry->setDefault(true);
    connect(m_retry, &QPushButton::clicked, m_model, &MarketPayModel::create);
    failColumn->addWidget(m_retry, 0, Qt::AlignHCenter);
    failColumn->addStretch();
    m_faces->addWidget(failed);

    auto* done = new QWidget;
    auto* doneColumn = new QVBoxLayout(done);
    doneColumn->setSpacing(10);
    doneColumn->addStretch();
    doneColumn->addWidget(symbolLabel(QStringLiteral("checkmark.circle.fill"), 34, &Theme::positive, done));
    auto* doneText = plainLabel(Theme::bodyStrongFont(), done);
    doneText->setText(QStringLiteral("支付成功，正在下载安装"));
    doneColumn->addWidget(doneText, 0, Qt::AlignHCenter);
    doneColumn->addStretch();
    m_faces->addWidget(done);
    middle->addWidget(m_faces, 1);
    column->addLayout(middle, 1);
    column->addWidget(new Hairline(this));

    // Footer.
    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(18, 12, 18, 12);
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, m_model, &MarketPayModel::cancel);
    footer->addWidget(cancel);
    footer->addStretch();
    auto* note = plainLabel(Theme::tinyFont(), this);
    note->setText(QStringLiteral("支付完成后自动开始下载"));
    followColour(note, QPalette::WindowText, &Theme::textTertiary);
    footer->addWidget(note);
    column->addLayout(footer);

    connect(m_model, &MarketPayModel::changed, this, &MarketPayCard::refresh);
    connect(m_model, &MarketPayModel::cancelled, this, &MarketPayCard::cancelled);
    connect(m_model, &MarketPayModel::paid, this, &MarketPayCard::paid);
    connect(m_pickerGroup, &QButtonGroup::idClicked, this, [this](int index) {
        const auto offered = m_model->availableChannels();
        if (index >= 0 && index < offered.size())
            m_model->chooseChannel(offered[index].key);
    });
    refresh();
}

void MarketPayCard::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_model->phase() == MarketPayModel::Phase::idle)
        m_model->appear();
}

void MarketPayCard::hideEvent(QHideEvent* event)
{
    m_model->disappear();
    QWidget::hideEvent(event);
}

void MarketPayCard::rebuildPicker()
{
    const auto offered = m_model->availableChannels();
    QString keys;
    for (const auto& channel : offered)
        keys += channel.key + u'\n';
    if (keys != m_pickerKeys) {
        m_pickerKeys = keys;
        for (auto* button : m_pickerGroup->buttons()) {
            m_pickerGroup->removeButton(button);
            delete button;
        }
        for (int i = 0; i < offered.size(); ++i) {
            auto* segment = new QPushButton(offered[i].name, m_picker);
            segment->setCheckable(true);
            segment->setAutoDefault(false);
            m_pickerGroup->addButton(segment, i);
            m_pickerRow->addWidget(segment, 1);
        }
    }
    for (int i = 0; i < offered.size(); ++i)
        m_pickerGroup->button(i)->setChecked(offered[i].key == m_model->channel());
}

void MarketPayCard::refresh()
{
    using Phase = MarketPayModel::Phase;
    const Phase phase = m_model->phase();
    const bool choosing = phase == Phase::idle || phase == Phase::creating || phase == Phase::waiting;
    m_picker->setVisible(choosing && m_model->showsPicker());
    if (m_picker->isVisible())
        rebuildPicker();
    switch (phase) {
    case Phase::idle:
    case Phase::creating:
        m_faces->setCurrentIndex(kBusy);
        break;
    case Phase::waiting: {
        m_faces->setCurrentIndex(kWaiting);
        const QImage qr = m_model->qrImage();
        m_qr->setVisible(!qr.isNull());
        if (!qr.isNull())
            m_qr->setPixmap(QPixmap::fromImage(qr));
        m_scan->setText(m_model->scanLine());
        m_expiry->setText(m_model->expiryLine());
        m_expiry->setVisible(!m_model->expiryLine().isEmpty());
        break;
    }
    case Phase::failed:
        m_faces->setCurrentIndex(kFailed);
        m_failure->setText(m_model->failureText());
        break;
    case Phase::paid:
        m_faces->setCurrentIndex(kPaid);
        break;
    }
}

void MarketPayCard::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    MarketPanelPaint::paintPanel(painter, QRectF(rect()), 14);
    // The header tile behind its symbol.
    if (auto* tile = findChild<QLabel*>(QStringLiteral("payTile"))) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::alpha(Theme::purchase(), 0.14));
        painter.drawRoundedRect(QRectF(tile->geometry()), 9, 9);
    }
    // The QR code sits on white whatever the appearance, so any scanner reads it.
    if (m_faces->currentIndex() == kWaiting && m_qr->isVisible()) {
        const QRect qr(m_qr->mapTo(this, QPoint(0, 0)), m_qr->size());
        painter.setBrush(Qt::white);
        painter.drawRoundedRect(QRectF(qr), 8, 8);
    }
}
