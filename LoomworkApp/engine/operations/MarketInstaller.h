#pragma once

#include <exception>
#include <functional>
#include <vector>

#include <QHash>
#include <QString>
#include <QStringList>

#include <SafeFS/Identity.h>

struct ZFCPlugin;

// What a market install did.
struct MarketInstallOutcome
{
    int count = 0;     // plug-ins installed
    QStringList paths; // their folders, in package order
    QString root;      // always the system library's folder
    QStringList notes; // what the user should hear of old versions (other users' items left)
    int writeError = 0; // installed, but the disk reported this write error when it was synced
};

// A refusal of the market installer, with the text for the user.
class MarketInstallError : public std::exception
{
public:
    enum class Kind {
        conflictCancelled,
        authorizationDenied,
        moveFailed,
        failed,       // an extraction error, its text already worded for the user
        sharedFolder, // two plug-ins of the package would land in one folder
        hiddenName    // a plug-in's folder would have one of the hidden forms of what we make
    };

    static MarketInstallError conflictCancelled();
    static MarketInstallError authorizationDenied();
    // `first` and `second` as stored in the package.
    static MarketInstallError sharedFolder(const QString& first, const QString& second);
    static MarketInstallError hiddenName(QString message);
    static MarketInstallError moveFailed(QString message);
    static MarketInstallError failed(QString message);

    Kind kind() const { return m_kind; }
    QString errorDescription() const { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    MarketInstallError(Kind kind, QString message);

    Kind m_kind;
    QString m_message;
    QByteArray m_utf8;
};

// The file work behind the market's download flow: installs a downloaded package into the
// system library (asking before it replaces plug-ins of the same name, obtaining rights
// when the library is not writable, the package's plug-ins swapped in together) and records the
// folders as market plug-ins; moves any other download into Downloads under a free name.
// install() and moveToDownloads() block: run them off the GUI thread.
namespace MarketInstaller {

using Progress = std::function<void(double fraction)>; // 0...1, from the calling thread

// Throws what the package reader throws, ZFCPackageError::metadataCorrupted for a package
// without plug-ins, MarketInstallError sharedFolder / hiddenName (before anything is asked or
// written), conflictCancelled / authorizationDenied, extraction and file-system errors. Every
// plug-in is extracted beside its target before any is swapped in, and those swapped in before
// a failing one are swapped back: a failure leaves the library as it was (its message then
// says so, for a package of several plug-ins).
MarketInstallOutcome install(const QString& file, const QString& pluginId, const QString& pluginName,
                             const Progress& onProgress = {});

// Moves `file` into the Downloads folder (the temporary folder when there is none) under
// safeFileName(suggestedName, else the file's name), adding " (1)", " (2)"… before the
// extension while the name is taken; never replaces a file. Returns the new path; throws
// MarketInstallError moveFailed with the system's reason.
QString moveToDownloads(const QString& file, const QString& suggestedName);

// A text as one file name: no NUL, "/" or "\", trimmed, no leading dot (a hidden file),
// "下载文件" when nothing usable is left; control, format (bidi, invisible) and line or
// paragraph separator characters as "_", at most 120 characters (the extension kept) and
// at most 240 UTF-8 bytes.
QString safeFileName(const QString& name);

// "Name（系统库）" / "Name（用户库）" for each plug-in of a known type whose folder exists in
// that library's category folder, "Name（系统库，属于用户「X」）" where it is another user's (the
// administrator replaces it); unique, another user's first, each part in plain string order.
QStringList conflicts(const std::vector<ZFCPlugin>& plugins);
// The same, with what stood at each plug-in's target (InstallConflictScanner::Report::seen)
// and the owners named (Report::owners).
QStringList conflicts(const std::vector<ZFCPlugin>& plugins, QHash<QString, SafeFS::Identity>& seen,
                      QHash<QString, uid_t>* owners = nullptr);
// The question's text for a conflict list.
QString conflictMessage(const QStringList& conflicts);

// The user's text for whatever install() or moveToDownloads() threw.
QString describe(const std::exception_ptr& error);

} // namespace MarketInstaller
