#include "support/app/DeferredPanelPresenter.h"

#include <utility>

DeferredPanelPresenter::DeferredPanelPresenter(bool answer) : m_answer(answer), m_previous(setCurrent(this)) {}

DeferredPanelPresenter::~DeferredPanelPresenter()
{
    setCurrent(m_previous);
}

bool DeferredPanelPresenter::confirm(const QString&, const QString&, Style, const QString&, const QString&)
{
    return m_answer;
}

void DeferredPanelPresenter::presentPanel(const Panel&, PickHandler onPick)
{
    pending = std::move(onPick);
}
