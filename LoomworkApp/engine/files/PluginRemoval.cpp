#include "engine/files/PluginRemoval.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>

#include "engine/files/AppJournal.h"
#include "engine/files/FileOps.h"
#include "engine/core/FsPath.h"
#include "engine/files/JournalChange.h"
#include "engine/files/SystemPath.h"

namespace {

using Role = SafeFS::JournalItem::Role;

} // namespace

PluginRemoval::PluginRemoval(const QString& path)
    : m_path(path), m_folder(QFileInfo(path).path()), m_name(QFileInfo(path).fileName())
{
}

PluginRemoval::~PluginRemoval()
{
    try {
        if (m_room.valid() && m_room.removeIfEmpty(m_parent.get()) != 0 && m_change)
            m_change->keep();
    } catch (...) {
        if (m_change)
            m_change->keep(); // out of memory: the room is the journal's
    }
}

int PluginRemoval::run()
{
    const auto in = SystemPath::inside(m_folder);
    const std::string name = FsPath::toBytes(m_name);
    if (!in || !DirHandle::isPlainName(name))
        return EINVAL;
    const QString below = in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
    if (const int error = DirHandle::openPath(FsPath::toBytes(in->root), FsPath::toBytes(below), m_parent)) {
        if (error == ELOOP)
            m_refusal = AdminAuth::linkRefusal(m_folder);
        return error;
    }
    // The plug-in as the user asks to delete it: only this item goes.
    SafeFS::Identity item;
    if (const int error = SafeFS::identityAt(m_parent.get(), name, item))
        return error;
    m_change = std::make_unique<JournalChange>("remove");
    const std::size_t place = m_change->place(AppJournal::placeOf(m_folder));
    const std::string roomName = m_change->hiddenName(place, name, "removing");
    auto& items = m_change->items();
    items.push_back(JournalChange::item(Role::room, place, roomName, {}, {}));
    if (const int error = m_change->write()) {
        m_refusal = m_change->failureText(error);
        return error;
    }
    if (const int error = m_room.make(m_parent.get(), roomName))
        return error;
    items.back().identity = m_room.identity();
    // Once in the room the delete is to be finished, whatever stops it.
    items.push_back(JournalChange::item(Role::old, place, roomName + "/" + name, name, item));
    if (const int error = m_change->setState(SafeFS::JournalEntry::State::finish)) {
        m_refusal = m_change->failureText(error);
        return error;
    }
    const DirHandle::Owners owners = SafeFS::ownersOf(m_parent.get(), name, ::geteuid());
    SafeFS::Removal removal;
    int error = FileOps::current().stepFault(FileOps::Step::rename, m_path + QLatin1Char('\n') + m_folder + QLatin1Char('/')
                                                                      + FsPath::fromBytes(roomName) + QLatin1Char('/') + m_name);
    if (!error)
        error = SafeFS::removeThroughRoom(m_parent.get(), name, m_room.fd(), name, item, owners, removal);
    if (removal.mismatch)
        m_notes.append(QStringLiteral("「") + FsPath::displayText(m_name) + QStringLiteral("」已被换成别的项目，未删除：")
                       + FsPath::displayText(m_folder + QLatin1Char('/') + FsPath::fromBytes(removal.returnedAs)));
    for (const std::string& left : removal.left)
        m_notes.append(QStringLiteral("其他用户的文件未删除：")
                       + FsPath::displayText(m_folder + QLatin1Char('/') + FsPath::fromBytes(removal.returnedAs)
                                             + (left.empty() ? QString() : QLatin1Char('/') + FsPath::fromBytes(left))));
    if (error == EACCES || error == EPERM) {
        // In the room when it could be moved there, else still at its name.
        struct stat there {};
        const bool inRoom = ::fstatat(m_room.fd(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0;
        AdminAuth::Item admin;
        admin.folder = m_folder;
        admin.name = m_name;
        admin.identity = item;
        admin.room = FsPath::fromBytes(roomName);
        admin.roomIdentity = m_room.identity();
        admin.inRoom = inRoom;
        admin.shownName = m_name;
        m_forAdmin = admin;
        m_change->keep();
    } else if (error) {
        m_change->keep();
    }
    // Not removed, and told why: another user's item, or not the plug-in that was asked for.
    if (!error && removal.mismatch)
        return ESTALE;
    if (!error && !removal.left.empty())
        return ENOTEMPTY;
    return error;
}
