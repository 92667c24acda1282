// The POSIX serial driver against Qt's QSerialPort, on pseudo-terminal pairs in the same run:
//   1. throughput of a 64 MiB stream sent from the far end and read through the driver's input
//      queue with ReadFile, and the same stream read with QSerialPort; reported as a ratio;
//   2. CPU time of the whole process over 1 s after the far end has hung up, with a read and an
//      event wait pending on the driver, against QSerialPort on a hung-up line with its event loop
//      running (a spinning thread shows as hundreds of milliseconds);
//   3. wake-ups of the driver's threads while an open port sits idle for 5 s with an event wait
//      pending, as the port's event thread keeps it (from /proc/self/task/<tid>/status). Target: 0.
//
// Run: build/default/bin/driver_bench [MiB]   (default 64)
#include "serial/driver/posix/PosixComDriver.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#if __has_include(<QtSerialPort/QSerialPort>)
#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QTimer>
#include <QtSerialPort/QSerialPort>

using namespace ComApi;
#define DUD_HAVE_QSERIALPORT 1
#endif

namespace {

using TClock = std::chrono::steady_clock;

// A pseudo-terminal whose master end a thread fills with Total bytes.
struct TStream {
    int Master = -1, Slave = -1;
    std::string Path;
    std::thread Writer;
    std::atomic<bool> Stop{false};

    TStream() {
        char name[256] = {};
        termios raw{};
        ::cfmakeraw(&raw);
        if (::openpty(&Master, &Slave, name, &raw, nullptr) < 0) {
            std::perror("openpty");
            std::exit(1);
        }
        Path = name;
    }
    void Start(std::size_t Total) {
        Writer = std::thread([this, Total] {
            std::vector<char> chunk(65536);
            for (std::size_t i = 0; i < chunk.size(); ++i)
                chunk[i] = static_cast<char>(i * 7);
            std::size_t sent = 0;
            while (sent < Total && !Stop) {
                const ssize_t n = ::write(Master, chunk.data(), std::min(chunk.size(), Total - sent));
                if (n > 0)
                    sent += static_cast<std::size_t>(n);
                else if (n < 0 && errno != EINTR)
                    break;
            }
        });
    }
    // The far end goes away: the line hangs up.
    void HangUp() {
        ::close(Master);
        Master = -1;
    }
    ~TStream() {
        Stop = true;
        if (Writer.joinable())
            Writer.join();
        if (Master >= 0)
            ::close(Master);
        ::close(Slave);
    }
};

double Seconds(TClock::time_point Since) {
    return std::chrono::duration<double>(TClock::now() - Since).count();
}

double DriverThroughput(std::size_t Total) {
    TStream stream;
    TPosixComDriver driver;
    const HANDLE h = driver.CreateFile(stream.Path);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "CreateFile: %u\n", GetLastError());
        std::exit(1);
    }
    DCB dcb;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Flags = DCB_BINARY;
    driver.SetCommState(h, dcb);
    driver.SetupComm(h, 65536, 4096);
    // Return as soon as bytes are there, as a reader that wants everything promptly would.
    driver.SetCommTimeouts(h, COMMTIMEOUTS{MAXDWORD, MAXDWORD, 5000, 0, 0});
    std::vector<char> buf(65536);
    TEvent event;
    TOverlapped ov;
    ov.hEvent = &event;
    const auto start = TClock::now();
    stream.Start(Total);
    std::size_t got = 0;
    while (got < Total) {
        DWORD n = 0;
        if (!driver.ReadFile(h, buf.data(), DWORD(buf.size()), &n, &ov) &&
            (GetLastError() != ERROR_IO_PENDING || !driver.GetOverlappedResult(h, &ov, &n, true)))
            break;
        if (n == 0)
            break; // five seconds without a byte: the stream has stalled
        got += n;
    }
    const double seconds = Seconds(start);
    driver.CloseHandle(h);
    if (got < Total)
        std::fprintf(stderr, "driver: only %zu of %zu bytes\n", got, Total);
    return double(got) / seconds;
}

#ifdef DUD_HAVE_QSERIALPORT
double QtThroughput(std::size_t Total) {
    TStream stream;
    QSerialPort port;
    port.setPortName(QString::fromStdString(stream.Path));
    port.setBaudRate(115200);
    port.setReadBufferSize(65536);
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "QSerialPort: %s\n", port.errorString().toUtf8().constData());
        return 0;
    }
    const auto start = TClock::now();
    stream.Start(Total);
    std::size_t got = 0;
    while (got < Total && port.waitForReadyRead(5000))
        got += static_cast<std::size_t>(port.readAll().size());
    const double seconds = Seconds(start);
    if (got < Total)
        std::fprintf(stderr, "QSerialPort: only %zu of %zu bytes\n", got, Total);
    return double(got) / seconds;
}
#endif

double ProcessCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// CPU seconds the process uses over one second after the hang-up.
double DriverCpuAfterHangUp() {
    TStream stream;
    TPosixComDriver driver;
    const HANDLE h = driver.CreateFile(stream.Path);
    driver.SetCommTimeouts(h, COMMTIMEOUTS{0, 0, 0, 0, 0});
    driver.SetCommMask(h, EV_RXCHAR | EV_ERR);
    TEvent readDone, waitDone, never;
    TOverlapped read, wait;
    read.hEvent = &readDone;
    wait.hEvent = &waitDone;
    char buf[8];
    DWORD n = 0, mask = 0;
    driver.ReadFile(h, buf, sizeof buf, &n, &read);
    driver.WaitCommEvent(h, &mask, &wait);
    stream.HangUp();
    WaitForSingleObject(readDone, 5000);
    WaitForSingleObject(waitDone, 5000);
    const double before = ProcessCpuSeconds();
    WaitForSingleObject(never, 1000);
    const double used = ProcessCpuSeconds() - before;
    driver.CloseHandle(h);
    return used;
}

#ifdef DUD_HAVE_QSERIALPORT
double QtCpuAfterHangUp() {
    TStream stream;
    QSerialPort port;
    port.setPortName(QString::fromStdString(stream.Path));
    if (!port.open(QIODevice::ReadWrite))
        return 0;
    stream.HangUp();
    const double before = ProcessCpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(1000, &loop, &QEventLoop::quit);
    loop.exec();
    return ProcessCpuSeconds() - before;
}
#endif

long Switches(int Tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(Tid) + "/status");
    long total = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
            line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
            total += std::atol(line.substr(line.find(':') + 1).c_str());
    return total;
}

void IdleWakeups() {
    TStream stream;
    TPosixComDriver driver;
    const HANDLE h = driver.CreateFile(stream.Path);
    DCB dcb;
    dcb.BaudRate = 4800;
    dcb.ByteSize = 8;
    dcb.Flags = DCB_BINARY;
    driver.SetCommState(h, dcb);
    driver.SetCommTimeouts(h, COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0});
    driver.SetCommMask(h, EV_RXCHAR | EV_TXEMPTY | EV_ERR | EV_BREAK | EV_CTS | EV_DSR | EV_RLSD | EV_RING |
                              EV_RXFLAG | EV_RX80FULL);
    TEvent event;
    TOverlapped ov;
    ov.hEvent = &event;
    DWORD mask = 0;
    driver.WaitCommEvent(h, &mask, &ov); // pending, as the port's event thread keeps it
    const std::vector<int> tids = driver.ThreadIds(h);
    TEvent never;
    WaitForSingleObject(never, 200); // let the threads reach their first sleep before counting
    long before = 0, after = 0;
    for (int tid : tids)
        before += Switches(tid);
    WaitForSingleObject(never, 5000);
    for (int tid : tids)
        after += Switches(tid);
    driver.CloseHandle(h);
    std::printf("idle wake-ups of the driver's %zu thread(s) over 5 s: %ld (target 0)\n", tids.size(),
                after - before);
}

} // namespace

int main(int argc, char **argv) {
#ifdef DUD_HAVE_QSERIALPORT
    QCoreApplication app(argc, argv);
#endif
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const std::size_t total = mib << 20;
    // The machine is shared: alternate the two readers and keep each one's best round.
    double driver = 0, qt = 0;
    for (int round = 0; round < 3; ++round) {
        driver = std::max(driver, DriverThroughput(total));
#ifdef DUD_HAVE_QSERIALPORT
        qt = std::max(qt, QtThroughput(total));
#endif
    }
    std::printf("%zu MiB through a pseudo-terminal, best of 3 rounds\n", mib);
    std::printf("  TPosixComDriver ReadFile: %8.1f MiB/s\n", driver / (1 << 20));
#ifdef DUD_HAVE_QSERIALPORT
    std::printf("  QSerialPort readAll:      %8.1f MiB/s\n", qt / (1 << 20));
    if (qt > 0)
        std::printf("  ratio driver / QSerialPort: %.2f\n", driver / qt);
#else
    (void)qt;
    std::printf("  (QSerialPort not available: no ratio)\n");
#endif
    const double driverCpu = DriverCpuAfterHangUp();
    std::printf("CPU time over 1 s after the far end hung up\n");
    std::printf("  TPosixComDriver, read and event wait pending: %7.2f ms\n", driverCpu * 1000);
#ifdef DUD_HAVE_QSERIALPORT
    const double qtCpu = QtCpuAfterHangUp();
    std::printf("  QSerialPort, event loop running:              %7.2f ms\n", qtCpu * 1000);
    if (qtCpu > 0)
        std::printf("  ratio driver / QSerialPort: %.2f\n", driverCpu / qtCpu);
#endif
    IdleWakeups();
    return 0;
}
