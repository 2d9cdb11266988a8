#include "FolderWalk.h"

#include <cerrno>

#include <sys/stat.h>

namespace DirHandle {

int FolderWalk::start(Fd top, bool list)
{
    m_levels.clear();
    m_open = 0;
    return push({}, std::move(top), list);
}

std::string FolderWalk::pathOf(std::string_view name) const
{
    const std::string& folder = m_levels.back().path;
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    if (!folder.empty())
        path.append(folder).push_back('/');
    path.append(name);
    return path;
}

int FolderWalk::fd(int& error)
{
    if (m_levels.back().fd.valid())
        return m_levels.back().fd.get();
    // The top is never closed: down from the nearest open folder, each checked to be the one
    // entered there, so that a folder another user moved in meanwhile is never walked.
    std::size_t from = m_levels.size() - 1;
    while (!m_levels[from].fd.valid())
        --from;
    for (std::size_t i = from + 1; i < m_levels.size(); ++i) {
        Level& level = m_levels[i];
        Fd opened;
        error = openChild(m_levels[i - 1].fd.get(), level.name, opened);
        SafeFS::Identity now;
        if (!error)
            error = SafeFS::identityAt(opened.get(), {}, now);
        if (!error && !(now == level.identity))
            error = ESTALE;
        if (error) {
            if (error == ENOENT || error == ELOOP || error == ENOTDIR)
                error = ESTALE;
            return -1;
        }
        level.fd = std::move(opened);
        if (++m_open > kHeldHandles)
            closeShallowest();
    }
    return m_levels.back().fd.get();
}

const std::string* FolderWalk::next()
{
    Level& level = m_levels.back();
    return level.next < level.names.size() ? &level.names[level.next++] : nullptr;
}

int FolderWalk::enter(std::string_view name, Fd opened, bool list)
{
    return push(name, std::move(opened), list);
}

int FolderWalk::push(std::string_view name, Fd opened, bool list)
{
    const std::size_t depth = m_levels.size();
    if (depth > kMaxTreeDepth)
        return ENAMETOOLONG;
    Level level;
    if (list) {
        if (const int error = listNames(opened.get(), level.names))
            return error;
        if (depth == kMaxTreeDepth && !level.names.empty())
            return ENAMETOOLONG;
    }
    if (depth > 0) {
        level.name = std::string(name);
        level.path = pathOf(name);
    }
    level.fd = std::move(opened);
    m_levels.push_back(std::move(level));
    if (++m_open > kHeldHandles)
        closeShallowest();
    return 0;
}

void FolderWalk::leave(SafeFS::Identity* left)
{
    Level& level = m_levels.back();
    if (left) {
        struct stat st {};
        if (level.fd.valid() && ::fstat(level.fd.get(), &st) == 0)
            *left = SafeFS::Identity{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), 0};
        else
            *left = level.identity;
    }
    if (level.fd.valid())
        --m_open;
    m_levels.pop_back();
}

void FolderWalk::closeShallowest()
{
    for (std::size_t i = 1; i < m_levels.size(); ++i) {
        Level& level = m_levels[i];
        if (!level.fd.valid())
            continue;
        // Unknown (0) when it cannot be read: then the folder is never taken for itself again.
        if (SafeFS::identityAt(level.fd.get(), {}, level.identity) != 0)
            level.identity = {};
        level.fd = Fd();
        --m_open;
        return;
    }
}

} // namespace DirHandle
