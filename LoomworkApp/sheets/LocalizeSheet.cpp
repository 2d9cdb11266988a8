#include "sheets/LocalizeSheet.h"

#include <QAbstractListModel>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <QVBoxLayout>

#include "ui/AppAlert.h"
#include "ui/BusySpinner.h"
#include "ui/Hairline.h"
#include "ui/SafeText.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "sheets/SheetPieces.h"
#include "sheets/TemplateSheetPieces.h"

using SheetPieces::tone;
using Content = LocalizeSheetModel::Content;

namespace {

constexpr int kPadX = 20;
constexpr int kRowPadY = 7;
constexpr int kNameWidth = 240;
constexpr int kSpacing = 10;
constexpr int kTrailing = 18;
constexpr int kFieldPadX = 8;
constexpr int kFieldPadY = 5;
constexpr int kEntryRole = Qt::UserRole + 1;

int rowHeight()
{
    const int name = QFontMetrics(Theme::captionFont()).height() + 1 + QFontMetrics(Theme::tinyFont()).height();
    const int field = QFontMetrics(Theme::captionFont()).height() + 2 * kFieldPadY;
    return std::max(name, field) + 2 * kRowPadY + 1;
}

QColor chipColor(LocalizeSheetModel::ChipTone tone)
{
    switch (tone) {
    case LocalizeSheetModel::ChipTone::orange: return Theme::warning();
    case LocalizeSheetModel::ChipTone::green: return Theme::positive();
    case LocalizeSheetModel::ChipTone::teal: return Theme::localizeAction();
    case LocalizeSheetModel::ChipTone::secondary: break;
    }
    return Theme::textSecondary();
}

QWidget* centred(QWidget* parent, const QList<QWidget*>& items, int spacing)
{
    auto* page = new QWidget(parent);
    auto* column = new QVBoxLayout(page);
    column->setSpacing(spacing);
    column->addStretch(1);
    for (QWidget* item : items)
        column->addWidget(item, 0, Qt::AlignHCenter);
    column->addStretch(1);
    return page;
}

} // namespace

QRect LocalizeSheet::fieldRect(const QRect& row)
{
    const int left = row.left() + kPadX + kNameWidth + kSpacing;
    const int right = row.right() + 1 - kPadX - kTrailing - kSpacing;
    const int h = QFontMetrics(Theme::captionFont()).height() + 2 * kFieldPadY;
    const int top = row.top() + (row.height() - 1 - h) / 2;
    return {left, top, right - left, h};
}

QRect LocalizeSheet::trailingRect(const QRect& row)
{
    const int left = row.right() + 1 - kPadX - kTrailing;
    return {left, row.top() + (row.height() - 1 - kTrailing) / 2, kTrailing, kTrailing};
}

// The rows of the current tab and search; an edit changes one row in place.
class LocalizeSheet::ListModel : public QAbstractListModel
{
public:
    explicit ListModel(LocalizeSheetModel* model, QObject* parent) : QAbstractListModel(parent), m_model(model)
    {
        connect(model, &LocalizeSheetModel::listChanged, this, [this] {
            beginResetModel();
            m_rowOf.clear();
            const auto& rows = m_model->filtered();
            for (int i = 0; i < rows.size(); ++i)
                m_rowOf.insert(rows[i], i);
            endResetModel();
        });
        connect(model, &LocalizeSheetModel::entryChanged, this, [this](int entry) {
            const auto row = m_rowOf.constFind(entry);
            if (row != m_rowOf.constEnd())
                emit dataChanged(index(*row), index(*row));
        });
    }

    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_model->filtered().size());
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override
    {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsEditable : Qt::NoItemFlags;
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || index.row() >= m_model->filtered().size())
            return {};
        const int entry = m_model->filtered()[index.row()];
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            return m_model->target(entry);
        if (role == kEntryRole)
            return entry;
        return {};
    }
    bool setData(const QModelIndex& index, const QVariant& value, int role) override
    {
        if (!index.isValid() || role != Qt::EditRole)
            return false;
        m_model->setTarget(m_model->filtered()[index.row()], value.toString());
        return true;
    }

private:
    LocalizeSheetModel* m_model;
    QHash<int, int> m_rowOf;
};

// Paints a row (the name column, the rendering's field, the trailing button and the
// divider) and edits the rendering in a frameless line edit over the field; every
// keystroke reaches the model at once.
class LocalizeSheet::RowDelegate : public QStyledItemDelegate
{
public:
    RowDelegate(LocalizeSheetModel* model, QListView* view, std::function<void()> onReturn)
        : QStyledItemDelegate(view), m_model(model), m_view(view), m_onReturn(std::move(onReturn))
    {
    }

    // Return in a field is the sheet's default action, as it is anywhere else in the sheet.
    bool eventFilter(QObject* object, QEvent* event) override
    {
        auto* editor = qobject_cast<QLineEdit*>(object);
        if (editor && event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if ((key == Qt::Key_Return || key == Qt::Key_Enter) && m_onReturn) {
                emit commitData(editor);
                emit closeEditor(editor, QAbstractItemDelegate::NoHint);
                QMetaObject::invokeMethod(m_view, m_onReturn, Qt::QueuedConnection);
                return true;
            }
        }
        return QStyledItemDelegate::eventFilter(object, event);
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override
    {
        return {option.rect.width(), rowHeight()};
    }

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const int entry = index.data(kEntryRole).toInt();
        const auto& e = m_model->entries()[entry];
        const QRect r = option.rect;
        p->save();
        p->setRenderHint(QPainter::Antialiasing);

        const QFontMetrics caption(Theme::captionFont());
        const QFontMetrics tiny(Theme::tinyFont());
        const int nameTop = r.top() + (r.height() - 1 - (caption.height() + 1 + tiny.height())) / 2;
        p->setFont(Theme::captionFont());
        p->setPen(Theme::textPrimary());
        p->drawText(QRect(r.left() + kPadX, nameTop, kNameWidth, caption.height()), Qt::AlignLeft | Qt::AlignVCenter,
                    caption.elidedText(e.original, Qt::ElideMiddle, kNameWidth));
        p->setFont(Theme::tinyFont());
        int x = r.left() + kPadX;
        const int lineTop = nameTop + caption.height() + 1;
        const auto word = [&](const QString& text, const QColor& color) {
            const int w = tiny.horizontalAdvance(text);
            p->setPen(color);
            p->drawText(QRect(x, lineTop, std::min(w, r.left() + kPadX + kNameWidth - x), tiny.height()),
                        Qt::AlignLeft | Qt::AlignVCenter, text);
            x += w + 5;
        };
        word(QStringLiteral("出现 %1 次").arg(e.count), Theme::textTertiary());
        if (m_model->isUnlisted(entry))
            word(QStringLiteral("未收录"), Theme::warning());
        if (m_model->willRevert(entry))
            word(QStringLiteral("将还原"), Theme::warning());

        const QRect field = fieldRect(r);
        QPainterPath pill;
        pill.addRoundedRect(QRectF(field), 6, 6);
        p->fillPath(pill, Theme::capsuleBg());
        if (!m_view->indexWidget(index) && !isEditing(index)) {
            p->setFont(Theme::captionFont());
            p->setPen(Theme::textPrimary());
            const QRect text = field.adjusted(kFieldPadX, 0, -kFieldPadX, 0);
            p->drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                        caption.elidedText(m_model->target(entry), Qt::ElideRight, text.width()));
        }

        const QRectF trailing = trailingRect(r);
        switch (m_model->trailing(entry)) {
        case LocalizeSheetModel::Trailing::revert:
            SymbolIcon::paint(*p, trailing, u"arrow.uturn.backward", Theme::textSecondary(), 11);
            break;
        case LocalizeSheetModel::Trailing::suggestion:
            SymbolIcon::paint(*p, trailing, u"arrow.down.to.line", Theme::accent(), 10);
            break;
        case LocalizeSheetModel::Trailing::none:
            break;
        }
        p->fillRect(QRectF(r.left(), r.bottom(), r.width(), 0.5), Theme::divider());
        p->restore();
    }

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex& index) const override
    {
        auto* editor = new QLineEdit(parent);
        editor->setFrame(false);
        editor->setFont(Theme::captionFont());
        editor->setAttribute(Qt::WA_MacShowFocusRect, false);
        QPalette pal = editor->palette();
        pal.setColor(QPalette::Base, Qt::transparent);
        editor->setPalette(pal);
        editor->setAutoFillBackground(false);
        m_editing = index;
        connect(editor, &QLineEdit::textEdited, this, [this, editor] {
            emit const_cast<RowDelegate*>(this)->commitData(editor);
        });
        connect(editor, &QObject::destroyed, this, [this, index = QPersistentModelIndex(index)] {
            if (m_editing == index)
                m_editing = QPersistentModelIndex();
        });
        return editor;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override
    {
        auto* line = static_cast<QLineEdit*>(editor);
        const QString text = index.data(Qt::EditRole).toString();
        // The model echoes every keystroke back; only a change from elsewhere (revert,
        // suggestion) replaces the text under the cursor.
        if (line->text() != text)
            line->setText(text);
    }

    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override
    {
        model->setData(index, static_cast<QLineEdit*>(editor)->text(), Qt::EditRole);
    }

    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option, const QModelIndex&) const override
    {
        editor->setGeometry(fieldRect(option.rect).adjusted(kFieldPadX - 2, 1, -kFieldPadX, -1));
    }

    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override
    {
        if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease)
            return QStyledItemDelegate::editorEvent(event, model, option, index);
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton)
            return false;
        const QPoint pos = mouse->position().toPoint();
        const int entry = index.data(kEntryRole).toInt();
        if (trailingRect(option.rect).contains(pos)) {
            if (event->type() == QEvent::MouseButtonRelease) {
                const auto kind = m_model->trailing(entry);
                if (kind == LocalizeSheetModel::Trailing::revert)
                    m_model->revert(entry);
                else if (kind == LocalizeSheetModel::Trailing::suggestion)
                    m_model->fillSuggestion(entry);
            }
            return true;
        }
        if (event->type() == QEvent::MouseButtonRelease && fieldRect(option.rect).contains(pos)) {
            QMetaObject::invokeMethod(
                m_view, [view = m_view, target = QPersistentModelIndex(index)] {
                    if (target.isValid())
                        view->edit(target);
                },
                Qt::QueuedConnection);
            return true;
        }
        return false;
    }

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override
    {
        QString tip;
        if (trailingRect(option.rect).contains(event->pos())) {
            const auto kind = m_model->trailing(index.data(kEntryRole).toInt());
            if (kind == LocalizeSheetModel::Trailing::revert)
                tip = LocalizeSheetModel::tooltipRevert();
            else if (kind == LocalizeSheetModel::Trailing::suggestion)
                tip = LocalizeSheetModel::tooltipSuggestion();
        }
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(event->globalPos(), SafeText::toolTip(tip), view);
        return true;
    }

private:
    bool isEditing(const QModelIndex& index) const { return m_editing.isValid() && m_editing == index; }

    LocalizeSheetModel* m_model;
    QListView* m_view;
    std::function<void()> m_onReturn;
    mutable QPersistentModelIndex m_editing;
};

LocalizeSheet::LocalizeSheet(const Plugin& plugin, Applied onApplied, std::function<void(const QStringList&)> onRestored,
                             QWidget* parent)
    : QDialog(parent), m_model(plugin), m_onApplied(std::move(onApplied)), m_onRestored(std::move(onRestored))
{
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QStringLiteral("插件汉化"));
    setFixedSize(kWidth, kHeight);

    // Built top down: the order of creation is the order of the focus chain.
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addLayout(buildHeader(plugin.name));
    column->addWidget(new Hairline(this));
    column->addLayout(buildToolbar());
    column->addWidget(new Hairline(this));
    column->addWidget(buildContent(), 1);
    column->addWidget(new Hairline(this));
    column->addWidget(buildFooter());

    connectParts();
    restyle();
    sync();
    syncContent();
}

QLayout* LocalizeSheet::buildHeader(const QString& pluginName)
{
    auto* header = new QVBoxLayout;
    header->setContentsMargins(kPadX, 18, kPadX, 12);
    header->setSpacing(8);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(8);
    m_symbol = new QLabel(this);
    titleRow->addWidget(m_symbol);
    m_title = SheetPieces::label(QStringLiteral("插件汉化"), Theme::headingFont());
    titleRow->addWidget(m_title);
    titleRow->addStretch(1);
    m_name = new SheetPieces::LineLabel(pluginName, Qt::ElideMiddle, this);
    m_name->setMaximumWidth(380);
    titleRow->addWidget(m_name);
    header->addLayout(titleRow);
    auto* chips = new QHBoxLayout;
    chips->setSpacing(6);
    for (int i = 0; i < 5; ++i) {
        auto* chip = new TemplateSheetPieces::InfoChip(this);
        m_chips.append(chip);
        chips->addWidget(chip);
    }
    chips->addStretch(1);
    header->addLayout(chips);
    return header;
}

// The tabs and the search.
QLayout* LocalizeSheet::buildToolbar()
{
    auto* toolbar = new QHBoxLayout;
    toolbar->setContentsMargins(kPadX, 10, kPadX, 10);
    toolbar->setSpacing(12);
    m_tabs = new TemplateSheetPieces::Segments(QStringLiteral("未汉化"), QStringLiteral("已汉化"), 180, this);
    toolbar->addWidget(m_tabs);
    m_search = new QLineEdit(this);
    m_search->setPlaceholderText(QStringLiteral("搜索原文或译文"));
    m_search->setMaximumWidth(220);
    m_search->setClearButtonEnabled(false);
    toolbar->addWidget(m_search, 1);
    toolbar->addStretch(1);
    m_editHint = SheetPieces::label(QStringLiteral("译文可直接修改"), Theme::tinyFont());
    toolbar->addWidget(m_editHint);
    return toolbar;
}

// One of four pages: loading, nothing to translate, no matches, the list.
QWidget* LocalizeSheet::buildContent()
{
    m_content = new QStackedWidget(this);
    auto* spinner = new BusySpinner(BusySpinner::Size::small, this);
    m_loadingText = SheetPieces::label(QStringLiteral("正在读取模板与原文备份…"), Theme::captionFont());
    m_loadingPage = centred(m_content, {spinner, m_loadingText}, 10);
    m_emptySymbol = new QLabel(this);
    m_emptyTitle = SheetPieces::label(QStringLiteral("没有可汉化的已发布参数"), Theme::bodyStrongFont());
    m_emptyDetail = SheetPieces::label(
        QStringLiteral("该插件的模板里没有 <publishSettings> 参数，或参数名已经全部是中文。"), Theme::captionFont());
    m_emptyPage = centred(m_content, {m_emptySymbol, m_emptyTitle, m_emptyDetail}, 8);
    m_noMatchesText = SheetPieces::label(QString(), Theme::captionFont());
    m_tryAnother = SheetPieces::label(QStringLiteral("换个关键词试试"), Theme::tinyFont());
    m_noMatchesPage = centred(m_content, {m_noMatchesText, m_tryAnother}, 5);
    m_listPage = buildListPage();
    for (QWidget* page : {m_loadingPage, m_emptyPage, m_noMatchesPage, m_listPage})
        m_content->addWidget(page);
    return m_content;
}

// The column headers over the list of names.
QWidget* LocalizeSheet::buildListPage()
{
    auto* page = new QWidget(m_content);
    auto* listColumn = new QVBoxLayout(page);
    listColumn->setContentsMargins(0, 0, 0, 0);
    listColumn->setSpacing(0);
    auto* columnHeader = new TemplateSheetPieces::Bar(page);
    auto* headerRow = new QHBoxLayout(columnHeader);
    headerRow->setContentsMargins(kPadX, 6, kPadX, 6);
    headerRow->setSpacing(kSpacing);
    m_originalHeader = SheetPieces::label(QString(), Theme::sectionFont());
    m_originalHeader->setFixedWidth(kNameWidth);
    headerRow->addWidget(m_originalHeader);
    m_targetHeader = SheetPieces::label(QStringLiteral("译文"), Theme::sectionFont());
    headerRow->addWidget(m_targetHeader, 1);
    listColumn->addWidget(columnHeader);
    listColumn->addWidget(new Hairline(page));
    m_list = new QListView(page);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setUniformItemSizes(true);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    m_list->setMouseTracking(true);
    m_listModel = new ListModel(&m_model, this);
    m_list->setModel(m_listModel);
    m_list->setItemDelegate(new RowDelegate(&m_model, m_list, [this] {
        if (m_confirm->isEnabled())
            m_confirm->click();
    }));
    listColumn->addWidget(m_list, 1);
    return page;
}

// The drive note, the message, the busy line and the buttons.
QWidget* LocalizeSheet::buildFooter()
{
    auto* footerBar = new TemplateSheetPieces::Bar(this);
    auto* footer = new QVBoxLayout(footerBar);
    footer->setContentsMargins(kPadX, 12, kPadX, 12);
    footer->setSpacing(8);
    auto* driveRow = new QHBoxLayout;
    driveRow->setSpacing(5);
    m_driveSymbol = new QLabel(footerBar);
    driveRow->addWidget(m_driveSymbol);
    m_driveNote = SheetPieces::label(QStringLiteral("原文备份记录仅存在本地电脑硬盘，不支持换电脑设备同步。"), Theme::tinyFont());
    driveRow->addWidget(m_driveNote);
    driveRow->addStretch(1);
    footer->addLayout(driveRow);
    m_message = new TemplateSheetPieces::Message(footerBar);
    footer->addWidget(m_message);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(kSpacing);
    m_spinner = new BusySpinner(BusySpinner::Size::small, footerBar);
    buttons->addWidget(m_spinner);
    m_working = SheetPieces::label(LocalizeSheetModel::workingText(), Theme::captionFont());
    buttons->addWidget(m_working);
    m_restore = new QPushButton(QStringLiteral("一键还原开始原文"), footerBar);
    m_restore->setAutoDefault(false);
    buttons->addWidget(m_restore);
    buttons->addStretch(1);
    m_cancel = new QPushButton(QStringLiteral("取消"), footerBar);
    m_cancel->setAutoDefault(false);
    m_confirm = new QPushButton(footerBar);
    m_confirm->setDefault(true);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_confirm);
    footer->addLayout(buttons);
    return footerBar;
}

void LocalizeSheet::connectParts()
{
    connect(m_tabs, &TemplateSheetPieces::Segments::currentChanged, this, [this](int index) {
        m_model.setFilter(index == 0 ? LocalizeSheetModel::Filter::pending : LocalizeSheetModel::Filter::done);
    });
    connect(m_search, &QLineEdit::textChanged, &m_model, &LocalizeSheetModel::setKeyword);
    connect(m_restore, &QPushButton::clicked, this, &LocalizeSheet::askRestore);
    connect(m_cancel, &QPushButton::clicked, this, [this] {
        if (m_model.canCancel())
            dismiss();
    });
    connect(m_confirm, &QPushButton::clicked, this, [this] {
        // An open field's last keystroke is already in the model.
        if (m_model.canConfirm())
            m_model.apply();
    });
    connect(&m_model, &LocalizeSheetModel::stateChanged, this, &LocalizeSheet::sync);
    connect(&m_model, &LocalizeSheetModel::listChanged, this, &LocalizeSheet::syncContent);
    connect(&m_model, &LocalizeSheetModel::applied, this, [this](const LocalizeOutcome& outcome) {
        if (m_onApplied)
            m_onApplied(outcome);
        dismiss();
    });
    connect(&m_model, &LocalizeSheetModel::restored, this, [this](const QStringList& notes) {
        if (m_onRestored)
            m_onRestored(notes);
        dismiss();
    });
}

QWidget* LocalizeSheet::contentPage(Content content) const
{
    switch (content) {
    case Content::loading: return m_loadingPage;
    case Content::empty: return m_emptyPage;
    case Content::noMatches: return m_noMatchesPage;
    case Content::list: return m_listPage;
    }
    return nullptr;
}

QWidget* LocalizeSheet::currentContent() const
{
    return m_content->currentWidget();
}

QString LocalizeSheet::messageText() const
{
    return m_message->text();
}

QStringList LocalizeSheet::chipTexts() const
{
    QStringList texts;
    for (const auto* chip : m_chips)
        texts << chip->text();
    return texts;
}

void LocalizeSheet::syncContent()
{
    m_content->setCurrentWidget(contentPage(m_model.content()));
    m_noMatchesText->setText(m_model.noMatchesText());
    m_tryAnother->setVisible(m_model.showsTryAnotherKeyword());
}

void LocalizeSheet::sync()
{
    const auto chips = m_model.chips();
    for (int i = 0; i < m_chips.size() && i < chips.size(); ++i) {
        const auto tone = chips[i].tone;
        m_chips[i]->set(chips[i].text, [tone] { return chipColor(tone); });
    }
    m_tabs->setCurrent(m_model.filter() == LocalizeSheetModel::Filter::pending ? 0 : 1);
    m_originalHeader->setText(m_model.originalColumnTitle());
    if (m_model.errorText())
        m_message->set(QStringLiteral("exclamationmark.triangle.fill"), *m_model.errorText(), Theme::captionFont(),
                       [] { return Theme::danger(); });
    else
        m_message->set(QString(), m_model.footerNote(), Theme::tinyFont(), [] { return Theme::textSecondary(); });

    const bool working = m_model.isWorking();
    m_spinner->setVisible(working);
    m_working->setVisible(working);
    m_working->setText(m_model.waitingText().isEmpty() ? LocalizeSheetModel::workingText() : m_model.waitingText());
    m_restore->setVisible(!working && m_model.hasBackup());
    m_restore->setEnabled(m_model.canRestore());
    m_restore->setToolTip(SafeText::toolTip(m_model.restoreTooltip()));
    m_cancel->setEnabled(m_model.canCancel());
    m_confirm->setText(m_model.confirmTitle());
    m_confirm->setEnabled(m_model.canConfirm());
    m_tabs->setEnabled(!m_model.isLoading());
    m_search->setEnabled(!m_model.isLoading());
    syncContent();
    m_list->viewport()->update();
}

void LocalizeSheet::restyle()
{
    m_symbol->setPixmap(SymbolIcon::pixmap(QStringLiteral("character.book.closed"), 17, Theme::localizeAction(), devicePixelRatioF()));
    m_name->setFont(Theme::captionFont());
    tone(m_name, Theme::textSecondary());
    m_search->setFont(Theme::captionFont());
    tone(m_editHint, Theme::textTertiary());
    tone(m_loadingText, Theme::textSecondary());
    m_emptySymbol->setPixmap(SymbolIcon::pixmap(QStringLiteral("text.badge.checkmark"), 32, Theme::textTertiary(), devicePixelRatioF()));
    tone(m_emptyDetail, Theme::textSecondary());
    tone(m_noMatchesText, Theme::textSecondary());
    tone(m_tryAnother, Theme::textTertiary());
    tone(m_originalHeader, Theme::textSecondary());
    tone(m_targetHeader, Theme::textSecondary());
    m_driveSymbol->setPixmap(SymbolIcon::pixmap(QStringLiteral("internaldrive"), 9, Theme::textTertiary(), devicePixelRatioF()));
    tone(m_driveNote, Theme::textTertiary());
    tone(m_working, Theme::textSecondary());
    m_restore->setFont(Theme::tinyFont());
    m_cancel->setFont(Theme::captionFont());
    m_confirm->setFont(Theme::calloutFont());
    makeProminent(m_confirm, Theme::accent());
    QPalette listPalette = m_list->palette();
    listPalette.setColor(QPalette::Base, palette().color(QPalette::Window));
    m_list->setPalette(listPalette);
    m_message->restyle();
    update();
}

void LocalizeSheet::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange)
        restyle();
    QDialog::changeEvent(event);
}

void LocalizeSheet::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    m_model.load();
}

void LocalizeSheet::askRestore()
{
    if (!m_model.canRestore() || m_restoreAlert)
        return;
    QMessageBox* box = AppAlert::makeAlert(
        QStringLiteral("一键还原开始原文？"), m_model.restoreQuestion(),
        AppAlert::Style::warning, QStringLiteral("一键还原"), QStringLiteral("取消"), this);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::buttonClicked, this, [this, box](QAbstractButton* button) {
        if (box->buttonRole(button) == QMessageBox::AcceptRole)
            m_model.restore();
    });
    m_restoreAlert = box;
    box->open();
}

void LocalizeSheet::dismiss()
{
    if (m_restoreAlert)
        m_restoreAlert->close();
    done(QDialog::Rejected);
}

void LocalizeSheet::reject()
{
    if (m_model.canCancel())
        dismiss();
}

void LocalizeSheet::closeEvent(QCloseEvent* event)
{
    if (m_model.isWorking()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}
