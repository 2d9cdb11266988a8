#include "account/LibraryAuthModel.h"

#include <functional>

#include <QThreadPool>

#include "engine/AdminAuth.h"
#include "engine/AdminRunner.h"
#include "engine/AppState.h"
#include "engine/Delivery.h"

namespace {

// The prompt the user waits for goes ahead of a background check in the pool's queue.
constexpr int kCheckPriority = 0;
constexpr int kAuthorizationPriority = 1;

// Runs `work` on the pool and hands its result to `apply` on the GUI thread, unless the
// model is gone by then.
void runDetached(LibraryAuthModel* model, int queuePriority, std::function<bool()> work,
                 std::function<void(LibraryAuthModel&, bool)> apply)
{
    Delivery<LibraryAuthModel> deliver(model);
    QThreadPool::globalInstance()->start(
        [deliver, work = std::move(work), apply = std::move(apply)] {
            const bool result = work();
            deliver([apply, result](LibraryAuthModel& target) { apply(target, result); });
        },
        queuePriority);
}

} // namespace

LibraryAuthModel::LibraryAuthModel(AppState* state, QObject* parent)
    : QObject(parent)
    , m_state(state)
{
    if (m_state)
        connect(m_state, &AppState::scanErrorsChanged, this, &LibraryAuthModel::changed);
}

LibraryAuthModel::Status LibraryAuthModel::status(PluginRoot root) const
{
    Status s;
    if (root.requiresAdmin() && !m_systemWritable) {
        s.dot = Status::Dot::red;
        s.text = QStringLiteral("未授权");
        s.offersAuthorization = true;
        s.buttonText = m_authorizing ? QStringLiteral("授权中…") : QStringLiteral("完成授权");
        s.buttonEnabled = !m_authorizing;
        s.tooltip = AdminRunner::current().flavor() == AdminRunner::Flavor::macOS
            ? QStringLiteral("输入开机密码，授权 App 读写系统FCPX插件目录")
            : QStringLiteral("输入当前登录账户的密码，授权 App 读写系统FCPX插件目录");
        return s;
    }
    const QString error = m_state ? m_state->scanErrors().value(root) : QString();
    if (m_state && m_state->scanErrors().contains(root)) {
        s.dot = Status::Dot::orange;
        s.text = QStringLiteral("不可用（") + error + QStringLiteral("）");
        s.tooltip = error;
    } else {
        s.dot = Status::Dot::green;
        s.text = QStringLiteral("正常");
        s.tooltip = QStringLiteral("目录可读可写");
    }
    return s;
}

void LibraryAuthModel::refreshSystemWritable()
{
    const quint64 generation = ++m_checkGeneration;
    const QString folder = PluginRoot(PluginRoot::system).path();
    runDetached(
        this, kCheckPriority, [folder] { return AdminAuth::isWritable(folder); },
        [generation](LibraryAuthModel& model, bool writable) { model.applyCheck(generation, writable); });
}

void LibraryAuthModel::applyCheck(quint64 generation, bool writable)
{
    if (generation != m_checkGeneration || m_authorizing || m_systemWritable == writable)
        return;
    m_systemWritable = writable;
    emit changed();
}

void LibraryAuthModel::authorizeSystem()
{
    if (m_authorizing)
        return;
    m_authorizing = true;
    m_authError.reset();
    emit changed();
    const QString folder = PluginRoot(PluginRoot::system).path();
    runDetached(
        this, kAuthorizationPriority,
        [folder] { return AdminAuth::prepareRoot(folder) && AdminAuth::isWritable(folder); },
        [](LibraryAuthModel& model, bool writable) { model.applyAuthorization(writable); });
}

void LibraryAuthModel::applyAuthorization(bool writable)
{
    ++m_checkGeneration;
    m_authorizing = false;
    m_systemWritable = writable;
    if (writable) {
        if (m_state)
            m_state->refresh();
    } else {
        m_authError = QString::fromUtf8(authFailedText);
    }
    emit changed();
}
