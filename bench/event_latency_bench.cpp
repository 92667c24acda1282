// How quickly a received byte reaches OnRxChar on the main thread, and how often an idle open port
// wakes up, measured over a pseudo-terminal pair against Qt's QSerialPort (readyRead) in the same
// run and on the same kind of pair.
//
//   event_latency_bench [bytes=10000] [idle seconds=5] [stream MiB=16]
//
// Latency: the far end writes one byte, the handler on the main thread notes the time, reads the
// byte and has the far end write the next one. Both peers run under the same Qt event loop; the
// port's main-thread calls are drained from it as in the panel, when the queue's event becomes
// readable. CPU per event: the process's user and system time over the run (the far end's writes
// included, alike for both) divided by the events delivered.
// Hand-over floor: the same exchange through a bare thread that waits on the line and hands each
// byte to the main thread as the port's event thread does, waiting until it is handled: what that
// shape costs on this machine whatever the component does, so TComPort/floor is the component's own
// share and floor/QSerialPort the price of the extra thread.
// Stream: the far end sends as fast as the line takes it; the port is set up as the panel sets it up
// (its queue size, NUL discarding, every event in the mask) and its OnRxChar reads the count with
// ReadText, as the panel's handler does; QSerialPort, with a read buffer of the same size, reads
// with readAll on readyRead. MiB/s and the process's CPU milliseconds per MiB.
// Idle wake-ups: context switches of the port's threads, and of the main thread, while an open port
// sits idle (the main thread's one is the loop's own end-of-measurement timer).
#include "serial/port/ComPlatform.h"
#include "serial/port/ComPort.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "LatencyStats.h"
#include "serial/driver/posix/PosixEvent.h"

#if __has_include(<QtSerialPort/QSerialPort>)
#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QSocketNotifier>
#include <QtCore/QTimer>
#include <QtSerialPort/QSerialPort>

using namespace ComApi;
#define DUD_HAVE_QSERIALPORT 1
#endif

namespace {

using TClock = std::chrono::steady_clock;

struct TPty {
    int Master = -1, Slave = -1;
    std::string Path;
    TPty() {
        if (::openpty(&Master, &Slave, nullptr, nullptr, nullptr) != 0)
            return;
        Path = ::ttyname(Slave);
        termios Raw{};
        ::tcgetattr(Master, &Raw);
        ::cfmakeraw(&Raw);
        ::tcsetattr(Master, TCSANOW, &Raw);
    }
    ~TPty() {
        if (Slave >= 0)
            ::close(Slave);
        if (Master >= 0)
            ::close(Master);
    }
    void Send() const { [[maybe_unused]] auto n = ::write(Master, "x", 1); }
};

// Voluntary plus involuntary context switches of the main thread (Main) or of every other thread of
// this process: the port's event thread and its driver's threads.
long ContextSwitches(bool Main) {
    long Total = 0;
    const std::string Self = std::to_string(::getpid());
    for (const auto &Task : std::filesystem::directory_iterator("/proc/self/task")) {
        if ((Task.path().filename() == Self) != Main)
            continue;
        std::ifstream Status(Task.path() / "status");
        std::string Line;
        while (std::getline(Status, Line))
            if (Line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                Line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                Total += std::atol(Line.substr(Line.find(':') + 1).c_str());
    }
    return Total;
}

// Runs the main loop until Done() or the bound: Qt's loop when Qt is here (the port's calls reach it
// through the wake-up hook), else the port's queue alone. Handlers call LoopCheck() after each step
// so the loop ends as soon as Done() holds, without polling.
std::function<void()> LoopCheck = [] {};

void RunLoopUntil(const std::function<bool()> &Done, int Milliseconds) {
    if (Done())
        return;
#ifdef DUD_HAVE_QSERIALPORT
    QEventLoop Loop;
    QTimer::singleShot(Milliseconds, &Loop, &QEventLoop::quit);
    LoopCheck = [&] {
        if (Done())
            Loop.quit();
    };
    Loop.exec();
#else
    const auto Deadline = TClock::now() + std::chrono::milliseconds(Milliseconds);
    while (!Done() && TClock::now() < Deadline) {
        WaitForSingleObject(
            MainThreadCallsPending(),
            static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::max(Deadline - TClock::now(), TClock::duration::zero()))
                                   .count()));
        ProcessMainThreadCalls();
    }
#endif
    LoopCheck = [] {};
}

// The latency exchange: Run has the far end send the first byte and runs the main loop; the
// receiving side calls Received at the time it saw a byte, which notes the delay and has the far
// end send the next one, until Bytes have come.
class TPingPong {
public:
    TPingPong(const TPty &Pty, std::size_t Bytes) : FPty(Pty), FBytes(Bytes) { FMicros.reserve(Bytes); }

    void Received(TClock::time_point Now) {
        FMicros.push_back(std::chrono::duration<double, std::micro>(Now - FSent).count());
        if (FMicros.size() < FBytes) {
            FSent = TClock::now();
            FPty.Send();
        }
        LoopCheck();
    }
    TStats Run() {
        const double Cpu = CpuMicros();
        FSent = TClock::now();
        FPty.Send();
        RunLoopUntil([&] { return FMicros.size() >= FBytes; }, 120000);
        return Summarise(FMicros, CpuMicros() - Cpu);
    }

private:
    const TPty &FPty;
    const std::size_t FBytes;
    std::vector<double> FMicros;
    TClock::time_point FSent;
};

bool Open(TComPort &Port, const TPty &Pty) {
    try {
        Port.OpenPort();
        return true;
    } catch (const EComPort &E) {
        std::printf("TComPort: cannot open %s: %s\n", Pty.Path.c_str(), E.what());
        return false;
    }
}

bool MeasurePort(std::size_t Bytes, TStats &Latency) {
    TPty Pty;
    TComPort Port;
    Port.SetPort(Pty.Path);
    Port.SetBaudRate(br115200);
    TPingPong Exchange(Pty, Bytes);
    Port.SetOnRxChar([&](TCustomComPort &P, std::int32_t Count) {
        const auto Now = TClock::now();
        std::string Text;
        P.ReadText(Text, Count);
        Exchange.Received(Now);
    });
    if (!Open(Port, Pty))
        return false;
    Latency = Exchange.Run();
    return true;
}

struct TStream {
    double MiBPerSecond = 0, CpuMsPerMiB = 0;
};

// Writes Total bytes into the master side from a thread of its own, until done or stopped.
class TFeeder {
public:
    TFeeder(int Master, std::size_t Total)
        : FThread([this, Master, Total] {
              std::vector<char> Chunk(65536);
              for (std::size_t i = 0; i < Chunk.size(); ++i)
                  Chunk[i] = static_cast<char>('a' + i % 26); // no NULs: the panel's port drops them
              for (std::size_t Sent = 0; Sent < Total && !FStop;) {
                  pollfd P{Master, POLLOUT, 0};
                  if (::poll(&P, 1, 100) <= 0)
                      continue;
                  const ssize_t N = ::write(Master, Chunk.data(), std::min(Chunk.size(), Total - Sent));
                  if (N > 0)
                      Sent += static_cast<std::size_t>(N);
              }
          }) {}
    ~TFeeder() {
        FStop = true;
        FThread.join();
    }

private:
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

TStream Rates(std::size_t Bytes, TClock::time_point Start, double Cpu) {
    const double MiB = double(Bytes) / double(1 << 20);
    const double Seconds = std::chrono::duration<double>(TClock::now() - Start).count();
    return {MiB / Seconds, (CpuMicros() - Cpu) / 1000 / MiB};
}

bool StreamPort(std::size_t Total, TStream &Result) {
    TPty Pty;
    TComPort Port;
    Port.SetPort(Pty.Path);
    Port.SetBaudRate(br4800);
    Port.SetDiscardNull(true);
    Port.SetEvents(
        {evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full});
    std::size_t Got = 0;
    Port.SetOnRxChar([&](TCustomComPort &P, std::int32_t Count) {
        std::string Text;
        Got += static_cast<std::size_t>(P.ReadText(Text, Count));
        LoopCheck();
    });
    if (!Open(Port, Pty))
        return false;
    const double Cpu = CpuMicros();
    const auto Start = TClock::now();
    TFeeder Feeder(Pty.Master, Total);
    RunLoopUntil([&] { return Got >= Total; }, 120000);
    Result = Rates(Got, Start, Cpu);
    return Got >= Total;
}

struct TWakeups {
    long Main = 0, Others = 0;
};

TWakeups IdleWakeups(int Seconds, const std::function<void()> &Open) {
    Open();
    RunLoopUntil([] { return false; }, 200); // let the opening settle
    const TWakeups Before{ContextSwitches(true), ContextSwitches(false)};
    RunLoopUntil([] { return false; }, Seconds * 1000);
    return {ContextSwitches(true) - Before.Main, ContextSwitches(false) - Before.Others};
}

#ifdef DUD_HAVE_QSERIALPORT
bool MeasureQt(std::size_t Bytes, TStats &Latency) {
    TPty Pty;
    QSerialPort Serial(QString::fromStdString(Pty.Path));
    TPingPong Exchange(Pty, Bytes);
    QObject::connect(&Serial, &QSerialPort::readyRead, [&] {
        const auto Now = TClock::now();
        Serial.readAll();
        Exchange.Received(Now);
    });
    if (!Serial.open(QIODevice::ReadWrite)) {
        std::printf("QSerialPort: cannot open %s: %s\n", Pty.Path.c_str(),
                    Serial.errorString().toUtf8().constData());
        return false;
    }
    Latency = Exchange.Run();
    return true;
}

// The least any event thread that hands each event to the main thread and waits there can cost:
// a bare thread polls the line and a stop descriptor, reads the byte, signals an eventfd that the
// main loop watches with a socket notifier, and waits on one flag until the main thread has run the
// "handler" (which notes the time and has the far end send the next byte). None of the component's
// work is in it: no driver, no queue, no records, no event mask.
bool MeasureHandOverFloor(std::size_t Bytes, TStats &Latency) {
    TPty Pty;
    const int Signal = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC), Stop = ::eventfd(0, EFD_CLOEXEC);
    if (Pty.Path.empty() || Signal < 0 || Stop < 0)
        return false;
    std::atomic<bool> Handled{false};
    std::thread Waiter([&] {
        for (char Byte[64];;) {
            pollfd Fds[] = {{Pty.Slave, POLLIN, 0}, {Stop, POLLIN, 0}};
            if (::poll(Fds, 2, -1) < 0 || Fds[1].revents)
                return;
            [[maybe_unused]] auto n = ::read(Pty.Slave, Byte, sizeof Byte);
            const std::uint64_t One = 1;
            n = ::write(Signal, &One, sizeof One);
            Handled.wait(false);
            Handled.store(false);
        }
    });
    TPingPong Exchange(Pty, Bytes);
    QSocketNotifier Notifier(Signal, QSocketNotifier::Read);
    QObject::connect(&Notifier, &QSocketNotifier::activated, [&] {
        const auto Now = TClock::now();
        std::uint64_t Count;
        [[maybe_unused]] auto n = ::read(Signal, &Count, sizeof Count);
        Exchange.Received(Now);
        Handled.store(true);
        Handled.notify_one();
    });
    Latency = Exchange.Run();
    const std::uint64_t One = 1;
    [[maybe_unused]] auto n = ::write(Stop, &One, sizeof One);
    Handled.store(true);
    Handled.notify_one();
    Waiter.join();
    ::close(Signal);
    ::close(Stop);
    return true;
}

bool StreamQt(std::size_t Total, std::int32_t BufferSize, TStream &Result) {
    TPty Pty;
    QSerialPort Serial(QString::fromStdString(Pty.Path));
    Serial.setReadBufferSize(BufferSize);
    std::size_t Got = 0;
    QObject::connect(&Serial, &QSerialPort::readyRead, [&] {
        Got += static_cast<std::size_t>(Serial.readAll().size());
        LoopCheck();
    });
    if (!Serial.open(QIODevice::ReadWrite))
        return false;
    const double Cpu = CpuMicros();
    const auto Start = TClock::now();
    TFeeder Feeder(Pty.Master, Total);
    RunLoopUntil([&] { return Got >= Total; }, 120000);
    Result = Rates(Got, Start, Cpu);
    return Got >= Total;
}
#endif

} // namespace

int main(int argc, char **argv) {
    const std::size_t Bytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    const int IdleSeconds = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::size_t StreamBytes = (argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 16) << 20;
#ifdef DUD_HAVE_QSERIALPORT
    QCoreApplication App(argc, argv);
    QSocketNotifier Calls(TEventNative::Fd(MainThreadCallsPending()), QSocketNotifier::Read);
    QObject::connect(&Calls, &QSocketNotifier::activated, [] { ProcessMainThreadCalls(); });
#endif
    TStats Ours, Peer;
    const bool HaveOurs = MeasurePort(Bytes, Ours);
    if (HaveOurs)
        std::printf("TComPort OnRxChar     : %zu bytes, median %.1f us, p99 %.1f us, CPU %.1f us/event\n",
                    Ours.Count, Ours.Median, Ours.P99, Ours.CpuMicros);
#ifdef DUD_HAVE_QSERIALPORT
    const bool HavePeer = MeasureQt(Bytes, Peer);
    if (HavePeer)
        std::printf("QSerialPort readyRead : %zu bytes, median %.1f us, p99 %.1f us, CPU %.1f us/event\n",
                    Peer.Count, Peer.Median, Peer.P99, Peer.CpuMicros);
    if (HaveOurs && HavePeer && Peer.Median > 0 && Peer.P99 > 0 && Peer.CpuMicros > 0)
        std::printf("ratio TComPort/QSerialPort: median %.2f, p99 %.2f, CPU %.2f\n",
                    Ours.Median / Peer.Median, Ours.P99 / Peer.P99, Ours.CpuMicros / Peer.CpuMicros);
    TStats Floor;
    if (HavePeer && MeasureHandOverFloor(Bytes, Floor) && Floor.Median > 0 && Floor.CpuMicros > 0) {
        std::printf("hand-over floor       : %zu bytes, median %.1f us, p99 %.1f us, CPU %.1f us/event\n",
                    Floor.Count, Floor.Median, Floor.P99, Floor.CpuMicros);
        std::printf("ratio floor/QSerialPort: median %.2f, CPU %.2f; TComPort/floor: median %.2f, CPU %.2f\n",
                    Floor.Median / Peer.Median, Floor.CpuMicros / Peer.CpuMicros, Ours.Median / Floor.Median,
                    Ours.CpuMicros / Floor.CpuMicros);
    }
#else
    std::printf("QSerialPort not available in this build: no peer figures\n");
#endif

    TStream OurStream, PeerStream;
    if (HaveOurs && StreamPort(StreamBytes, OurStream))
        std::printf("TComPort stream       : %.1f MiB/s, CPU %.1f ms/MiB (OnRxChar + ReadText, queue %d)\n",
                    OurStream.MiBPerSecond, OurStream.CpuMsPerMiB, TComPort().Buffer().InputSize());
#ifdef DUD_HAVE_QSERIALPORT
    if (StreamQt(StreamBytes, TComPort().Buffer().InputSize(), PeerStream))
        std::printf("QSerialPort stream    : %.1f MiB/s, CPU %.1f ms/MiB (readyRead + readAll)\n",
                    PeerStream.MiBPerSecond, PeerStream.CpuMsPerMiB);
    if (OurStream.MiBPerSecond > 0 && PeerStream.MiBPerSecond > 0)
        std::printf("ratio TComPort/QSerialPort stream: MiB/s %.2f, CPU per MiB %.2f\n",
                    OurStream.MiBPerSecond / PeerStream.MiBPerSecond,
                    OurStream.CpuMsPerMiB / PeerStream.CpuMsPerMiB);
#endif

    if (HaveOurs) {
        TPty Pty;
        TComPort Port;
        Port.SetPort(Pty.Path);
        const TWakeups W = IdleWakeups(IdleSeconds, [&] { Port.OpenPort(); });
        std::printf("TComPort idle %d s    : %ld wake-ups of the port's threads, %ld of the main thread\n",
                    IdleSeconds, W.Others, W.Main);
    }
#ifdef DUD_HAVE_QSERIALPORT
    {
        TPty Pty;
        QSerialPort Serial(QString::fromStdString(Pty.Path));
        const TWakeups W = IdleWakeups(IdleSeconds, [&] { Serial.open(QIODevice::ReadWrite); });
        std::printf("QSerialPort idle %d s : %ld wake-ups of other threads, %ld of the main thread\n",
                    IdleSeconds, W.Others, W.Main);
    }
#endif
    return HaveOurs ? 0 : 1;
}
