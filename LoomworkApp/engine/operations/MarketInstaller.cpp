#include <SafeFS/DirHandle.h>
#include "engine/operations/MarketInstaller.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStandardPaths>
#include <QTextBoundaryFinder>

#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "engine/files/AdminAuth.h"
#include "engine/core/AlertPresenter.h"
#include "engine/core/AppPaths.h"
#include "engine/core/EngineText.h"
#include "engine/files/FileOps.h"
#include "engine/files/JournalChange.h"
#include "engine/core/FsPath.h"
#include "engine/library/InstallConflictScanner.h"
#include "engine/market/MarketInstallRegistry.h"
#include "engine/files/PackageFiles.h"
#include "engine/model/InstallPlan.h"
#include "engine/model/Plugin.h"
#include "engine/files/PluginFolderSwap.h"
#include "engine/files/PluginLease.h"
#include "engine/core/SystemError.h"

namespace {

namespace fs = std::filesystem;

constexpr int maxNameCharacters = 120;
constexpr int cutNameCharacters = 110;
constexpr int maxNameBytes = 240; // leaves room below NAME_MAX for " (n)" and staging marks
constexpr int listedConflicts = 10;

fs::path nativePath(const QString& path)
{
    return FsPath::toNative(path);
}

// Without a sheet to rename them, two plug-ins landing in one folder would keep only the last.
void refuseSharedFolders(const std::vector<ZFCPlugin>& plugins)
{
    QHash<QString, QString> firstIn; // type and folder -> the stored name that lands there
    for (const ZFCPlugin& plugin : plugins) {
        const auto type = plugin.pluginType();
        if (!type)
            continue;
        const QString name = FsPath::fromBytes(plugin.name);
        const QString key = InstallConflictScanner::batchKey(*type, name);
        if (const auto first = firstIn.constFind(key); first != firstIn.constEnd())
            throw MarketInstallError::sharedFolder(*first, name);
        firstIn.insert(key, name);
    }
}

QString categoryFolder(const QString& library, ZFCPluginType type)
{
    return library + QLatin1Char('/') + EngineText::directoryName(type);
}

// `anyKept`: an earlier plug-in of the package could not be swapped back (the caller says so).
[[noreturn]] void failSwap(const PluginFolderSwap& swap, int error, bool anyKept = false)
{
    if (!swap.refusal().isEmpty())
        throw MarketInstallError::failed(swap.refusal()
                                         + (swap.journalRefused() && !anyKept ? QStringLiteral("\n插件没有改动。") : QString()));
    throw std::system_error(error, std::generic_category());
}

// Extracts a plug-in into its swap's hidden folder beside its target and hands it to `group`,
// which swaps it in once every plug-in of the package is ready: a failure anywhere leaves the
// library as it was, old versions included.
void stage(PluginSwapGroup& group, std::unique_ptr<PluginFolderSwap> swap, ZFCPackageReader& reader,
           const ZFCPlugin& plugin, const QString& category, const QString& name, const PluginFolderSwap::Seen& seen,
           const ZFCProgressCallback& progress)
{
    const QString staging = swap->staging();
    try {
        PackageFiles::extractInto(*swap, staging, reader, plugin, std::nullopt, progress);
    } catch (...) {
        // Messages name the plug-in's place in the library, never the hidden folder.
        throw MarketInstallError::failed(PackageFiles::describeExtraction(std::current_exception(), staging, category, false));
    }
    const QString extracted = staging + QLatin1Char('/') + name;
    if (!FileOps::current().exists(extracted))
        throw ZFCPackageError::metadataCorrupted();
    group.add(std::move(swap), extracted, name, seen);
}

// The extension as the file manager sees it: after the last ".", not for a leading dot.
qsizetype extensionDot(const QString& name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 && dot < name.size() - 1 ? dot : -1;
}

// Boundaries of user-perceived characters.
QList<qsizetype> graphemeEnds(const QString& text)
{
    QList<qsizetype> ends;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype at = finder.toNextBoundary(); at > 0; at = finder.toNextBoundary())
        ends.append(at);
    return ends;
}

QString firstCharacters(const QString& text, qsizetype count)
{
    const QList<qsizetype> ends = graphemeEnds(text);
    if (count >= ends.size())
        return text;
    return count <= 0 ? QString() : text.left(ends.at(count - 1));
}

// Drops whole characters from the end of `base` until base + suffix fits the byte budget.
QString fitBytes(const QString& base, const QString& suffix)
{
    const qsizetype suffixBytes = suffix.toUtf8().size();
    if (suffixBytes >= maxNameBytes)
        return fitBytes(base + suffix, QString());
    const QList<qsizetype> ends = graphemeEnds(base);
    qsizetype keep = ends.size();
    while (keep > 0 && base.left(ends.at(keep - 1)).toUtf8().size() + suffixBytes > maxNameBytes)
        --keep;
    return (keep > 0 ? base.left(ends.at(keep - 1)) : QString()) + suffix;
}

// Puts `from` at `to` unless something is there already: 0 or an errno, EEXIST when taken.
int placeNoReplace(const QString& from, const QString& to)
{
    const fs::path source = nativePath(from);
    const fs::path target = nativePath(to);
    int error = FileOps::current().renameNoReplace(from, to);
    if (DirHandle::refusesFlags(error)) {
        // NFS and some FUSE file systems refuse the flag; a hard link never replaces either.
        error = ::link(source.c_str(), target.c_str()) == 0 ? 0 : errno;
        if (error == 0) {
            ::unlink(source.c_str());
            return 0;
        }
        if (error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == EMLINK)
            error = EXDEV; // no hard links there: copy
    }
    if (error != EXDEV)
        return error;
    // Another file system: an exclusive copy, then the original goes. The copy leaves
    // nothing behind when it fails and keeps the write's errno (copy_file gives EIO for a
    // full disk).
    if (const int copyError = FileOps::current().copyTree(from, to))
        return copyError;
    std::error_code ignored;
    fs::remove(source, ignored);
    return 0;
}

// The mode a new file gets, 0666 less the umask; read, since setting the umask to learn it
// would change it for every other thread meanwhile.
mode_t newFileMode()
{
    mode_t mask = 022;
#ifdef __linux__
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            bool ok = false;
            const uint value = line.startsWith("Umask:") ? line.mid(6).trimmed().toUInt(&ok, 8) : 0;
            if (ok)
                mask = mode_t(value);
        }
    }
#endif
    return 0666 & ~mask;
}

QString downloadsFolder()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (!folder.isEmpty() && QDir().mkpath(folder))
        return folder;
    return AppPaths::temporaryFolder();
}

} // namespace

MarketInstallError::MarketInstallError(Kind kind, QString message)
    : m_kind(kind), m_message(std::move(message)), m_utf8(m_message.toUtf8())
{
}

MarketInstallError MarketInstallError::conflictCancelled()
{
    return {Kind::conflictCancelled, QStringLiteral("已取消安装：目标库里的同名插件保持不变")};
}

MarketInstallError MarketInstallError::authorizationDenied()
{
    return {Kind::authorizationDenied,
            QStringLiteral("已取消安装：系统库需要管理员授权（可到「设置 → 授权」完成授权后重试）")};
}

MarketInstallError MarketInstallError::sharedFolder(const QString& first, const QString& second)
{
    return {Kind::sharedFolder, QStringLiteral("已取消安装：封包里的插件「%1」和「%2」会装进同一个文件夹，系统库里的插件保持不变")
                                    .arg(FsPath::displayText(first), FsPath::displayText(second))};
}

MarketInstallError MarketInstallError::hiddenName(QString message)
{
    return {Kind::hiddenName, std::move(message)};
}

MarketInstallError MarketInstallError::moveFailed(QString message)
{
    return {Kind::moveFailed, std::move(message)};
}

MarketInstallError MarketInstallError::failed(QString message)
{
    return {Kind::failed, std::move(message)};
}

QStringList MarketInstaller::conflicts(const std::vector<ZFCPlugin>& plugins)
{
    QHash<QString, SafeFS::Identity> seen;
    return conflicts(plugins, seen);
}

QStringList MarketInstaller::conflicts(const std::vector<ZFCPlugin>& plugins, QHash<QString, SafeFS::Identity>& seen,
                                      QHash<QString, uid_t>* owners)
{
    // The scanner looks each plug-in up under the folder name extraction will really write.
    QList<InstallConflictScanner::Entry> entries;
    QStringList stored;
    for (const ZFCPlugin& plugin : plugins) {
        if (const auto type = plugin.pluginType()) {
            stored.append(QString::fromStdString(plugin.name));
            entries.append({int(entries.size()), stored.last(), *type});
        }
    }
    QStringList clashes;
    const InstallConflictScanner::Report report = InstallConflictScanner::scan(entries);
    seen = report.seen;
    if (owners)
        *owners = report.owners;
    for (const InstallConflictScanner::Hit& hit : report.hits) {
        const auto owner = report.owners.constFind(
            InstallPlan::target(PluginRoot::system, hit.type, PackageFiles::folderName(hit.name)));
        if (hit.inSystem && owner != report.owners.constEnd() && PluginOwner::isAnotherUsers(*owner))
            clashes.append(stored.at(hit.id) + QStringLiteral("（系统库，属于用户「") + PluginOwner::userName(*owner)
                           + QStringLiteral("」）"));
        else if (hit.inSystem)
            clashes.append(stored.at(hit.id) + QStringLiteral("（系统库）"));
        if (hit.inUser)
            clashes.append(stored.at(hit.id) + QStringLiteral("（用户库）"));
    }
    std::sort(clashes.begin(), clashes.end());
    clashes.erase(std::unique(clashes.begin(), clashes.end()), clashes.end());
    // Another user's come first, so that the question's first names are those the
    // administrator would replace.
    std::stable_partition(clashes.begin(), clashes.end(),
                          [](const QString& clash) { return clash.contains(QStringLiteral("，属于用户「")); });
    return clashes;
}

QString MarketInstaller::conflictMessage(const QStringList& conflicts)
{
    QString message = QStringLiteral("以下插件已存在，是否覆盖？\n\n") + conflicts.mid(0, listedConflicts).join(QStringLiteral("、"));
    if (conflicts.size() > listedConflicts)
        message += QStringLiteral(" 等 ") + QString::number(conflicts.size()) + QStringLiteral(" 个");
    message += QStringLiteral("\n\n点「覆盖」会用下载到的版本替换原有插件文件，点「取消」中止本次安装。");
    return message;
}

namespace {

// Refusals that need neither the user nor the disk: a package without plug-ins, a hidden
// folder name, two plug-ins landing in one folder.
void refusePackage(const std::vector<ZFCPlugin>& plugins)
{
    if (plugins.empty())
        throw ZFCPackageError::metadataCorrupted();
    if (const QString refusal = PackageFiles::hiddenNameRefusal(plugins); !refusal.isEmpty())
        throw MarketInstallError::hiddenName(refusal);
    refuseSharedFolders(plugins);
}

void confirmReplacing(const QStringList& clashes)
{
    if (!clashes.isEmpty()) {
        const bool replace = AlertPresenter::current().confirm(
            QStringLiteral("插件库里已有同名插件"), MarketInstaller::conflictMessage(clashes), AlertPresenter::Style::warning,
            QStringLiteral("覆盖"), QStringLiteral("取消"));
        if (!replace)
            throw MarketInstallError::conflictCancelled();
    }
}

// The system library's folder, once it is writable (the administrator asked where it is not).
QString writableSystemLibrary()
{
    const QString library = PluginRoot(PluginRoot::system).path();
    if (!AdminAuth::isWritable(library)) {
        if (!AdminAuth::prepareRoot(library) || !AdminAuth::isWritable(library))
            throw MarketInstallError::authorizationDenied();
    }
    return library;
}

// The plug-ins of a known type; nothing it could install is said so, rather than "0 installed".
std::ptrdiff_t knownPlugins(const std::vector<ZFCPlugin>& plugins)
{
    const auto known = std::count_if(plugins.begin(), plugins.end(),
                                     [](const ZFCPlugin& plugin) { return plugin.pluginType().has_value(); });
    if (known == 0 && !plugins.empty())
        throw ZFCPackageError::unknownPluginType(plugins.front().name, plugins.front().type);
    return known;
}

// A plug-in of the package that goes through a swap, until it is handed to the group.
struct ToStage {
    const ZFCPlugin* plugin;
    QString category;
    QString folder;
    PluginFolderSwap::Seen seen;
    std::unique_ptr<PluginFolderSwap> swap;
};

// One market install's state from its first room to its sync: a failure's message needs
// to know how far it got.
class MarketRun
{
public:
    MarketRun(const std::vector<ZFCPlugin>& plugins, const QString& library, const QStringList& clashes,
              const QHash<QString, SafeFS::Identity>& seen, const QHash<QString, uid_t>& owners,
              std::ptrdiff_t known, const MarketInstaller::Progress& onProgress)
        : m_plugins(plugins), m_library(library), m_clashes(clashes), m_seen(seen), m_owners(owners),
          m_total(double(plugins.size())), m_known(known), m_onProgress(onProgress)
    {
        m_outcome.root = library;
    }

    std::vector<ToStage> plan();
    void makeRooms(std::vector<ToStage>& toStage);
    void stageAll(std::vector<ToStage>& toStage, ZFCPackageReader& reader);
    void commit();
    [[noreturn]] void fail(const QString& pluginId, const QString& pluginName);
    void finish(const QString& pluginId, const QString& pluginName);
    MarketInstallOutcome sync();

private:
    void report(double fraction) const
    {
        if (m_onProgress)
            m_onProgress(std::clamp(fraction, 0.0, 1.0));
    }
    // An old copy goes to the administrator only while it has the owner the question named.
    AdminAuth::Item told(AdminAuth::Item item) const
    {
        item.owner = m_owners.value(item.folder + QLatin1Char('/') + item.shownName, ::geteuid());
        return item;
    }

    const std::vector<ZFCPlugin>& m_plugins;
    const QString& m_library;
    const QStringList& m_clashes;
    const QHash<QString, SafeFS::Identity>& m_seen;
    const QHash<QString, uid_t>& m_owners;
    const double m_total;
    const std::ptrdiff_t m_known;
    const MarketInstaller::Progress& m_onProgress;

    int m_installed = 0;
    MarketInstallOutcome m_outcome;
    // Held by pointer: it goes, with its rooms, before the install is synced and reported.
    std::unique_ptr<PluginSwapGroup> m_group = std::make_unique<PluginSwapGroup>();
    // The plug-ins it replaces, leased from before the commit until their old copies are gone.
    PluginLease m_lease;
    std::vector<PluginLease::Target> m_replaced;
    QList<int> m_stagedPositions; // each staged plug-in's place among those installed, from 1
    // A failure of the install as a whole (its journal, the staged copies' one sync): no
    // plug-in of it is to blame.
    bool m_whole = false;
};

// Each plug-in's target, its category folder made; a swap for each one to be written.
std::vector<ToStage> MarketRun::plan()
{
    std::vector<ToStage> toStage;
    for (const ZFCPlugin& plugin : m_plugins) {
        const auto type = plugin.pluginType();
        if (!type)
            continue;
        const QString folder = PackageFiles::folderName(FsPath::fromBytes(plugin.name));
        if (folder.isEmpty())
            throw ZFCPackageError::metadataCorrupted();
        const QString category = categoryFolder(m_library, *type);
        if (!FileOps::current().exists(category)) {
            // The library is writable by now: only a refusal needs the administrator.
            std::error_code error;
            if (!fs::create_directory(nativePath(category), error) && error
                && !AdminAuth::adminCreateDirectory(category))
                throw MarketInstallError::authorizationDenied();
        }
        const QString target = category + QLatin1Char('/') + folder;
        // Without a confirmed clash an existing folder is left alone, as the reader does.
        if (!(m_clashes.isEmpty() && FileOps::current().exists(target))) {
            const auto saw = m_seen.constFind(target);
            toStage.push_back({&plugin, category, folder,
                               saw != m_seen.constEnd() ? PluginFolderSwap::Seen(*saw) : PluginFolderSwap::Seen(),
                               m_group->makeSwap(category)});
            m_stagedPositions.append(m_installed + 1);
            m_replaced.push_back({target, {}});
        }
        m_outcome.paths.append(target);
        ++m_installed;
    }
    return toStage;
}

// Every room made before the first extraction, in two journal writes for all.
void MarketRun::makeRooms(std::vector<ToStage>& toStage)
{
    std::vector<PluginFolderSwap*> swaps;
    QStringList labels;
    for (const ToStage& one : toStage) {
        swaps.push_back(one.swap.get());
        labels.append(one.folder);
    }
    qsizetype at = 0;
    if (const int error = m_group->makeStagings(swaps, QStringLiteral("market"), labels, &at)) {
        m_installed = m_stagedPositions.at(at) - 1;
        m_whole = toStage[std::size_t(at)].swap->journalRefused();
        failSwap(*toStage[std::size_t(at)].swap, error);
    }
}

void MarketRun::stageAll(std::vector<ToStage>& toStage, ZFCPackageReader& reader)
{
    const int count = m_installed;
    for (std::size_t i = 0; i < toStage.size(); ++i) {
        ToStage& one = toStage[i];
        m_installed = m_stagedPositions.at(qsizetype(i)) - 1;
        stage(*m_group, std::move(one.swap), reader, *one.plugin, one.category, one.folder, one.seen,
              [&](const ZFCProgress& progress) {
                  report((m_installed + std::clamp(progress.fraction, 0.0, 1.0)) / m_total);
              });
    }
    m_installed = count;
}

// The staged plug-ins swapped in together, under the leases of those they replace.
void MarketRun::commit()
{
    m_lease = PluginLease::take(m_replaced);
    if (const int error = m_group->commit()) {
        if (m_group->failedAt() < 0) {
            m_whole = true;
            throw MarketInstallError::failed(
                (m_group->refusal().isEmpty() ? SystemError::describe(error) : m_group->refusal())
                + (m_group->notRestored().isEmpty() ? QStringLiteral("\n插件没有改动。") : QString()));
        }
        m_installed = m_stagedPositions.at(m_group->failedAt()) - 1;
        failSwap(m_group->at(m_group->failedAt()), error, !m_group->notRestored().isEmpty());
    }
}

// Called from the handler of whatever the steps above threw: rethrows it, or for a package of
// several plug-ins says which one failed and what became of the others.
void MarketRun::fail(const QString& pluginId, const QString& pluginName)
{
    // Old copies of plug-ins that could not be swapped back: the journal keeps what stays.
    for (const AdminAuth::Item& old : m_group->leftovers())
        (void)AdminAuth::adminRemove(told(old));
    if (m_known < 2 || (m_whole && m_group->notRestored().isEmpty()))
        throw;
    // Which one failed, and that the others were not installed either (or, where one
    // could not be swapped back, that it now holds the downloaded version). Past the last
    // plug-in (taking the leases before the commit), or in a step of the whole install, no
    // one plug-in failed.
    const QStringList kept = m_group->notRestored();
    QString note = m_whole || m_installed >= m_known ? QStringLiteral("\n（")
                                                     : QStringLiteral("\n（第 %1 个插件失败，").arg(m_installed + 1);
    if (kept.isEmpty()) {
        note += QStringLiteral("未安装任何插件）");
    } else {
        QStringList names;
        for (const QString& path : kept)
            names.append(FsPath::displayText(QFileInfo(path).fileName()));
        note += names.join(QStringLiteral("、")) + QStringLiteral(" 未能还原，已是下载的版本）");
        if (const int error = MarketInstallRegistry::registerPaths(kept, pluginId, pluginName))
            note += QLatin1Char('\n') + MarketInstallRegistry::saveFailure(error);
    }
    throw MarketInstallError::failed(MarketInstaller::describe(std::current_exception()) + note);
}

// The plug-ins stand: what follows cannot make the install a failure (memory running out
// costs at most a note or the market's mark on them).
void MarketRun::finish(const QString& pluginId, const QString& pluginName)
{
    m_outcome.count = m_installed;
    try {
        // An old copy we may not delete ourselves goes the way a deleted system plug-in goes.
        for (const AdminAuth::Item& old : m_group->leftovers()) {
            const bool removed = AdminAuth::adminRemove(told(old));
            m_outcome.notes += AdminAuth::lastNotes();
            if (!removed)
                m_outcome.notes += AdminAuth::leftoverNote(old);
        }
        m_outcome.notes += m_group->notes();
        report(1.0);
        if (const int error = MarketInstallRegistry::registerPaths(m_outcome.paths, pluginId, pluginName))
            m_outcome.notes += MarketInstallRegistry::saveFailure(error);
    } catch (...) {
    }
}

// Synced through handles held from before the first write: a write error since is told.
MarketInstallOutcome MarketRun::sync()
{
    const std::shared_ptr<JournalChange> journal = m_group->journal();
    m_group.reset();
    if ((m_outcome.writeError = journal->close()) != 0) {
        try {
            m_outcome.notes += SystemError::writeErrorText(QStringLiteral("已安装") + SystemError::pluginNames(m_outcome.paths),
                                                           m_outcome.writeError);
        } catch (...) {
        }
    }
    return std::move(m_outcome);
}

} // namespace

MarketInstallOutcome MarketInstaller::install(const QString& file, const QString& pluginId,
                                              const QString& pluginName, const Progress& onProgress)
{
    ZFCPackageReader reader(nativePath(file));
    const std::vector<ZFCPlugin>& plugins = reader.plugins();
    refusePackage(plugins);

    // What the user is asked about is all that is ever replaced.
    QHash<QString, SafeFS::Identity> seen;
    QHash<QString, uid_t> owners;
    const QStringList clashes = conflicts(plugins, seen, &owners);
    confirmReplacing(clashes);

    const QString library = writableSystemLibrary();
    const std::ptrdiff_t known = knownPlugins(plugins);
    MarketRun run(plugins, library, clashes, seen, owners, known, onProgress);
    try {
        std::vector<ToStage> toStage = run.plan();
        run.makeRooms(toStage);
        run.stageAll(toStage, reader);
        run.commit();
    } catch (...) {
        run.fail(pluginId, pluginName);
    }
    run.finish(pluginId, pluginName);
    return run.sync();
}

QString MarketInstaller::safeFileName(const QString& name)
{
    QString text = name;
    text.remove(QChar(u'\0'));
    text.replace(QLatin1Char('/'), QLatin1Char('_')).replace(QLatin1Char('\\'), QLatin1Char('_'));
    // A leading dot would hide the file; only dots would be no name at all.
    qsizetype start = 0;
    while (start < text.size() && (text.at(start) == QLatin1Char('.') || text.at(start).isSpace()))
        ++start;
    text = text.mid(start).trimmed();
    if (text.isEmpty())
        return QStringLiteral("下载文件");
    // Controls and format characters (bidi overrides, zero-width and invisible ones, tags)
    // would show a name other than the real one: a right-to-left override turns "gnp.zfcp"
    // around. Line and paragraph separators would break it over lines.
    QString shown;
    shown.reserve(text.size());
    for (qsizetype at = 0; at < text.size(); ++at) {
        char32_t u = text.at(at).unicode();
        qsizetype units = 1;
        if (QChar::isHighSurrogate(u) && at + 1 < text.size() && text.at(at + 1).isLowSurrogate()) {
            u = QChar::surrogateToUcs4(text.at(at), text.at(at + 1));
            units = 2;
        }
        switch (QChar::category(u)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
        case QChar::Other_Surrogate: // half a pair: no character at all
            shown += QLatin1Char('_');
            break;
        default:
            shown += text.mid(at, units);
        }
        at += units - 1;
    }
    text = shown;

    const qsizetype dot = extensionDot(text);
    const QString base = dot < 0 ? text : text.left(dot);
    const QString suffix = dot < 0 ? QString() : text.mid(dot);
    QString cut;
    if (graphemeEnds(text).size() > maxNameCharacters) {
        const qsizetype extensionLength = dot < 0 ? 0 : graphemeEnds(suffix.mid(1)).size();
        const QString kept = firstCharacters(base, std::max<qsizetype>(cutNameCharacters - extensionLength, 1));
        cut = fitBytes(kept, suffix);
    } else {
        cut = text.toUtf8().size() <= maxNameBytes ? text : fitBytes(base, suffix);
    }
    if (!cut.isEmpty() && !cut.startsWith(QLatin1Char('.')))
        return cut;
    // Not even the first character of the base fits beside the extension: the name's own
    // start then, else a plain name; never nothing, never a hidden file.
    cut = fitBytes(graphemeEnds(text).size() > maxNameCharacters ? firstCharacters(text, cutNameCharacters) : text,
                   QString());
    return cut.isEmpty() ? fitBytes(QStringLiteral("下载文件"), suffix) : cut;
}

QString MarketInstaller::moveToDownloads(const QString& file, const QString& suggestedName)
{
    const QString folder = downloadsFolder();
    const QString name = safeFileName(suggestedName.isEmpty() ? QFileInfo(file).fileName() : suggestedName);
    const qsizetype dot = extensionDot(name);
    const QString base = dot < 0 ? name : name.left(dot);
    const QString extension = dot < 0 ? QString() : name.mid(dot + 1);

    // A name taken meanwhile moves on to the next: an existing file is never replaced.
    for (int counter = 0;; ++counter) {
        QString next = name;
        if (counter > 0) {
            next = base + QStringLiteral(" (") + QString::number(counter) + QLatin1Char(')');
            if (!extension.isEmpty())
                next += QLatin1Char('.') + extension;
        }
        const QString target = folder + QLatin1Char('/') + next;
        if (FileOps::current().exists(target))
            continue;
        const int error = placeNoReplace(file, target);
        if (error == 0) {
            // The download was private while it waited; placed, it is an ordinary file.
            ::chmod(nativePath(target).c_str(), newFileMode());
            return target;
        }
        if (error != EEXIST)
            throw MarketInstallError::moveFailed(QStringLiteral("无法移到「下载」：") + SystemError::describe(error));
    }
}


QString MarketInstaller::describe(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const MarketInstallError& e) {
        return e.errorDescription();
    } catch (...) {
    }
    // Never a path: a staging folder must not reach the user.
    return PackageFiles::describe(error, false);
}
