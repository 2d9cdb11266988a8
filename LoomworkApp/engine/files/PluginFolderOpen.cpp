#include "engine/files/PluginFolderOpen.h"

#include <cerrno>

#include <fcntl.h>

#include "engine/core/FsPath.h"
#include "engine/files/AdminAuth.h"
#include "engine/files/LibraryWalk.h"
#include "engine/files/SystemPath.h"
#include "engine/files/TemplateChange.h"

namespace PluginFolderOpen {

std::string nativeFolder(const QString& folder)
{
    std::string native = FsPath::toBytes(folder);
    while (native.size() > 1 && native.back() == '/')
        native.pop_back();
    return native;
}

// In the system library the plug-in folder is reached one handle at a time from the library
// root (links above the root resolved once), so a folder swapped for a link is met here.
Opened open(const QString& folder)
{
    Opened opened;
    const auto in = SystemPath::inside(folder);
    opened.system = in.has_value();
    if (!opened.system) {
        // The user's own library: nobody else renames there, so a look at the name just before
        // it is opened tells what is opened.
        const std::string native = nativeFolder(folder);
        if ((opened.error = SafeFS::identityAt(AT_FDCWD, native, opened.identity)))
            return opened;
        opened.fd = DirHandle::Fd(::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        opened.error = opened.fd.valid() ? 0 : errno;
        return opened;
    }
    opened.refusal = AdminAuth::writeRefusal(folder);
    if (!opened.refusal.isEmpty()) {
        opened.error = ELOOP;
        return opened;
    }
    // Named as the caller wrote it, whether under the root or under its resolved form.
    QString shown = in->relative.isEmpty() ? folder : folder.left(folder.size() - in->relative.size() - 1);
    DirHandle::Fd at;
    if ((opened.error = DirHandle::openRoot(FsPath::toBytes(in->root), at))) {
        if (opened.error == ELOOP)
            opened.refusal = AdminAuth::linkRefusal(shown);
        return opened;
    }
    for (const QString& part : in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        shown += QLatin1Char('/') + part;
        DirHandle::Fd next;
        if ((opened.error = DirHandle::openChild(at.get(), FsPath::toBytes(part), next))) {
            if (opened.error == ELOOP)
                opened.refusal = AdminAuth::linkRefusal(shown);
            return opened;
        }
        at = std::move(next);
    }
    if ((opened.error = SafeFS::identityAt(at.get(), {}, opened.identity)))
        return opened;
    opened.fd = std::move(at);
    return opened;
}

} // namespace PluginFolderOpen

QString TemplateChange::refusal(const QString& folder)
{
    PluginFolderOpen::Opened opened = PluginFolderOpen::open(folder);
    if (!opened.refusal.isEmpty())
        return opened.refusal;
    if (!opened.fd.valid() || !opened.system)
        return {}; // the operation itself tells what is wrong; the user's links are followed
    const std::string native = PluginFolderOpen::nativeFolder(folder);
    const auto walk = LibraryWalk::walkAt(opened.fd.get(), native, LibraryWalk::links);
    if (!walk.links.empty())
        return AdminAuth::linkRefusal(folder + QLatin1Char('/')
                                      + FsPath::fromBytes(walk.links.front().substr(native.size() + 1)));
    return {};
}
