#include "engine/core/AlertPresenter.h"

#include <atomic>

namespace {

class SilentPresenter final : public AlertPresenter
{
public:
    bool confirm(const QString&, const QString&, Style, const QString&, const QString&) override
    {
        return false;
    }
    void presentPanel(const Panel&, PickHandler) override {}
};

SilentPresenter g_silent;
std::atomic<AlertPresenter*> g_current{nullptr};

} // namespace

AlertPresenter::~AlertPresenter() = default;

AlertPresenter& AlertPresenter::current()
{
    AlertPresenter* p = g_current.load();
    return p ? *p : g_silent;
}

AlertPresenter* AlertPresenter::setCurrent(AlertPresenter* presenter)
{
    return g_current.exchange(presenter);
}
