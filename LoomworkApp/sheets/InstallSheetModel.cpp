#include "sheets/InstallSheetModel.h"

#include <algorithm>

#include <QFileInfo>

#include "engine/core/Delivery.h"
#include "engine/core/EngineText.h"
#include "engine/core/WorkerThread.h"
#include "engine/files/PackageFiles.h"

namespace {

// The overwrite card names this many of another user's plug-ins, then counts: the card sits
// among the sheet's other choices.
constexpr int kOwnersListed = 3;

QString number(int value)
{
    return QString::number(value);
}

} // namespace

std::optional<InstallSheetModel::Choice> InstallSheetModel::choiceFromRaw(const QString& raw)
{
    if (raw == QLatin1String("overwrite"))
        return Choice::overwrite;
    if (raw == QLatin1String("rename"))
        return Choice::rename;
    if (raw == QLatin1String("moveToUser"))
        return Choice::moveToUser;
    return std::nullopt;
}

QString InstallSheetModel::rawValue(Choice choice)
{
    switch (choice) {
    case Choice::overwrite: return QStringLiteral("overwrite");
    case Choice::rename: return QStringLiteral("rename");
    case Choice::moveToUser: return QStringLiteral("moveToUser");
    }
    return {};
}

InstallSheetModel::InstallSheetModel(const QStringList& files, PluginRoot targetRoot, QObject* parent)
    : QObject(parent), m_files(files), m_targetRoot(targetRoot)
{
}

InstallSheetModel::~InstallSheetModel()
{
    // A scan still running reads no further package for a sheet that is gone.
    m_cancelled->store(true);
}

// ---- scan

QString InstallSheetModel::displayName(ZFCPluginType type)
{
    return EngineText::displayName(type);
}

QString InstallSheetModel::failureText(const QString& fileName, const std::exception_ptr& error)
{
    return QStringLiteral("无法解析 ") + fileName + QStringLiteral("：") + PackageFiles::describe(error, false);
}

InstallSheetModel::ScanResult InstallSheetModel::scanPackages(const QStringList& files,
                                                              const std::atomic<bool>* cancelled)
{
    ScanResult result;
    for (qsizetype i = 0; i < files.size(); ++i) {
        if (cancelled && cancelled->load())
            return result;
        const QString fileName = QFileInfo(files[i]).fileName();
        std::vector<ZFCPlugin> plugins;
        try {
            plugins = PackageFiles::readPlugins(files[i]);
        } catch (...) {
            // One unreadable package ends the scan: what was read stays listed, nothing
            // can be installed.
            ScanResult failed;
            failed.rows = result.rows;
            failed.error = failureText(fileName, std::current_exception());
            return failed;
        }

        FileRow row;
        row.id = int(i);
        row.name = fileName;
        row.plugins = int(plugins.size());
        for (const ZFCPlugin& plugin : plugins) {
            const std::optional<ZFCPluginType> type = plugin.pluginType();
            if (!type)
                continue;
            const QString name = displayName(*type);
            if (!row.types.contains(name))
                row.types.append(name);
            result.entries.append({int(i), QString::fromStdString(plugin.name), *type});
        }
        std::sort(row.types.begin(), row.types.end());
        result.rows.append(row);
    }
    result.report = InstallConflictScanner::scan(result.entries);
    result.renamePairs = InstallConflictScanner::renamePlan(result.entries, result.report);
    return result;
}

void InstallSheetModel::parse()
{
    // An empty list is never presented; it would stay "parsing" and offer only cancel.
    if (m_parseStarted || m_files.isEmpty() || m_finished)
        return;
    m_parseStarted = true;
    if (!m_isParsing) {
        // Again after a refused start.
        m_isParsing = true;
        m_parseError.reset();
        emit changed();
    }

    // The result is dropped when the model is gone by then.
    const Delivery<InstallSheetModel> deliver(this);
    const QStringList files = m_files;
    const std::shared_ptr<std::atomic<bool>> cancelled = m_cancelled;
    const bool started = WorkerThread::start([deliver, files, cancelled] {
        ScanResult result = scanPackages(files, cancelled.get());
        if (cancelled->load())
            return;
        deliver([result = std::move(result)](InstallSheetModel& model) { model.apply(result); });
    });
    if (!started) {
        // Nothing will read the packages: the sheet says so and may try again.
        m_parseStarted = false;
        ScanResult refused;
        refused.error = QStringLiteral("无法启动读取封包的线程（内存或系统资源不足），请关闭其他程序后重试。");
        apply(refused);
    }
}

void InstallSheetModel::apply(const ScanResult& result)
{
    m_rows = result.rows;
    m_report = result.report;
    m_renamePairs = result.renamePairs;
    m_parseError = result.error;
    m_isParsing = false;
    if (m_phase != Phase::review)
        setPhase(Phase::review);
    emit changed();
}

// ---- actions

void InstallSheetModel::setPhase(Phase phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    emit phaseChanged(phase);
}

void InstallSheetModel::setTargetRoot(PluginRoot root)
{
    if (m_finished || m_targetRoot == root)
        return;
    m_targetRoot = root;
    emit targetRootChanged(root);
    emit changed();
}

void InstallSheetModel::choose(Choice choice)
{
    if (m_finished || isChoiceDisabled(choice) || m_choice == choice)
        return;
    m_choice = choice;
    emit changed();
}

void InstallSheetModel::reviewConfirm()
{
    if (!canInstall())
        return;
    if (!hasHits()) {
        finishInstall(InstallPlan{m_targetRoot, {}, {}, {}});
        return;
    }
    if (m_choice == Choice::moveToUser && moveBlockerText())
        m_choice = Choice::rename;
    setPhase(Phase::conflict);
    emit changed();
}

void InstallSheetModel::conflictConfirm()
{
    if (!canInstall() || !canConfirmConflict())
        return;
    switch (m_choice) {
    case Choice::overwrite:
        finishInstall(InstallPlan{m_targetRoot, {}, {}, {}});
        break;
    case Choice::moveToUser:
        finishInstall(InstallPlan{PluginRoot::user, {}, {}, {}});
        break;
    case Choice::rename:
        finishInstall(InstallPlan{m_targetRoot, renameMap(), {}, {}});
        break;
    }
}

void InstallSheetModel::back()
{
    if (m_finished || m_phase == Phase::review)
        return;
    setPhase(Phase::review);
    emit changed();
}

void InstallSheetModel::cancel()
{
    if (m_finished)
        return;
    m_finished = true;
    m_cancelled->store(true);
    emit cancelRequested();
}

void InstallSheetModel::finishInstall(InstallPlan plan)
{
    // The install replaces only what the scan saw at each target, and a renamed plug-in only
    // the nothing that stood at its new name.
    plan.seen = m_report.seen;
    // The owners the overwrite question named (none named: this user's), for the administrator.
    plan.owners = m_report.owners;
    for (const RenameItem& item : m_renamePairs) {
        if (plan.renames.contains(item.key))
            plan.seen.insert(InstallPlan::target(plan.root, item.type, item.to), SafeFS::Identity{});
    }
    m_finished = true;
    emit installRequested(plan);
}

// ---- derived values

int InstallSheetModel::totalPlugins() const
{
    int total = 0;
    for (const FileRow& row : m_rows)
        total += row.plugins;
    return total;
}

int InstallSheetModel::localHitCount() const
{
    return int(std::count_if(m_report.hits.begin(), m_report.hits.end(),
                             [](const InstallConflictScanner::Hit& hit) { return hit.inUser || hit.inSystem; }));
}

std::optional<QString> InstallSheetModel::moveBlockerText() const
{
    if (m_targetRoot != PluginRoot::system)
        return QStringLiteral("当前目标已经是用户库，这个方式只在系统库有同名时可用");
    if (m_report.userCount() > 0)
        return QStringLiteral("这些插件在用户库里也有同名，换库依然会冲突，只能覆盖或重命名");
    if (m_report.batchDuplicateCount() > 0)
        return QStringLiteral("本次导入的文件之间就有重名，换库解决不了，请用重命名");
    return std::nullopt;
}

bool InstallSheetModel::isChoiceDisabled(Choice choice) const
{
    return choice == Choice::moveToUser && moveBlockerText().has_value();
}

QString InstallSheetModel::headerSubtitle() const
{
    return QStringLiteral("共 ") + number(int(m_files.size())) + QStringLiteral(" 个 .zfcp 文件 · ")
        + number(totalPlugins()) + QStringLiteral(" 个插件");
}

QString InstallSheetModel::hintTitle() const
{
    const int local = localHitCount();
    const int duplicates = m_report.batchDuplicateCount();
    if (local == 0)
        return QStringLiteral("本批文件里有 ") + number(int(m_report.hits.size())) + QStringLiteral(" 个重名插件");
    if (duplicates == 0)
        return number(local) + QStringLiteral(" 个插件与本机已有的同名");
    return number(local) + QStringLiteral(" 个插件与本机已有的同名，另有 ") + number(duplicates)
        + QStringLiteral(" 个批内重名");
}

QString InstallSheetModel::hintDetail() const
{
    QStringList parts;
    if (m_report.userCount() >= 1)
        parts << QStringLiteral("用户库已有 ") + number(m_report.userCount()) + QStringLiteral(" 个");
    if (m_report.systemCount() >= 1)
        parts << QStringLiteral("系统库已有 ") + number(m_report.systemCount()) + QStringLiteral(" 个");
    if (m_report.batchDuplicateCount() >= 1)
        parts << QStringLiteral("本批文件内重名 ") + number(m_report.batchDuplicateCount()) + QStringLiteral(" 个");
    QString text = parts.join(QStringLiteral(" · ")) + QStringLiteral("。点「安装」后可选择：");
    text += m_targetRoot == PluginRoot::system ? QStringLiteral("覆盖 / 重命名后安装 / 换到用户库安装")
                                               : QStringLiteral("覆盖 / 重命名后安装");
    return text + QStringLiteral("。");
}

QString InstallSheetModel::conflictTitle() const
{
    return QStringLiteral("发现 ") + number(int(m_report.hits.size())) + QStringLiteral(" 个同名插件");
}

QString InstallSheetModel::conflictSubtitle() const
{
    const int local = localHitCount();
    const int duplicates = m_report.batchDuplicateCount();
    QString text = QStringLiteral("本次共 ") + number(m_report.total) + QStringLiteral(" 个插件");
    if (local > 0) {
        QStringList parts;
        if (m_report.userCount() >= 1)
            parts << QStringLiteral("用户库 ") + number(m_report.userCount());
        if (m_report.systemCount() >= 1)
            parts << QStringLiteral("系统库 ") + number(m_report.systemCount());
        text += QStringLiteral("，其中 ") + number(local) + QStringLiteral(" 个与本机已有的同名（")
            + parts.join(QStringLiteral("、")) + QStringLiteral("）");
    }
    if (duplicates > 0)
        text += (local > 0 ? QStringLiteral("；") : QStringLiteral("，")) + QStringLiteral("另有 ")
            + number(duplicates) + QStringLiteral(" 个是本批文件内重名");
    return text;
}

QString InstallSheetModel::conflictListTitle() const
{
    return QStringLiteral("冲突清单（") + number(m_report.total) + QStringLiteral(" 个插件里 ")
        + number(int(m_report.hits.size())) + QStringLiteral(" 个命中）");
}

QString InstallSheetModel::renameExample() const
{
    if (m_renamePairs.isEmpty())
        return QStringLiteral("插件名 → 插件名 2");
    return m_renamePairs.first().from + QStringLiteral(" → ") + m_renamePairs.first().to;
}

QString InstallSheetModel::choiceTitle(Choice choice)
{
    switch (choice) {
    case Choice::overwrite: return QStringLiteral("覆盖同名插件");
    case Choice::rename: return QStringLiteral("重命名后一起安装");
    case Choice::moveToUser: return QStringLiteral("改到用户库安装");
    }
    return {};
}

QString InstallSheetModel::choiceDetail(Choice choice) const
{
    switch (choice) {
    case Choice::overwrite: {
        QString text = QStringLiteral("用包里的文件替换本机已有的同名插件，原插件无法恢复");
        if (m_report.batchDuplicateCount() > 0)
            text += QStringLiteral("；本批内部重名的只保留最后一个");
        // Another user's plug-in is replaced by the administrator: whose it is, said here.
        if (m_targetRoot == PluginRoot::system)
            text += PluginOwner::note(m_report.systemOwners(), kOwnersListed);
        return text;
    }
    case Choice::rename:
        return QStringLiteral("在原名称后加编号（") + renameExample() + QStringLiteral("），本机已有的插件保持不动");
    case Choice::moveToUser:
        return moveBlockerText().value_or(
            QStringLiteral("整批插件都装进用户库（无需管理员），系统库那份保留，同一个插件会出现两份，不建议"));
    }
    return {};
}

QString InstallSheetModel::confirmTitle() const
{
    switch (m_choice) {
    case Choice::overwrite: return QStringLiteral("覆盖并安装");
    case Choice::rename: return QStringLiteral("重命名并安装");
    case Choice::moveToUser: return QStringLiteral("装到用户库");
    }
    return {};
}

bool InstallSheetModel::canConfirmConflict() const
{
    return !(m_choice == Choice::moveToUser && moveBlockerText());
}

QHash<QString, QString> InstallSheetModel::renameMap() const
{
    QHash<QString, QString> renames;
    for (const RenameItem& item : m_renamePairs)
        renames.insert(item.key, item.to);
    return renames;
}
