#pragma once

#include <exception>
#include <new>
#include <optional>
#include <utility>

#include <QString>

#include "engine/core/Delivery.h"
#include "engine/core/WorkerThread.h"
#include "engine/files/PluginLease.h"
#include "engine/backup/PluginBackupError.h"
#include "engine/templates/TemplateInspector.h"

namespace SheetWork {

// The description of what a template rewrite or a backup threw, for "修改失败：…" and the like.
inline QString describe(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const TemplateEditError& e) {
        return e.message();
    } catch (const PluginBackupError& e) {
        return e.message();
    } catch (const std::bad_alloc&) {
        return QStringLiteral("内存不足");
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("未知错误");
    }
}

// Said when the system gives the work no thread.
inline QString refusedText()
{
    return QStringLiteral("无法启动后台线程（内存或系统资源不足），插件没有改动。");
}

// The file work of the template sheets: run on a thread of its own, the result handed to
// `done` on the GUI thread, and dropped when `context` is gone by then. A wait for a plug-in
// busy with an earlier change is shown by the context's showWaiting(). Whatever keeps the work
// from giving a result (no thread to run on, memory running out) goes to `failed`, with the
// text to show: at once when the thread is refused, so that no sheet stays busy for good.
template <typename Context, typename Work, typename Done, typename Failed>
void run(Context* context, Work work, Done done, Failed failed)
{
    const Delivery<Context> deliver(context);
    const bool started = WorkerThread::start([deliver, work = std::move(work), done, failed]() mutable {
        std::optional<decltype(work())> result;
        std::exception_ptr thrown;
        try {
            const PluginLease::StatusScope waits([deliver](const QString& text) {
                deliver([text](Context& shown) { shown.showWaiting(text); });
            });
            result.emplace(work());
        } catch (...) {
            thrown = std::current_exception();
        }
        // A change made is never said to have failed because its telling ran out of memory.
        try {
            if (result)
                deliver([done = std::move(done), result = std::move(*result)](Context&) mutable { done(std::move(result)); });
            else
                deliver([failed, error = describe(thrown)](Context&) { failed(error); });
        } catch (...) {
            // No memory even to say so: nothing on this thread can reach the sheet.
        }
    });
    if (!started)
        failed(refusedText());
}

} // namespace SheetWork
