#include "engine/library/InstallConflictScanner.h"

#include <algorithm>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>

#include <QDateTime>
#include <QFile>

#include "engine/core/EngineText.h"
#include "engine/core/FsPath.h"
#include "engine/files/PackageFiles.h"
#include "engine/model/InstallPlan.h"
#include "engine/model/Plugin.h"

namespace {

// Checked under the folder name the install would use: a name that extraction makes safe
// ("a/b" becomes "a_b") is looked up as such, so nothing outside the category folder is probed.
// The item's identity (never following a link), unknown when nothing is there.
bool existsIn(PluginRoot root, ZFCPluginType type, const QString& name, SafeFS::Identity* identity = nullptr)
{
    const QString folder = PackageFiles::folderName(name);
    if (folder.isEmpty())
        return false;
    const std::string path = FsPath::toBytes(InstallPlan::target(root, type, folder));
    SafeFS::Identity found;
    const bool there = SafeFS::identityAt(AT_FDCWD, path, found) == 0;
    if (identity)
        *identity = there ? found : SafeFS::Identity{};
    return there;
}

bool isTaken(const QString& candidate, ZFCPluginType type, const QSet<QString>& reserved)
{
    return reserved.contains(InstallConflictScanner::batchKey(type, candidate))
        || existsIn(PluginRoot::user, type, candidate) || existsIn(PluginRoot::system, type, candidate);
}

} // namespace

int InstallConflictScanner::Report::userCount() const
{
    return int(std::count_if(hits.begin(), hits.end(), [](const Hit& hit) { return hit.inUser; }));
}

int InstallConflictScanner::Report::systemCount() const
{
    return int(std::count_if(hits.begin(), hits.end(), [](const Hit& hit) { return hit.inSystem; }));
}

int InstallConflictScanner::Report::batchDuplicateCount() const
{
    return int(std::count_if(hits.begin(), hits.end(), [](const Hit& hit) { return hit.batchCount > 1; }));
}

QList<PluginOwner::Owned> InstallConflictScanner::Report::systemOwners() const
{
    QList<PluginOwner::Owned> owned;
    for (const Hit& hit : hits) {
        const auto owner = owners.constFind(InstallPlan::target(PluginRoot::system, hit.type, PackageFiles::folderName(hit.name)));
        if (hit.inSystem && owner != owners.constEnd())
            owned.append({hit.name, *owner});
    }
    return owned;
}

QString InstallConflictScanner::batchKey(ZFCPluginType type, const QString& name)
{
    return EngineText::rawValue(type) + QLatin1Char('|') + PackageFiles::folderName(name);
}

InstallConflictScanner::Report InstallConflictScanner::scan(const QList<Entry>& entries)
{
    Report report;
    QHash<QString, int> batchCounts;
    for (const Entry& entry : entries)
        ++batchCounts[batchKey(entry.type, entry.name)];
    for (qsizetype j = 0; j < entries.size(); ++j) {
        const Entry& entry = entries[j];
        Hit hit;
        hit.id = int(j);
        hit.packageIndex = entry.packageIndex;
        hit.name = entry.name;
        hit.type = entry.type;
        const QString folder = PackageFiles::folderName(entry.name);
        for (const PluginRoot root : PluginRoot::allCases()) {
            SafeFS::Identity identity;
            const bool there = existsIn(root, entry.type, entry.name, &identity);
            (root == PluginRoot::user ? hit.inUser : hit.inSystem) = there;
            if (!folder.isEmpty()) {
                const QString target = InstallPlan::target(root, entry.type, folder);
                report.seen.insert(target, identity);
                if (const auto owner = there && root == PluginRoot::system ? PluginOwner::at(target, identity) : std::nullopt)
                    report.owners.insert(target, *owner);
            }
        }
        hit.batchCount = batchCounts.value(batchKey(entry.type, entry.name));
        if (hit.inUser || hit.inSystem || hit.batchCount >= 2) {
            report.hits.append(hit);
            ++report.perPackage[entry.packageIndex];
        }
    }
    report.total = int(entries.size());
    return report;
}

QString InstallConflictScanner::availableName(const QString& base, ZFCPluginType type, QSet<QString>& reserved)
{
    const QString prefix = base + QLatin1Char(' ');
    for (int n = 2; n <= 999; ++n) {
        const QString candidate = prefix + QString::number(n);
        if (!isTaken(candidate, type, reserved)) {
            reserved.insert(batchKey(type, candidate));
            return candidate;
        }
    }
    // A time stamp is unlikely to be taken, but it is checked like the numbers: two calls
    // in the same second must not get the same name.
    for (qint64 seconds = QDateTime::currentSecsSinceEpoch();; ++seconds) {
        const QString candidate = prefix + QString::number(seconds);
        if (!isTaken(candidate, type, reserved)) {
            reserved.insert(batchKey(type, candidate));
            return candidate;
        }
    }
}

QList<InstallConflictScanner::RenameItem> InstallConflictScanner::renamePlan(const QList<Entry>& entries,
                                                                             const Report& report)
{
    QSet<QString> reserved;
    for (const Entry& entry : entries)
        reserved.insert(batchKey(entry.type, entry.name));

    // The occurrence of each entry among the entries of its package with its type and name,
    // counted as the install counts them.
    QList<int> occurrence(entries.size(), 1);
    QHash<QString, int> seen;
    for (qsizetype j = 0; j < entries.size(); ++j) {
        const Entry& entry = entries[j];
        occurrence[j] = ++seen[InstallPlan::key(entry.packageIndex, entry.type, entry.name)];
    }

    QList<RenameItem> plan;
    QSet<QString> planned;
    for (const Hit& hit : report.hits) {
        const int k = hit.id >= 0 && hit.id < occurrence.size() ? occurrence[hit.id] : 1;
        const QString key = InstallPlan::key(hit.packageIndex, hit.type, hit.name, k);
        if (planned.contains(key))
            continue;
        planned.insert(key);
        // Numbered after the folder the name lands in: " N " and "N" both become "N 2", "N 3".
        plan.append({key, hit.name, availableName(PackageFiles::folderName(hit.name), hit.type, reserved), hit.type});
    }
    return plan;
}
