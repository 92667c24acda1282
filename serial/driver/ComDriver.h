// The serial driver seam.
//
// The port component talks to a serial device only through the operations below. They keep the
// names and contracts of the Windows communications API that the component was first written
// against (CreateFile, SetCommState, ReadFile on an overlapped record, WaitCommEvent ...), so the
// component reads the same on every platform; what differs lives behind TComDriver:
//   - TPosixComDriver (posix/PosixComDriver.h): real ttys, USB adapters and pseudo-terminals on Linux;
//   - TNetComDriver (posix/NetComDriver.h): a line over TCP, "tcp://HOST:PORT" or "rfc2217://HOST:PORT";
//   - TMqttComDriver (posix/MqttComDriver.h): a board that relaymqtt serves, "mqtt://HOST[:PORT]/BOARD";
//   - TScriptComDriver (serial/testing/ScriptComDriver.h): no device at all, for tests only.
// Each keeps its device's state in TOverlappedDevice (OverlappedDevice.h), which holds the rules of
// queues, time-outs, events and hang-ups that every driver shares.
//
// The names are those of <windows.h>, declared differently, so they live in namespace ComApi. What
// each platform supplies (the events and waits, its own default driver, the port listing) is defined
// in that platform's folder beside its driver, so another platform's driver can sit beside posix/
// without touching the port component.
//
// Conventions shared by every driver:
//   - An operation returns true on success. On failure it returns false and leaves the cause in the
//     calling thread's last-error value (GetLastError), an errno value passed through unchanged:
//     a missing device is ENOENT (2), an invalid handle EBADF (9), an aborted operation ECANCELED.
//   - ReadFile, WriteFile and WaitCommEvent are overlapped: they either finish at once (true, the
//     record's event signalled), or go on in the background (false with ERROR_IO_PENDING; the
//     record's event is reset when the operation starts and signalled when it ends), or fail.
//     GetOverlappedResult then tells how the operation ended.
//   - Nothing here throws EComPort: turning a failure into a numbered port error is the
//     component's job.
//
// Thread safety: one handle may be used from two threads at once (the event thread waits on it
// while the main thread reads and writes), as overlapped I/O allows. TEvent may be set, reset and
// waited for from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

namespace ComApi {

using DWORD = std::uint32_t;
using HANDLE = std::intptr_t;

inline constexpr HANDLE INVALID_HANDLE_VALUE = -1;
inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

// Codes that are not errno values: they only describe the state of an overlapped operation.
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;

// Results of the event waits.
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// The calling thread's last error (see the conventions above).
DWORD GetLastError() noexcept;
void SetLastError(DWORD code) noexcept;
// A driver's way to fail an operation: sets the last error and returns false.
inline bool FailWith(DWORD Error) noexcept {
    SetLastError(Error);
    return false;
}

// Event mask bits (SetCommMask, WaitCommEvent).
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;
inline constexpr DWORD EV_RX80FULL = 0x0400;

// Line error bits (ClearCommError).
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;
inline constexpr DWORD CE_TXFULL = 0x0100;
inline constexpr DWORD CE_IOE = 0x0400;
inline constexpr DWORD CE_MODE = 0x8000;

// Modem status bits (GetCommModemStatus).
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

// PurgeComm flags.
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// Device control block: the line settings handed to SetCommState. The flag word keeps the bit
// layout of the Windows record so that every switch has a fixed, testable place.
inline constexpr DWORD DCB_BINARY = 0x0001;
inline constexpr DWORD DCB_PARITY = 0x0002;
inline constexpr DWORD DCB_OUTX_CTS_FLOW = 0x0004;
inline constexpr DWORD DCB_OUTX_DSR_FLOW = 0x0008;
inline constexpr DWORD DCB_DTR_CONTROL_MASK = 0x0030; // two bits: 0 disable, 1 enable, 2 handshake
inline constexpr unsigned DCB_DTR_CONTROL_SHIFT = 4;
inline constexpr DWORD DCB_DSR_SENSITIVITY = 0x0040;
inline constexpr DWORD DCB_TX_CONTINUE_ON_XOFF = 0x0080;
inline constexpr DWORD DCB_OUTX = 0x0100;
inline constexpr DWORD DCB_INX = 0x0200;
inline constexpr DWORD DCB_ERROR_CHAR = 0x0400;
inline constexpr DWORD DCB_NULL = 0x0800;
inline constexpr DWORD DCB_RTS_CONTROL_MASK = 0x3000; // two bits: 0 disable, 1 enable, 2 handshake, 3 toggle
inline constexpr unsigned DCB_RTS_CONTROL_SHIFT = 12;
inline constexpr DWORD DCB_ABORT_ON_ERROR = 0x4000;

inline constexpr std::uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
inline constexpr std::uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

struct DCB {
    DWORD DCBlength = 28;
    DWORD BaudRate = 0;
    DWORD Flags = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;

    bool operator==(const DCB &) const = default;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout = 0;
    DWORD ReadTotalTimeoutMultiplier = 0;
    DWORD ReadTotalTimeoutConstant = 0;
    DWORD WriteTotalTimeoutMultiplier = 0;
    DWORD WriteTotalTimeoutConstant = 0;

    bool operator==(const COMMTIMEOUTS &) const = default;
};

struct COMSTAT {
    DWORD cbInQue = 0;  // bytes waiting in the input queue
    DWORD cbOutQue = 0; // bytes not yet sent
};

// A manual-reset event: signalled until reset, any number of waiters see it. Construction throws
// std::system_error when the system has no object to give (on POSIX it is an eventfd).
//
// An event made with edOnDemand takes its kernel object only when a wait has to sleep on it or the
// platform asks for it: an operation record whose operation completes at once is set, reset and
// waited for without a system call. Construction then never fails; a wait that cannot get the
// object fails with WAIT_FAILED instead.
enum TEventDescriptor : std::uint8_t { edAtOnce, edOnDemand };

class TEventSource; // defined by the platform

class TEvent {
public:
    explicit TEvent(bool InitiallySignalled = false, TEventDescriptor Descriptor = edAtOnce);
    ~TEvent();
    TEvent(const TEvent &) = delete;
    TEvent &operator=(const TEvent &) = delete;

    void Set() noexcept;
    void Reset() noexcept;
    bool IsSet() const noexcept;

private:
    friend struct TEventNative; // the platform's own access, for waits beside its devices
    // The kernel object, once there is one; it is then the event's state, and FSignalled only
    // follows it. Before that FSignalled is the state.
    mutable std::atomic<std::intptr_t> FNative{-1};
    std::atomic<bool> FSignalled{false};
    // A source of the platform's that a driver attaches while an operation on this event is
    // pending: whoever waits for the event serves it in the same wait (PosixEvent.h).
    std::atomic<bool> FHasSource{false};
    mutable std::mutex FSourceLock;
    std::weak_ptr<TEventSource> FSource;
    std::intptr_t FSourceNative = -1;
};

// Waits until the event is signalled or Milliseconds pass (INFINITE: no limit).
// WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitForSingleObject(const TEvent &Event, DWORD Milliseconds = INFINITE) noexcept;
// Waits for any of the events: WAIT_OBJECT_0 + the index of the first signalled one (the lowest
// index wins when several are), WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitForMultipleObjects(std::span<const TEvent *const> Events, DWORD Milliseconds = INFINITE) noexcept;

// The record of one overlapped operation. Internal holds ERROR_IO_PENDING while the operation
// runs, then 0 or the errno it ended with; InternalHigh the bytes transferred. The driver writes
// both before it signals hEvent, so a reader that has seen the event may read them.
struct TOverlapped {
    std::atomic<DWORD> Internal{0};
    std::atomic<DWORD> InternalHigh{0};
    DWORD Offset = 0;
    DWORD OffsetHigh = 0;
    TEvent *hEvent = nullptr;
};

class TComDriver {
public:
    virtual ~TComDriver() = default;

    // Opens a device exclusively for overlapped reading and writing. Name is a port name: "ttyUSB0"
    // means /dev/ttyUSB0; a name that starts with '/' is a path used as it stands; the platform's
    // driver hands "tcp://" and "rfc2217://" names to the network driver, "mqtt://" to the MQTT one.
    // INVALID_HANDLE_VALUE on failure.
    virtual HANDLE CreateFile(const std::string &Name) = 0;
    virtual bool CloseHandle(HANDLE Handle) = 0;

    virtual bool SetupComm(HANDLE Handle, DWORD InQueue, DWORD OutQueue) = 0;
    virtual bool SetCommState(HANDLE Handle, const DCB &Dcb) = 0;
    virtual bool SetCommTimeouts(HANDLE Handle, const COMMTIMEOUTS &Timeouts) = 0;
    // Fetches and clears the recorded line errors (CE_ bits); Stat may be null.
    virtual bool ClearCommError(HANDLE Handle, DWORD *Errors, COMSTAT *Stat) = 0;
    virtual bool GetCommModemStatus(HANDLE Handle, DWORD *ModemStat) = 0;
    // The abort flags end pending reads and writes (they complete with ECANCELED); the clear flags
    // empty the queues.
    virtual bool PurgeComm(HANDLE Handle, DWORD Flags) = 0;

    virtual bool ReadFile(HANDLE Handle, void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Overlapped) = 0;
    virtual bool WriteFile(HANDLE Handle, const void *Buffer, DWORD Count, DWORD *Written,
                           TOverlapped *Overlapped) = 0;
    // With Wait false and the operation still running: false with ERROR_IO_INCOMPLETE.
    virtual bool GetOverlappedResult(HANDLE Handle, TOverlapped *Overlapped, DWORD *Transferred,
                                     bool Wait) = 0;

    // Mask 0 stops all reporting and completes a pending WaitCommEvent with mask 0.
    virtual bool SetCommMask(HANDLE Handle, DWORD Mask) = 0;
    // *Mask is written when the wait completes, so it must outlive the operation.
    virtual bool WaitCommEvent(HANDLE Handle, DWORD *Mask, TOverlapped *Overlapped) = 0;
};

// The driver that new ports use: the platform's own unless a test has put another in place.
TComDriver &DefaultComDriver();
// Replaces the default driver (null restores the platform's own). Not owned; tests only, and only
// while no port is open.
void SetDefaultComDriver(TComDriver *Driver) noexcept;
// The platform's own driver (on Linux the POSIX one), defined beside it.
TComDriver &PlatformComDriver();

} // namespace ComApi
