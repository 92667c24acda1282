// What the desktop gives the core libraries: the relay logic's message box and beep, the serial
// layer's error report and main-thread wake-up, and the application's error display for errors
// that escape an event handler. Install once, after the QApplication exists and before any port
// opens: a port's event thread relies on the wake-up to have its events handled.
#pragma once

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>

void InstallQtPlatform();

// The application's error display: a message box with the error's message; the program goes on.
void ShowApplicationError(const QString &Message);
// Tests replace the modal box with a recorder; an empty sink restores the box. Returns the old one.
using TApplicationErrorSink = std::function<void(const QString &Message)>;
TApplicationErrorSink SetApplicationErrorSink(TApplicationErrorSink Sink);

// Runs Handler and shows whatever escapes it in the application's error display. Qt's event
// dispatch is not exception-safe, so every operator action passes through here.
template <class THandler> void RunGuarded(THandler &&Handler) {
    try {
        Handler();
    } catch (const std::exception &Error) {
        ShowApplicationError(QString::fromUtf8(Error.what()));
    } catch (...) {
        ShowApplicationError(QStringLiteral("Unknown error"));
    }
}

// The last line of defence: an error that escapes any event is shown instead of ending the program.
class TDudApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject *Receiver, QEvent *Event) override;
};
