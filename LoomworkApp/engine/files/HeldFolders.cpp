#include "engine/files/HeldFolders.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include <QFileInfo>

#include <SafeFS/DirHandle.h>
#include "engine/core/FsPath.h"
#include "engine/files/PluginOwner.h"
#include "engine/files/SystemPath.h"

namespace {

void (*g_openedHook)(const QString&) = nullptr;

} // namespace

struct HeldFolders::Folder {
    DirHandle::Fd fd;
    int error = 0;
};

HeldFolders::HeldFolders() = default;
HeldFolders::~HeldFolders() = default;

int HeldFolders::folderOf(const QString& path, int* error)
{
    const QString folder = QFileInfo(path).path();
    auto held = m_folders.value(folder);
    if (!held) {
        held = std::make_shared<Folder>();
        if (const auto in = SystemPath::inside(folder)) {
            const QString below = in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
            held->error = DirHandle::openPath(FsPath::toBytes(in->root), FsPath::toBytes(below), held->fd);
        } else {
            held->fd = DirHandle::Fd(::open(FsPath::toBytes(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            held->error = held->fd.valid() ? 0 : errno;
        }
        if (!held->fd.valid() && held->error == 0)
            held->error = ENOENT;
        m_folders.insert(folder, held);
        if (g_openedHook && held->fd.valid())
            g_openedHook(folder);
    }
    if (error)
        *error = held->error;
    return held->fd.valid() ? held->fd.get() : -1;
}

std::optional<uid_t> HeldFolders::readOwner(const QString& path, const SafeFS::Identity& seen)
{
    const int folder = folderOf(path);
    const std::optional<uid_t> owner =
        seen.known() ? PluginOwner::through(folder, FsPath::toBytes(QFileInfo(path).fileName()), seen) : std::nullopt;
    if (owner)
        m_told.insert(path, *owner);
    else
        m_told.remove(path);
    return owner;
}

std::optional<uid_t> HeldFolders::toldOwner(const QString& path) const
{
    const auto told = m_told.constFind(path);
    return told == m_told.constEnd() ? std::nullopt : std::optional<uid_t>(*told);
}

void HeldFolders::setOpenedHookForTests(void (*hook)(const QString& folder))
{
    g_openedHook = hook;
}
