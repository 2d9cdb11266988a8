#include "engine/files/AppJournal.h"

#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <vector>

#include <unistd.h>

#include <cerrno>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <SafeFS/Durable.h>

#include "engine/core/AlertPresenter.h"
#include "engine/core/AppPaths.h"
#include "engine/core/FsPath.h"
#include "engine/core/SystemError.h"
#include "engine/core/WorkerThread.h"
#include "engine/files/AdminAuth.h"
#include "engine/files/PluginOwner.h"
#include "engine/files/SystemPath.h"

namespace {

// Held while recovery runs and while a change starts or stops counting as running, so that
// recovery never acts on an entry it read while its change was still going.
std::mutex g_mutex;
std::set<std::string> g_running;
// Entries whose administrator's step was offered in this run: not again until the next start.
std::set<std::string> g_offered;
// Entries whose write error the user heard of from their change in this run.
std::set<std::string> g_toldUnsynced;

QString whyRefused(int error)
{
    return error == EPERM
        ? QStringLiteral("它属于其他用户、是符号链接，或其他用户也能在其中改名，不能在其中保存操作记录")
        : SystemError::describe(error);
}

QString shown(const std::string& path)
{
    return FsPath::displayText(FsPath::fromBytes(path));
}

void alert(const QString& title, const QString& message)
{
    // In an alert of its own: whoever recovered goes on meanwhile.
    const auto show = [title, message] {
        AlertPresenter::current().confirm(title, message, AlertPresenter::Style::warning, QStringLiteral("好"), QString());
    };
    if (WorkerThread::start(show))
        return;
    // No thread for it: the GUI thread shows it when it comes to it, still told.
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, show, Qt::QueuedConnection);
}

// Recovery of the entry `id` again, once the administrator has acted: true when it is settled
// (or gone).
bool settle(const std::string& id)
{
    const std::lock_guard lock(g_mutex);
    SafeFS::Journal journal;
    if (AppJournal::open(journal) != 0)
        return false;
    for (const SafeFS::JournalEntry& entry : journal.entries()) {
        if (entry.id != id)
            continue;
        SafeFS::RecoveryReport report;
        if (entry.damaged || SafeFS::recoverEntry(entry, report) != 0 || SafeFS::syncPlaces(entry) != 0)
            return false;
        return journal.remove(id) == 0;
    }
    return true;
}

// The first few of `paths`, then how many there are: a question must stay within the screen.
QString listed(const QStringList& paths)
{
    constexpr int kListed = 8;
    if (paths.size() <= kListed)
        return paths.join(QLatin1Char('\n'));
    return paths.mid(0, kListed).join(QLatin1Char('\n')) + QStringLiteral("\n……等 %1 个").arg(paths.size());
}

// Asks whether the administrator is to remove what each entry's recovery could not, and has
// him do it, by identity, in the room the entry names.
void offerToAdministrator(std::vector<std::vector<SafeFS::JournalRemains>> entries)
{
    const bool started = WorkerThread::start([entries] {
        for (const std::vector<SafeFS::JournalRemains>& remains : entries) {
            QStringList paths;
            // The plug-in whose old copy it was (the hidden names mean nothing to the user), and
            // whose it is, read through its folder walked from the library's root: the
            // administrator removes it only while it has the owner named here.
            std::vector<std::optional<uid_t>> owners;
            for (const SafeFS::JournalRemains& item : remains) {
                const std::string at = item.inRoom ? item.folder + "/" + item.room + "/" + item.name : item.folder + "/" + item.name;
                owners.push_back(PluginOwner::at(FsPath::fromBytes(at), item.identity));
                const QString path = shown(item.folder + "/" + (item.shownName.empty() ? item.name : item.shownName))
                    + (PluginOwner::isAnotherUsers(owners.back())
                           ? QStringLiteral("（属于用户「") + PluginOwner::userName(*owners.back()) + QStringLiteral("」）")
                           : QString());
                if (!paths.contains(path))
                    paths.append(path);
            }
            const bool agreed = AlertPresenter::current().confirm(
                QStringLiteral("需要管理员删除"),
                QStringLiteral("上次中断的操作在系统插件库留下了只有管理员才能删除的项目，操作记录已保留：\n")
                    + listed(paths) + QStringLiteral("\n\n现在以管理员身份删除吗？不删除的话，下次启动时会再问。"),
                AlertPresenter::Style::warning, QStringLiteral("删除"), QStringLiteral("以后再说"));
            if (!agreed)
                continue;
            const std::string& id = remains.front().id;
            AppJournal::started(id); // no recovery acts on the entry while the administrator does
            bool done = true;
            QStringList notes;
            for (std::size_t i = 0; i < remains.size(); ++i) {
                const SafeFS::JournalRemains& item = remains[i];
                AdminAuth::Item at;
                at.folder = FsPath::fromBytes(item.folder);
                at.name = FsPath::fromBytes(item.name);
                at.identity = item.identity;
                at.room = FsPath::fromBytes(item.room);
                at.roomIdentity = item.roomIdentity;
                at.inRoom = item.inRoom;
                at.shownName = FsPath::fromBytes(item.shownName);
                at.owner = owners[i].value_or(::geteuid());
                done = AdminAuth::adminRemove(at) && done;
                notes += AdminAuth::lastNotes();
            }
            AppJournal::stopped(id);
            if (!(done && settle(id)))
                notes.prepend(QStringLiteral("管理员删除没有全部完成，操作记录已保留，下次启动时会再问：\n") + paths.join(QLatin1Char('\n')));
            if (!notes.isEmpty())
                alert(QStringLiteral("上次的操作没有完成"), notes.join(QLatin1Char('\n')));
        }
    });
    // The entries stay for the next start, which asks again.
    if (!started)
        alert(QStringLiteral("需要管理员删除"),
              QStringLiteral("上次中断的操作在系统插件库留下了只有管理员才能删除的项目，操作记录已保留。"
                             "现在无法启动处理它们的线程（内存或系统资源不足），下次启动时会再问。"));
}

} // namespace

QString AppJournal::folder()
{
    return AppPaths::applicationFolder() + QStringLiteral("/journal");
}

int AppJournal::open(SafeFS::Journal& journal, std::string* refusedAt)
{
    return journal.open(FsPath::toBytes(folder()), refusedAt);
}

QString AppJournal::failureText(int error, const std::string& refusedAt)
{
    const QString at = refusedAt.empty() ? folder() : FsPath::fromBytes(refusedAt);
    return QStringLiteral("无法写入操作记录：") + FsPath::displayText(at) + QStringLiteral("\n") + whyRefused(error);
}

void AppJournal::recover(When when)
{
    SafeFS::JournalReport report;
    std::string refusedAt;
    std::vector<std::vector<SafeFS::JournalRemains>> offers;
    int unusable = 0;
    QStringList unsyncedLines;
    {
        const std::lock_guard lock(g_mutex);
        SafeFS::Journal journal;
        unusable = open(journal, &refusedAt);
        const auto running = [](std::string_view id) { return g_running.count(std::string(id)) > 0; };
        // Entries whose change met a write error: said once as recovery drops them (it syncs
        // through new handles, which cannot tell whether the data reached the disk).
        std::vector<SafeFS::JournalEntry> unsynced;
        if (!unusable) {
            for (SafeFS::JournalEntry& entry : journal.entries()) {
                if (entry.unsynced && !entry.damaged && !running(entry.id) && !g_toldUnsynced.count(entry.id))
                    unsynced.push_back(std::move(entry));
            }
            report = SafeFS::recoverJournal(journal, running);
        }
        if (!unsynced.empty()) {
            std::set<std::string> left;
            for (const SafeFS::JournalEntry& entry : journal.entries())
                left.insert(entry.id);
            for (const SafeFS::JournalEntry& entry : unsynced) {
                if (!left.count(entry.id))
                    unsyncedLines.append(unsyncedText(entry));
            }
        }
        // Only the system library's have an administrator's step; each entry's once a run.
        for (const SafeFS::JournalRemains& item : report.remains) {
            if (!SystemPath::inside(FsPath::fromBytes(item.folder)) || g_offered.count(item.id))
                continue;
            if (offers.empty() || offers.back().front().id != item.id)
                offers.emplace_back();
            offers.back().push_back(item);
        }
        for (const auto& entry : offers)
            g_offered.insert(entry.front().id);
    }
    QStringList lines;
    for (const std::string& line : report.tell)
        lines.append(shown(line));
    bool incomplete = report.incomplete;
    if (when == When::startUp) {
        incomplete = incomplete || unusable || !report.waits.empty();
        if (unusable) {
            const QString at = refusedAt.empty() ? folder() : FsPath::fromBytes(refusedAt);
            lines.append(QStringLiteral("操作记录文件夹不能使用：") + FsPath::displayText(at) + QStringLiteral("\n")
                         + whyRefused(unusable)
                         + QStringLiteral("\n上次如有没完成的更改，都记在那里，修好之前既无法完成它们（插件可能停在改到一半），也无法修改插件。"));
        }
        QStringList waiting;
        for (const SafeFS::JournalWait& wait : report.waits) {
            const QString line = shown(wait.place) + QStringLiteral("：") + SystemError::describe(wait.error);
            if (!waiting.contains(line))
                waiting.append(line);
        }
        if (!waiting.isEmpty())
            lines.append(QStringLiteral("以下位置现在无法打开，上次没有完成的更改保留在操作记录里，等它们能打开后（例如接上磁盘）重新打开 Loomwork 即可完成：\n")
                         + waiting.join(QLatin1Char('\n')));
    }
    // Settled whole (each plug-in wholly old or wholly new), only told what became of it.
    if (!lines.isEmpty())
        alert(QStringLiteral("上次的操作没有完成"),
              (incomplete ? QStringLiteral("上次中断的操作没能全部复原，以下情况需要你留意：\n")
                          : QStringLiteral("上次中断的操作已处理完，以下情况需要你留意：\n"))
                  + lines.join(QLatin1Char('\n')));
    if (!unsyncedLines.isEmpty())
        alert(QStringLiteral("磁盘报告过写入错误"), unsyncedLines.join(QLatin1Char('\n')));
    if (!offers.empty())
        offerToAdministrator(std::move(offers));
}

void AppJournal::recoverAtStartUp() noexcept
{
    try {
        recover(When::startUp);
    } catch (const std::bad_alloc&) {
        try {
            alert(QStringLiteral("上次的操作没有完成"),
                  QStringLiteral("内存不足，上次中断的操作这次没能完成复原。操作记录已保留，下次启动 Loomwork 时会再完成。"));
        } catch (...) {
        }
    } catch (...) {
    }
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

void AppJournal::toldUnsynced(const std::string& id)
{
    const std::lock_guard lock(g_mutex);
    g_toldUnsynced.insert(id);
}

QString AppJournal::unsyncedText(const SafeFS::JournalEntry& entry)
{
    QStringList paths;
    for (const std::string& path : SafeFS::coveredPaths(entry))
        paths.append(shown(path));
    return QStringLiteral("上次对以下位置的更改已完成，但磁盘报告了写入错误，数据可能没有完整写入磁盘，请检查磁盘后查看这些插件：\n")
        + paths.join(QLatin1Char('\n'));
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
