#include "ui/AppPanel.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QPointer>
#include <QThread>

#include "ui/AppAlert.h"

namespace {

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
