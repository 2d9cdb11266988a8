#pragma once

#include "engine/core/AlertPresenter.h"

// Lets a panel answer later, as a real one does while the user looks at it: the handler of the
// last panel waits in `pending` until the test calls it. Every question answers `answer`.
// Installs itself for its lifetime.
class DeferredPanelPresenter final : public AlertPresenter
{
public:
    explicit DeferredPanelPresenter(bool answer = true);
    ~DeferredPanelPresenter() override;

    bool confirm(const QString&, const QString&, Style, const QString&, const QString&) override;
    void presentPanel(const Panel&, PickHandler onPick) override;

    PickHandler pending;

private:
    bool m_answer;
    AlertPresenter* m_previous;
};
