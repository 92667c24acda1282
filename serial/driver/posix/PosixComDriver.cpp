// The POSIX serial driver. This file isolates the code that uses the kernel's termios2 declarations
// (<asm/termbits.h>), which clash with the C library's <termios.h>: nothing here may include the
// latter, so the few termios calls we need (tcflush, tcgetattr) are made as ioctls.
#include "serial/driver/posix/PosixComDriver.h"

#include "base/Fd.h"
#include "serial/driver/OverlappedDevice.h"
#include "serial/driver/posix/LineFlags.h"
#include "serial/driver/posix/ModemLines.h"
#include "serial/driver/posix/ParmrkDecoder.h"
#include "serial/driver/posix/PosixEvent.h"
#include "serial/driver/posix/QuietThread.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace ComApi {

namespace {

using TClock = TOverlappedDevice::TClock;
using TTime = TOverlappedDevice::TTime;
using TMs = std::chrono::milliseconds;

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

// Opens Path as an exclusive tty in raw mode; Marked tells whether its input carries PARMRK markers.
// An empty descriptor, with the last error set, on failure.
TFd OpenTty(const std::string &Path, bool &Marked) {
    TFd fd(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios2 tio{};
    if (!fd)
        return SetLastError(errno), TFd();
    if (::ioctl(fd.Get(), TCGETS2, &tio) < 0)
        return SetLastError(ENOTTY), TFd(); // never read or write a plain file
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) < 0)
        return SetLastError(errno == EWOULDBLOCK ? EBUSY : errno), TFd();
    if (::ioctl(fd.Get(), TIOCEXCL) < 0)
        return SetLastError(errno), TFd();
    // Raw: no echo, no line editing, no signals, no output processing; markers for errors and
    // breaks in the data; the line settings come with SetCommState.
    Marked = !IsPseudoTerminal(fd.Get());
    tio.c_iflag = Marked ? INPCK | PARMRK : 0;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::ioctl(fd.Get(), TCSETS2, &tio) < 0)
        return SetLastError(errno), TFd();
    return fd;
}

// Bytes the kernel still holds for sending; 0 when it cannot say (nothing to wait for then).
int OutputQueued(int Fd) {
    int queued = 0;
    return ::ioctl(Fd, TIOCOUTQ, &queued) == 0 && queued > 0 ? queued : 0;
}

} // namespace

// ---- The device

// While a WaitCommEvent is pending the device lends its tty to the wait's waiters (TEventSource):
// the thread that waits for the wait's event reads the line itself, and the driver thread leaves
// input alone unless a read is pending too.
class TPosixComDriver::TDevice : public TTableDevice,
                                 public TEventSource,
                                 public std::enable_shared_from_this<TDevice>,
                                 private TParmrkDecoder::TSink,
                                 private TOverlappedDevice::TLine {
public:
    TDevice(TFd Fd, bool Marked) : FFd(std::move(Fd)), FMarked(Marked) {}
    ~TDevice() override { Close(); }

    void Start();
    std::vector<int> ThreadIds();

    // TTableDevice
    void Close() override;
    bool SetupComm(DWORD InQueue) override;
    bool SetCommState(const DCB &Dcb) override;
    bool SetCommTimeouts(const COMMTIMEOUTS &Timeouts) override;
    bool ClearCommError(DWORD *Errors, COMSTAT *Stat) override;
    bool GetCommModemStatus(DWORD *ModemStat) override;
    bool PurgeComm(DWORD Flags) override;
    bool ReadFile(void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Ov) override;
    bool WriteFile(const void *Buffer, DWORD Count, DWORD *Written, TOverlapped *Ov) override;
    bool SetCommMask(DWORD Mask) override;
    bool WaitCommEvent(DWORD *Mask, TOverlapped *Ov) override;
    void Settle() override { std::lock_guard lock(FMutex); }

    // TEventSource: a waiter's poll found the tty ready.
    bool Serve(short Revents) override;

private:
    // TParmrkDecoder::TSink: decoded input lands here (FMutex held).
    void Data(std::string_view Run) override;
    void Break() override;
    void ErrorByte(std::uint8_t Value) override;

    // TOverlappedDevice::TLine (FMutex held).
    std::ptrdiff_t Send(const char *Bytes, std::size_t Count) override;
    void Fetch(TTime Now) override { ReadTty(Now); }
    void Changed() override { Wake(); }
    void WaitEnding() override { Lend(nullptr); }

    void Run();
    void Wake() { FControl.Set(); }
    short TtyEvents() const;
    int NextTimeout(TTime Now) const;
    void ReadTty(TTime Now);
    void WriteTty(TTime Now);
    void WritesDone(TTime Now);
    void CheckDrain(TTime Now);
    void HangUp();
    void CountErrors();
    // Lends the tty to the waits on Event (null: to no wait now; input stays the waiters' between
    // waits), or gives its input back to the driver thread.
    void Lend(TEvent *Event);
    void TakeInputBack();

    TFd FFd;
    TEvent FControl;
    std::mutex FMutex;
    std::condition_variable FStarted;
    std::thread FThread;
    int FThreadTid = 0;
    TModemWatch FModem;
    bool FStopping = false;
    TEvent *FLentTo = nullptr; // the pending wait's event, whose waiters read the tty
    bool FWaitersRead = false; // input is left to the waits' waiters, between waits too
    bool FPollsInput = false;  // the driver thread's poll watches the tty for input

    TOverlappedDevice FDevice;
    bool FTxCheck = false; // all written: look for the kernel's output queue to empty at FDrainAt
    bool FDrained = false; // the kernel's output queue was seen empty after the last write
    TTime FDrainAt;

    TParmrkDecoder FDecoder;
    const bool FMarked; // PARMRK is on: the input carries markers to decode
    bool FHasCounters = true;
    serial_icounter_struct FCounters{};
    int FParityErrors = 0, FFrameErrors = 0; // counted by the kernel, not yet matched to a marker
};

// -- Decoded input

void TPosixComDriver::TDevice::Data(std::string_view Run) {
    const bool discardNull = FDevice.Dcb().Flags & DCB_NULL;
    while (!Run.empty()) {
        const std::size_t n = discardNull ? std::min(Run.find('\0'), Run.size()) : Run.size();
        FDevice.Put(Run.substr(0, n));
        Run.remove_prefix(std::min(n + 1, Run.size())); // skips the NUL that ended the run, if any
    }
}

void TPosixComDriver::TDevice::Break() {
    FDevice.AddErrors(CE_BREAK);
    FDevice.Report(EV_BREAK | EV_ERR);
}

void TPosixComDriver::TDevice::ErrorByte(std::uint8_t Value) {
    const DCB &dcb = FDevice.Dcb();
    bool parity;
    if (FHasCounters && FParityErrors + FFrameErrors > 0) {
        parity = FParityErrors > 0;
        --(parity ? FParityErrors : FFrameErrors);
    } else {
        // No counters to ask: with parity checking asked for, a parity error is the likelier cause.
        parity = dcb.Flags & DCB_PARITY;
    }
    if (parity && !(dcb.Flags & DCB_PARITY)) {
        Data(std::string_view(reinterpret_cast<const char *>(&Value), 1)); // not checked: just data
        return;
    }
    FDevice.AddErrors(parity ? CE_RXPARITY : CE_FRAME);
    FDevice.Report(EV_ERR);
    if (parity && (dcb.Flags & DCB_ERROR_CHAR))
        Value = static_cast<std::uint8_t>(dcb.ErrorChar);
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
        FDevice.AddErrors(CE_OVERRUN);
        FDevice.Report(EV_ERR);
    }
    FCounters = now;
}

// -- Threads

void TPosixComDriver::TDevice::Start() {
    if (::ioctl(FFd.Get(), TIOCGICOUNT, &FCounters) < 0)
        FHasCounters = false;
    {
        std::unique_lock lock(FMutex);
        FThread = StartQuietThread([this] { Run(); });
        FStarted.wait(lock, [this] { return FThreadTid != 0; });
    }
    FModem.Start(FFd.Get(), [this](DWORD Events) {
        std::lock_guard lock(FMutex);
        FDevice.Report(Events);
    });
}

void TPosixComDriver::TDevice::Close() {
    {
        std::lock_guard lock(FMutex);
        if (FDevice.Closed())
            return;
        FStopping = true;
        FDevice.Close();
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
    // A full queue stops reading: the kernel's flow control then holds the sender. While input is
    // left to the waits' waiters they read it, unless a read is pending, which must not depend on
    // someone waiting for events.
    if (FDevice.Room() > 0 && (!FWaitersRead || FDevice.PendingReads() > 0))
        events |= POLLIN;
    if (FDevice.PendingWrites() > 0)
        events |= POLLOUT;
    return events;
}

int TPosixComDriver::TDevice::NextTimeout(TTime Now) const {
    auto next = FDevice.NextDeadline();
    if (FTxCheck && !FDevice.HungUp())
        next = std::min(next, FDrainAt);
    if (next == TTime::max())
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
        pollfd fds[2] = {{TEventNative::Fd(FControl), POLLIN, 0},
                         {FDevice.HungUp() ? -1 : FFd.Get(), TtyEvents(), 0}};
        FPollsInput = fds[1].events & POLLIN;
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
        if (FDevice.Expire(now))
            WritesDone(now);
        FDevice.ServeReads(now); // a read that ended early may have left the next one bytes to take
        CheckDrain(now);
    }
}

// -- Driver thread work (FMutex held)

void TPosixComDriver::TDevice::ReadTty(TTime Now) {
    char raw[16384];
    bool received = false;
    while (FDevice.Room() > 0) {
        // Decoding never grows the input, so what fits raw fits decoded.
        const std::size_t want = std::min(sizeof raw, FDevice.Room());
        const ssize_t n = ::read(FFd.Get(), raw, want);
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
        if (static_cast<std::size_t>(n) < want)
            break; // the kernel had no more: asking again would only say so
    }
    FDevice.EndBatch(Now);
}

std::ptrdiff_t TPosixComDriver::TDevice::Send(const char *Bytes, std::size_t Count) {
    for (;;) {
        const ssize_t n = ::write(FFd.Get(), Bytes, Count);
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return errno == EAGAIN ? 0 : -1; // EIO: the device is gone
    }
}

void TPosixComDriver::TDevice::WriteTty(TTime Now) {
    if (FDevice.SendPending(*this))
        WritesDone(Now);
    else if (FDevice.HungUp())
        HangUp();
}

void TPosixComDriver::TDevice::WritesDone(TTime Now) {
    FTxCheck = true;
    FDrained = false;
    FDrainAt = Now;
}

void TPosixComDriver::TDevice::CheckDrain(TTime Now) {
    if (!FTxCheck || FDevice.PendingWrites() > 0 || Now < FDrainAt)
        return;
    const int queued = FDevice.HungUp() ? 0 : OutputQueued(FFd.Get());
    if (queued == 0) {
        FTxCheck = false;
        FDrained = true;
        if (!FDevice.HungUp())
            FDevice.Report(EV_TXEMPTY);
        return;
    }
    // Look again when the bytes should be out at this rate (10 bits a byte), within sane bounds:
    // a line held by flow control is checked at most ten times a second.
    const DWORD rate = std::max<DWORD>(FDevice.Dcb().BaudRate, 50);
    const auto ms = std::clamp<long long>(std::int64_t(queued) * 10000 / rate, 1, 100);
    FDrainAt = Now + TMs(ms);
}

void TPosixComDriver::TDevice::HangUp() {
    FTxCheck = false;
    FDevice.HangUp();
}

void TPosixComDriver::TDevice::Lend(TEvent *Event) {
    if (FLentTo)
        TEventNative::Detach(*FLentTo);
    FLentTo = Event;
    if (Event) {
        TEventNative::Attach(*Event, FFd.Get(), weak_from_this());
        FWaitersRead = true;
    }
}

void TPosixComDriver::TDevice::TakeInputBack() {
    Lend(nullptr);
    FWaitersRead = false;
    if (!FPollsInput && FDevice.Room() > 0)
        Wake();
}

// -- Work on a waiter's thread (takes FMutex)

bool TPosixComDriver::TDevice::Serve(short Revents) {
    std::lock_guard lock(FMutex);
    if (!FLentTo)
        return false; // the wait ended (or the device closed) before we got the lock
    const auto now = TClock::now();
    if (Revents & (POLLIN | POLLHUP | POLLERR))
        ReadTty(now); // also drains what was received before a hang-up
    if (Revents & (POLLHUP | POLLERR))
        HangUp(); // ends the wait
    if (FLentTo && FDevice.Room() == 0) {
        TakeInputBack(); // full: the driver thread reads again once a read has made room
        return false;
    }
    return FLentTo != nullptr;
}

// -- Operations (each takes FMutex; the device refuses them with EBADF once closed)

bool TPosixComDriver::TDevice::SetupComm(DWORD InQueue) {
    std::lock_guard lock(FMutex);
    return FDevice.SetupComm(InQueue, *this);
}

bool TPosixComDriver::TDevice::SetCommState(const DCB &Dcb) {
    std::lock_guard lock(FMutex);
    if (!FDevice.Usable())
        return false;
    TLineFlags flags;
    if (!DcbToLineFlags(Dcb, flags))
        return FailWith(EINVAL);
    termios2 tio{};
    if (::ioctl(FFd.Get(), TCGETS2, &tio) < 0)
        return FailWith(errno);
    tio.c_cflag = (tio.c_cflag & ~(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS)) |
                  flags.Cflag | CREAD | CLOCAL | HUPCL;
    tio.c_iflag = (tio.c_iflag & ~(IXON | IXOFF | IXANY)) | flags.Iflag;
    tio.c_ispeed = tio.c_ospeed = flags.Speed;
    tio.c_cc[VSTART] = flags.Start;
    tio.c_cc[VSTOP] = flags.Stop;
    if (::ioctl(FFd.Get(), TCSETS2, &tio) < 0 || !SetModemControl(FFd.Get(), Dcb))
        return FailWith(errno);
    return FDevice.SetCommState(Dcb);
}

bool TPosixComDriver::TDevice::SetCommTimeouts(const COMMTIMEOUTS &Timeouts) {
    std::lock_guard lock(FMutex);
    return FDevice.SetCommTimeouts(Timeouts);
}

bool TPosixComDriver::TDevice::ClearCommError(DWORD *Errors, COMSTAT *Stat) {
    std::lock_guard lock(FMutex);
    // Between two waits nobody reads the tty: what has arrived counts as queued all the same.
    if (Stat && !FPollsInput && !FDevice.Closed() && !FDevice.HungUp())
        ReadTty(TClock::now());
    if (!FDevice.Closed() && !FDevice.HungUp())
        CountErrors();
    if (!FDevice.ClearCommError(Errors, Stat))
        return false;
    if (Stat && !FDevice.HungUp() && !FDrained) { // nothing written since the queue emptied: 0
        const int queued = OutputQueued(FFd.Get());
        Stat->cbOutQue += static_cast<DWORD>(queued);
        FDrained = queued == 0 && !FTxCheck && FDevice.PendingWrites() == 0;
    }
    return true;
}

bool TPosixComDriver::TDevice::GetCommModemStatus(DWORD *ModemStat) {
    std::lock_guard lock(FMutex);
    if (!FDevice.Usable())
        return false;
    DWORD stat = 0;
    if (!ReadModemStatus(FFd.Get(), stat))
        return FailWith(errno);
    if (ModemStat)
        *ModemStat = stat;
    return true;
}

bool TPosixComDriver::TDevice::PurgeComm(DWORD Flags) {
    std::lock_guard lock(FMutex);
    if (!FDevice.PurgeComm(Flags, *this))
        return false;
    if ((Flags & PURGE_TXCLEAR) && !FDevice.HungUp())
        ::ioctl(FFd.Get(), TCFLSH, TCOFLUSH);
    if (Flags & PURGE_RXCLEAR) {
        if (!FDevice.HungUp())
            ::ioctl(FFd.Get(), TCFLSH, TCIFLUSH);
        FDecoder.Reset();
    }
    return true;
}

bool TPosixComDriver::TDevice::ReadFile(void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Ov) {
    std::lock_guard lock(FMutex);
    if (FDevice.ReadFile(Buffer, Count, Read, Ov, TClock::now(), *this))
        return true;
    if (FDevice.PendingReads() > 0 && !FPollsInput && FDevice.Room() > 0)
        Wake(); // the tty is lent to a wait: the driver thread must read for the pending read too
    return false;
}

bool TPosixComDriver::TDevice::WriteFile(const void *Buffer, DWORD Count, DWORD *Written, TOverlapped *Ov) {
    std::lock_guard lock(FMutex);
    const auto now = TClock::now();
    if (!FDevice.WriteFile(Buffer, Count, Written, Ov, now, *this)) {
        if (FDevice.PendingWrites() > 0)
            FTxCheck = FDrained = false; // the driver thread sends the rest and then looks for the drain
        return false;
    }
    if (Count > 0) {
        WritesDone(now);
        if (OutputQueued(FFd.Get()) == 0) {
            FTxCheck = false; // drained already (always so on a pseudo-terminal): no wake-up needed
            FDrained = true;
            FDevice.Report(EV_TXEMPTY);
        } else {
            Wake();
        }
    }
    return true;
}

bool TPosixComDriver::TDevice::SetCommMask(DWORD Mask) {
    std::lock_guard lock(FMutex);
    if (!FDevice.SetCommMask(Mask))
        return false;
    if (Mask == 0 && FWaitersRead && !FDevice.Closed())
        TakeInputBack(); // no more waits to come: received bytes must not wait in the kernel
    return true;
}

bool TPosixComDriver::TDevice::WaitCommEvent(DWORD *Mask, TOverlapped *Ov) {
    std::lock_guard lock(FMutex);
    if (FDevice.WaitCommEvent(Mask, Ov, this))
        return true;
    if (GetLastError() != ERROR_IO_PENDING)
        return false;
    if (Ov->hEvent && FDevice.Room() > 0)
        Lend(Ov->hEvent);
    else
        TakeInputBack(); // no waiters to lend the tty to, or a full queue: the driver thread's work
    SetLastError(ERROR_IO_PENDING);
    return false;
}

// ---- The driver

TPosixComDriver::TPosixComDriver() : TDeviceTable(0x100) {}

TPosixComDriver::~TPosixComDriver() = default;

HANDLE TPosixComDriver::CreateFile(const std::string &Name) {
    const std::string path = !Name.empty() && Name.front() == '/' ? Name : "/dev/" + Name;
    try {
        bool marked = false;
        TFd fd = OpenTty(path, marked);
        if (!fd)
            return INVALID_HANDLE_VALUE;
        auto device = std::make_shared<TDevice>(std::move(fd), marked);
        device->Start();
        return Add(std::move(device));
    } catch (const std::system_error &e) { // no descriptor for an event, or no thread to be had
        SetLastError(static_cast<DWORD>(e.code().value()));
    } catch (const std::bad_alloc &) {
        SetLastError(ENOMEM);
    }
    return INVALID_HANDLE_VALUE;
}

std::vector<int> TPosixComDriver::ThreadIds(HANDLE Handle) {
    auto device = std::static_pointer_cast<TDevice>(Find(Handle));
    return device ? device->ThreadIds() : std::vector<int>{};
}

} // namespace ComApi
