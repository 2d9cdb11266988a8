#pragma once

#include <exception>
#include <new>
#include <utility>

#include <QString>
#include <QThreadPool>

#include "engine/core/Delivery.h"
#include "engine/files/PluginLease.h"
#include "engine/backup/PluginBackupError.h"
#include "engine/templates/TemplateInspector.h"

// The file work of the template sheets: run on the thread pool, the result handed to
// `done` on the GUI thread, and dropped when `context` is gone by then. A wait for a plug-in
// busy with an earlier change is shown by the context's showWaiting().
namespace SheetWork {

template <typename Context, typename Work, typename Done>
void run(Context* context, Work work, Done done)
{
    const Delivery<Context> deliver(context);
    QThreadPool::globalInstance()->start([deliver, work = std::move(work), done = std::move(done)]() mutable {
        const PluginLease::StatusScope waits([deliver](const QString& text) {
            deliver([text](Context& shown) { shown.showWaiting(text); });
        });
        deliver([done = std::move(done), result = work()](Context&) mutable { done(std::move(result)); });
    });
}

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

} // namespace SheetWork
