#pragma once

#include <optional>

#include <QPoint>
#include <QString>

#include "engine/core/AlertPresenter.h"

class ConfirmBroker;
class QLabel;
class QMessageBox;
class QWidget;

// Modal two-button questions, centred on the main window, callable from any thread.
class AppAlert
{
public:
    using Style = AlertPresenter::Style;

    // True when the user chose `primary` (the default button: Return). From a worker it
    // blocks that worker until the answer; at quit every pending question answers false.
    static bool confirm(const QString& title, const QString& message, Style style,
                        const QString& primary, const QString& secondary);

    // The window alerts and panels are centred on, or null.
    static QWidget* hostWindow();
    // Top-left corner that centres `alert` on the host window; none without a host.
    static std::optional<QPoint> centerOrigin(QMessageBox& alert);

    // Builds the alert without running it (texts are plain text, primary is default; a
    // warning's primary is destructive: drawn in the danger colour, never the default).
    static QMessageBox* makeAlert(const QString& title, const QString& message, Style style,
                                  const QString& primary, const QString& secondary,
                                  QWidget* parent);

    // Sets the box's message under its title (in a label of ours, not the box's own
    // informative text), shown as plain text (file and server names), in a column wide
    // enough that Chinese lines break between words where they can. Empty hides it.
    static void setPlainInformativeText(QMessageBox& box, const QString& text);
    // The label that shows the message; null before the first setPlainInformativeText().
    static QLabel* messageLabel(const QMessageBox& box);

    // Connected to the application's quit: answers every pending question false.
    static void shutDown();
    static ConfirmBroker& broker();
};
