#pragma once

#include <functional>
#include <memory>

// The tests' hooks of TemplateChange, read by a removal's worker too: set only while no
// removal runs.
namespace TemplateChangeHooks {

struct Current
{
    std::shared_ptr<const std::function<void(int)>> step;
    std::shared_ptr<const std::function<int(int)>> fault;
};

Current current();

} // namespace TemplateChangeHooks
