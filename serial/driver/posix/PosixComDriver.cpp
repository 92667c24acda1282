// The POSIX serial driver. This file isolates the code that uses the kernel's termios2 declarations
// (<asm/termbits.h>), which clash with the C library's <termios.h>: nothing here may include the
// latter, so the few termios calls we need (tcflush, tcgetattr) are made as ioctls.
#include "serial/driver/posix/PosixComDriver.h"

#include "base/Fd.h"
#include "serial/driver/posix/PosixEvent.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace ComApi {

namespace {

using TClock = std::chrono::steady_clock;
using TMs = std::chrono::milliseconds;

constexpr std::size_t MinQueue = 4096;
constexpr std::size_t MaxQueue = 16u << 20; // a caller's -1 (4 GiB) must not allocate that much
constexpr int WakeSignal = SIGURG;

bool Fail(DWORD Error) {
    SetLastError(Error);
    return false;
}

void OnWakeSignal(int) {} // exists only so that a blocking ioctl returns EINTR

void InstallWakeSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = OnWakeSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: the interrupted TIOCMIWAIT must return
        ::sigaction(WakeSignal, &action, nullptr);
    });
}

// Starts a thread with every signal blocked, so that signals meant for the process never land in the
// driver's threads; the modem helper unblocks its wake-up signal itself.
template <class F> std::thread StartQuiet(F &&Body) {
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    struct TRestore {
        sigset_t *Old;
        ~TRestore() { ::pthread_sigmask(SIG_SETMASK, Old, nullptr); }
    } restore{&old};
    return std::thread(std::forward<F>(Body));
}

std::uint64_t Product(DWORD A, DWORD B) {
    return std::uint64_t(A) * B;
}

bool NoModemSupport(int Error) {
    return Error == ENOTTY || Error == EINVAL;
}

void StartOverlapped(TOverlapped *Ov) {
    Ov->InternalHigh = 0;
    Ov->Internal = ERROR_IO_PENDING;
    if (Ov->hEvent)
        Ov->hEvent->Reset();
}

// The record belongs to the caller again once its event is set: nothing may touch it afterwards.
void EndOverlapped(TOverlapped *Ov, DWORD Error, DWORD Bytes) {
    Ov->InternalHigh = Bytes;
    Ov->Internal = Error;
    if (Ov->hEvent)
        Ov->hEvent->Set();
}

bool ImmediateRead(const COMMTIMEOUTS &T) {
    return T.ReadIntervalTimeout == MAXDWORD && T.ReadTotalTimeoutMultiplier == 0 &&
           T.ReadTotalTimeoutConstant == 0;
}

// Pseudo-terminals (Unix 98 slaves, majors 136-143, and the old BSD ones, major 3) see no parity or
// framing errors and no breaks, so they go without PARMRK: with it the kernel takes its
// character-by-character input path, which costs a streaming reader nine tenths of its speed.
bool IsPseudoTerminal(int Fd) {
    struct stat st {};
    if (::fstat(Fd, &st) < 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned kind = major(st.st_rdev);
    return (kind >= 136 && kind <= 143) || kind == 3;
}

bool FirstBytesRead(const COMMTIMEOUTS &T) {
    return T.ReadIntervalTimeout == MAXDWORD && T.ReadTotalTimeoutMultiplier == MAXDWORD &&
           T.ReadTotalTimeoutConstant != 0 && T.ReadTotalTimeoutConstant != MAXDWORD;
}

} // namespace

// ---- A thread stopped by a signal

void TInterruptibleThread::Start(std::function<void()> Body) {
    InstallWakeSignal();
    FStop = false;
    std::unique_lock lock(FMutex);
    FRunning = true;
    FTid = 0;
    try {
        FThread = StartQuiet([this, Body = std::move(Body)] {
            {
                std::lock_guard started(FMutex);
                FTid = ::gettid();
                FChanged.notify_all();
            }
            sigset_t wake;
            sigemptyset(&wake);
            sigaddset(&wake, WakeSignal);
            ::pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
            Body();
            std::lock_guard ended(FMutex);
            FRunning = false;
            FChanged.notify_all();
        });
    } catch (...) {
        FRunning = false;
        throw;
    }
    FChanged.wait(lock, [this] { return FTid != 0; });
}

void TInterruptibleThread::Stop() {
    if (!FThread.joinable())
        return;
    FStop = true;
    std::unique_lock lock(FMutex);
    // The signal may land just before the body enters its blocking call, which then sleeps on; so
    // resend it, with growing pauses, until the body has returned. This runs only when stopping.
    for (int pause = 1; FRunning; pause = std::min(pause * 2, 100)) {
        ::pthread_kill(FThread.native_handle(), WakeSignal);
        FChanged.wait_for(lock, TMs(pause), [this] { return !FRunning; });
    }
    lock.unlock();
    FThread.join();
}

bool TInterruptibleThread::Running() const {
    std::lock_guard lock(FMutex);
    return FRunning;
}

int TInterruptibleThread::Tid() const {
    std::lock_guard lock(FMutex);
    return FTid;
}

// ---- PARMRK decoding

void TParmrkDecoder::Decode(std::string_view Input, TSink &Sink) {
    while (!Input.empty()) {
        if (FState == sData) {
            const std::size_t mark = Input.find('\377');
            if (mark != 0)
                Sink.Data(Input.substr(0, mark));
            if (mark == std::string_view::npos)
                return;
            Input.remove_prefix(mark + 1);
            FState = sEscape;
            continue;
        }
        const auto c = static_cast<std::uint8_t>(Input.front());
        Input.remove_prefix(1);
        if (FState == sEscape) {
            if (c == 0xFF) {
                Sink.Data("\377");
                FState = sData;
            } else if (c == 0) {
                FState = sMarked;
            } else {
                // Cannot happen with PARMRK; pass both bytes on rather than lose one.
                Sink.Data("\377");
                Sink.Data(std::string_view(reinterpret_cast<const char *>(&c), 1));
                FState = sData;
            }
        } else { // sMarked
            if (c == 0)
                Sink.Break();
            else
                Sink.ErrorByte(c);
            FState = sData;
        }
    }
}

// ---- DCB to termios2

bool DcbToLineFlags(const DCB &Dcb, TLineFlags &Flags) {
    if (Dcb.BaudRate == 0 || Dcb.ByteSize < 5 || Dcb.ByteSize > 8 || Dcb.Parity > SPACEPARITY ||
        Dcb.StopBits > TWOSTOPBITS)
        return false;
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    Flags = TLineFlags{};
    Flags.Cflag = BOTHER | sizes[Dcb.ByteSize - 5]; // BOTHER: the rate as a number, any rate
    Flags.Speed = Dcb.BaudRate;
    // CSTOPB gives 1.5 stop bits with 5 data bits and 2 otherwise: the nearest to either request.
    if (Dcb.StopBits != ONESTOPBIT)
        Flags.Cflag |= CSTOPB;
    if (Dcb.Parity != NOPARITY)
        Flags.Cflag |= PARENB;
    if (Dcb.Parity == ODDPARITY || Dcb.Parity == MARKPARITY)
        Flags.Cflag |= PARODD;
    if (Dcb.Parity == MARKPARITY || Dcb.Parity == SPACEPARITY)
        Flags.Cflag |= CMSPAR;
    const DWORD rts = (Dcb.Flags & DCB_RTS_CONTROL_MASK) >> DCB_RTS_CONTROL_SHIFT;
    if ((Dcb.Flags & DCB_OUTX_CTS_FLOW) || rts == 2)
        Flags.Cflag |= CRTSCTS; // Linux has one switch for both directions
    if (Dcb.Flags & DCB_OUTX)
        Flags.Iflag |= IXON;
    if (Dcb.Flags & DCB_INX)
        Flags.Iflag |= IXOFF;
    Flags.Start = static_cast<std::uint8_t>(Dcb.XonChar);
    Flags.Stop = static_cast<std::uint8_t>(Dcb.XoffChar);
    return true;
}

// ---- The device

class TPosixComDriver::TDevice : private TParmrkDecoder::TSink {
public:
    TDevice(TFd Fd, bool Marked) : FFd(std::move(Fd)), FMarked(Marked) {}
    ~TDevice() override { Close(); }

    void Start();
    void Close();
    std::vector<int> ThreadIds();

    bool SetupComm(DWORD InQueue);
    bool SetCommState(const DCB &Dcb);
    bool SetCommTimeouts(const COMMTIMEOUTS &Timeouts);
    bool ClearCommError(DWORD *Errors, COMSTAT *Stat);
    bool GetCommModemStatus(DWORD *ModemStat);
    bool PurgeComm(DWORD Flags);
    bool ReadFile(void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Ov);
    bool WriteFile(const void *Buffer, DWORD Count, DWORD *Written, TOverlapped *Ov);
    bool SetCommMask(DWORD Mask);
    bool WaitCommEvent(DWORD *Mask, TOverlapped *Ov);
    void Settle() { std::lock_guard lock(FMutex); }

private:
    struct TRead {
        char *Buffer;
        DWORD Count;
        DWORD Done;
        bool FirstBytesEnd;
        DWORD Interval; // 0: none
        TClock::time_point Total, Gap;
        TOverlapped *Ov;
    };
    struct TWrite {
        std::vector<char> Bytes;
        std::size_t Done;
        DWORD Count; // the caller's count, reported for a write ended early
        TClock::time_point Deadline;
        TOverlapped *Ov;
    };

    // TParmrkDecoder::TSink: decoded input lands here (FMutex held).
    void Data(std::string_view Run) override;
    void Break() override;
    void ErrorByte(std::uint8_t Value) override;

    void Run();
    void RunModemHelper();
    void ModemChanged();
    void Report(DWORD Events);
    void Wake() { FControl.Set(); }
    short TtyEvents() const;
    int NextTimeout(TClock::time_point Now) const;
    void ReadTty(TClock::time_point Now);
    void WriteTty(TClock::time_point Now);
    bool WriteSome(TWrite &Write);
    void ServeReads(TClock::time_point Now);
    void Expire(TClock::time_point Now);
    void CheckDrain(TClock::time_point Now);
    void WritesDone(TClock::time_point Now);
    void HangUp();
    void EndReads(DWORD Error);
    void EndWrites(DWORD Error);
    void EndWait(DWORD Error);
    void CountErrors();
    std::size_t Take(char *To, std::size_t Max);
    void Put(const char *From, std::size_t Count);
    void Resize(std::size_t Capacity);

    TFd FFd;
    TEvent FControl;
    std::mutex FMutex;
    std::condition_variable FStarted;
    std::thread FThread;
    int FThreadTid = 0;
    TInterruptibleThread FModem;

    bool FStopping = false, FClosed = false, FHungUp = false;
    DCB FDcb;
    COMMTIMEOUTS FTimeouts;
    DWORD FErrors = 0, FMask = 0, FRemembered = 0;
    DWORD *FWaitMask = nullptr;
    TOverlapped *FWaitOv = nullptr;
    std::deque<TRead> FReads;
    std::deque<TWrite> FWrites;
    bool FTxCheck = false;
    TClock::time_point FDrainAt;

    std::vector<char> FQueue = std::vector<char>(MinQueue);
    std::size_t FHead = 0, FCount = 0;
    TParmrkDecoder FDecoder;
    const bool FMarked;   // PARMRK is on: the input carries markers to decode
    bool FRxFlag = false; // set by the sink while decoding one batch

    bool FHasCounters = true, FHasModem = false;
    serial_icounter_struct FCounters{};
    int FParityErrors = 0, FFrameErrors = 0; // counted by the kernel, not yet matched to a marker
    int FModemBits = 0;
};

// -- Input queue (a ring; FMutex held)

std::size_t TPosixComDriver::TDevice::Take(char *To, std::size_t Max) {
    const std::size_t n = std::min(Max, FCount);
    const std::size_t first = std::min(n, FQueue.size() - FHead);
    std::memcpy(To, FQueue.data() + FHead, first);
    std::memcpy(To + first, FQueue.data(), n - first);
    FHead = (FHead + n) % FQueue.size();
    FCount -= n;
    return n;
}

void TPosixComDriver::TDevice::Put(const char *From, std::size_t Count) {
    const std::size_t tail = (FHead + FCount) % FQueue.size();
    const std::size_t first = std::min(Count, FQueue.size() - tail);
    std::memcpy(FQueue.data() + tail, From, first);
    std::memcpy(FQueue.data(), From + first, Count - first);
    FCount += Count;
}

void TPosixComDriver::TDevice::Resize(std::size_t Capacity) {
    Capacity = std::max(Capacity, FCount); // never drop what is queued
    std::vector<char> queue(Capacity);
    const std::size_t count = FCount;
    Take(queue.data(), count);
    FQueue = std::move(queue);
    FHead = 0;
    FCount = count;
}

// -- Decoded input

void TPosixComDriver::TDevice::Data(std::string_view Run) {
    const bool discardNull = FDcb.Flags & DCB_NULL;
    while (!Run.empty()) {
        std::size_t n = discardNull ? std::min(Run.find('\0'), Run.size()) : Run.size();
        if (std::memchr(Run.data(), FDcb.EvtChar, n))
            FRxFlag = true;
        Put(Run.data(), n);
        Run.remove_prefix(std::min(n + 1, Run.size())); // skips the NUL that ended the run, if any
    }
}

void TPosixComDriver::TDevice::Break() {
    FErrors |= CE_BREAK;
    Report(EV_BREAK | EV_ERR);
}

void TPosixComDriver::TDevice::ErrorByte(std::uint8_t Value) {
    bool parity;
    if (FHasCounters && FParityErrors + FFrameErrors > 0) {
        parity = FParityErrors > 0;
        --(parity ? FParityErrors : FFrameErrors);
    } else {
        // No counters to ask: with parity checking asked for, a parity error is the likelier cause.
        parity = FDcb.Flags & DCB_PARITY;
    }
    if (parity && !(FDcb.Flags & DCB_PARITY)) {
        Data(std::string_view(reinterpret_cast<const char *>(&Value), 1)); // not checked: just data
        return;
    }
    FErrors |= parity ? CE_RXPARITY : CE_FRAME;
    Report(EV_ERR);
    if (parity && (FDcb.Flags & DCB_ERROR_CHAR))
        Value = static_cast<std::uint8_t>(FDcb.ErrorChar);
    Data(std::string_view(reinterpret_cast<const char *>(&Value), 1));
}

void TPosixComDriver::TDevice::CountErrors() {
    if (!FHasCounters)
        return;
    serial_icounter_struct now{};
    if (::ioctl(FFd.Get(), TIOCGICOUNT, &now) < 0) {
        FHasCounters = false; // pseudo-terminals and some USB adapters keep no counters
        return;
    }
    FParityErrors = now.parity - FCounters.parity;
    FFrameErrors = now.frame - FCounters.frame;
    if (now.overrun != FCounters.overrun || now.buf_overrun != FCounters.buf_overrun) {
        FErrors |= CE_OVERRUN;
        Report(EV_ERR);
    }
    FCounters = now;
}

// -- Events

void TPosixComDriver::TDevice::Report(DWORD Events) {
    Events &= FMask;
    if (Events == 0)
        return;
    if (FWaitOv) {
        *FWaitMask = Events;
        FWaitMask = nullptr;
        EndOverlapped(std::exchange(FWaitOv, nullptr), 0, 0);
    } else {
        FRemembered |= Events;
    }
}

void TPosixComDriver::TDevice::EndReads(DWORD Error) {
    for (TRead &read : FReads)
        EndOverlapped(read.Ov, Error, read.Done);
    FReads.clear();
}

void TPosixComDriver::TDevice::EndWrites(DWORD Error) {
    for (TWrite &write : FWrites)
        EndOverlapped(write.Ov, Error, static_cast<DWORD>(write.Done));
    FWrites.clear();
}

void TPosixComDriver::TDevice::EndWait(DWORD Error) {
    if (FWaitOv) {
        FWaitMask = nullptr;
        EndOverlapped(std::exchange(FWaitOv, nullptr), Error, 0);
    }
}

// -- Threads

void TPosixComDriver::TDevice::Start() {
    int bits = 0;
    FHasModem = ::ioctl(FFd.Get(), TIOCMGET, &bits) == 0;
    FModemBits = bits;
    if (::ioctl(FFd.Get(), TIOCGICOUNT, &FCounters) < 0)
        FHasCounters = false;
    {
        std::unique_lock lock(FMutex);
        FThread = StartQuiet([this] { Run(); });
        FStarted.wait(lock, [this] { return FThreadTid != 0; });
    }
    if (FHasModem)
        FModem.Start([this] { RunModemHelper(); });
}

void TPosixComDriver::TDevice::Close() {
    {
        std::lock_guard lock(FMutex);
        if (FClosed)
            return;
        FClosed = FStopping = true;
        EndReads(ECANCELED);
        EndWrites(ECANCELED);
        EndWait(ECANCELED);
    }
    Wake();
    if (FThread.joinable())
        FThread.join();
    FModem.Stop();
    ::ioctl(FFd.Get(), TIOCNXCL); // the exclusive flag would outlive us while another holder keeps it open
    FFd.Close();                  // also releases the flock
}

std::vector<int> TPosixComDriver::TDevice::ThreadIds() {
    std::lock_guard lock(FMutex);
    std::vector<int> ids;
    if (FThreadTid)
        ids.push_back(FThreadTid);
    if (FModem.Running())
        ids.push_back(FModem.Tid());
    return ids;
}

short TPosixComDriver::TDevice::TtyEvents() const {
    short events = 0;
    if (FCount < FQueue.size())
        events |= POLLIN; // a full queue stops reading: the kernel's flow control then holds the sender
    if (!FWrites.empty())
        events |= POLLOUT;
    return events;
}

int TPosixComDriver::TDevice::NextTimeout(TClock::time_point Now) const {
    auto next = TClock::time_point::max();
    for (const TRead &read : FReads)
        next = std::min({next, read.Total, read.Gap});
    for (const TWrite &write : FWrites)
        next = std::min(next, write.Deadline);
    if (FTxCheck)
        next = std::min(next, FDrainAt);
    if (next == TClock::time_point::max())
        return -1; // nothing is timed: sleep until the line or a caller wakes us
    if (next <= Now)
        return 0;
    const auto ms = std::chrono::ceil<TMs>(next - Now).count();
    return static_cast<int>(std::min<long long>(ms, 0x7fffffff));
}

void TPosixComDriver::TDevice::Run() {
    std::unique_lock lock(FMutex);
    FThreadTid = ::gettid();
    FStarted.notify_all();
    while (!FStopping) {
        pollfd fds[2] = {{TEventNative::Fd(FControl), POLLIN, 0}, {FHungUp ? -1 : FFd.Get(), TtyEvents(), 0}};
        const int timeout = NextTimeout(TClock::now());
        lock.unlock();
        const int n = ::poll(fds, 2, timeout);
        lock.lock();
        if (n < 0 && errno != EINTR)
            break; // cannot happen with two live descriptors; leaving beats spinning
        if (fds[0].revents & POLLIN)
            FControl.Reset();
        if (FStopping)
            break;
        const auto now = TClock::now();
        const short tty = fds[1].revents;
        if (tty & (POLLIN | POLLHUP | POLLERR))
            ReadTty(now); // also drains what was received before a hang-up
        if (tty & POLLOUT)
            WriteTty(now);
        if (tty & (POLLHUP | POLLERR | POLLNVAL))
            HangUp();
        Expire(now);
        ServeReads(now); // a read that ended early may have left the next one bytes to take
        CheckDrain(now);
    }
}

void TPosixComDriver::TDevice::RunModemHelper() {
    while (!FModem.Stopping()) {
        if (::ioctl(FFd.Get(), TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD) < 0) {
            if (errno == EINTR)
                continue; // woken to stop, or by chance: the loop condition tells
            return;       // not supported (cdc-acm and friends), or the device is gone
        }
        std::lock_guard lock(FMutex);
        ModemChanged();
    }
}

void TPosixComDriver::TDevice::ModemChanged() {
    int bits = 0;
    if (::ioctl(FFd.Get(), TIOCMGET, &bits) < 0)
        return;
    serial_icounter_struct now{};
    const bool counted = ::ioctl(FFd.Get(), TIOCGICOUNT, &now) == 0;
    const int changed = bits ^ FModemBits;
    DWORD events = 0;
    // A counter catches a pulse that is over before we read the lines.
    if ((changed & TIOCM_CTS) || (counted && now.cts != FCounters.cts))
        events |= EV_CTS;
    if ((changed & TIOCM_DSR) || (counted && now.dsr != FCounters.dsr))
        events |= EV_DSR;
    if ((changed & TIOCM_CD) || (counted && now.dcd != FCounters.dcd))
        events |= EV_RLSD;
    if ((changed & bits & TIOCM_RNG) || (counted && now.rng != FCounters.rng))
        events |= EV_RING;
    if (counted) {
        FCounters.cts = now.cts;
        FCounters.dsr = now.dsr;
        FCounters.dcd = now.dcd;
        FCounters.rng = now.rng;
    }
    FModemBits = bits;
    Report(events);
}

// -- Driver thread work (FMutex held)

void TPosixComDriver::TDevice::ReadTty(TClock::time_point Now) {
    char raw[16384];
    bool received = false;
    const std::size_t before = FCount;
    FRxFlag = false;
    while (FCount < FQueue.size()) {
        // Decoding never grows the input, so what fits raw fits decoded.
        const ssize_t n = ::read(FFd.Get(), raw, std::min(sizeof raw, FQueue.size() - FCount));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // empty (0 with VMIN = VTIME = 0, or EAGAIN), or gone: poll tells which
        if (!received)
            CountErrors();
        received = true;
        const std::string_view input(raw, static_cast<std::size_t>(n));
        if (FMarked)
            FDecoder.Decode(input, *this);
        else
            Data(input);
    }
    if (FCount > before) {
        const std::size_t limit = FQueue.size() * 8 / 10;
        Report(EV_RXCHAR | (FRxFlag ? EV_RXFLAG : 0) | (before < limit && FCount >= limit ? EV_RX80FULL : 0));
    }
    ServeReads(Now);
}

void TPosixComDriver::TDevice::ServeReads(TClock::time_point Now) {
    while (!FReads.empty() && FCount > 0) {
        TRead &read = FReads.front();
        const std::size_t n = Take(read.Buffer + read.Done, read.Count - read.Done);
        read.Done += static_cast<DWORD>(n);
        if (read.Interval)
            read.Gap = Now + TMs(read.Interval);
        if (read.Done < read.Count && !read.FirstBytesEnd)
            break;
        EndOverlapped(read.Ov, 0, read.Done);
        FReads.pop_front();
    }
}

bool TPosixComDriver::TDevice::WriteSome(TWrite &Write) {
    while (Write.Done < Write.Bytes.size()) {
        const ssize_t n =
            ::write(FFd.Get(), Write.Bytes.data() + Write.Done, Write.Bytes.size() - Write.Done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN; // EIO: the device is gone; the caller ends the write
        Write.Done += static_cast<std::size_t>(n);
    }
    return true;
}

void TPosixComDriver::TDevice::WriteTty(TClock::time_point Now) {
    while (!FWrites.empty()) {
        TWrite &write = FWrites.front();
        if (!WriteSome(write)) {
            HangUp();
            return;
        }
        if (write.Done < write.Bytes.size())
            return;
        EndOverlapped(write.Ov, 0, write.Count);
        FWrites.pop_front();
    }
    WritesDone(Now);
}

void TPosixComDriver::TDevice::WritesDone(TClock::time_point Now) {
    FTxCheck = true;
    FDrainAt = Now;
}

void TPosixComDriver::TDevice::CheckDrain(TClock::time_point Now) {
    if (!FTxCheck || !FWrites.empty() || Now < FDrainAt)
        return;
    int queued = 0;
    if (::ioctl(FFd.Get(), TIOCOUTQ, &queued) < 0 || queued <= 0 || FHungUp) {
        FTxCheck = false;
        if (!FHungUp)
            Report(EV_TXEMPTY);
        return;
    }
    // Look again when the bytes should be out at this rate (10 bits a byte), within sane bounds:
    // a line held by flow control is checked at most ten times a second.
    const DWORD rate = std::max<DWORD>(FDcb.BaudRate, 50);
    const auto ms = std::clamp<long long>(std::int64_t(queued) * 10000 / rate, 1, 100);
    FDrainAt = Now + TMs(ms);
}

void TPosixComDriver::TDevice::Expire(TClock::time_point Now) {
    for (auto it = FReads.begin(); it != FReads.end();) {
        if (std::min(it->Total, it->Gap) <= Now) {
            EndOverlapped(it->Ov, 0, it->Done); // a time-out is a success with what has come
            it = FReads.erase(it);
        } else {
            ++it;
        }
    }
    bool ended = false;
    for (auto it = FWrites.begin(); it != FWrites.end();) {
        if (it->Deadline <= Now) {
            EndOverlapped(it->Ov, 0, static_cast<DWORD>(it->Done));
            it = FWrites.erase(it);
            ended = true;
        } else {
            ++it;
        }
    }
    if (ended && FWrites.empty())
        WritesDone(Now);
}

void TPosixComDriver::TDevice::HangUp() {
    if (FHungUp)
        return;
    FHungUp = true;
    FErrors |= CE_IOE;
    EndReads(EIO);
    EndWrites(EIO);
    FTxCheck = false;
    Report(EV_ERR); // the port hears of it through its error event, if it listens for errors
    EndWait(EIO);
}

// -- Operations (each takes FMutex; Close has not run when they start, the caller checked)

bool TPosixComDriver::TDevice::SetupComm(DWORD InQueue) {
    std::lock_guard lock(FMutex);
    if (FClosed)
        return Fail(EBADF);
    if (FHungUp)
        return Fail(EIO);
    Resize(std::clamp<std::size_t>(InQueue, MinQueue, MaxQueue));
    Wake(); // room may have appeared for a reader held back by a full queue
    return true;
}

bool TPosixComDriver::TDevice::SetCommState(const DCB &Dcb) {
    std::lock_guard lock(FMutex);
    if (FClosed)
        return Fail(EBADF);
    if (FHungUp)
        return Fail(EIO);
    TLineFlags flags;
    if (!DcbToLineFlags(Dcb, flags))
        return Fail(EINVAL);
    termios2 tio{};
    if (::ioctl(FFd.Get(), TCGETS2, &tio) < 0)
        return Fail(errno);
    tio.c_cflag = (tio.c_cflag & ~(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS)) |
                  flags.Cflag | CREAD | CLOCAL | HUPCL;
    tio.c_iflag = (tio.c_iflag & ~(IXON | IXOFF | IXANY)) | flags.Iflag;
    tio.c_ispeed = tio.c_ospeed = flags.Speed;
    tio.c_cc[VSTART] = flags.Start;
    tio.c_cc[VSTOP] = flags.Stop;
    if (::ioctl(FFd.Get(), TCSETS2, &tio) < 0)
        return Fail(errno);
    const DWORD dtr = (Dcb.Flags & DCB_DTR_CONTROL_MASK) >> DCB_DTR_CONTROL_SHIFT;
    const DWORD rts = (Dcb.Flags & DCB_RTS_CONTROL_MASK) >> DCB_RTS_CONTROL_SHIFT;
    int dtrBit = TIOCM_DTR, rtsBit = TIOCM_RTS;
    // Pseudo-terminals have no modem lines to set: ENOTTY or EINVAL there is not a failure.
    if (::ioctl(FFd.Get(), dtr == 0 ? TIOCMBIC : TIOCMBIS, &dtrBit) < 0 && !NoModemSupport(errno))
        return Fail(errno);
    if (::ioctl(FFd.Get(), rts == 0 ? TIOCMBIC : TIOCMBIS, &rtsBit) < 0 && !NoModemSupport(errno))
        return Fail(errno);
    FDcb = Dcb;
    return true;
}

bool TPosixComDriver::TDevice::SetCommTimeouts(const COMMTIMEOUTS &Timeouts) {
    std::lock_guard lock(FMutex);
    if (FClosed)
        return Fail(EBADF);
    if (FHungUp)
        return Fail(EIO);
    FTimeouts = Timeouts; // pending operations keep the deadlines they started with
    return true;
}

bool TPosixComDriver::TDevice::ClearCommError(DWORD *Errors, COMSTAT *Stat) {
    std::lock_guard lock(FMutex);
    if (FClosed)
        return Fail(EBADF);
    if (!FHungUp)
        CountErrors();
    if (Errors)
        *Errors = FErrors;
    FErrors = 0;
    if (Stat) {
        Stat->cbInQue = static_cast<DWORD>(FCount);
        DWORD out = 0;
        for (const TWrite &write : FWrites)
            out += static_cast<DWORD>(write.Bytes.size() - write.Done);
        int queued = 0;
        if (!FHungUp && ::ioctl(FFd.Get(), TIOCOUTQ, &queued) == 0 && queued > 0)
            out += static_cast<DWORD>(queued);
        Stat->cbOutQue = out;
    }
    return true;
}

bool TPosixComDriver::TDevice::GetCommModemStatus(DWORD *ModemStat) {
    std::lock_guard lock(FMutex);
    if (FClosed)
        return Fail(EBADF);
    if (FHungUp)
        return Fail(EIO);
    int bits = 0;
    if (::ioctl(FFd.Get(), TIOCMGET, &bits) < 0) {
        if (!NoModemSupport(errno))
            return Fail(errno);
        bits = 0; // a pseudo-terminal: every line off
    }
    DWORD stat = 0;
    if (bits & TIOCM_CTS)
        stat |= MS_CTS_ON;
    if (bits & TIOCM_DSR)
        stat |= MS_DSR_ON;
    if (bits & TIOCM_RNG)
        stat |= MS_RING_ON;
    if (bits & TIOCM_CD)
        stat |= MS_RLSD_ON;
    if (ModemStat)
        *ModemStat = stat;
    return true;
}

bool TPosixComDriver::TDevice::PurgeComm(DWORD Flags) {
    std::lock_guard lock(FMutex);
    if (FClosed)
        return Fail(EBADF);
    // Works after a hang-up too: closing a port whose adapter was pulled must still succeed.
    if (Flags & PURGE_RXABORT)
        EndReads(ECANCELED);
    if (Flags & PURGE_TXABORT)
        EndWrites(ECANCELED);
    if (Flags & (PURGE_RXABORT | PURGE_TXABORT))
        EndWait(ECANCELED);
    if ((Flags & PURGE_TXCLEAR) && !FHungUp)
        ::ioctl(FFd.Get(), TCFLSH, TCOFLUSH);
    if (Flags & PURGE_RXCLEAR) {
        if (!FHungUp)
            ::ioctl(FFd.Get(), TCFLSH, TCIFLUSH);
        const bool wasFull = FCount == FQueue.size();
        FHead = FCount = 0;
        FDecoder.Reset();
        if (wasFull)
            Wake();
    }
    return true;
}

bool TPosixComDriver::TDevice::ReadFile(void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Ov) {
    std::lock_guard lock(FMutex);
    if (FClosed)
        return Fail(EBADF);
    if (FHungUp && FCount == 0)
        return Fail(EIO);
    StartOverlapped(Ov);
    const auto now = TClock::now();
    const bool wasFull = FCount == FQueue.size();
    const COMMTIMEOUTS &t = FTimeouts;
    DWORD done = 0;
    if (FReads.empty()) { // bytes go to the oldest read first
        done = static_cast<DWORD>(Take(static_cast<char *>(Buffer), Count));
        if (done < Count && !FHungUp) {
            // Fetch what the kernel already holds on this thread: a streaming reader then need not
            // wait for the driver thread to wake, read and hand over.
            ReadTty(now);
            done += static_cast<DWORD>(Take(static_cast<char *>(Buffer) + done, Count - done));
        }
    }
    if (wasFull && done > 0)
        Wake();
    if (done == Count || ImmediateRead(t) || (done > 0 && FirstBytesRead(t)) || FHungUp) {
        EndOverlapped(Ov, 0, done);
        if (Read)
            *Read = done;
        return true;
    }
    TRead read{static_cast<char *>(Buffer), Count, done, FirstBytesRead(t), 0, TClock::time_point::max(),
               TClock::time_point::max(),   Ov};
    if (read.FirstBytesEnd) {
        read.Total = now + TMs(t.ReadTotalTimeoutConstant);
    } else {
        const std::uint64_t total = Product(t.ReadTotalTimeoutMultiplier, Count) + t.ReadTotalTimeoutConstant;
        if (total > 0)
            read.Total = now + TMs(total);
        if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD)
            read.Interval = t.ReadIntervalTimeout;
        if (read.Interval && done > 0)
            read.Gap = now + TMs(read.Interval);
    }
    const bool timed = read.Total != TClock::time_point::max() || read.Gap != TClock::time_point::max();
    FReads.push_back(read);
    if (timed)
        Wake(); // the driver thread must learn the new deadline
    if (Read)
        *Read = 0;
    return Fail(ERROR_IO_PENDING);
}

bool TPosixComDriver::TDevice::WriteFile(const void *Buffer, DWORD Count, DWORD *Written, TOverlapped *Ov) {
    std::lock_guard lock(FMutex);
    if (FClosed)
        return Fail(EBADF);
    if (FHungUp)
        return Fail(EIO);
    const auto now = TClock::now();
    const char *bytes = static_cast<const char *>(Buffer);
    TWrite write{{}, 0, Count, TClock::time_point::max(), Ov};
    if (FWrites.empty() && Count > 0) { // keep the order: only an idle line takes bytes at once
        write.Bytes.assign(bytes, bytes + Count);
        if (!WriteSome(write)) {
            HangUp(); // EIO: the device has gone before poll could say so
            return Fail(EIO);
        }
    }
    StartOverlapped(Ov);
    if (write.Done == Count) {
        EndOverlapped(Ov, 0, Count);
        if (Written)
            *Written = Count;
        if (Count > 0) {
            WritesDone(now);
            int queued = 0;
            if (::ioctl(FFd.Get(), TIOCOUTQ, &queued) < 0 || queued <= 0) {
                FTxCheck = false; // drained already (always so on a pseudo-terminal): no wake-up needed
                Report(EV_TXEMPTY);
            } else {
                Wake();
            }
        }
        return true;
    }
    if (write.Bytes.empty())
        write.Bytes.assign(bytes, bytes + Count);
    const std::uint64_t total =
        Product(FTimeouts.WriteTotalTimeoutMultiplier, Count) + FTimeouts.WriteTotalTimeoutConstant;
    if (total > 0)
        write.Deadline = now + TMs(total);
    FWrites.push_back(std::move(write));
    FTxCheck = false;
    Wake();
    if (Written)
        *Written = 0;
    return Fail(ERROR_IO_PENDING);
}

bool TPosixComDriver::TDevice::SetCommMask(DWORD Mask) {
    std::lock_guard lock(FMutex);
    if (FClosed)
        return Fail(EBADF);
    FMask = Mask;
    FRemembered = 0;
    if (FWaitOv) {
        *FWaitMask = 0;
        EndWait(0);
    }
    return true;
}

bool TPosixComDriver::TDevice::WaitCommEvent(DWORD *Mask, TOverlapped *Ov) {
    std::lock_guard lock(FMutex);
    if (FClosed)
        return Fail(EBADF);
    if (FWaitOv)
        return Fail(EINVAL); // one wait at a time, as on Windows
    if (FRemembered != 0) {
        StartOverlapped(Ov);
        *Mask = std::exchange(FRemembered, 0);
        EndOverlapped(Ov, 0, 0);
        return true;
    }
    if (FHungUp)
        return Fail(EIO);
    StartOverlapped(Ov);
    FWaitMask = Mask;
    FWaitOv = Ov;
    return Fail(ERROR_IO_PENDING);
}

// ---- The driver

TPosixComDriver::TPosixComDriver() = default;

TPosixComDriver::~TPosixComDriver() {
    std::map<HANDLE, std::shared_ptr<TDevice>> devices;
    {
        std::lock_guard lock(FMutex);
        devices.swap(FDevices);
    }
    for (auto &[handle, device] : devices)
        device->Close();
}

std::shared_ptr<TPosixComDriver::TDevice> TPosixComDriver::Find(HANDLE Handle) {
    std::lock_guard lock(FMutex);
    auto it = FDevices.find(Handle);
    if (it == FDevices.end()) {
        SetLastError(EBADF);
        return nullptr;
    }
    return it->second;
}

HANDLE TPosixComDriver::CreateFile(const std::string &Name) {
    const std::string path = !Name.empty() && Name.front() == '/' ? Name : "/dev/" + Name;
    try {
        TFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (fd.Get() < 0)
            return SetLastError(errno), INVALID_HANDLE_VALUE;
        termios2 tio{};
        if (::ioctl(fd.Get(), TCGETS2, &tio) < 0)
            return SetLastError(ENOTTY), INVALID_HANDLE_VALUE; // never read or write a plain file
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) < 0)
            return SetLastError(errno == EWOULDBLOCK ? EBUSY : errno), INVALID_HANDLE_VALUE;
        if (::ioctl(fd.Get(), TIOCEXCL) < 0)
            return SetLastError(errno), INVALID_HANDLE_VALUE;
        // Raw: no echo, no line editing, no signals, no output processing; markers for errors and
        // breaks in the data; the line settings come with SetCommState.
        const bool marked = !IsPseudoTerminal(fd.Get());
        tio.c_iflag = marked ? INPCK | PARMRK : 0;
        tio.c_oflag = 0;
        tio.c_lflag = 0;
        tio.c_cflag |= CREAD | CLOCAL;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (::ioctl(fd.Get(), TCSETS2, &tio) < 0)
            return SetLastError(errno), INVALID_HANDLE_VALUE;
        auto device = std::make_shared<TDevice>(std::move(fd), marked);
        device->Start();
        std::lock_guard lock(FMutex);
        const HANDLE handle = FNextHandle++;
        FDevices.emplace(handle, std::move(device));
        return handle;
    } catch (const std::system_error &e) { // no descriptor for an event, or no thread to be had
        SetLastError(static_cast<DWORD>(e.code().value()));
    } catch (const std::bad_alloc &) {
        SetLastError(ENOMEM);
    }
    return INVALID_HANDLE_VALUE;
}

bool TPosixComDriver::CloseHandle(HANDLE Handle) {
    std::shared_ptr<TDevice> device;
    {
        std::lock_guard lock(FMutex);
        auto it = FDevices.find(Handle);
        if (it == FDevices.end())
            return Fail(EBADF);
        device = std::move(it->second);
        FDevices.erase(it);
    }
    device->Close();
    return true;
}

bool TPosixComDriver::SetupComm(HANDLE Handle, DWORD InQueue, DWORD) {
    auto device = Find(Handle);
    return device && device->SetupComm(InQueue);
}

bool TPosixComDriver::SetCommState(HANDLE Handle, const DCB &Dcb) {
    auto device = Find(Handle);
    return device && device->SetCommState(Dcb);
}

bool TPosixComDriver::SetCommTimeouts(HANDLE Handle, const COMMTIMEOUTS &Timeouts) {
    auto device = Find(Handle);
    return device && device->SetCommTimeouts(Timeouts);
}

bool TPosixComDriver::ClearCommError(HANDLE Handle, DWORD *Errors, COMSTAT *Stat) {
    auto device = Find(Handle);
    return device && device->ClearCommError(Errors, Stat);
}

bool TPosixComDriver::GetCommModemStatus(HANDLE Handle, DWORD *ModemStat) {
    auto device = Find(Handle);
    return device && device->GetCommModemStatus(ModemStat);
}

bool TPosixComDriver::PurgeComm(HANDLE Handle, DWORD Flags) {
    auto device = Find(Handle);
    return device && device->PurgeComm(Flags);
}

bool TPosixComDriver::ReadFile(HANDLE Handle, void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Ov) {
    if (!Ov)
        return Fail(EINVAL);
    auto device = Find(Handle);
    return device && device->ReadFile(Buffer, Count, Read, Ov);
}

bool TPosixComDriver::WriteFile(HANDLE Handle, const void *Buffer, DWORD Count, DWORD *Written,
                                TOverlapped *Ov) {
    if (!Ov)
        return Fail(EINVAL);
    auto device = Find(Handle);
    return device && device->WriteFile(Buffer, Count, Written, Ov);
}

bool TPosixComDriver::GetOverlappedResult(HANDLE Handle, TOverlapped *Ov, DWORD *Transferred, bool Wait) {
    if (!Ov)
        return Fail(EINVAL);
    auto device = Find(Handle);
    if (!device)
        return false;
    if (Ov->Internal == ERROR_IO_PENDING) {
        if (!Wait)
            return Fail(ERROR_IO_INCOMPLETE);
        if (!Ov->hEvent)
            return Fail(EINVAL);
        if (WaitForSingleObject(*Ov->hEvent) != WAIT_OBJECT_0)
            return false;
    }
    // Operations end under the device's mutex, signalling the event last. Passing through the mutex
    // orders that signal before whatever the caller does next, such as closing the event; without it
    // only the kernel knows the order, and the thread sanitizer cannot see it.
    device->Settle();
    if (Transferred)
        *Transferred = Ov->InternalHigh;
    const DWORD error = Ov->Internal;
    return error == 0 || Fail(error);
}

bool TPosixComDriver::SetCommMask(HANDLE Handle, DWORD Mask) {
    auto device = Find(Handle);
    return device && device->SetCommMask(Mask);
}

bool TPosixComDriver::WaitCommEvent(HANDLE Handle, DWORD *Mask, TOverlapped *Ov) {
    if (!Ov || !Mask)
        return Fail(EINVAL);
    auto device = Find(Handle);
    return device && device->WaitCommEvent(Mask, Ov);
}

std::vector<int> TPosixComDriver::ThreadIds(HANDLE Handle) {
    auto device = Find(Handle);
    return device ? device->ThreadIds() : std::vector<int>{};
}

} // namespace ComApi
