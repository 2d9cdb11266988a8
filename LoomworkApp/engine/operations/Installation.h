#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QList>
#include <QString>
#include <QStringList>

#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCProgress.h"
#include "engine/files/PluginFolderSwap.h"
#include "engine/model/InstallPlan.h"

// One install on its worker: every plug-in of every package staged in a room beside its
// target, then all swapped in as one group, so that a failure leaves the library as it was.
// What it reports is what stands on disk: a failure names what could not be put back, and
// memory running out after the plug-ins stand is no failure.
class Installation
{
public:
    struct Outcome {
        bool ok = false;
        QString title;
        QString text; // the status line, or the failure's message
        QStringList notes;
        bool listsChanged = false;
        // Installed, but the disk reported this write error when the install was synced; the
        // first note says so.
        int writeError = 0;
    };

    Installation(const QStringList& files, const InstallPlan& plan, const ZFCProgressCallback& progress,
                 std::function<void()> flush = {});

    // Every package opens before anything is written; each with its index in `files`. Throws
    // what the reader throws; a package listing no plug-in is damaged metadata.
    static std::vector<std::pair<int, ZFCPackageReader>> openPackages(const QStringList& files);
    // Which package failed, and where: nothing was installed, unless plug-ins could not be
    // swapped back (`kept`), which are named. `position` 0: no one plug-in failed.
    static QString failurePlace(const QString& file, int position, const QStringList& kept, bool several);

    // Never throws: whatever stops the install is its failure, with what is on disk said.
    Outcome run(std::vector<std::pair<int, ZFCPackageReader>>& readers);

private:
    struct Refused {};
    struct Staged {
        int package;
        int position; // within its package, from 1
        QString target;
    };

    // A plug-in to install, its swap made, its room not yet.
    struct Planned {
        int package;
        int position; // within its package, from 1
        ZFCPackageReader* reader;
        const ZFCPlugin* plugin;
        QString category;
        std::optional<std::string> name;
        qsizetype known; // plug-ins of a known type through its package
        std::unique_ptr<PluginFolderSwap> swap;
    };

    void planPackage(int index, ZFCPackageReader& reader, std::vector<Planned>& planned);
    void makeRooms(std::vector<Planned>& planned);
    // Extracts planned[from, to), all of one package, in one pass of its reader.
    void extractPackage(std::vector<Planned>& planned, std::size_t from, std::size_t to);
    void stage(Planned& planned);
    void failAt(const Planned& planned);
    QString wholePlace(const QStringList& kept) const;
    void ensureCategory(const QString& category);
    void commit();
    void removeLeftovers(QStringList& notes);

    const QStringList& m_files;
    const InstallPlan& m_plan;
    const ZFCProgressCallback& m_progress;
    std::function<void()> m_flush;
    std::optional<PluginSwapGroup> m_group;
    std::optional<bool> m_writable;
    QList<Staged> m_staged;
    int m_renamed = 0;
    int m_current = 0;     // the package being installed
    int m_stagedOfCurrent = 0;
    qsizetype m_known = 0; // plug-ins of a known type in the packages so far
    bool m_whole = false;  // the failure is the install's as a whole, no plug-in's
};
