#include "sheets/BackupSheet.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine/core/EngineText.h"
#include "ui/Hairline.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "ui/ZfcpMark.h"

namespace {

struct ModeTexts {
    const char* symbol;
    const char* title;
    const char* description;
    const char* recommendation;
    const char* hint;
};

ModeTexts textsFor(BackupMode mode)
{
    if (mode == BackupMode::multi)
        return {"square.stack.3d.down.right", "每个插件单独备份",
                "每个插件各生成一个 .zfcp 文件，统一保存到你指定的文件夹。",
                "推荐用于逐个分享或只恢复其中某几个插件。",
                "适合单个分享：同名文件会以「插件名.zfcp」保存，重名时自动加序号。"};
    return {"doc.zipper", "合并为一个备份文件", "所有选中的插件打包进同一个 .zfcp 文件，之后可一次性装回。",
            "推荐用于整库备份、迁移到新电脑。", "适合整库迁移或发给朋友：对方拖入一个文件即可装回全部插件。"};
}

QLabel* plainLabel(QWidget* parent, const QString& text = {})
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

void setColor(QWidget* widget, const QColor& color)
{
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, color);
    widget->setPalette(p);
}

// The "默认" badge: tiny text on a faint capsule.
class Badge : public QLabel
{
public:
    explicit Badge(const QString& text, QWidget* parent) : QLabel(text, parent)
    {
        setTextFormat(Qt::PlainText);
        setContentsMargins(5, 0, 5, 0);
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Theme::ink(0.07));
        const QRectF r = QRectF(rect()).adjusted(0, 0.5, 0, -0.5);
        p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
        p.end();
        QLabel::paintEvent(event);
    }
};

} // namespace

// One mode as a clickable card: radio mark, symbol, title (and badge), description
// and recommendation.
class BackupSheet::OptionCard : public QWidget
{
public:
    OptionCard(BackupMode mode, BackupSheet* sheet) : QWidget(sheet), m_mode(mode), m_sheet(sheet)
    {
        const ModeTexts t = textsFor(mode);
        setCursor(Qt::PointingHandCursor);
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(12, 12, 12, 12);
        row->setSpacing(10);
        m_radio = new QLabel(this);
        m_radio->setContentsMargins(0, 1, 0, 0);
        row->addWidget(m_radio, 0, Qt::AlignTop);
        auto* column = new QVBoxLayout;
        column->setSpacing(3);
        auto* titleLine = new QHBoxLayout;
        titleLine->setSpacing(6);
        m_symbol = new QLabel(this);
        titleLine->addWidget(m_symbol, 0, Qt::AlignVCenter);
        m_title = plainLabel(this, QString::fromUtf8(t.title));
        titleLine->addWidget(m_title, 0, Qt::AlignVCenter);
        if (mode == BackupMode::multi) {
            m_badge = new Badge(QStringLiteral("默认"), this);
            titleLine->addWidget(m_badge, 0, Qt::AlignVCenter);
        }
        titleLine->addStretch(1);
        column->addLayout(titleLine);
        m_description = plainLabel(this, QString::fromUtf8(t.description));
        m_description->setWordWrap(true);
        column->addWidget(m_description);
        m_recommendation = plainLabel(this, QString::fromUtf8(t.recommendation));
        m_recommendation->setWordWrap(true);
        column->addWidget(m_recommendation);
        row->addLayout(column, 1);
        restyle();
    }

    bool selected() const { return m_sheet->mode() == m_mode; }

    void restyle()
    {
        const bool on = selected();
        m_radio->setPixmap(SymbolIcon::pixmap(on ? QStringLiteral("largecircle.fill.circle") : QStringLiteral("circle"), 15,
                                              on ? Theme::accent() : Theme::textSecondary(), devicePixelRatioF()));
        m_symbol->setPixmap(SymbolIcon::pixmap(QString::fromLatin1(textsFor(m_mode).symbol), 13, Theme::textSecondary(),
                                               devicePixelRatioF()));
        m_title->setFont(Theme::bodyStrongFont());
        m_description->setFont(Theme::captionFont());
        setColor(m_description, Theme::textSecondary());
        m_recommendation->setFont(Theme::tinyFont());
        setColor(m_recommendation, Theme::textTertiary());
        if (m_badge) {
            m_badge->setFont(Theme::tinyFont());
            setColor(m_badge, Theme::textSecondary());
        }
        update();
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
            m_sheet->setMode(m_mode);
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const bool on = selected();
        const qreal line = on ? 1.2 : 0.5;
        p.setPen(Qt::NoPen);
        p.setBrush(on ? Theme::selectionBg() : Theme::cardBg());
        p.drawRoundedRect(QRectF(rect()), 9, 9);
        p.setPen(QPen(on ? Theme::alpha(Theme::accent(), 0.65) : Theme::cardStroke(), line));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(rect()).adjusted(line / 2, line / 2, -line / 2, -line / 2), 9, 9);
    }

private:
    BackupMode m_mode;
    BackupSheet* m_sheet;
    QLabel* m_radio;
    QLabel* m_symbol;
    QLabel* m_title;
    QLabel* m_badge = nullptr;
    QLabel* m_description;
    QLabel* m_recommendation;
};

// The hint of the chosen mode under a light bulb.
class BackupSheet::TipBox : public QWidget
{
public:
    explicit TipBox(QWidget* parent) : QWidget(parent)
    {
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(10, 8, 10, 8);
        row->setSpacing(6);
        m_bulb = new QLabel(this);
        m_bulb->setContentsMargins(0, 1, 0, 0);
        row->addWidget(m_bulb, 0, Qt::AlignTop);
        m_text = plainLabel(this);
        m_text->setWordWrap(true);
        row->addWidget(m_text, 1);
    }

    void setText(const QString& text) { m_text->setText(text); }
    QString text() const { return m_text->text(); }

    void restyle()
    {
        m_bulb->setPixmap(SymbolIcon::pixmap(QStringLiteral("lightbulb.fill"), 11, Theme::accent(), devicePixelRatioF()));
        m_text->setFont(Theme::tinyFont());
        setColor(m_text, Theme::textSecondary());
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Theme::ink(0.045));
        p.drawRoundedRect(QRectF(rect()), 8, 8);
    }

private:
    QLabel* m_bulb;
    QLabel* m_text;
};

BackupSheet::BackupSheet(int count, qint64 totalBytes, BackupMode mode, Action onCancel, Action onConfirm,
                         QWidget* parent)
    : QDialog(parent), m_count(count), m_totalBytes(totalBytes), m_mode(mode), m_onCancel(std::move(onCancel)),
      m_onConfirm(std::move(onConfirm))
{
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QStringLiteral("打包备份插件"));
    setFixedWidth(kWidth);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(16);
    column->setSizeConstraint(QLayout::SetFixedSize);

    auto* header = new QHBoxLayout;
    header->setSpacing(10);
    header->addWidget(new ZfcpMark(38, false, this));
    auto* titles = new QVBoxLayout;
    titles->setSpacing(1);
    m_title = plainLabel(this, QStringLiteral("打包备份插件"));
    m_summary = plainLabel(this, summaryText());
    titles->addWidget(m_title);
    titles->addWidget(m_summary);
    header->addLayout(titles);
    header->addStretch(1);
    column->addLayout(header);

    auto* cards = new QVBoxLayout;
    cards->setSpacing(8);
    m_multiCard = new OptionCard(BackupMode::multi, this);
    m_singleCard = new OptionCard(BackupMode::single, this);
    m_multiCard->setFixedWidth(kWidth - 40);
    m_singleCard->setFixedWidth(kWidth - 40);
    cards->addWidget(m_multiCard);
    cards->addWidget(m_singleCard);
    column->addLayout(cards);

    m_tip = new TipBox(this);
    m_tip->setFixedWidth(kWidth - 40);
    column->addWidget(m_tip);
    column->addWidget(new Hairline(this));

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    m_footnote = plainLabel(this, QStringLiteral("备份文件为 .zfcp 格式，可随时拖回窗口还原。"));
    buttons->addWidget(m_footnote);
    buttons->addStretch(1);
    m_cancel = new QPushButton(QStringLiteral("取消"), this);
    m_cancel->setAutoDefault(false);
    m_cancel->setFocusPolicy(Qt::NoFocus);
    m_confirm = new QPushButton(QStringLiteral("开始备份"), this);
    m_confirm->setDefault(true);
    m_confirm->setEnabled(count > 0);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_confirm);
    column->addLayout(buttons);

    connect(m_cancel, &QPushButton::clicked, this, [this] {
        if (m_onCancel)
            m_onCancel();
    });
    connect(m_confirm, &QPushButton::clicked, this, [this] {
        if (m_count > 0 && m_onConfirm)
            m_onConfirm();
    });
    restyle();
    sync();
}

QString BackupSheet::summaryText() const
{
    return QStringLiteral("已选择 %1 个插件 · 共 %2").arg(m_count).arg(EngineText::byteCountText(m_totalBytes));
}

QString BackupSheet::hintText(BackupMode mode)
{
    return QString::fromUtf8(textsFor(mode).hint);
}

QString BackupSheet::hintText() const
{
    return m_tip->text();
}

QWidget* BackupSheet::card(BackupMode mode) const
{
    return mode == BackupMode::multi ? static_cast<QWidget*>(m_multiCard) : m_singleCard;
}

void BackupSheet::setMode(BackupMode mode)
{
    if (mode == m_mode)
        return;
    m_mode = mode;
    sync();
    emit modeChanged(mode);
}

void BackupSheet::sync()
{
    m_tip->setText(hintText(m_mode));
    m_multiCard->restyle();
    m_singleCard->restyle();
}

void BackupSheet::restyle()
{
    m_title->setFont(Theme::headingFont());
    m_summary->setFont(Theme::captionFont());
    setColor(m_summary, Theme::textSecondary());
    m_footnote->setFont(Theme::tinyFont());
    setColor(m_footnote, Theme::textTertiary());
    m_cancel->setFont(Theme::captionFont());
    m_confirm->setFont(Theme::calloutFont());
    makeProminent(m_confirm, Theme::accent());
    m_tip->restyle();
}

void BackupSheet::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange) {
        restyle();
        sync();
    }
    QDialog::changeEvent(event);
}

void BackupSheet::dismiss()
{
    m_dismissing = true;
    done(QDialog::Rejected);
}

void BackupSheet::reject()
{
    if (m_dismissing) {
        QDialog::reject();
        return;
    }
    if (m_onCancel)
        m_onCancel();
}

void BackupSheet::closeEvent(QCloseEvent* event)
{
    if (m_dismissing) {
        QDialog::closeEvent(event);
        return;
    }
    event->ignore();
    if (m_onCancel)
        m_onCancel();
}
