#include "engine/files/PluginOwner.h"

#include <cerrno>
#include <cstdint>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>

#include <SafeFS/DirHandle.h>
#include "engine/core/FsPath.h"
#include "engine/files/SystemPath.h"

namespace {

std::optional<uid_t> ownerAtName(int folder, const std::string& name, const SafeFS::Identity& seen)
{
    struct stat st {};
    SafeFS::Identity there;
    if (SafeFS::identityAt(folder, name, there) != 0 || (seen.known() && !(there == seen)))
        return std::nullopt;
    // The owner read after the identity, and kept only while the name still holds that item.
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || std::uint64_t(st.st_ino) != there.inode)
        return std::nullopt;
    return st.st_uid;
}

} // namespace

std::optional<uid_t> PluginOwner::through(int folder, const std::string& name, const SafeFS::Identity& seen)
{
    if (folder < 0 || !DirHandle::isPlainName(name))
        return std::nullopt;
    if (const auto owner = ownerAtName(folder, name, seen); owner || !seen.known())
        return owner;
    // Another user may have renamed the item since: looked for by its identity in the same folder.
    std::vector<std::string> names;
    if (DirHandle::listNames(folder, names) != 0)
        return std::nullopt;
    for (const std::string& other : names) {
        if (other == name)
            continue;
        if (const auto owner = ownerAtName(folder, other, seen))
            return owner;
    }
    return std::nullopt;
}

std::optional<uid_t> PluginOwner::at(const QString& path, const SafeFS::Identity& seen, SafeFS::Identity* found)
{
    if (found)
        *found = {};
    const QFileInfo info(path);
    DirHandle::Fd folder;
    if (const auto in = SystemPath::inside(info.path())) {
        const QString below = in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
        if (DirHandle::openPath(FsPath::toBytes(in->root), FsPath::toBytes(below), folder) != 0)
            return std::nullopt;
    } else {
        folder = DirHandle::Fd(::open(FsPath::toBytes(info.path()).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.valid())
            return std::nullopt;
    }
    const std::string name = FsPath::toBytes(info.fileName());
    if (found)
        (void)SafeFS::identityAt(folder.get(), name, *found);
    return through(folder.get(), name, seen);
}

bool PluginOwner::isAnotherUsers(const std::optional<uid_t>& owner)
{
    return owner && *owner != ::geteuid();
}

QString PluginOwner::userName(uid_t uid)
{
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("UID ") + QString::number(uid);
}

QString PluginOwner::note(const QList<Owned>& plugins, int listed)
{
    QStringList lines;
    int others = 0;
    for (const Owned& plugin : plugins) {
        if (!isAnotherUsers(plugin.owner))
            continue;
        // A very long name is cut in its middle: a few names must not outgrow the screen.
        QString name = FsPath::displayText(plugin.name);
        if (name.size() > 60)
            name = name.left(30) + QStringLiteral("…") + name.right(29);
        if (++others <= listed)
            lines << QStringLiteral("「") + name + QStringLiteral("」属于用户「")
                    + userName(plugin.owner) + QStringLiteral("」");
    }
    if (others == 0)
        return {};
    if (others > listed)
        lines << QStringLiteral("……等 %1 个").arg(others);
    return QStringLiteral("\n\n以下插件不是你的：\n") + lines.join(QLatin1Char('\n'));
}
