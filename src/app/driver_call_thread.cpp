#include "app/driver_call_thread.h"

#include <QEventLoop>

namespace kvx {

DriverCallThread::DriverCallThread() {
    thread_.setObjectName(QStringLiteral("driver calls"));
    onThread_.moveToThread(&thread_);
    thread_.start();
}

DriverCallThread::~DriverCallThread() {
    thread_.quit();
    thread_.wait();
}

void DriverCallThread::run(const std::function<void()>& call) {
    if (QThread::currentThread() != onGui_.thread()) {
        call();
        return;
    }
    // A call asked for while one waits (nothing the program does now, but
    // cheap to keep right) queues behind it on the same thread: the library
    // never sees two calls at once.
    QEventLoop loop;
    bool done = false;
    QMetaObject::invokeMethod(&onThread_, [&] {
        call();
        QMetaObject::invokeMethod(&onGui_, [&] {
            done = true;
            loop.quit();
        });
    });
    if (depth_++ == 0 && hook_) hook_(true);
    while (!done) loop.exec(takeUserInput_ ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    if (--depth_ == 0 && hook_) hook_(false);
}

void DriverCallThread::callBack(const std::function<void()>& work) {
    if (QThread::currentThread() != &thread_) {
        work();
        return;
    }
    // The program's own code runs now, as it would without this thread: for
    // its time the GUI thread does not count as waiting (a message box of
    // the error routine must be answerable by a stop signal).
    QMetaObject::invokeMethod(
        &onGui_,
        [&] {
            if (hook_) hook_(false);
            work();
            if (hook_) hook_(true);
        },
        Qt::BlockingQueuedConnection);
}

}  // namespace kvx
