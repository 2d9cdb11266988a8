#include "support/app/HeldOperation.h"

#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>

#include "engine/files/AdminRunner.h"
#include "engine/operations/OperationsCenter.h"
#include "support/app/BackupFixtures.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/TestEnv.h"

struct HeldOperation::Gate final : AdminRunner
{
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;
    AdminRunner* previous = nullptr;

    Flavor flavor() const override { return Flavor::linux; }
    Outcome run(const QStringList&, bool) override
    {
        std::unique_lock lock(mutex);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [this] { return open; });
        return Outcome{true, 1, {}, {}}; // the phantom is not removed
    }
};

// The phantom's move into the removal's room fails as for a folder of another user's.
struct HeldOperation::Refusal
{
    FaultyFileOps files;
    Refusal() { files.failOn(FaultyFileOps::Op::rename, QStringLiteral("/Held Phantom\n"), EACCES); }
};

namespace {

template <typename Pred>
bool spinUntil(Pred pred, int ms = 10000)
{
    QDeadlineTimer deadline(ms);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

} // namespace

Plugin HeldOperation::phantom()
{
    Plugin p;
    p.name = QStringLiteral("Held Phantom");
    p.root = PluginRoot::system;
    p.type = ZFCPluginType::effect;
    p.path = TestEnv::systemLibrary() + QStringLiteral("/Effects.localized/Held Phantom");
    return p;
}

HeldOperation::HeldOperation(OperationsCenter& ops, const QList<Plugin>& first)
    : m_ops(ops), m_gate(std::make_shared<Gate>())
{
    QDir().mkpath(phantom().path);
    m_refusal = std::make_shared<Refusal>();
    m_gate->previous = AdminRunner::setCurrent(m_gate.get());
    {
        // The administrator explanation is agreed to once.
        FakeAlertPresenter agree;
        agree.setDefaultAnswer(true);
        QList<Plugin> plugins = first;
        plugins.append(phantom());
        ops.remove(plugins);
        EXPECT_TRUE(ops.isBusy());
        const bool entered = spinUntil([this] {
            std::lock_guard lock(m_gate->mutex);
            return m_gate->entered;
        });
        EXPECT_TRUE(entered) << "the held delete never reached the administrator runner";
    }
    const double expected = double(first.size()) / double(first.size() + 1);
    spinUntil([&] { return first.isEmpty() || ops.progress() >= expected - 1e-9; }, 3000);
}

void HeldOperation::release()
{
    if (m_released)
        return;
    m_released = true;
    {
        std::lock_guard lock(m_gate->mutex);
        m_gate->open = true;
    }
    m_gate->cv.notify_all();
    EXPECT_TRUE(spinUntil([this] { return !m_ops.isBusy(); })) << "the runner stayed busy";
    AdminRunner::setCurrent(m_gate->previous);
    m_refusal.reset();
    QDir(phantom().path).removeRecursively();
    // The phantom's failure leaves the runner's alert; a test does not want it.
    m_ops.setAlertTitle(std::nullopt);
    m_ops.setAlertMessage(std::nullopt);
}

HeldOperation::~HeldOperation()
{
    release();
}
