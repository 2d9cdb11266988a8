#include "engine/operations/Installation.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include <QDir>
#include <QHash>

#include "LoomworkKit/ZFCPackageError.h"
#include "engine/core/EngineText.h"
#include "engine/core/FsPath.h"
#include "engine/core/SystemError.h"
#include "engine/files/AdminAuth.h"
#include "engine/files/FileOps.h"
#include "engine/files/JournalChange.h"
#include "engine/files/PackageFiles.h"
#include "engine/files/PluginLease.h"

namespace {

namespace fs = std::filesystem;

fs::path nativePath(const QString& path)
{
    return FsPath::toNative(path);
}

// A failure whose text is already for the user (the staging path replaced by the target's).
struct StagedFailure : std::exception {
    QString text;
    explicit StagedFailure(QString t) : text(std::move(t)) {}
    const char* what() const noexcept override { return "install failed"; }
};

// The alert text of whatever stopped the install.
QString describe(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const StagedFailure& e) {
        return e.text;
    } catch (...) {
        return PackageFiles::describe(std::current_exception(), true);
    }
}

// Hands what was extracted into the swap's room beside the target to `group`, which swaps it
// in once every plug-in of the install is ready: a package that fails halfway leaves the
// library as it was. Returns the target.
QString stageInstall(PluginSwapGroup& group, std::unique_ptr<PluginFolderSwap> swap, const QString& category,
                     const InstallPlan& plan)
{
    const QString staging = swap->staging();
    QString folderName;
    try {
        // The reader decides the folder name (trimmed, made safe); it is the one item made.
        for (const fs::directory_entry& entry : fs::directory_iterator(nativePath(staging))) {
            folderName = FsPath::fromNative(entry.path().filename());
            break;
        }
    } catch (...) {
        // Messages name the plug-in's place in the library, never the hidden folder.
        throw StagedFailure(PackageFiles::describeExtraction(std::current_exception(), staging, category));
    }
    if (folderName.isEmpty())
        throw ZFCPackageError::metadataCorrupted();
    const QString target = category + QLatin1Char('/') + folderName;
    group.add(std::move(swap), staging + QLatin1Char('/') + folderName, folderName, plan.seenAt(target));
    return target;
}

} // namespace

Installation::Installation(const QStringList& files, const InstallPlan& plan, const ZFCProgressCallback& progress,
                           std::function<void()> flush)
    : m_files(files), m_plan(plan), m_progress(progress), m_flush(std::move(flush))
{
}

std::vector<std::pair<int, ZFCPackageReader>> Installation::openPackages(const QStringList& files)
{
    std::vector<std::pair<int, ZFCPackageReader>> readers;
    for (qsizetype i = 0; i < files.size(); ++i) {
        ZFCPackageReader reader(nativePath(files[i]));
        if (reader.plugins().empty())
            throw ZFCPackageError::metadataCorrupted();
        readers.emplace_back(int(i), std::move(reader));
    }
    return readers;
}

QString Installation::failurePlace(const QString& file, int position, const QStringList& kept, bool several)
{
    QString place = QStringLiteral("\n封包：") + FsPath::displayText(QFileInfo(file).fileName());
    if (!kept.isEmpty()) {
        QStringList names;
        for (const QString& path : kept)
            names.append(FsPath::displayText(QFileInfo(path).fileName()));
        const QString failed = position > 0 ? QStringLiteral("第 %1 个失败；").arg(position) : QString();
        place += QStringLiteral("（") + failed + names.join(QStringLiteral("、")) + QStringLiteral(" 未能还原，已是封包里的版本）");
    } else if (several && position > 0) {
        place += QStringLiteral("（第 %1 个失败，未安装任何插件）").arg(position);
    } else if (several) {
        place += QStringLiteral("（未安装任何插件）");
    }
    return place;
}

// Never throws: whatever stops the install is its failure, with what is on disk said.
Installation::Outcome Installation::run(std::vector<std::pair<int, ZFCPackageReader>>& readers)
{
    Outcome outcome;
    bool committed = false;
    PluginLease lease;
    // Made before the commit: once the plug-ins stand, saying so must not need memory.
    outcome.title = QStringLiteral("安装失败");
    std::shared_ptr<JournalChange> journal;
    try {
        m_group.emplace();
        journal = m_group->journal();
        // Every room is made before the first extraction, all recorded in two journal writes.
        std::vector<Planned> planned;
        for (auto& [index, reader] : readers)
            planPackage(index, reader, planned);
        makeRooms(planned);
        // Each package's plug-ins in one pass, its workers reading ahead across them.
        for (std::size_t from = 0; from < planned.size();) {
            std::size_t to = from + 1;
            while (to < planned.size() && planned[to].reader == planned[from].reader)
                ++to;
            extractPackage(planned, from, to);
            for (std::size_t i = from; i < to; ++i)
                stage(planned[i]);
            from = to;
        }
        m_stagedOfCurrent = -1; // all staged: a failure from here on is no one plug-in's (commit() names its own)
        const QString done = QStringLiteral("已安装 ");
        // Only the plug-ins it replaces: their pending removals first, no other operation beside.
        std::vector<PluginLease::Target> targets;
        for (const Staged& staged : m_staged)
            targets.push_back({staged.target, {}});
        lease = PluginLease::take(targets);
        commit();
        committed = true;
        outcome.ok = true;
        outcome.text = done + QString::number(m_group->targets().size()) + QStringLiteral(" 个插件");
        if (m_renamed > 0)
            outcome.text += QStringLiteral("（") + QString::number(m_renamed) + QStringLiteral(" 个已重命名）");
        removeLeftovers(outcome.notes);
        outcome.notes += m_group->notes();
    } catch (const Refused&) {
        outcome.title = QStringLiteral("无法写入系统库");
        outcome.text = QStringLiteral("未获得管理员授权，请重试或在设置中改用用户库。");
    } catch (...) {
        if (committed) {
            outcome.ok = true; // the plug-ins stand: only the report ran out of memory
        } else {
            try {
                const QStringList kept = m_group ? m_group->notRestored() : QStringList();
                outcome.listsChanged = !kept.isEmpty();
                outcome.text = describe(std::current_exception())
                    + (m_whole ? wholePlace(kept) : failurePlace(m_files[m_current], m_stagedOfCurrent + 1, kept, m_known > 1));
                removeLeftovers(outcome.notes);
            } catch (...) {
                static const QString outOfMemory = QStringLiteral("内存不足");
                if (outcome.text.isEmpty())
                    outcome.text = outOfMemory;
            }
        }
    }
    // The rooms and the test's file operations go before the outcome is published: whoever
    // hears of it may look at the library at once.
    QStringList installed;
    try {
        if (committed && m_group)
            installed = m_group->targets();
    } catch (...) {
    }
    m_group.reset();
    // Synced through handles held from before the first write: a write error since is told.
    if (journal && committed && outcome.ok) {
        const int error = journal->close();
        journal.reset();
        if (error) {
            outcome.writeError = error;
            try {
                outcome.notes.prepend(SystemError::writeErrorText(QStringLiteral("已安装") + SystemError::pluginNames(installed), error));
            } catch (...) {
            }
        }
    }
    return outcome;
}

void Installation::planPackage(int index, ZFCPackageReader& reader, std::vector<Planned>& planned)
{
    m_current = index;
    m_stagedOfCurrent = 0;
    m_known += std::count_if(reader.plugins().begin(), reader.plugins().end(),
                             [](const ZFCPlugin& plugin) { return plugin.pluginType().has_value(); });
    // Plug-ins of one type and name within a package are told apart as the plan does.
    QHash<QString, int> occurrences;
    int position = 0;
    for (const ZFCPlugin& plugin : reader.plugins()) {
        const std::optional<ZFCPluginType> type = plugin.pluginType();
        if (!type)
            continue;
        const QString category = m_plan.root.path() + QLatin1Char('/') + EngineText::directoryName(*type);
        ensureCategory(category);
        const QString stored = QString::fromStdString(plugin.name);
        const int occurrence = ++occurrences[InstallPlan::key(index, *type, stored)];
        const auto rename = m_plan.renames.constFind(InstallPlan::key(index, *type, stored, occurrence));
        std::optional<std::string> name;
        if (rename != m_plan.renames.constEnd()) {
            name = rename->toStdString();
            if (*rename != stored)
                ++m_renamed;
        }
        planned.push_back({index, ++position, &reader, &plugin, category, name, m_known, m_group->makeSwap(category)});
    }
}

// Where the failure of `planned` is told: its package and its place in it.
void Installation::failAt(const Planned& planned)
{
    m_current = planned.package;
    m_stagedOfCurrent = planned.position - 1;
    m_known = planned.known;
}

void Installation::makeRooms(std::vector<Planned>& planned)
{
    std::vector<PluginFolderSwap*> swaps;
    QStringList labels;
    for (const Planned& one : planned) {
        swaps.push_back(one.swap.get());
        // Readable hidden names, each its own: the plug-in's name.
        labels.append(QString::fromStdString(one.name.value_or(one.plugin->name)));
    }
    qsizetype at = 0;
    const int error = m_group->makeStagings(swaps, QStringLiteral("install"), labels, &at);
    if (error == 0)
        return;
    const Planned& failed = planned.at(std::size_t(at));
    failAt(failed);
    if (failed.swap->journalRefused()) {
        m_whole = true; // the journal is the install's, not this plug-in's
        throw StagedFailure(failed.swap->refusal());
    }
    if (!failed.swap->refusal().isEmpty())
        throw StagedFailure(failed.swap->refusal());
    throw fs::filesystem_error("install", nativePath(failed.category), std::error_code(error, std::generic_category()));
}

void Installation::extractPackage(std::vector<Planned>& planned, std::size_t from, std::size_t to)
{
    std::vector<ZFCPackageReader::Request> requests;
    for (std::size_t i = from; i < to; ++i)
        requests.push_back({planned[i].plugin, FsPath::toNative(planned[i].swap->staging()), planned[i].name, true});
    ZFCPackageReader& reader = *planned[from].reader;
    // A disk that ran short of space while earlier changes' removals were pending gets one more
    // try from the plug-in that met it, once they are done and its room is empty again.
    std::size_t retriedFrom = to;
    for (std::size_t begin = from;;) {
        std::size_t failed = 0;
        try {
            reader.extractMany({requests.begin() + std::ptrdiff_t(begin - from), requests.end()}, m_progress, &failed);
            break;
        } catch (...) {
            const std::size_t index = std::min(begin + failed, to - 1);
            Planned& at = planned[index];
            failAt(at);
            if (retriedFrom == index || !PackageFiles::readyToRetry(std::current_exception(), *at.swap))
                // Messages name the plug-in's place in the library, never the hidden folder.
                throw StagedFailure(PackageFiles::describeExtraction(std::current_exception(), at.swap->staging(), at.category));
            retriedFrom = begin = index;
        }
    }
    if (m_flush)
        m_flush();
}

void Installation::stage(Planned& planned)
{
    failAt(planned);
    const QString target = stageInstall(*m_group, std::move(planned.swap), planned.category, m_plan);
    // Counted once recorded: memory that runs out recording it is this plug-in's failure.
    m_staged.append({planned.package, m_stagedOfCurrent + 1, target});
    ++m_stagedOfCurrent;
}

// A library we can write gets its missing category folders from us; only one we cannot
// write needs the administrator, whose refusal stops the install.
void Installation::ensureCategory(const QString& category)
{
    if (FileOps::current().exists(category))
        return;
    if (!m_writable)
        m_writable = m_plan.root == PluginRoot::user || AdminAuth::isWritable(m_plan.root.path());
    if (*m_writable) {
        QDir().mkpath(category);
    } else if (!AdminAuth::adminCreateDirectory(category)) {
        throw Refused();
    }
}

void Installation::commit()
{
    const int error = m_group->commit();
    if (error == 0)
        return;
    if (m_group->failedAt() < 0) {
        // A step of the install as a whole (the staged copies' one sync, its journal): no
        // plug-in of it is to blame.
        m_whole = true;
        if (!m_group->refusal().isEmpty())
            throw StagedFailure(m_group->refusal());
        throw fs::filesystem_error("install", std::error_code(error, std::generic_category()));
    }
    const Staged& failed = m_staged.at(std::min<qsizetype>(m_group->failedAt(), m_staged.size() - 1));
    m_current = failed.package;
    m_stagedOfCurrent = failed.position - 1;
    const PluginFolderSwap& swap = m_group->at(m_group->failedAt());
    // What stands is said after it: a plug-in that could not be swapped back is new.
    if (!swap.refusal().isEmpty())
        throw StagedFailure(swap.refusal()
                            + (swap.journalRefused() && m_group->notRestored().isEmpty() ? QStringLiteral("\n插件没有改动。")
                                                                                         : QString()));
    throw fs::filesystem_error("install", nativePath(failed.target), std::error_code(error, std::generic_category()));
}

// After a failure of the install as a whole: nothing changed, or what could not go back.
QString Installation::wholePlace(const QStringList& kept) const
{
    if (kept.isEmpty())
        return QStringLiteral("\n插件没有改动。");
    QStringList names;
    for (const QString& path : kept)
        names.append(FsPath::displayText(QFileInfo(path).fileName()));
    return QStringLiteral("\n%1 未能还原，已是封包里的版本。").arg(names.join(QStringLiteral("、")));
}

// An old copy we may not delete ourselves goes the way a deleted system plug-in goes: to
// the administrator, as the swap recorded it.
void Installation::removeLeftovers(QStringList& notes)
{
    if (m_plan.root != PluginRoot::system || !m_group)
        return;
    for (AdminAuth::Item item : m_group->leftovers()) {
        // Only while it has the owner the overwrite question named.
        item.owner = m_plan.toldOwnerAt(item.folder + QLatin1Char('/') + item.shownName);
        const bool removed = AdminAuth::adminRemove(item);
        notes += AdminAuth::lastNotes();
        if (!removed)
            notes += AdminAuth::leftoverNote(item);
    }
}
