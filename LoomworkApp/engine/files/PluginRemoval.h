#pragma once

#include <optional>

#include <QString>
#include <QStringList>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Room.h>
#include "engine/files/AdminAuth.h"

class JournalChange;

// Deletes a plug-in of the system library, where every local user may rename or exchange any
// name: the plug-in is looked at once, moved by one rename into a private room of ours beside
// it (SafeFS/Room.h), checked there to be the item that was looked at, and only then emptied,
// of what belongs to its owner, root or us. Another user's item found inside goes back out
// with the folders that hold it, under the plug-in's name, and is named in notes(). The room
// and the plug-in in it are written to the journal first, so that a killed delete is finished
// by recovery. A plug-in we may not move or empty is the administrator's: forAdministrator()
// names it as recorded, and the room stays until this object goes.
class PluginRemoval
{
public:
    explicit PluginRemoval(const QString& path);
    ~PluginRemoval();
    PluginRemoval(const PluginRemoval&) = delete;
    PluginRemoval& operator=(const PluginRemoval&) = delete;

    // 0 when the plug-in is gone; ENOTEMPTY when what is left of it went back out holding
    // another user's items, ESTALE when the item found was not the plug-in looked at (untouched),
    // both named in notes(); ENOENT when nothing is there; ELOOP for a link on the way
    // (refusal() says why); else the errno, with forAdministrator() set where rights were
    // missing.
    [[nodiscard]] int run();

    const std::optional<AdminAuth::Item>& forAdministrator() const { return m_forAdmin; }
    const QStringList& notes() const { return m_notes; }
    QString refusal() const { return m_refusal; }

private:
    QString m_path;
    QString m_folder;
    QString m_name;
    DirHandle::Fd m_parent;
    SafeFS::Room m_room;
    std::unique_ptr<JournalChange> m_change;
    std::optional<AdminAuth::Item> m_forAdmin;
    QStringList m_notes;
    QString m_refusal;
};
