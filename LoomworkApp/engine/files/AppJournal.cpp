#include "engine/files/AppJournal.h"

#include <mutex>
#include <set>

#include <QDir>
#include <QFileInfo>

#include "engine/core/AppPaths.h"
#include "engine/core/FsPath.h"
#include "engine/files/SystemPath.h"

namespace {

// Held while recovery runs and while a change starts or stops counting as running, so that
// recovery never acts on an entry it read while its change was still going.
std::mutex g_mutex;
std::set<std::string> g_running;

} // namespace

QString AppJournal::folder()
{
    return AppPaths::applicationFolder() + QStringLiteral("/journal");
}

int AppJournal::open(SafeFS::Journal& journal)
{
    return journal.open(FsPath::toBytes(folder()));
}

void AppJournal::recover()
{
    const std::lock_guard lock(g_mutex);
    SafeFS::Journal journal;
    if (open(journal) != 0)
        return;
    SafeFS::recoverJournal(journal, [](const SafeFS::JournalEntry& entry) { return g_running.count(entry.id) > 0; });
}

SafeFS::JournalPlace AppJournal::placeOf(const QString& folder)
{
    if (const auto in = SystemPath::inside(folder)) {
        const QString below = in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
        return {FsPath::toBytes(in->root), FsPath::toBytes(below), false};
    }
    std::string path = FsPath::toBytes(QFileInfo(folder).isAbsolute() ? folder : QFileInfo(folder).absoluteFilePath());
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return {path, std::string(), true};
}

void AppJournal::started(const std::string& id)
{
    const std::lock_guard lock(g_mutex);
    g_running.insert(id);
}

void AppJournal::stopped(const std::string& id)
{
    const std::lock_guard lock(g_mutex);
    g_running.erase(id);
}
