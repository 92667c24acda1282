// How long the main thread is held up when a line sends 64 KiB, 256 KiB and 1 MiB of bytes without a
// "*" and then one "*" (noise, a wrong baud rate, another device on the line), against the panel's
// first receive path and console (every byte gathered until a "*", the whole gathering quoted in
// one line of the rich-text box), measured in the same run.
//
//   burst_bench [--full]     (--full also times the first panel with 1 MiB: minutes)
//
// The bytes come from the far end of a pseudo-terminal pair into the real main window's port,
// opened as the operator opens it, so they take the window's whole receive path. The first panel's
// path gets its own port on a pair of its own, with a copy of its receive handler. "Busy" is the
// main thread's processor time (the ticks' own included), from the first byte written until
// the console shows the line that quotes the final "*"; "longest" is the longest the window stood
// frozen, the longest gap between the ticks of a 5 ms timer on the main thread. Run offscreen or
// under a virtual X server.
#include "OldConsole.h"
#include "app/AppPlatform.h"
#include "app/ComMainForm.h"
#include "relay/ReleUnit.h"
#include "tests/serial/support/pty.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <time.h>

namespace {

constexpr int SendLimitMs = 600000;

struct TFigures {
    double BusyMs = 0, LongestMs = 0;
    bool Complete = false;
};

// The main thread's processor time while an event loop runs, and the longest gap between the ticks
// of a fine timer on it: the longest the window stood frozen.
class TBusyMeter {
public:
    TBusyMeter() : FStart(ThreadCpuNs()) {
        FTicks.setTimerType(Qt::PreciseTimer);
        FTicks.setInterval(TickMs);
        QObject::connect(&FTicks, &QTimer::timeout, [this] { Tick(); });
        FClock.start();
        FTicks.start();
    }
    TFigures Stop() {
        Tick();
        FTicks.stop();
        return {static_cast<double>(ThreadCpuNs() - FStart) / 1e6, static_cast<double>(FLongest) / 1e6, true};
    }

private:
    static constexpr int TickMs = 5;
    static qint64 ThreadCpuNs() {
        timespec Now{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Now);
        return qint64{Now.tv_sec} * 1000000000 + Now.tv_nsec;
    }
    void Tick() {
        const qint64 Now = FClock.nsecsElapsed();
        FLongest = std::max(FLongest, Now - FLast);
        FLast = Now;
    }

    const qint64 FStart;
    QElapsedTimer FClock;
    QTimer FTicks;
    qint64 FLast = 0, FLongest = 0;
};

// Writes the burst and its "*" from the far end while the main thread runs its loop, until Done
// reports the line that quotes the "*".
TFigures Measure(TPtyPair &Pty, std::size_t Bytes, const std::function<bool()> &Done,
                 const std::function<void(const std::function<void()> &)> &OnChange) {
    QEventLoop Loop;
    OnChange([&] {
        if (Done())
            Loop.quit();
    });
    QTimer::singleShot(SendLimitMs, &Loop, &QEventLoop::quit);
    TBusyMeter Meter;
    std::thread Writer([&Pty, Bytes] {
        Pty.Send(std::string(Bytes, 'x'), SendLimitMs);
        Pty.Send("*", SendLimitMs);
    });
    Loop.exec();
    TFigures Figures = Meter.Stop();
    Figures.Complete = Done();
    Writer.join();
    return Figures;
}

bool QuotesTheStar(const QString &Line) {
    return Line.endsWith(QStringLiteral("*)"));
}

TFigures RunNew(std::size_t Bytes) {
    TPtyPair Pty;
    TForm1 Form;
    Form.show();
    Form.ComPort().SetPort(Pty.SlavePath());
    Form.Button_OpenClick(nullptr);
    auto *Console = Form.findChild<TConsoleView *>(QStringLiteral("MsgR"));
    return Measure(
        Pty, Bytes, [Console] { return QuotesTheStar(Console->Line(0).Text); },
        [Console](const std::function<void()> &Check) {
            QObject::connect(Console, &TConsoleView::Changed, Check);
        });
}

TFigures RunOld(std::size_t Bytes) {
    TPtyPair Pty;
    TForm1 Form;
    TOldConsole Console(Form.findChild<QWidget *>(QStringLiteral("MsgR")));
    TComPort Port;
    TRele Controller(&Console, &Port);
    QObject::connect(Console.Box(), &QTextEdit::textChanged, &Form, [&Form] { Form.UpdateDiods(); });
    // The first panel's receive handler.
    std::string Buffer;
    Port.SetOnRxChar([&](TCustomComPort &Sender, std::int32_t Count) {
        std::string Received;
        Sender.ReadText(Received, Count);
        Buffer += Received;
        if (Buffer.empty() || Buffer.back() != '*')
            return;
        std::string Respond;
        Respond.swap(Buffer);
        Controller.ProcessRespond(Respond);
    });
    Form.show();
    Controller.OpenComPort(Pty.SlavePath());
    const TFigures Figures = Measure(
        Pty, Bytes, [&Console] { return QuotesTheStar(Console.TopLine()); },
        [&Console](const std::function<void()> &Check) {
            QObject::connect(Console.Box(), &QTextEdit::textChanged, Check);
        });
    Port.ClosePort();
    return Figures;
}

void Print(const char *Name, std::size_t Bytes, const TFigures &Figures) {
    std::printf("%-14s %5zu KiB | busy %10.1f ms | longest %10.1f ms%s\n", Name, Bytes / 1024, Figures.BusyMs,
                Figures.LongestMs, Figures.Complete ? "" : " | the final line never came");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    const bool Full = argc > 1 && std::string(argv[1]) == "--full";
    TDudApplication App(argc, argv);
    InstallQtPlatform();
    std::printf("platform: %s\n", qPrintable(QGuiApplication::platformName()));
    for (const std::size_t Bytes : {std::size_t{64} << 10, std::size_t{256} << 10, std::size_t{1} << 20}) {
        Print("panel", Bytes, RunNew(Bytes));
        if (Full || Bytes < (std::size_t{1} << 20))
            Print("first panel", Bytes, RunOld(Bytes));
        else
            std::printf("%-14s %5zu KiB | skipped: takes minutes, run with --full\n", "first panel",
                        Bytes / 1024);
    }
    return 0;
}
