// The POSIX serial driver: the TComDriver for real terminals on Linux (8250 UARTs, USB adapters,
// pseudo-terminals).
//
// Linux offers a file descriptor with termios settings; the port component expects a driver with
// its own input queue, overlapped operations, read time-outs and line events. This driver builds the
// second on the first:
//   - CreateFile opens "/dev/" + name (a name starting with '/' as it stands) non-blocking, takes
//     flock(LOCK_EX | LOCK_NB) and TIOCEXCL (root ignores TIOCEXCL, so the lock is what refuses a
//     second open, with EBUSY), refuses anything that is not a terminal with ENOTTY and puts the line
//     in raw mode.
//   - One driver thread per open device sleeps in poll() on the tty and a control event. It moves
//     received bytes into the input queue (SetupComm's input size, at least 4 KiB; while the queue
//     is full it stops reading, so the kernel's flow control holds the sender back and nothing is
//     dropped), finishes pending reads and writes, and raises the line events. It wakes only for
//     bytes, for a call that needs it, or for the deadline of a pending operation: an idle open port
//     costs no wake-ups.
//   - A helper thread per device blocks in TIOCMIWAIT for modem-line changes, where the device
//     supports it. TIOCMIWAIT has no time-out and close() does not wake it, so the helper is stopped
//     by a signal (SIGURG, see below) aimed at that thread alone, resent until it has left.
//
// Mapping of the DCB onto termios2 (what Linux cannot express is accepted and approximated):
//   - BaudRate: any rate through BOTHER. ByteSize 5-8: CS5-CS8. StopBits: ONESTOPBIT, else CSTOPB
//     (the UART sends 1.5 stop bits for CSTOPB with 5 data bits, 2 otherwise; 1.5 with 6-8 data
//     bits therefore becomes 2). Parity: PARENB, PARODD, CMSPAR for mark and space.
//   - fOutxCtsFlow or fRtsControl handshake: CRTSCTS, which governs both directions at once.
//   - fOutX/fInX: IXON/IXOFF with VSTART/VSTOP from XonChar/XoffChar.
//   - fDtrControl enable/disable and fRtsControl enable/disable: DTR and RTS raised or lowered through
//     TIOCMBIS/TIOCMBIC. DTR handshake keeps DTR raised; RTS toggle keeps RTS raised.
//   - Not expressible, accepted and ignored: fOutxDsrFlow, fDsrSensitivity, fTXContinueOnXoff,
//     XonLim/XoffLim (the kernel has fixed thresholds), fAbortOnError, EofChar.
//   - Line errors arrive as PARMRK markers (INPCK, PARMRK, no IGNPAR, no BRKINT, no ISTRIP); where
//     TIOCGICOUNT works its counters tell a parity error from a framing error and add CE_OVERRUN.
//     Without counters (some USB adapters) a marked byte counts as a parity error when fParity is
//     set and as a framing error otherwise. A parity error with fParity clear is plain data.
//   - Pseudo-terminals have no modem lines, no error counters and no line errors: their lines read
//     as all off, they raise no line-change events and report no errors. That is not a failure.
//     They also go without PARMRK, which would force the kernel's per-character input path (about
//     ten times slower on a stream) for markers that never come.
//
// Read time-outs follow the Windows COMMTIMEOUTS rules: interval MAXDWORD with both totals 0 returns
// at once with what is queued; interval and multiplier MAXDWORD with a constant returns at once with
// what is queued or else with the first bytes to arrive within the constant; otherwise the total
// time-out is multiplier x count + constant, the interval time-out bounds the gap between bytes once
// the first has come, and 0 means no time-out. A read that times out succeeds with what it has.
// Writes hand the tty what it takes at once and finish in the background; a write time-out
// (multiplier x count + constant, 0 none) ends the write successfully with the bytes written so far.
//
// A device that goes away (USB adapter pulled, far side of a pseudo-terminal closed) shows as
// POLLHUP/POLLERR for good. The driver then stops watching the descriptor: pending reads, writes and
// waits end with EIO, later reads, writes, waits and settings fail with EIO at once (a read first
// drains what is already queued), and ClearCommError reports CE_IOE once. PurgeComm, SetCommMask and
// ClearCommError keep working, so the port can still be closed in its usual order. A pending WaitCommEvent
// whose mask holds EV_ERR ends with EV_ERR instead, so the port hears of it. CloseHandle still works, and a
// new open of the same name works once the device is back.
//
// Signals: the first open of a device with modem lines installs a do-nothing SIGURG handler without
// SA_RESTART, used only to wake the modem-line helper. SIGURG is otherwise ignored by default, so nothing
// else notices. The driver's threads block every other signal.
//
// Thread safety: as the seam promises; each device has one mutex, taken briefly by every call.
// Whoever waits on a record's event calls GetOverlappedResult before closing that event: the call
// passes through the device's mutex, which orders the driver's last touch of the event before the
// close (the thread sanitizer sees no other order, since the event is signalled through the kernel).
#pragma once

#include "serial/driver/ComDriver.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ComApi {

class TPosixComDriver : public TComDriver {
public:
    TPosixComDriver();
    // Closes every device still open.
    ~TPosixComDriver() override;
    TPosixComDriver(const TPosixComDriver &) = delete;
    TPosixComDriver &operator=(const TPosixComDriver &) = delete;

    HANDLE CreateFile(const std::string &Name) override;
    bool CloseHandle(HANDLE Handle) override;
    bool SetupComm(HANDLE Handle, DWORD InQueue, DWORD OutQueue) override;
    bool SetCommState(HANDLE Handle, const DCB &Dcb) override;
    bool SetCommTimeouts(HANDLE Handle, const COMMTIMEOUTS &Timeouts) override;
    bool ClearCommError(HANDLE Handle, DWORD *Errors, COMSTAT *Stat) override;
    bool GetCommModemStatus(HANDLE Handle, DWORD *ModemStat) override;
    bool PurgeComm(HANDLE Handle, DWORD Flags) override;
    bool ReadFile(HANDLE Handle, void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Overlapped) override;
    bool WriteFile(HANDLE Handle, const void *Buffer, DWORD Count, DWORD *Written,
                   TOverlapped *Overlapped) override;
    bool GetOverlappedResult(HANDLE Handle, TOverlapped *Overlapped, DWORD *Transferred, bool Wait) override;
    bool SetCommMask(HANDLE Handle, DWORD Mask) override;
    bool WaitCommEvent(HANDLE Handle, DWORD *Mask, TOverlapped *Overlapped) override;

    // Thread ids (as in /proc/self/task) of the driver's threads for an open handle, for the
    // benchmark that counts their wake-ups; empty for an unknown handle.
    std::vector<int> ThreadIds(HANDLE Handle);

    class TDevice;

private:
    std::shared_ptr<TDevice> Find(HANDLE Handle);

    std::mutex FMutex;
    std::map<HANDLE, std::shared_ptr<TDevice>> FDevices;
    HANDLE FNextHandle = 0x100;
};

// A thread whose body spends its life in one blocking system call that nothing else can wake, such
// as TIOCMIWAIT (no time-out; close() does not end it). Stop() sets Stopping() and then aims the
// wake-up signal (SIGURG, installed without SA_RESTART) at that thread alone, again and again until
// the body has returned, since a signal that lands just before the call is entered is lost. The body
// must check Stopping() around its call and return when it is set; its thread blocks every other
// signal.
class TInterruptibleThread {
public:
    TInterruptibleThread() = default;
    ~TInterruptibleThread() { Stop(); }
    TInterruptibleThread(const TInterruptibleThread &) = delete;
    TInterruptibleThread &operator=(const TInterruptibleThread &) = delete;

    // Returns once the thread runs; throws std::system_error when no thread can be had.
    void Start(std::function<void()> Body);
    // Returns once the thread has ended and been joined; does nothing if none was started.
    void Stop();
    bool Stopping() const { return FStop.load(); }
    bool Running() const;
    int Tid() const; // as in /proc/self/task; 0 before Start

private:
    std::thread FThread;
    std::atomic<bool> FStop{false};
    mutable std::mutex FMutex;
    std::condition_variable FChanged;
    bool FRunning = false;
    int FTid = 0;
};

// The termios2 fields that SetCommState derives from a DCB, as plain numbers so that the kernel's
// declarations stay inside the driver. Cflag and Iflag hold only the bits the DCB decides
// (CBAUD/BOTHER, CSIZE, CSTOPB, PARENB, PARODD, CMSPAR, CRTSCTS; IXON, IXOFF); the rest of the
// line's flags stay as the open set them. Apart for tests: a pseudo-terminal forces 8 data bits and
// no parity, so the full mapping can only be checked here.
struct TLineFlags {
    std::uint32_t Cflag = 0, Iflag = 0, Speed = 0;
    std::uint8_t Start = 0, Stop = 0;
};
// False for a DCB no line can take (ByteSize outside 5-8, Parity or StopBits out of range, rate 0).
bool DcbToLineFlags(const DCB &Dcb, TLineFlags &Flags);

// Decodes the tty's input under PARMRK: "\377\377" is a data byte 0xFF, "\377\0\0" a break and
// "\377\0" X a byte X received with a parity or framing error. A marker may be split across reads;
// the decoder keeps its state between calls to Decode. It lives here so that tests can feed it
// markers that a pseudo-terminal never produces.
class TParmrkDecoder {
public:
    struct TSink {
        virtual ~TSink() = default;
        virtual void Data(std::string_view Run) = 0; // plain bytes, escapes already undone
        virtual void Break() = 0;
        virtual void ErrorByte(std::uint8_t Value) = 0;
    };

    void Decode(std::string_view Input, TSink &Sink);
    void Reset() noexcept { FState = sData; }

private:
    enum TState : std::uint8_t { sData, sEscape, sMarked };
    TState FState = sData;
};

} // namespace ComApi
