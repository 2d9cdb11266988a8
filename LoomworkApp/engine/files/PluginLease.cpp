#include "engine/files/PluginLease.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "engine/core/FsPath.h"

namespace {

bool before(const SafeFS::Identity& a, const SafeFS::Identity& b)
{
    return std::tie(a.device, a.inode) < std::tie(b.device, b.inode);
}

// Every lease and pending removal of the process. Never destroyed: a removal's worker may end
// after the statics are gone.
struct Registry
{
    struct Hold
    {
        SafeFS::Identity plugin;
        std::thread::id thread;
        int depth = 0;
    };
    struct Pending
    {
        std::uint64_t number = 0;
        SafeFS::Identity plugin;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Hold> holds;
    std::vector<Pending> pending;
    std::uint64_t next = 0;
    std::shared_ptr<const std::function<void()>> hook;

    bool busy(const SafeFS::Identity& plugin, std::thread::id me) const
    {
        return std::any_of(pending.begin(), pending.end(), [&](const Pending& each) { return each.plugin == plugin; })
            || std::any_of(holds.begin(), holds.end(),
                           [&](const Hold& each) { return each.plugin == plugin && each.thread != me; });
    }
};

Registry& registry()
{
    static Registry* registry = new Registry;
    return *registry;
}

thread_local PluginLease::StatusScope* innermost = nullptr;

// The folder a link leads to, as a change opens it; none when nothing is there.
std::optional<SafeFS::Identity> folderIdentity(const QString& folder)
{
    const std::string native = FsPath::toBytes(folder);
    const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    SafeFS::Identity identity;
    const int error = SafeFS::identityAt(fd, {}, identity);
    ::close(fd);
    if (error)
        return std::nullopt;
    return identity;
}

QString lastName(const QString& folder)
{
    QString path = folder;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Tells the user, then the tests; a failure to tell stops no operation.
void announce(std::unique_lock<std::mutex>& lock, const QString& name, const PluginLease::Waiting* show)
{
    const auto hook = registry().hook;
    lock.unlock();
    try {
        if (show && *show)
            (*show)(PluginLease::waitingText(name));
        if (hook)
            (*hook)();
    } catch (...) {
    }
    lock.lock();
}

} // namespace

PluginLease::~PluginLease()
{
    release();
}

PluginLease::PluginLease(PluginLease&& other) noexcept
    : m_plugins(std::exchange(other.m_plugins, {})), m_thread(other.m_thread)
{
}

PluginLease& PluginLease::operator=(PluginLease&& other) noexcept
{
    if (this != &other) {
        release();
        m_plugins = std::exchange(other.m_plugins, {});
        m_thread = other.m_thread;
    }
    return *this;
}

PluginLease PluginLease::take(const std::vector<Target>& targets, const Waiting& waiting)
{
    std::vector<std::pair<SafeFS::Identity, QString>> found;
    for (const Target& target : targets) {
        if (const auto identity = folderIdentity(target.folder))
            found.emplace_back(*identity, target.name.isEmpty() ? lastName(target.folder) : target.name);
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return before(a.first, b.first); });
    PluginLease lease;
    for (const auto& [plugin, name] : found)
        lease.hold(plugin, name, waiting);
    return lease;
}

PluginLease PluginLease::take(const QString& folder, const QString& name, const Waiting& waiting)
{
    return take(std::vector<Target>{{folder, name}}, waiting);
}

PluginLease PluginLease::take(const SafeFS::Identity& plugin, const QString& name, const Waiting& waiting)
{
    PluginLease lease;
    lease.hold(plugin, name, waiting);
    return lease;
}

void PluginLease::hold(const SafeFS::Identity& plugin, const QString& name, const Waiting& waiting)
{
    m_thread = std::this_thread::get_id();
    if (std::any_of(m_plugins.begin(), m_plugins.end(), [&](const SafeFS::Identity& each) { return each == plugin; }))
        return;
    m_plugins.reserve(m_plugins.size() + 1); // nothing throws once it is held
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    if (r.busy(plugin, m_thread)) {
        const Waiting* show = waiting ? &waiting : innermost ? &innermost->m_waiting : nullptr;
        announce(lock, name, show);
        r.changed.wait(lock, [&] { return !r.busy(plugin, m_thread); });
    }
    const auto mine = std::find_if(r.holds.begin(), r.holds.end(), [&](const Registry::Hold& each) {
        return each.plugin == plugin && each.thread == m_thread;
    });
    if (mine != r.holds.end())
        ++mine->depth;
    else
        r.holds.push_back({plugin, m_thread, 1});
    m_plugins.push_back(plugin);
}

void PluginLease::release() noexcept
{
    if (m_plugins.empty())
        return;
    Registry& r = registry();
    {
        const std::lock_guard lock(r.mutex);
        for (const SafeFS::Identity& plugin : m_plugins) {
            const auto mine = std::find_if(r.holds.begin(), r.holds.end(), [&](const Registry::Hold& each) {
                return each.plugin == plugin && each.thread == m_thread;
            });
            if (mine != r.holds.end() && --mine->depth == 0)
                r.holds.erase(mine);
        }
        m_plugins.clear();
    }
    r.changed.notify_all();
}

PluginLease::Removal::Removal(const SafeFS::Identity& plugin)
{
    Registry& r = registry();
    try {
        const std::lock_guard lock(r.mutex);
        r.pending.push_back({r.next + 1, plugin});
        m_number = ++r.next;
    } catch (...) {
        m_number = 0;
    }
}

PluginLease::Removal::~Removal()
{
    end();
}

void PluginLease::Removal::end() noexcept
{
    if (m_number == 0)
        return;
    Registry& r = registry();
    {
        const std::lock_guard lock(r.mutex);
        r.pending.erase(std::remove_if(r.pending.begin(), r.pending.end(),
                                       [&](const Registry::Pending& each) { return each.number == m_number; }),
                        r.pending.end());
    }
    m_number = 0;
    r.changed.notify_all();
}

void PluginLease::waitForRemovals()
{
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    r.changed.wait(lock, [&] { return r.pending.empty(); });
}

bool PluginLease::waitForRemovalsOn(std::uint64_t device)
{
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    const auto none = [&] {
        return std::none_of(r.pending.begin(), r.pending.end(),
                            [&](const Registry::Pending& each) { return each.plugin.device == device; });
    };
    if (none())
        return false;
    if (const auto hook = r.hook) {
        lock.unlock();
        (*hook)();
        lock.lock();
    }
    r.changed.wait(lock, none);
    return true;
}

bool PluginLease::removalsPending()
{
    const std::lock_guard lock(registry().mutex);
    return !registry().pending.empty();
}

QString PluginLease::waitingText(const QString& name)
{
    return QStringLiteral("正在等待插件“") + name + QStringLiteral("”的旧内容清理完成…");
}

void PluginLease::setWaitHook(std::function<void()> hook)
{
    const std::lock_guard lock(registry().mutex);
    registry().hook = hook ? std::make_shared<const std::function<void()>>(std::move(hook)) : nullptr;
}

PluginLease::StatusScope::StatusScope(Waiting waiting) : m_waiting(std::move(waiting)), m_outer(innermost)
{
    innermost = this;
}

PluginLease::StatusScope::~StatusScope()
{
    innermost = m_outer;
}
