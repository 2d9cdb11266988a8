#include "engine/files/TemplateChangeHooks.h"

#include <mutex>
#include <utility>

#include <SafeFS/DirHandle.h>

#include "engine/files/PluginLease.h"
#include "engine/files/TemplateChange.h"

namespace {

struct Hooks
{
    std::mutex mutex;
    TemplateChangeHooks::Current current;
};

Hooks& hooks()
{
    static Hooks hooks;
    return hooks;
}

} // namespace

TemplateChangeHooks::Current TemplateChangeHooks::current()
{
    const std::lock_guard lock(hooks().mutex);
    return hooks().current;
}

void TemplateChange::setStepHook(std::function<void(int)> hook)
{
    PluginLease::waitForRemovals();
    const std::lock_guard lock(hooks().mutex);
    hooks().current.step = hook ? std::make_shared<const std::function<void(int)>>(std::move(hook)) : nullptr;
}

void TemplateChange::setStepFault(std::function<int(int)> fault)
{
    PluginLease::waitForRemovals();
    const std::lock_guard lock(hooks().mutex);
    hooks().current.fault = fault ? std::make_shared<const std::function<int(int)>>(std::move(fault)) : nullptr;
}

void TemplateChange::setRemovalWaitHook(std::function<void()> hook)
{
    PluginLease::setWaitHook(std::move(hook));
}

void TemplateChange::setExchangeRefused(bool refused)
{
    DirHandle::refuseRenameFlagsForTests(refused);
}
