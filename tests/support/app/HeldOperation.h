#pragma once

#include <memory>

#include <QList>

#include "engine/model/Plugin.h"

class OperationsCenter;

// Keeps a real OperationsCenter busy for as long as it lives: it deletes `first` (real
// folders) and then a system-library plug-in we may not move (its move fails as another
// user's folder would), whose administrator removal waits in a gated runner until
// release(). Meanwhile the runner shows the status and progress of the deleted ones
// ("删除：<name>", n / (n + 1)).
class HeldOperation
{
public:
    explicit HeldOperation(OperationsCenter& ops, const QList<Plugin>& first = {});
    ~HeldOperation();

    // Lets the operation end and waits until the runner is idle again.
    void release();
    static Plugin phantom();

private:
    struct Gate;
    struct Refusal;
    OperationsCenter& m_ops;
    std::shared_ptr<Refusal> m_refusal;
    std::shared_ptr<Gate> m_gate;
    bool m_released = false;
};
