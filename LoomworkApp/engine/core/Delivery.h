#pragma once

#include <memory>
#include <utility>

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

// The one way a worker hands its result back: made on the GUI thread for a context object
// that lives there, copied into the worker, and called from any thread with a function of
// the context. The function runs later on the GUI thread, and only if the context still
// exists then; otherwise the result is dropped. The worker never touches the context.
//
//     Delivery<Model> deliver(this);
//     (void)WorkerThread::start([deliver, files] {
//         Result r = work(files);
//         deliver([r](Model& m) { m.apply(r); });
//     });
template <class Context>
class Delivery
{
public:
    explicit Delivery(Context* context) : m_context(std::make_shared<QPointer<Context>>(context)) {}

    template <class Fn>
    void operator()(Fn&& fn) const
    {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return;
        // Queued through the application object: the check of the context happens on the
        // GUI thread, where the context is destroyed, never on the worker.
        QMetaObject::invokeMethod(
            app,
            [context = m_context, fn = std::forward<Fn>(fn)]() mutable {
                if (Context* c = context->data())
                    fn(*c);
            },
            Qt::QueuedConnection);
    }

private:
    std::shared_ptr<QPointer<Context>> m_context;
};
