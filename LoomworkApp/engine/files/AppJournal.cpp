#include "engine/files/AppJournal.h"

#include <mutex>
#include <set>

#include <cerrno>

#include <QDir>
#include <QFileInfo>
#include <QThreadPool>

#include "engine/core/AlertPresenter.h"
#include "engine/core/AppPaths.h"
#include "engine/core/FsPath.h"
#include "engine/core/SystemError.h"
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

int AppJournal::open(SafeFS::Journal& journal, std::string* refusedAt)
{
    return journal.open(FsPath::toBytes(folder()), refusedAt);
}

QString AppJournal::failureText(int error, const std::string& refusedAt)
{
    const QString at = refusedAt.empty() ? folder() : FsPath::fromBytes(refusedAt);
    const QString why = error == EPERM
        ? QStringLiteral("它属于其他用户、是符号链接，或其他用户也能在其中改名，不能在其中保存操作记录")
        : SystemError::describe(error);
    return QStringLiteral("无法写入操作记录：") + FsPath::displayText(at) + QStringLiteral("\n") + why
        + QStringLiteral("\n插件没有改动。");
}

void AppJournal::recover()
{
    std::vector<std::string> tell;
    {
        const std::lock_guard lock(g_mutex);
        SafeFS::Journal journal;
        if (open(journal) != 0)
            return;
        tell = SafeFS::recoverJournal(journal, [](std::string_view id) { return g_running.count(std::string(id)) > 0; }).tell;
    }
    if (tell.empty())
        return;
    QStringList lines;
    for (const std::string& line : tell)
        lines.append(FsPath::displayText(FsPath::fromBytes(line)));
    const QString message = QStringLiteral("上次中断的操作没能全部复原，以下情况需要你留意：\n") + lines.join(QLatin1Char('\n'));
    // In an alert of its own: whoever recovered goes on meanwhile.
    QThreadPool::globalInstance()->start([message] {
        AlertPresenter::current().confirm(QStringLiteral("上次的操作没有完成"), message, AlertPresenter::Style::warning,
                                          QStringLiteral("好"), QString());
    });
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
