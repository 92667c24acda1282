#include "AppPlatform.h"

#include "relay/PlatformHooks.h"
#include "serial/port/ComPlatform.h"

#include <QMessageBox>
#include <QMetaObject>

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
    SetWakeMainThreadHook(WakeMainThread);
}

bool TDudApplication::notify(QObject *Receiver, QEvent *Event) {
    bool Result = false;
    RunGuarded([&] { Result = QApplication::notify(Receiver, Event); });
    return Result;
}
