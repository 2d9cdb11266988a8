#include "ui/AppAlert.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "ui/AppWindows.h"
#include "ui/ConfirmBroker.h"
#include "ui/DialogPlacement.h"

namespace {

constexpr int kRecentreDelayMs = 250;
const char* const kPrimaryProperty = "loomworkPrimaryButton";

QMessageBox::Icon iconFor(AppAlert::Style style)
{
    switch (style) {
    case AppAlert::Style::warning:
        return QMessageBox::Warning;
    case AppAlert::Style::informational:
        return QMessageBox::Information;
    case AppAlert::Style::critical:
        return QMessageBox::Critical;
    }
    return QMessageBox::Warning;
}

bool askOnGuiThread(const QString& title, const QString& message, AppAlert::Style style,
                    const QString& primary, const QString& secondary)
{
    QWidget* host = AppAlert::hostWindow();
    // Owned by the host while it runs; a host closed meanwhile takes the alert with it.
    QPointer<QMessageBox> box =
        AppAlert::makeAlert(title, message, style, primary, secondary, host);
    if (auto origin = AppAlert::centerOrigin(*box)) {
        box->move(*origin);
        // Window managers may place the box themselves once it maps: centre it again.
        const QPoint at = *origin;
        QTimer::singleShot(kRecentreDelayMs, box.data(), [box, at] {
            if (box)
                box->move(at);
        });
    }
    AppAlert::broker().track(box.data());
    box->exec();
    if (!box)
        return false;
    auto* primaryButton = box->property(kPrimaryProperty).value<QAbstractButton*>();
    const bool chosePrimary = box->clickedButton() && box->clickedButton() == primaryButton;
    delete box.data();
    return chosePrimary;
}

} // namespace

static void shutDownBroker()
{
    AppAlert::broker().shutDown();
}

ConfirmBroker& AppAlert::broker()
{
    static ConfirmBroker* broker = [] {
        auto* b = new ConfirmBroker;
        if (QCoreApplication* app = QCoreApplication::instance())
            QObject::connect(app, &QCoreApplication::aboutToQuit, app, [b] { b->shutDown(); });
        // Also when the application object goes without its event loop having ended: this
        // runs before the global thread pool is waited for, so no worker is left waiting.
        qAddPostRoutine(shutDownBroker);
        return b;
    }();
    return *broker;
}

bool AppAlert::confirm(const QString& title, const QString& message, Style style,
                       const QString& primary, const QString& secondary)
{
    return broker().run([=] { return askOnGuiThread(title, message, style, primary, secondary); });
}

void AppAlert::shutDown()
{
    broker().shutDown();
}

QWidget* AppAlert::hostWindow()
{
    const AppWindows windows = AppWindows::snapshot();
    return windows.at(DialogPlacement::alertHost(windows.facts, windows.key, windows.main));
}

std::optional<QPoint> AppAlert::centerOrigin(QMessageBox& alert)
{
    QWidget* host = hostWindow();
    if (!host)
        return std::nullopt;
    alert.adjustSize();
    return DialogPlacement::centredOrigin(alert.frameGeometry().size(), host->frameGeometry());
}

QMessageBox* AppAlert::makeAlert(const QString& title, const QString& message, Style style,
                                 const QString& primary, const QString& secondary,
                                 QWidget* parent)
{
    auto* box = new QMessageBox(parent);
    box->setIcon(iconFor(style));
    box->setWindowTitle(QApplication::applicationDisplayName());
    box->setTextFormat(Qt::PlainText);
    box->setText(title);
    setPlainInformativeText(*box, message);
    QPushButton* first = box->addButton(primary, QMessageBox::AcceptRole);
    // No second text: a notice with one button, which Esc takes too.
    QPushButton* second = secondary.isEmpty() ? first : box->addButton(secondary, QMessageBox::RejectRole);
    // A warning confirms a destructive action: Return must not take it, so the default is
    // the other button (the order stays as given).
    if (style == Style::warning && second != first) {
        first->setAutoDefault(false);
        box->setDefaultButton(second);
    } else {
        box->setDefaultButton(first);
    }
    box->setEscapeButton(second);
    box->setProperty(kPrimaryProperty, QVariant::fromValue<QAbstractButton*>(first));
    return box;
}

void AppAlert::setPlainInformativeText(QMessageBox& box, const QString& text)
{
    box.setInformativeText(text);
    // The informative label guesses rich text by default. The box makes a new label
    // whenever the text turns from empty to set, so every one is checked.
    for (QLabel* info : box.findChildren<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        info->setTextFormat(Qt::PlainText);
}
