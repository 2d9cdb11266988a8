#pragma once

#include <optional>
#include <string>

#include <sys/types.h>

#include <QList>
#include <QString>

#include <SafeFS/Identity.h>

// Who owns a plug-in that root may act on, for the confirmation the user reads before it, and
// the owner he was told, for the administrator's helper. In the system library anyone may
// rename any name, so the owner is read through a folder handle walked from the library's root
// and only of the item the step will act on (its identity), never through a path looked up
// again.
namespace PluginOwner {

// The owner of the item `seen` in the open folder `folder`, at `name` or under whatever name
// another user gave it since (an unknown identity: whatever stands at `name`); none when the
// folder does not hold it.
std::optional<uid_t> through(int folder, const std::string& name, const SafeFS::Identity& seen);
// The owner of the item at `path` read through its folder, walked from the library's root in
// the system library (a link on the way: none), opened by its path in the user's own. `found`
// (may be null) gets the identity that stands there, unknown when nothing does.
std::optional<uid_t> at(const QString& path, const SafeFS::Identity& seen, SafeFS::Identity* found = nullptr);

// Whether root would act on another user's item: the owner is known and not this user.
bool isAnotherUsers(const std::optional<uid_t>& owner);
// The user's login name, else "UID n".
QString userName(uid_t uid);

// One plug-in of a confirmation and its owner.
struct Owned {
    QString name;
    uid_t owner = 0;
};
// "\n\n以下插件不是你的：\n「X」属于用户「name」…" for those of another user's, at most
// `listed` lines and then "……等 N 个", so that a confirmation of many stays within the screen.
// Empty when none is another user's.
QString note(const QList<Owned>& plugins, int listed = 8);

} // namespace PluginOwner
