#include "sheets/VersionSheet.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include "ui/BusySpinner.h"
#include "ui/Hairline.h"
#include "ui/SafeText.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "sheets/SheetPieces.h"
#include "sheets/TemplateSheetPieces.h"

using TemplateSheetPieces::InfoChip;
using SheetPieces::tone;

namespace {

constexpr int kListPadX = 12;
constexpr int kListPadY = 8;
constexpr int kStackSpacing = 2;
constexpr int kRowPadX = 10;
constexpr int kRowPadY = 7;
constexpr int kCellSpacing = 10;
constexpr int kRadioWidth = 16;
constexpr int kFcpWidth = 124;
constexpr int kMotionWidth = 100;
constexpr int kChipWidth = 92;
constexpr int kTagHeaderWidth = 32;

QColor availabilityColor(VersionSheetModel::Availability availability)
{
    switch (availability) {
    case VersionSheetModel::Availability::available: return Theme::positive();
    case VersionSheetModel::Availability::downgrade: return Theme::accent();
    case VersionSheetModel::Availability::beyondInstalled: return Theme::warning();
    case VersionSheetModel::Availability::undetermined: break;
    }
    return Theme::textSecondary();
}

QColor tagColor(VersionSheetModel::TagTone tone)
{
    switch (tone) {
    case VersionSheetModel::TagTone::current: return Theme::positive();
    case VersionSheetModel::TagTone::upgrade: return Theme::accent();
    case VersionSheetModel::TagTone::other: break;
    }
    return Theme::warning();
}

QSizeF tagSize(const QString& text)
{
    const QFontMetricsF fm(Theme::tinyFont());
    return {fm.horizontalAdvance(text) + 12, fm.height() + 4};
}

} // namespace

// The column header and the rows, painted; a click on a row selects it.
class VersionSheet::RowList : public QWidget
{
public:
    explicit RowList(VersionSheetModel* model, QWidget* parent) : QWidget(parent), m_model(model)
    {
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        // The scroll area sizes its content no smaller than this.
        setMinimumHeight(sizeHint().height());
    }

    int headerHeight() const { return QFontMetrics(Theme::sectionFont()).height() + 4; }
    int rowHeight() const
    {
        const int text = QFontMetrics(Theme::bodyStrongFont()).height();
        return std::max(text, int(std::ceil(tagSize(QStringLiteral("当前")).height()))) + 2 * kRowPadY;
    }
    QRect rowRect(int index) const
    {
        const int top = kListPadY + headerHeight() + kStackSpacing + index * (rowHeight() + kStackSpacing);
        return {kListPadX, top, width() - 2 * kListPadX, rowHeight()};
    }
    QSize sizeHint() const override
    {
        const int n = int(m_model->rows().size());
        return {VersionSheet::kWidth, rowRect(n).top() - kStackSpacing + kListPadY};
    }
    int rowAt(const QPoint& pos) const
    {
        for (int i = 0; i < m_model->rows().size(); ++i) {
            if (rowRect(i).contains(pos))
                return i;
        }
        return -1;
    }

protected:
    struct Cells
    {
        QRectF radio, fcp, motion, chip, tag;
    };

    // The cells of a row; the tag (when there is one) takes its natural width at the end.
    Cells cells(const QRect& row, const std::optional<QString>& tag) const
    {
        return cells(row, tag ? tagSize(*tag).width() : 0.0, tag ? tagSize(*tag).height() : 0.0);
    }
    Cells cells(const QRect& row, qreal tagWidth, qreal tagHeight) const
    {
        Cells c;
        const qreal top = row.top() + kRowPadY;
        const qreal h = row.height() - 2 * kRowPadY;
        qreal x = row.left() + kRowPadX;
        c.radio = QRectF(x, top, kRadioWidth, h);
        x += kRadioWidth + kCellSpacing;
        c.fcp = QRectF(x, top, kFcpWidth, h);
        x += kFcpWidth + kCellSpacing;
        c.motion = QRectF(x, top, kMotionWidth, h);
        qreal right = row.right() + 1 - kRowPadX;
        if (tagWidth > 0) {
            c.tag = QRectF(right - tagWidth, top + (h - tagHeight) / 2, tagWidth, tagHeight);
            right -= tagWidth + kCellSpacing;
        }
        c.chip = QRectF(right - kChipWidth, top, kChipWidth, h);
        return c;
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        // Column header.
        const QRect header(kListPadX, kListPadY, width() - 2 * kListPadX, headerHeight() - 4);
        const Cells h = cells(header.adjusted(0, -kRowPadY, 0, kRowPadY), kTagHeaderWidth, header.height());
        p.setFont(Theme::sectionFont());
        p.setPen(Theme::textSecondary());
        p.drawText(h.fcp, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("FCPX 版本"));
        p.drawText(h.motion, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Motion 版本"));
        p.drawText(h.chip, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("本机"));
        p.drawText(h.tag, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("对比"));

        const auto& rows = m_model->rows();
        for (int i = 0; i < rows.size(); ++i) {
            const CompatRow& row = rows[i];
            const QRect r = rowRect(i);
            const bool selected = m_model->isSelected(i);
            if (selected) {
                QPainterPath bg;
                bg.addRoundedRect(QRectF(r), 8, 8);
                p.fillPath(bg, Theme::selectionBg());
            }
            const auto tag = m_model->comparisonTag(row);
            const Cells c = cells(r, tag);
            SymbolIcon::paint(p, c.radio, selected ? u"largecircle.fill.circle" : u"circle",
                              selected ? Theme::accent() : Theme::alpha(Theme::textSecondary(), 0.5), 14);
            p.setFont(Theme::bodyStrongFont());
            p.setPen(Theme::textPrimary());
            p.drawText(c.fcp, Qt::AlignLeft | Qt::AlignVCenter,
                       QFontMetrics(Theme::bodyStrongFont()).elidedText(QStringLiteral("FCPX ") + row.fcp, Qt::ElideRight, int(c.fcp.width())));
            p.setFont(Theme::captionFont());
            p.setPen(Theme::textSecondary());
            p.drawText(c.motion, Qt::AlignLeft | Qt::AlignVCenter,
                       QFontMetrics(Theme::captionFont()).elidedText(QStringLiteral("Motion ") + row.motion, Qt::ElideRight,
                                                             int(c.motion.width())));
            const auto availability = m_model->availability(row);
            p.setFont(Theme::tinyFont());
            p.setPen(availabilityColor(availability));
            p.drawText(c.chip, Qt::AlignRight | Qt::AlignVCenter, VersionSheetModel::availabilityText(availability));
            if (tag) {
                const QColor color = tagColor(m_model->tagTone(row));
                QPainterPath capsule;
                capsule.addRoundedRect(c.tag, c.tag.height() / 2, c.tag.height() / 2);
                p.fillPath(capsule, Theme::alpha(color, 0.12));
                p.setPen(color);
                p.drawText(c.tag, Qt::AlignCenter, *tag);
            }
        }
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        const int i = rowAt(event->position().toPoint());
        if (event->button() == Qt::LeftButton && i >= 0)
            m_model->select(i);
    }

    bool event(QEvent* event) override
    {
        if (event->type() == QEvent::ToolTip) {
            auto* help = static_cast<QHelpEvent*>(event);
            const int i = rowAt(help->pos());
            QString tip;
            if (i >= 0) {
                const CompatRow& row = m_model->rows()[i];
                if (cells(rowRect(i), m_model->comparisonTag(row)).chip.contains(help->pos()))
                    tip = VersionSheetModel::availabilityTooltip(m_model->availability(row));
            }
            if (tip.isEmpty())
                QToolTip::hideText();
            else
                QToolTip::showText(help->globalPos(), SafeText::toolTip(tip), this);
            return true;
        }
        return QWidget::event(event);
    }

private:
    VersionSheetModel* m_model;
};

VersionSheet::VersionSheet(const Plugin& plugin, const CompatTable& table, const std::optional<QString>& installedFCP,
                           std::function<void()> onApplied, QWidget* parent)
    : QDialog(parent), m_model(plugin, table, installedFCP), m_onApplied(std::move(onApplied))
{
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QStringLiteral("版本升降"));
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QVBoxLayout;
    header->setContentsMargins(20, 18, 20, 14);
    header->setSpacing(8);
    auto* titleLine = new QHBoxLayout;
    titleLine->setSpacing(8);
    m_symbol = new QLabel(this);
    titleLine->addWidget(m_symbol);
    m_title = SheetPieces::label(QStringLiteral("版本升降"), Theme::headingFont());
    titleLine->addWidget(m_title);
    titleLine->addStretch(1);
    m_name = new SheetPieces::LineLabel(plugin.name, Qt::ElideMiddle, this);
    m_name->setMaximumWidth(320);
    titleLine->addWidget(m_name);
    header->addLayout(titleLine);
    m_chips = new QHBoxLayout;
    m_chips->setSpacing(6);
    for (const auto& chip : m_model.infoChips()) {
        auto* view = new InfoChip(this);
        const auto tone = chip.tone;
        view->set(chip.text, [tone] {
            return tone == VersionSheetModel::ChipTone::green    ? Theme::positive()
                   : tone == VersionSheetModel::ChipTone::orange ? Theme::warning()
                                                                 : Theme::textSecondary();
        });
        m_chips->addWidget(view);
    }
    m_chips->addStretch(1);
    header->addLayout(m_chips);
    column->addLayout(header);
    column->addWidget(new Hairline(this));

    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_rows = new RowList(&m_model, m_scroll);
    m_scroll->setWidget(m_rows);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_rows->setAutoFillBackground(false);
    column->addWidget(m_scroll, 1);
    column->addWidget(new Hairline(this));

    m_footer = new TemplateSheetPieces::Bar(this);
    auto* footer = new QVBoxLayout(m_footer);
    footer->setContentsMargins(20, 14, 20, 14);
    footer->setSpacing(10);
    m_message = new TemplateSheetPieces::Message(m_footer);
    footer->addWidget(m_message);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    m_spinner = new BusySpinner(BusySpinner::Size::small, m_footer);
    buttons->addWidget(m_spinner);
    m_working = SheetPieces::label(VersionSheetModel::workingText(), Theme::captionFont());
    buttons->addWidget(m_working);
    buttons->addStretch(1);
    m_cancel = new QPushButton(QStringLiteral("取消"), m_footer);
    m_cancel->setAutoDefault(false);
    m_confirm = new QPushButton(m_footer);
    m_confirm->setDefault(true);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_confirm);
    footer->addLayout(buttons);
    column->addWidget(m_footer);

    connect(m_cancel, &QPushButton::clicked, this, [this] {
        if (m_model.canCancel())
            dismiss();
    });
    connect(m_confirm, &QPushButton::clicked, this, [this] {
        if (!m_model.canConfirm())
            return;
        if (m_model.resultText())
            dismiss();
        else
            m_model.apply();
    });
    connect(&m_model, &VersionSheetModel::stateChanged, this, &VersionSheet::sync);
    connect(&m_model, &VersionSheetModel::applied, this, [this] {
        if (m_onApplied)
            m_onApplied();
    });
    restyle();
    sync();
}

QString VersionSheet::messageText() const
{
    return m_message->text();
}

QRect VersionSheet::rowRect(int index) const
{
    return m_rows->rowRect(index);
}

void VersionSheet::sync()
{
    if (m_model.resultText())
        m_message->set(QStringLiteral("checkmark.circle.fill"), *m_model.resultText(), Theme::captionFont(), [] { return Theme::positive(); });
    else if (m_model.errorText())
        m_message->set(QStringLiteral("exclamationmark.triangle.fill"), *m_model.errorText(), Theme::captionFont(),
                       [] { return Theme::danger(); });
    else
        m_message->set(QString(), VersionSheetModel::footerNote(), Theme::tinyFont(), [] { return Theme::textSecondary(); });
    const bool working = m_model.isWorking();
    m_spinner->setVisible(working);
    m_working->setVisible(working);
    m_working->setText(m_model.waitingText().isEmpty() ? VersionSheetModel::workingText() : m_model.waitingText());
    m_cancel->setEnabled(m_model.canCancel());
    m_confirm->setText(m_model.confirmTitle());
    m_confirm->setEnabled(m_model.canConfirm());
    m_rows->update();
}

void VersionSheet::restyle()
{
    m_symbol->setPixmap(SymbolIcon::pixmap(QStringLiteral("arrow.up.arrow.down.square"), 17, Theme::accent(), devicePixelRatioF()));
    m_title->setFont(Theme::headingFont());
    m_name->setFont(Theme::captionFont());
    tone(m_name, Theme::textSecondary());
    m_working->setFont(Theme::captionFont());
    tone(m_working, Theme::textSecondary());
    m_cancel->setFont(Theme::captionFont());
    m_confirm->setFont(Theme::calloutFont());
    makeProminent(m_confirm, Theme::accent());
    m_message->restyle();
    update();
}

void VersionSheet::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange)
        restyle();
    QDialog::changeEvent(event);
}

void VersionSheet::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    if (m_model.requirementIndex())
        QTimer::singleShot(kScrollDelayMs, this, &VersionSheet::centreRequirement);
}

void VersionSheet::centreRequirement()
{
    const auto index = m_model.requirementIndex();
    if (!index)
        return;
    const QRect row = m_rows->rowRect(*index);
    m_scroll->verticalScrollBar()->setValue(row.center().y() - m_scroll->viewport()->height() / 2);
}

void VersionSheet::dismiss()
{
    done(QDialog::Rejected);
}

void VersionSheet::reject()
{
    // Esc while a rewrite runs does nothing, as the disabled "取消".
    if (m_model.canCancel())
        dismiss();
}

void VersionSheet::closeEvent(QCloseEvent* event)
{
    if (m_model.isWorking()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}
