#include "ui/AppPanel.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QPointer>
#include <QSplitter>
#include <QThread>
#include <QTreeView>

#include "engine/core/EngineText.h"
#include "ui/AppAlert.h"

namespace {

// Roomy enough for the list's four columns and the panel's message.
constexpr QSize kPanelSize{820, 540};
// A header's margins and sort arrow beside its column's text.
constexpr int kColumnPadding = 28;
constexpr int kPlacesWidth = 150;

// Qt's file model writes sizes and dates in the system's locale and folder kinds from a
// table Qt's Chinese translation lacks; the panel writes them as the rest of Loomwork does.
class ChineseFileColumns : public QIdentityProxyModel
{
public:
    enum Column {
        name,
        size,
        kind,
        modified
    };

    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override
    {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (role != Qt::DisplayRole || !files || index.column() == name)
            return QIdentityProxyModel::data(index, role);
        const QModelIndex source = mapToSource(index);
        const QFileInfo info = files->fileInfo(source);
        switch (index.column()) {
        case size:
            return info.isDir() ? QString() : EngineText::byteCountText(info.size());
        case kind:
            if (info.isDir())
                return QStringLiteral("文件夹");
            return info.suffix().isEmpty() ? QStringLiteral("文件") : info.suffix().toUpper() + QStringLiteral(" 文件");
        case modified:
            return EngineText::dateTimeText(info.lastModified());
        default:
            return QIdentityProxyModel::data(index, role);
        }
    }
};

// The places and the columns at least as wide as what they show (a width the user chose,
// which Qt keeps, stays).
void widenColumns(QFileDialog& dialog)
{
    if (auto* splitter = dialog.findChild<QSplitter*>(QStringLiteral("splitter"))) {
        const QList<int> sizes = splitter->sizes();
        if (sizes.size() == 2 && sizes[0] < kPlacesWidth)
            splitter->setSizes({kPlacesWidth, std::max(sizes[1], kPanelSize.width() - kPlacesWidth)});
    }
    auto* tree = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
    if (!tree)
        return;
    const QFontMetrics metrics(tree->font());
    const std::pair<int, QString> samples[] = {
        {ChineseFileColumns::size, EngineText::byteCountText(999'990'000)},
        {ChineseFileColumns::kind, QStringLiteral("ZFCP 文件")},
        {ChineseFileColumns::modified, EngineText::dateTimeText(QDateTime(QDate(2000, 12, 28), QTime(23, 59)))},
    };
    QHeaderView* header = tree->header();
    for (const auto& [column, sample] : samples)
        header->resizeSection(column, std::max(header->sectionSize(column), metrics.horizontalAdvance(sample) + kColumnPadding));
}

void presentOnGuiThread(const AppPanel::Panel& panel, const AppPanel::PickHandler& onPick)
{
    QWidget* host = AppAlert::hostWindow();
    QFileDialog* dialog = AppPanel::makeDialog(panel, host);
    const auto kind = panel.kind;
    if (host) {
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowModality(Qt::WindowModal);
        QObject::connect(dialog, &QDialog::accepted, dialog, [dialog, kind, onPick] {
            if (onPick)
                onPick(AppPanel::pickedUrls(*dialog, kind));
        });
        dialog->open();
        return;
    }
    QPointer<QFileDialog> guard(dialog);
    const int result = dialog->exec();
    if (!guard)
        return;
    const QList<QUrl> urls = AppPanel::pickedUrls(*dialog, kind);
    delete dialog;
    if (result == QDialog::Accepted && onPick)
        onPick(urls);
}

} // namespace

void AppPanel::present(const Panel& panel, PickHandler onPick)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    if (QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(
            app, [panel, onPick = std::move(onPick)] { presentOnGuiThread(panel, onPick); },
            Qt::QueuedConnection);
        return;
    }
    presentOnGuiThread(panel, onPick);
}

QFileDialog* AppPanel::makeDialog(const Panel& panel, QWidget* parent)
{
    // Without a folder of its own a panel starts where the last one ended, else at home,
    // never in the process's working folder.
    static QString lastFolder;
    QString start = panel.directory;
    if (start.isEmpty())
        start = !lastFolder.isEmpty() && QFileInfo(lastFolder).isDir() ? lastFolder : QDir::homePath();
    auto* dialog = new QFileDialog(parent, panel.title, start);
    QObject::connect(dialog, &QFileDialog::accepted, dialog,
                     [dialog] { lastFolder = dialog->directory().absolutePath(); });
    // Qt's own dialog, so that the panel's message can be shown in it.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setProxyModel(new ChineseFileColumns(dialog));
    dialog->resize(dialog->size().expandedTo(kPanelSize));
    widenColumns(*dialog);
    if (panel.kind == Panel::Kind::save) {
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setFileMode(QFileDialog::AnyFile);
        if (!panel.nameFieldValue.isEmpty())
            dialog->selectFile(panel.nameFieldValue);
    } else {
        dialog->setAcceptMode(QFileDialog::AcceptOpen);
        if (panel.canChooseDirectories && !panel.canChooseFiles) {
            dialog->setFileMode(QFileDialog::Directory);
            dialog->setOption(QFileDialog::ShowDirsOnly);
        } else {
            dialog->setFileMode(panel.allowsMultipleSelection ? QFileDialog::ExistingFiles
                                                              : QFileDialog::ExistingFile);
        }
        if (!panel.nameFilters.isEmpty())
            dialog->setNameFilters(panel.nameFilters);
    }
    dialog->setOption(QFileDialog::ReadOnly, !panel.canCreateDirectories);
    if (!panel.prompt.isEmpty())
        dialog->setLabelText(QFileDialog::Accept, panel.prompt);
    if (!panel.message.isEmpty()) {
        if (auto* grid = qobject_cast<QGridLayout*>(dialog->layout())) {
            auto* message = new QLabel(panel.message, dialog);
            message->setObjectName(QStringLiteral("loomworkPanelMessage"));
            message->setTextFormat(Qt::PlainText);
            message->setWordWrap(true);
            grid->addWidget(message, grid->rowCount(), 0, 1, -1);
        }
    }
    return dialog;
}

QList<QUrl> AppPanel::pickedUrls(const QFileDialog& dialog, Panel::Kind kind)
{
    const QList<QUrl> urls = dialog.selectedUrls();
    if (kind == Panel::Kind::save)
        return urls.isEmpty() ? QList<QUrl>{} : QList<QUrl>{urls.first()};
    return urls;
}
