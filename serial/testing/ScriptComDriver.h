// The scriptable serial driver: a TComDriver with no device behind it, for the port component's tests.
//
// A test plays the far end of the line and the operating system at once. It registers the device
// names that exist, pushes received bytes, line errors, modem-line states and events, makes any call
// fail with a chosen errno, and afterwards reads the log of every call the component made, in order,
// with its arguments and outcome. Nothing here sleeps or polls: every completion happens inside the
// call that causes it (a driver call or a scripting call), and the overlapped record's event is then
// signalled, by the same device code the POSIX driver uses.
//
// Typical use:
//
//     TScriptComDriver Driver;
//     SetDefaultComDriver(&Driver);           // before the port opens
//     Driver.AddDevice("COM1");
//     Port.OpenPort();                        // CreateFile("COM1"), SetupComm, SetCommState, ...
//     Driver.WaitForCalls("WaitCommEvent", 1); // the event thread is now waiting
//     Driver.PushRx("running*");              // queues 8 bytes, raises EV_RXCHAR
//     ...
//     EXPECT_EQ(Driver.Written(), "RUN=1s");
//     SetDefaultComDriver(nullptr);
//
// Devices. CreateFile succeeds only for a registered name (as passed: "COM1", "ttyUSB0" or
// "/dev/pts/3"), fails with ENOENT for any other and with EBUSY while the device is already open.
// Each open gives a new handle value, so a stale handle never reaches a later open; every operation
// on a handle that is unknown or closed fails with EBADF. Opening starts the device afresh: empty
// queues, no errors, no event mask; the modem lines keep the state the test gave them.
//
// The line, as the test drives it. The scripting calls take the device name last; an empty name
// means "the one open device" and throws std::logic_error when none or several are open.
//   - PushRx(bytes): queues the bytes and raises EV_RXCHAR, plus EV_RXFLAG when the last DCB's
//     EvtChar is among them and EV_RX80FULL when the queue crosses 80 % of its size (SetupComm's
//     input size, at least 4096), all in one report; then fills pending reads, oldest first. Bytes are
//     queued as given, even beyond the queue's size: DiscardNull, parity replacement and flow control
//     are the POSIX driver's business.
//   - AddLineErrors(CE_ bits): ORs them into the error word that ClearCommError returns and clears,
//     and raises EV_ERR (and EV_BREAK for CE_BREAK).
//   - SetModemStatus(MS_ bits): the word GetCommModemStatus returns; raises EV_CTS, EV_DSR, EV_RLSD
//     for each line that changed and EV_RING when RING comes on.
//   - RaiseEvents(EV_ bits): raises any events directly.
//   - TimeOutReads(): ends every pending read with the bytes it has so far, as a time-out would.
//   - HangUp(): the device goes away, like a USB adapter pulled out. Pending reads, writes and waits
//     end with EIO; later ReadFile, WriteFile, WaitCommEvent, SetCommState, SetCommTimeouts,
//     SetupComm and GetCommModemStatus fail with EIO (reads first drain bytes already queued).
//     ClearCommError keeps working and reports CE_IOE once; PurgeComm, SetCommMask and CloseHandle
//     keep working, so the port can still be closed; the name can then be opened again (a new,
//     healthy device). As with the POSIX driver, a wait pending at the hang-up whose mask holds
//     EV_ERR ends successfully with EV_ERR (otherwise with EIO), so the port hears of it.
//
// Events, reads, purges and closing follow the rules every driver shares (TOverlappedDevice,
// OverlappedDevice.h), with one difference: a scripted driver has no clock, so a read that would wait
// for a time-out stays pending until Count bytes have arrived or the test calls TimeOutReads (the
// first-bytes rule still ends a read with the first bytes). ReadFile with Count 0 completes at once
// with 0.
//
// Writing. WriteFile completes at once with every byte, which are appended to Written(), and raises
// EV_TXEMPTY. After HoldWrites(true) writes stay pending (their bytes already copied, so Written()
// shows them only when released) until ReleaseWrites(), which completes them all in order, or a purge
// with PURGE_TXABORT, which ends them with ECANCELED and no bytes written. A write never overtakes
// one that is pending.
//
// Refusals. FailNext("SetCommState", EINVAL) makes the next call of that function fail with that
// code (Times: the next n calls); FailAlways makes every call fail until ClearFailures. A refused
// call does nothing but log itself and set the last error: no state changes, no event is touched.
// The function names are those of TComDriver; an unknown name throws std::invalid_argument.
//
// Overlapped records. A call that starts an operation resets the record's event and sets Internal to
// ERROR_IO_PENDING; when the operation ends, InternalHigh and Internal are written and then the event
// is set. A call that fails at once (refused, EBADF, EIO ...) leaves the record untouched, so its event
// keeps the state it had. A null record makes the call fail with EINVAL.
//
// Thread safety: every member may be called from any thread; one mutex guards the whole driver, so
// the event thread may wait (WaitCommEvent, GetOverlappedResult with Wait) while the main thread
// reads, writes and scripts. GetOverlappedResult with Wait true waits without holding the mutex.
#pragma once

#include "serial/driver/ComDriver.h"
#include "serial/driver/OverlappedDevice.h"

#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace ComApi {

// One logged driver call. Only the fields that the function takes are filled in.
struct TScriptCall {
    std::string Function; // the TComDriver member: "CreateFile", "SetCommState", "ReadFile" ...
    HANDLE Handle = INVALID_HANDLE_VALUE; // for CreateFile: the handle returned
    std::string Name;                     // CreateFile
    DCB Dcb;                              // SetCommState
    COMMTIMEOUTS Timeouts;                // SetCommTimeouts
    DWORD Mask = 0;                       // SetCommMask
    DWORD Flags = 0;                      // PurgeComm
    DWORD InQueue = 0, OutQueue = 0;      // SetupComm
    DWORD Count = 0;                      // ReadFile, WriteFile: the count asked for
    std::string Bytes;                    // WriteFile: the bytes handed over
    bool Wait = false;                    // GetOverlappedResult
    const TOverlapped *Overlapped = nullptr;
    bool Result = false;
    DWORD Error = 0; // GetLastError after the call when Result is false (ERROR_IO_PENDING: started)
};

class TScriptComDriver : public TComDriver {
public:
    TScriptComDriver() = default;
    // Ends whatever is still pending with ECANCELED, so no waiter is left hanging.
    ~TScriptComDriver() override;
    TScriptComDriver(const TScriptComDriver &) = delete;
    TScriptComDriver &operator=(const TScriptComDriver &) = delete;

    // ---- Devices
    void AddDevice(const std::string &Name);
    bool IsOpen(const std::string &Name) const;
    // The handle of the open device (empty name: the one open device).
    HANDLE HandleOf(const std::string &Name = {}) const;

    // ---- The line (see the header comment)
    void PushRx(std::string_view Bytes, const std::string &Device = {});
    void AddLineErrors(DWORD Errors, const std::string &Device = {});
    void SetModemStatus(DWORD ModemStat, const std::string &Device = {});
    void RaiseEvents(DWORD Events, const std::string &Device = {});
    void TimeOutReads(const std::string &Device = {});
    void HangUp(const std::string &Device = {});
    void HoldWrites(bool Hold);
    void ReleaseWrites(const std::string &Device = {});

    // ---- Device state, as the driver sees it now
    std::size_t Queued(const std::string &Device = {}) const; // bytes in the input queue
    DWORD CommMask(const std::string &Device = {}) const;
    std::size_t PendingReads(const std::string &Device = {}) const;
    std::size_t PendingWrites(const std::string &Device = {}) const;
    bool WaitPending(const std::string &Device = {}) const;
    // Every byte written to the device since it was registered, across opens, in order.
    std::string Written(const std::string &Device = {}) const;

    // ---- Refusals
    void FailNext(const std::string &Function, DWORD Error, unsigned Times = 1);
    void FailAlways(const std::string &Function, DWORD Error);
    void ClearFailures();

    // ---- The call log
    std::vector<TScriptCall> Calls() const;
    std::vector<std::string> CallNames() const;
    std::vector<TScriptCall> CallsOf(const std::string &Function) const;
    void ClearCalls();
    // Waits until Function has been called at least Count times since the last ClearCalls (counting
    // calls that are still running); false after Milliseconds.
    bool WaitForCalls(const std::string &Function, std::size_t Count = 1, DWORD Milliseconds = 10000) const;

    // ---- TComDriver
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

private:
    // One registered device: the shared state machine plus what the test gave it.
    struct TDevice : TOverlappedDevice::TLine {
        HANDLE Handle = INVALID_HANDLE_VALUE; // while open
        TOverlappedDevice Core;               // afresh at every open
        DWORD Modem = 0;
        std::string Written;
        bool Hold = false; // the line takes no bytes: writes stay pending
        std::ptrdiff_t Send(const char *Bytes, std::size_t Count) override;
    };
    struct TFailure {
        DWORD Error;
        unsigned Times; // 0: always
    };

    std::size_t Log(const char *Function, HANDLE Handle); // logs before anything can fail
    bool Finish(std::size_t Index, bool Result, DWORD Error);
    bool Refused(std::size_t Index);
    TDevice *Find(HANDLE Handle);
    // The device a logged call works on, or null once the call has been finished as failed: a
    // scripted refusal, an unknown handle (EBADF) or, with DeadFails, a hung-up device (EIO).
    TDevice *Target(std::size_t Index, HANDLE Handle, bool DeadFails);
    TDevice &Named(const std::string &Name);
    const TDevice &Named(const std::string &Name) const;
    void Report(TDevice &Device, DWORD Events);
    bool Finish(std::size_t Index, bool Result); // Error: the last error the device left

    mutable std::mutex FMutex;
    mutable std::condition_variable FCallLogged;
    std::map<std::string, TDevice> FDevices;
    std::map<std::string, TFailure> FFailures;
    std::vector<TScriptCall> FCalls;
    unsigned FClears = 0; // ClearCalls so far: tells a call that waited outside the lock its entry is gone
    HANDLE FNextHandle = 0x100;
    bool FHoldWrites = false;
};

} // namespace ComApi
