#include "Tavik/shell/QtMainQueue.hpp"

#include "platform/dispatch/MainRunLoop.hpp"

#include <QCoreApplication>
#include <QMetaObject>

namespace tavik::shell {

void serveMainQueueFromQtEventLoop()
{
    dispatch::MainRunLoop::setForwarder([](dispatch::Work work) {
        auto* application = QCoreApplication::instance();
        if (!application)
            return; // quitting: nothing runs on the main thread any more
        QMetaObject::invokeMethod(application, std::move(work), Qt::QueuedConnection);
    });
}

} // namespace tavik::shell
