#include "AppPlatform.h"

#include "relay/PlatformHooks.h"
#include "serial/port/ComPlatform.h"

#include "serial/driver/posix/PosixEvent.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>

namespace {

TApplicationErrorSink &ErrorSink() {
    static TApplicationErrorSink Sink;
    return Sink;
}

void WakeMainThread() {
    // Called from a port's event thread: only post; the queue is drained on the main thread.
    if (QCoreApplication *App = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            App, [] { ProcessMainThreadCalls(); }, Qt::QueuedConnection);
}

// The main thread's queue signals its event while calls wait: Qt's loop watches that descriptor
// and drains the queue when it is readable, so a queued call costs no posted event of Qt's. Without
// an application object (or a descriptor) the queue wakes the loop through a posted call instead.
void WatchMainThreadCalls() {
    QCoreApplication *App = QCoreApplication::instance();
    const int Fd = ComApi::TEventNative::Fd(MainThreadCallsPending());
    if (!App || Fd < 0) {
        SetWakeMainThreadHook(WakeMainThread);
        return;
    }
    static QPointer<QSocketNotifier> Notifier; // one per application, however often this is called
    if (!Notifier) {
        Notifier = new QSocketNotifier(Fd, QSocketNotifier::Read, App);
        QObject::connect(Notifier, &QSocketNotifier::activated, [] { ProcessMainThreadCalls(); });
    }
    SetWakeMainThreadHook(nullptr);
}

} // namespace

void ShowApplicationError(const QString &Message) {
    if (ErrorSink()) {
        ErrorSink()(Message);
        return;
    }
    QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), Message);
}

TApplicationErrorSink SetApplicationErrorSink(TApplicationErrorSink Sink) {
    return std::exchange(ErrorSink(), std::move(Sink));
}

void InstallQtPlatform() {
    SetMessageBoxHook([](const std::string &Text) {
        QMessageBox::warning(QApplication::activeWindow(), QApplication::applicationName(),
                             QString::fromStdString(Text));
    });
    SetBeepHook([] { QApplication::beep(); });
    SetErrorReportHook(
        [](const std::exception &Error) { ShowApplicationError(QString::fromUtf8(Error.what())); });
    WatchMainThreadCalls();
}

bool TDudApplication::notify(QObject *Receiver, QEvent *Event) {
    bool Result = false;
    RunGuarded([&] { Result = QApplication::notify(Receiver, Event); });
    return Result;
}
