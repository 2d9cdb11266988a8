#pragma once

#include <optional>

#include <QList>
#include <QString>
#include <QUrl>

// How packages reaching the main window from outside the install sheet are sorted:
// dropped files, files opened with the application and files picked in the list.
namespace DropIntake {

// A package file is any URL whose extension, lower-cased, is "zfcp"; the content is not
// looked at here (a folder named *.zfcp counts too).
bool isPackageFile(const QUrl& url);
QList<QUrl> packageFiles(const QList<QUrl>& urls);

// What one drop leads to: the packages to install and, when something was not a
// package, the alert that names what was skipped.
struct Outcome
{
    QList<QUrl> accepted;
    std::optional<QString> alertTitle;
    std::optional<QString> alertMessage;
};

Outcome sortDrop(const QList<QUrl>& dropped);

} // namespace DropIntake
