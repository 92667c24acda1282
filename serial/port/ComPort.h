// The serial port component: one serial device, its settings, opening and closing, reading and
// writing, and the events that the line raises.
//
// A port is created closed with default settings (9600 baud, 8 data bits, no parity, one stop bit,
// no flow control, every event). Setters only store while the port is closed; on an open port a
// changed line setting goes to the driver at once, unless BeginSettingsUpdate ... EndSettingsUpdate
// holds the changes back for one application at the end. Every failure raises EComPort
// (ComError.h) with its port error number and, for a failed system call, the driver's error code.
//
// The port reaches the device only through a TComDriver (ComDriver.h): the default driver unless
// one is passed to the constructor.
//
// Events. While the port is open with a non-empty Events set, an event thread (TComThread,
// ComThread.h) waits on the driver and hands each report to the port, which raises its events in
// this fixed order: OnError, OnRxChar (or OnRxBuf), OnTxEmpty, OnBreak, OnRing, OnCTSChange,
// OnDSRChange, OnRxFlag, OnRLSDChange, OnRx80Full. Each handler receives the port as Sender
// (a TCustomComPort &). Right after every open OnAfterOpen fires, then OnCTSChange, OnDSRChange and
// OnRLSDChange with the current line states; before every close the three fire with false, then
// OnBeforeClose; after the close OnAfterClose.
//
// Thread safety. Creating, opening, closing, the setters, reading and writing belong to the main
// thread. Where the line events run depends on SyncMethod:
//   - smThreadSync (default): on the main thread, from ProcessMainThreadCalls (ComPlatform.h); the
//     event thread waits until the handlers have returned.
//   - smWindowSync: on the main thread, one message per event kind through the port's notify queue;
//     the event thread waits only until the main thread has taken the message up.
//   - smNone: on the event thread, concurrently with the main thread; such handlers must protect
//     whatever they share, and the port takes no lock for them.
// The open and close events (OnBeforeOpen, OnAfterOpen, the line states announced around them,
// OnBeforeClose, OnAfterClose) always run on the thread that opens or closes the port. A handler
// running under smThreadSync or smNone must not close or destroy its own port: the close waits for
// the event thread, which is waiting for (or running) that handler. While the main thread closes a
// port it keeps running queued main-thread calls, so a delivery in flight completes and the close
// never deadlocks against it.
#pragma once

#include "serial/driver/ComDriver.h"
#include "serial/port/ComError.h"
#include "serial/port/ComTypes.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TCustomComPort;
class TComThread;
class TComNotifyWindow;
class TIniFile;
class TRegistryAccessor;

// The message that carries one event kind to the notify queue; its parameter is the kind's mask bit.
inline constexpr std::uint32_t WM_USER = 0x0400;
inline constexpr std::uint32_t WM_PORTEVENT = WM_USER + 1;

// The bits per second of a rate (0 for brCustom, whose rate is the port's CustomBaudRate).
ComApi::DWORD BaudRateValue(TBaudRate Rate);
ComApi::DWORD EventsToMask(TComEvents Events);
// Bits that stand for no event kind are dropped.
TComEvents MaskToEvents(ComApi::DWORD Mask);

// ---- Settings objects. Each belongs to a port (or to nobody, when made on its own); a changed
// field is applied to its port's driver at once when that port is open. Copying takes the fields
// only: a copy belongs to nobody, and assignment never applies anything by itself.

class TComParity {
public:
    TComParity() = default;
    explicit TComParity(TCustomComPort *ComPort) : FComPort(ComPort) {}
    TComParity(const TComParity &Source) { Assign(Source); }
    TComParity &operator=(const TComParity &Source) {
        Assign(Source);
        return *this;
    }
    void Assign(const TComParity &Source);
    TCustomComPort *ComPort() const { return FComPort; }

    TParityBits Bits() const { return FBits; }
    void SetBits(TParityBits Value);
    bool Check() const { return FCheck; }
    void SetCheck(bool Value);
    bool Replace() const { return FReplace; }
    void SetReplace(bool Value);
    char ReplaceChar() const { return FReplaceChar; }
    void SetReplaceChar(char Value);

private:
    void Changed();

    TCustomComPort *FComPort = nullptr;
    TParityBits FBits = prNone;
    bool FCheck = false;
    bool FReplace = false;
    char FReplaceChar = 0;
};

class TComFlowControl {
public:
    TComFlowControl() = default;
    explicit TComFlowControl(TCustomComPort *ComPort) : FComPort(ComPort) {}
    TComFlowControl(const TComFlowControl &Source) { Assign(Source); }
    TComFlowControl &operator=(const TComFlowControl &Source) {
        Assign(Source);
        return *this;
    }
    void Assign(const TComFlowControl &Source);
    TCustomComPort *ComPort() const { return FComPort; }

    // Derived from ControlRTS, OutCTSFlow, XonXoffIn and XonXoffOut; setting it rewrites those four
    // (fcCustom leaves them) and always re-applies the line settings.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl Value);

    bool OutCTSFlow() const { return FOutCTSFlow; }
    void SetOutCTSFlow(bool Value);
    bool OutDSRFlow() const { return FOutDSRFlow; }
    void SetOutDSRFlow(bool Value);
    TDTRFlowControl ControlDTR() const { return FControlDTR; }
    void SetControlDTR(TDTRFlowControl Value);
    TRTSFlowControl ControlRTS() const { return FControlRTS; }
    void SetControlRTS(TRTSFlowControl Value);
    bool XonXoffOut() const { return FXonXoffOut; }
    void SetXonXoffOut(bool Value);
    bool XonXoffIn() const { return FXonXoffIn; }
    void SetXonXoffIn(bool Value);
    bool DSRSensitivity() const { return FDSRSensitivity; }
    void SetDSRSensitivity(bool Value);
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    void SetTxContinueOnXoff(bool Value);
    char XonChar() const { return FXonChar; }
    void SetXonChar(char Value);
    char XoffChar() const { return FXoffChar; }
    void SetXoffChar(char Value);

private:
    void Changed();
    template <typename T> void Store(T &Field, T Value) {
        if (Field == Value)
            return;
        Field = Value;
        Changed();
    }

    TCustomComPort *FComPort = nullptr;
    bool FOutCTSFlow = false;
    bool FOutDSRFlow = false;
    TDTRFlowControl FControlDTR = dtrDisable;
    TRTSFlowControl FControlRTS = rtsDisable;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDSRSensitivity = false;
    bool FTxContinueOnXoff = false;
    char FXonChar = 17;
    char FXoffChar = 19;
};

// Milliseconds; -1 reaches the driver as MAXDWORD. With the defaults a read returns at once with
// what the input queue holds, and a write may take 1000 ms plus 100 ms per byte.
class TComTimeouts {
public:
    TComTimeouts() = default;
    explicit TComTimeouts(TCustomComPort *ComPort) : FComPort(ComPort) {}
    TComTimeouts(const TComTimeouts &Source) { Assign(Source); }
    TComTimeouts &operator=(const TComTimeouts &Source) {
        Assign(Source);
        return *this;
    }
    void Assign(const TComTimeouts &Source);
    TCustomComPort *ComPort() const { return FComPort; }

    std::int32_t ReadInterval() const { return FReadInterval; }
    void SetReadInterval(std::int32_t Value);
    std::int32_t ReadTotalMultiplier() const { return FReadTotalMultiplier; }
    void SetReadTotalMultiplier(std::int32_t Value);
    std::int32_t ReadTotalConstant() const { return FReadTotalConstant; }
    void SetReadTotalConstant(std::int32_t Value);
    std::int32_t WriteTotalMultiplier() const { return FWriteTotalMultiplier; }
    void SetWriteTotalMultiplier(std::int32_t Value);
    std::int32_t WriteTotalConstant() const { return FWriteTotalConstant; }
    void SetWriteTotalConstant(std::int32_t Value);

private:
    void Store(std::int32_t &Field, std::int32_t Value);

    TCustomComPort *FComPort = nullptr;
    std::int32_t FReadInterval = -1;
    std::int32_t FReadTotalMultiplier = 0;
    std::int32_t FReadTotalConstant = 0;
    std::int32_t FWriteTotalMultiplier = 100;
    std::int32_t FWriteTotalConstant = 1000;
};

// Recommended driver queue sizes in bytes. A positive odd size is stored one less.
class TComBuffer {
public:
    TComBuffer() = default;
    explicit TComBuffer(TCustomComPort *ComPort) : FComPort(ComPort) {}
    TComBuffer(const TComBuffer &Source) { Assign(Source); }
    TComBuffer &operator=(const TComBuffer &Source) {
        Assign(Source);
        return *this;
    }
    void Assign(const TComBuffer &Source);
    TCustomComPort *ComPort() const { return FComPort; }

    std::int32_t InputSize() const { return FInputSize; }
    void SetInputSize(std::int32_t Value);
    std::int32_t OutputSize() const { return FOutputSize; }
    void SetOutputSize(std::int32_t Value);

private:
    void Store(std::int32_t &Field, std::int32_t Value);

    TCustomComPort *FComPort = nullptr;
    std::int32_t FInputSize = 1024;
    std::int32_t FOutputSize = 1024;
};

// ---- One overlapped read or write. Made by NewOperation, released by FreeOperation; it may be
// reused for several operations, but never started again or released while one is running.
struct TComOperation {
    TComOperation();
    TComOperation(const TComOperation &) = delete;
    TComOperation &operator=(const TComOperation &) = delete;

    ComApi::TOverlapped Overlapped;
    TComOperationKind OpKind = opRead;
    // A copy of the bytes of the last write started with this record, for the listeners' notice.
    std::unique_ptr<char[]> DataCopy;
    std::int32_t CopySize = 0;

    // Manual reset, created signalled, so waiting on a record that was never started returns at once.
    ComApi::TEvent Event{true, ComApi::edOnDemand};
    // Set once an operation has been started with this record.
    bool Started = false;
};

TComOperation *NewOperation();
// Releases the record and empties the caller's pointer; null does nothing.
void FreeOperation(TComOperation *&Operation) noexcept;

// ---- An object that follows a port. Every callback is optional and receives the port as Sender.
// Listeners are told in the order they were attached; the port does not own them.
struct TComListener {
    TComSignalEvent OnConnectionChange; // opened (true) or closed (false)
    TRxBufEvent OnRxBuf;                // bytes the port has read for listeners
    TRxBufEvent OnTxData;               // the bytes of a write that has completed
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnRxFlag;
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;
    TNotifyEvent OnRing;
    TComSignalEvent OnTxActivity; // a write started (true) or the output queue ran empty (false)
    TComSignalEvent OnRxActivity; // input waits (true) or a read left the input queue empty (false)
    // The port is being destroyed (after its close events): forget it. The port must not be used
    // from here on; the listener is detached afterwards without being called again.
    TNotifyEvent OnDestroying;
};

class TCustomComPort {
public:
    // Takes DefaultComDriver(), or the given driver (not owned; it must outlive the port).
    TCustomComPort();
    explicit TCustomComPort(ComApi::TComDriver &Driver);
    // Closes the port (the close events fire), then releases its settings objects. A close that
    // fails is reported through ReportApplicationError and the port is released anyway.
    virtual ~TCustomComPort();
    TCustomComPort(const TCustomComPort &) = delete;
    TCustomComPort &operator=(const TCustomComPort &) = delete;

    // ---- Identity and storage
    const std::string &Name() const { return FName; }
    void SetName(const std::string &Value) { FName = Value; }
    TStoredGroups StoredGroups() const { return FStoredGroups; }
    void SetStoredGroups(TStoredGroups Value) { FStoredGroups = Value; }
    virtual void SaveToRegistry(TRegistryAccessor &Registry);
    virtual void SaveToIniFile(TIniFile &IniFile);
    virtual void LoadFromRegistry(TRegistryAccessor &Registry);
    virtual void LoadFromIniFile(TIniFile &IniFile);

    // ---- Loading and design mode. While loading, setters only store and Connected only records;
    // AfterPropertiesLoaded ends loading and opens the port if Connected was recorded true (an
    // opening error goes to ReportApplicationError, never to the caller). In design mode the port
    // never opens and never applies anything.
    void BeginLoading() { FLoading = true; }
    bool Loading() const { return FLoading; }
    virtual void AfterPropertiesLoaded();
    bool DesignMode() const { return FDesignMode; }
    void SetDesignMode(bool Value) { FDesignMode = Value; }

    // ---- Settings
    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate Value);
    std::int32_t CustomBaudRate() const { return FCustomBaudRate; }
    void SetCustomBaudRate(std::int32_t Value);
    // The device name: "ttyUSB0" means /dev/ttyUSB0, a name starting with '/' is a path. Changing it
    // on an open port closes the port and opens the new name.
    const std::string &Port() const { return FPort; }
    void SetPort(const std::string &Value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits Value);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits Value);
    bool DiscardNull() const { return FDiscardNull; }
    void SetDiscardNull(bool Value);
    char EventChar() const { return FEventChar; }
    void SetEventChar(char Value);
    // Takes effect at the next open: a running event thread keeps the mask it started with.
    TComEvents Events() const { return FEvents; }
    void SetEvents(TComEvents Value) { FEvents = Value; }
    // Refused with EComPort 14 on an open port.
    TSyncMethod SyncMethod() const { return FSyncMethod; }
    void SetSyncMethod(TSyncMethod Value);

    TComParity &Parity() { return FParity; }
    const TComParity &Parity() const { return FParity; }
    void SetParity(const TComParity &Value);
    TComFlowControl &FlowControl() { return FFlowControl; }
    const TComFlowControl &FlowControl() const { return FFlowControl; }
    void SetFlowControl(const TComFlowControl &Value);
    TComTimeouts &Timeouts() { return FTimeouts; }
    const TComTimeouts &Timeouts() const { return FTimeouts; }
    void SetTimeouts(const TComTimeouts &Value);
    TComBuffer &Buffer() { return FBuffer; }
    const TComBuffer &Buffer() const { return FBuffer; }
    void SetBuffer(const TComBuffer &Value);

    // True: received input is announced by count through OnRxChar and its handler reads it.
    // False: the port reads it and hands it over through OnRxBuf.
    bool CountOnRxChar() const { return FCountOnRxChar; }
    void SetCountOnRxChar(bool Value) { FCountOnRxChar = Value; }
    // True also makes the port read received input for listeners' OnRxBuf.
    bool HasRxBufListener() const { return FHasRxBufListener; }
    void SetHasRxBufListener(bool Value) { FHasRxBufListener = Value; }

    // ---- Lifecycle
    bool Connected() const { return FConnected; }
    void SetConnected(bool Value);
    void OpenPort();
    // Announces the close (line states off, OnBeforeClose), aborts what is pending, stops the event
    // thread, closes the device and fires OnAfterClose. An error of the announcement or of the abort
    // leaves the port open and raises, except an abort refused because the device has gone (EIO,
    // ENXIO, ENODEV: a USB adapter pulled out, a pseudo-terminal whose other end closed): that
    // device has nothing left to abort, so the close goes on and succeeds.
    void ClosePort();
    void BeginSettingsUpdate() { ++FUpdateDepth; }
    void EndSettingsUpdate();
    // Runs the setup dialog that the Qt layer registered (SetSetupDialogHook); true when the
    // operator accepted. Without a registered dialog it raises std::logic_error.
    bool RunSetupDialog();

    // Each does nothing unless the port is open, no settings update is running and the port is
    // neither loading nor in design mode. A refusal raises EComPort 7, 8 or 9.
    virtual void ApplyLineSettings();
    virtual void ApplyTimeoutSettings();
    virtual void ApplyQueueSizes();
    // The device control block of the current settings (the device's state is never read).
    ComApi::DCB BuildDCB() const;

    ComApi::TComDriver &Driver() const { return FDriver; }
    ComApi::HANDLE DeviceHandle() const { return FDeviceHandle; }
    bool WatchThreadCreated() const { return FWatchThreadCreated; }

    // ---- Reading and writing. None of these checks Connected: on a closed port the driver refuses
    // the invalid handle and the operation raises its error number with the driver's code.
    // A Begin call returns the bytes moved at once (0 while the operation goes on); the buffer must
    // stay valid until WaitForOperation for that record has returned.
    std::int32_t BeginWrite(const void *Buffer, std::int32_t Count, TComOperation *Operation);
    std::int32_t BeginWriteText(const std::string &Text, TComOperation *Operation);
    std::int32_t WriteText(const std::string &Text);
    std::int32_t BeginRead(void *Buffer, std::int32_t Count, TComOperation *Operation);
    std::int32_t ReadBytes(void *Buffer, std::int32_t Count);
    std::int32_t BeginReadText(std::string &Text, std::int32_t Count, TComOperation *Operation);
    // Reads up to Count bytes; Text holds exactly the bytes read.
    std::int32_t ReadText(std::string &Text, std::int32_t Count);
    // Waits without a time limit until the record's operation has ended; the bytes transferred.
    std::int32_t WaitForOperation(TComOperation *Operation);
    void AbortAllOperations();
    std::int32_t InputQueueCount();
    TComModemLines ModemLines();
    // The line errors recorded since the last fetch; a parity error only while Parity.Check is on.
    TComErrors FetchLineErrors();

    // ---- Listeners (not owned; detach before destroying one)
    void AttachListener(TComListener &Listener);
    void DetachListener(TComListener &Listener);

    // ---- Event handlers
    void SetOnRxChar(TRxCharEvent Handler) { FOnRxChar = std::move(Handler); }
    void SetOnRxBuf(TRxBufEvent Handler) { FOnRxBuf = std::move(Handler); }
    void SetOnTxEmpty(TNotifyEvent Handler) { FOnTxEmpty = std::move(Handler); }
    void SetOnBreak(TNotifyEvent Handler) { FOnBreak = std::move(Handler); }
    void SetOnRing(TNotifyEvent Handler) { FOnRing = std::move(Handler); }
    void SetOnCTSChange(TComSignalEvent Handler) { FOnCTSChange = std::move(Handler); }
    void SetOnDSRChange(TComSignalEvent Handler) { FOnDSRChange = std::move(Handler); }
    void SetOnRLSDChange(TComSignalEvent Handler) { FOnRLSDChange = std::move(Handler); }
    void SetOnError(TComErrorEvent Handler) { FOnError = std::move(Handler); }
    void SetOnRxFlag(TNotifyEvent Handler) { FOnRxFlag = std::move(Handler); }
    void SetOnAfterOpen(TNotifyEvent Handler) { FOnAfterOpen = std::move(Handler); }
    void SetOnAfterClose(TNotifyEvent Handler) { FOnAfterClose = std::move(Handler); }
    void SetOnBeforeOpen(TNotifyEvent Handler) { FOnBeforeOpen = std::move(Handler); }
    void SetOnBeforeClose(TNotifyEvent Handler) { FOnBeforeClose = std::move(Handler); }
    void SetOnRx80Full(TNotifyEvent Handler) { FOnRx80Full = std::move(Handler); }
    const TRxCharEvent &OnRxChar() const { return FOnRxChar; }
    const TRxBufEvent &OnRxBuf() const { return FOnRxBuf; }
    const TNotifyEvent &OnTxEmpty() const { return FOnTxEmpty; }
    const TNotifyEvent &OnBreak() const { return FOnBreak; }
    const TNotifyEvent &OnRing() const { return FOnRing; }
    const TComSignalEvent &OnCTSChange() const { return FOnCTSChange; }
    const TComSignalEvent &OnDSRChange() const { return FOnDSRChange; }
    const TComSignalEvent &OnRLSDChange() const { return FOnRLSDChange; }
    const TComErrorEvent &OnError() const { return FOnError; }
    const TNotifyEvent &OnRxFlag() const { return FOnRxFlag; }
    const TNotifyEvent &OnAfterOpen() const { return FOnAfterOpen; }
    const TNotifyEvent &OnAfterClose() const { return FOnAfterClose; }
    const TNotifyEvent &OnBeforeOpen() const { return FOnBeforeOpen; }
    const TNotifyEvent &OnBeforeClose() const { return FOnBeforeClose; }
    const TNotifyEvent &OnRx80Full() const { return FOnRx80Full; }

    // ---- Delivery, called by the event thread's dispatch (and by tests). DeliverEvents runs the
    // processing step of every kind in Events in the fixed order given above. NotifyWindowProc
    // handles one message of the notify queue: a WM_PORTEVENT whose parameter is one kind's mask
    // bit runs that kind's step, only while the port is connected; an error goes to
    // ReportApplicationError.
    void DeliverEvents(TComEvents Events);
    void NotifyWindowProc(std::uint32_t Message, ComApi::DWORD WParam) noexcept;

protected:
    virtual void OpenDeviceHandle();
    virtual void CloseDeviceHandle();
    virtual void ApplyAllSettings();

    virtual void FireAfterClose();
    virtual void FireAfterOpen();
    virtual void FireBeforeClose();
    virtual void FireBeforeOpen();
    virtual void FireRxChar(std::int32_t Count);
    virtual void FireRxBuf(const void *Buffer, std::int32_t Count);
    virtual void FireTxEmpty();
    virtual void FireBreak();
    virtual void FireRing();
    virtual void FireRxFlag();
    virtual void FireCTSChange(bool OnOff);
    virtual void FireDSRChange(bool OnOff);
    virtual void FireError(TComErrors Errors);
    virtual void FireRLSDChange(bool OnOff);
    virtual void FireRx80Full();

    void ProcessBeforeOpen();
    void ProcessAfterOpen();
    void ProcessBeforeClose();
    void ProcessAfterClose();
    void ProcessRxChar();
    void ProcessTxEmpty();
    void ProcessRxFlag();
    void ProcessRing();
    void ProcessBreak();
    void ProcessRx80Full();
    void ProcessCTSChange();
    void ProcessDSRChange();
    void ProcessRLSDChange();
    void ProcessError();

private:
    friend class TComThread;

    bool CanApply() const;
    void AnnounceLineStates(bool Opened);
    void DeliverRxData(std::int32_t &Count);
    void StartWatching();
    void StopWatching() noexcept;
    void ForceClose() noexcept;
    void AbortOrIgnoreVanishedDevice();
    template <typename F> void TellListeners(F Call);

    ComApi::TComDriver &FDriver;
    std::unique_ptr<TComThread> FWatchThread;
    bool FWatchThreadCreated = false;
    ComApi::HANDLE FDeviceHandle = ComApi::INVALID_HANDLE_VALUE;
    std::shared_ptr<TComNotifyWindow> FNotifyWindow;
    std::int32_t FUpdateDepth = 0;
    std::vector<TComListener *> FListeners;
    bool FCountOnRxChar = true;
    bool FHasRxBufListener = false;
    bool FConnected = false;
    bool FClosing = false;
    bool FLoading = false;
    bool FDesignMode = false;
    std::string FName;

    TBaudRate FBaudRate = br9600;
    std::int32_t FCustomBaudRate = 9600;
    std::string FPort = "COM1";
    TStopBits FStopBits = sbOneStopBit;
    TDataBits FDataBits = dbEight;
    bool FDiscardNull = false;
    char FEventChar = 0;
    TComEvents FEvents = AllComEvents;
    TComBuffer FBuffer{this};
    TComParity FParity{this};
    TComTimeouts FTimeouts{this};
    TComFlowControl FFlowControl{this};
    TSyncMethod FSyncMethod = smThreadSync;
    TStoredGroups FStoredGroups{sgBasic};

    // Line errors that a count query took from the driver before FetchLineErrors asked for them:
    // the driver clears its error word on every query, so they are kept here to be reported once.
    std::atomic<ComApi::DWORD> FUnfetchedErrors{0};

    TRxCharEvent FOnRxChar;
    TRxBufEvent FOnRxBuf;
    TNotifyEvent FOnTxEmpty;
    TNotifyEvent FOnBreak;
    TNotifyEvent FOnRing;
    TComSignalEvent FOnCTSChange;
    TComSignalEvent FOnDSRChange;
    TComSignalEvent FOnRLSDChange;
    TComErrorEvent FOnError;
    TNotifyEvent FOnRxFlag;
    TNotifyEvent FOnAfterOpen;
    TNotifyEvent FOnAfterClose;
    TNotifyEvent FOnBeforeOpen;
    TNotifyEvent FOnBeforeClose;
    TNotifyEvent FOnRx80Full;
};

// The port as the window places it; it adds nothing to TCustomComPort.
class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};
