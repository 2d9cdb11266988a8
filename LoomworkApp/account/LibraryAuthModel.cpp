#include "account/LibraryAuthModel.h"

#include <functional>
#include <optional>

#include "engine/files/AdminAuth.h"
#include "engine/files/AdminRunner.h"
#include "engine/library/AppState.h"
#include "engine/core/Delivery.h"
#include "engine/core/FsPath.h"
#include "engine/core/WorkerThread.h"

namespace {

// Runs `work` on a thread of its own and hands its result to `apply` on the GUI thread,
// unless the model is gone by then. When no thread can be made, or `work` runs out of memory,
// `failed` is called instead (at once for a refused thread), so that nothing waits for good.
template<typename Result>
void runDetached(LibraryAuthModel* model, std::function<Result()> work,
                 std::function<void(LibraryAuthModel&, Result)> apply, std::function<void(LibraryAuthModel&)> failed)
{
    Delivery<LibraryAuthModel> deliver(model);
    const bool started = WorkerThread::start([deliver, work, apply, failed] {
        std::optional<Result> result;
        try {
            result = work();
        } catch (...) {
        }
        try {
            if (result)
                deliver([apply, result = *result](LibraryAuthModel& target) { apply(target, result); });
            else
                deliver([failed](LibraryAuthModel& target) { failed(target); });
        } catch (...) {
            // No memory to say so: the next try starts over.
        }
    });
    if (!started)
        failed(*model);
}

struct Authorization {
    bool writable = false;
    bool noTool = false;
};

} // namespace

QString LibraryAuthModel::noAuthToolText()
{
    return AdminRunner::current().flavor() == AdminRunner::Flavor::macOS
        ? QStringLiteral("无法启动系统的管理员授权（osascript），无法获得管理员授权。")
        : QStringLiteral("系统没有可用的管理员身份验证工具（pkexec），无法获得管理员授权。");
}

QString LibraryAuthModel::locationText(PluginRoot root)
{
    if (!root.requiresAdmin() || AdminRunner::current().flavor() == AdminRunner::Flavor::macOS)
        return root.shortPath();
    return FsPath::displayText(root.path());
}

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
    // Unchecked, the status stays as it was.
    runDetached<bool>(
        this, [folder] { return AdminAuth::isWritable(folder); },
        [generation](LibraryAuthModel& model, bool writable) { model.applyCheck(generation, writable); },
        [](LibraryAuthModel&) {});
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
    runDetached<Authorization>(
        this,
        [folder] {
            if (AdminAuth::prepareRoot(folder))
                return Authorization{AdminAuth::isWritable(folder), false};
            return Authorization{false, AdminAuth::lastFailure() == AdminAuth::Failure::notLaunched};
        },
        [](LibraryAuthModel& model, Authorization result) { model.applyAuthorization(result.writable, result.noTool); },
        [](LibraryAuthModel& model) {
            model.m_authorizing = false;
            model.m_authError = QStringLiteral("无法启动授权（内存或系统资源不足），请关闭其他程序后重试。");
            emit model.changed();
        });
}

void LibraryAuthModel::applyAuthorization(bool writable, bool noTool)
{
    ++m_checkGeneration;
    m_authorizing = false;
    m_systemWritable = writable;
    if (writable) {
        if (m_state)
            m_state->refresh();
    } else {
        m_authError = noTool ? noAuthToolText() : QString::fromUtf8(authFailedText);
    }
    emit changed();
}
