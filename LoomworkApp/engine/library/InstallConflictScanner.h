#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <SafeFS/Identity.h>
#include "LoomworkKit/ZFCPluginType.h"
#include "engine/files/PluginOwner.h"

// What the plug-ins about to be installed would collide with, and free names for them.
// Pure apart from existence checks in the two libraries; safe from any thread.
namespace InstallConflictScanner {

// One plug-in about to be installed.
struct Entry
{
    int packageIndex = 0;
    QString name;
    ZFCPluginType type{ZFCPluginType::effect};
};

// One colliding plug-in.
struct Hit
{
    int id = 0; // position of its entry in the scanned list
    int packageIndex = 0;
    QString name;
    ZFCPluginType type{ZFCPluginType::effect};
    bool inUser = false;
    bool inSystem = false;
    int batchCount = 1; // entries of the scanned list with the same type and folder name
};

struct Report
{
    QList<Hit> hits;
    int total = 0;
    QHash<int, int> perPackage; // package index -> hits; packages without hits are absent
    // What stood at each entry's target in both libraries (InstallPlan::target()): the item
    // found, or an unknown identity where nothing was, for the plan to carry.
    QHash<QString, SafeFS::Identity> seen;
    // The owner of each item found at a system library target, read with its identity through
    // the category folder walked from the library's root: what the user is told of it.
    QHash<QString, uid_t> owners;

    int userCount() const;
    // The system library's hits and their owners, for the overwrite question.
    QList<PluginOwner::Owned> systemOwners() const;
    int systemCount() const;
    int batchDuplicateCount() const;
};

// One planned rename: the install-plan key, the stored name and the proposed name.
struct RenameItem
{
    QString key;
    QString from;
    QString to;
    ZFCPluginType type{ZFCPluginType::effect};

    bool operator==(const RenameItem&) const = default;
};

// "type|folder name" (PackageFiles::folderName): the same plug-in across packages, and names
// that land in one folder.
QString batchKey(ZFCPluginType type, const QString& name);

Report scan(const QList<Entry>& entries);

// "base 2" ... "base 999", else "base <seconds since 1970>" (counting up while taken): the
// first name that neither `reserved` nor either library holds. The name is added to `reserved`.
QString availableName(const QString& base, ZFCPluginType type, QSet<QString>& reserved);

// One rename per hit, numbered after its folder name. Two plug-ins of one type and folder in
// one package get keys of their own (see InstallPlan::key with an occurrence), so each gets
// its own name.
QList<RenameItem> renamePlan(const QList<Entry>& entries, const Report& report);

} // namespace InstallConflictScanner
