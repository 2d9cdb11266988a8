#include "ui/DimState.h"

DimState& DimState::shared()
{
    static DimState* state = new DimState;
    return *state;
}

void DimState::setActive(bool active)
{
    if (m_active == active)
        return;
    m_active = active;
    emit activeChanged(active);
}
