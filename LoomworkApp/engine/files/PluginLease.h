#pragma once

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include <QString>

#include <SafeFS/Identity.h>

// One plug-in folder is worked on by one operation at a time, and never while an earlier
// change of it still removes its old contents: every operation on a plug-in's folder (delete,
// backup, restore, install, rewrite, translation) takes that plug-in's lease, and the change
// that leaves its old contents to a worker hands the lease on as a pending removal. Leases
// are keyed by the folder opened (links followed), so a plug-in reached by two names is one.
// A thread may take a lease it already holds; it still waits for a pending removal.
class PluginLease
{
public:
    // The status shown while an operation waits, e.g. "正在等待插件“X”的旧内容清理完成…".
    using Waiting = std::function<void(const QString& status)>;

    struct Target
    {
        QString folder;
        QString name; // as the user knows the plug-in; empty: the folder's name
    };

    PluginLease() = default;
    ~PluginLease();
    PluginLease(PluginLease&& other) noexcept;
    PluginLease& operator=(PluginLease&& other) noexcept;
    PluginLease(const PluginLease&) = delete;
    PluginLease& operator=(const PluginLease&) = delete;

    // Takes the leases of `targets` in one order for every caller (so two operations never
    // hold one each and wait for the other's), waiting for each plug-in that is busy; `waiting`
    // gets the status to show once per plug-in waited for. A folder that is not there needs
    // no lease.
    static PluginLease take(const std::vector<Target>& targets, const Waiting& waiting = {});
    static PluginLease take(const QString& folder, const QString& name = {}, const Waiting& waiting = {});
    // The lease of the folder already opened as `plugin`.
    static PluginLease take(const SafeFS::Identity& plugin, const QString& name, const Waiting& waiting = {});

    void release() noexcept;
    bool held() const { return !m_plugins.empty(); }

    // A change's old contents being removed: holds every later lease of `plugin` off until
    // end(). Never throws once made; made() is false when memory ran out.
    class Removal
    {
    public:
        explicit Removal(const SafeFS::Identity& plugin);
        ~Removal();
        Removal(const Removal&) = delete;
        Removal& operator=(const Removal&) = delete;
        bool made() const { return m_number != 0; }
        void end() noexcept;

    private:
        std::uint64_t m_number = 0;
    };

    // Until no removal is pending (before the process quits, and for tests).
    static void waitForRemovals();
    // Until none is pending on the file system `device`; true when one was waited for. For a
    // change that ran short of space: the old contents hold it.
    static bool waitForRemovalsOn(std::uint64_t device);
    // Whether a removal is pending.
    static bool removalsPending();

    static QString waitingText(const QString& name);

    // Where this thread's waits are shown while it lives: a lease taken without a `waiting` of
    // its own (deep inside a rewrite, a backup or a restore) reports to the innermost scope.
    class StatusScope
    {
    public:
        explicit StatusScope(Waiting waiting);
        ~StatusScope();
        StatusScope(const StatusScope&) = delete;
        StatusScope& operator=(const StatusScope&) = delete;

    private:
        friend class PluginLease;
        Waiting m_waiting;
        StatusScope* m_outer;
    };

    // For tests: called when an operation is about to wait for a plug-in's lease. Null
    // removes it.
    static void setWaitHook(std::function<void()> hook);

private:
    void hold(const SafeFS::Identity& plugin, const QString& name, const Waiting& waiting);

    std::vector<SafeFS::Identity> m_plugins;
    std::thread::id m_thread;
};
