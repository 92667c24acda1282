// The port component: settings objects, lifecycle, reading and writing, and event processing.
#include "serial/port/ComPort.h"

#include "serial/port/ComPlatform.h"
#include "serial/port/ComThread.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

using namespace ComApi;

namespace {
constexpr std::array<DWORD, 16> BaudRates = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                             14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

// Mask bit of each event kind, in ordinal order.
constexpr std::array<DWORD, 10> EventBits = {EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_RING, EV_BREAK,
                                             EV_CTS,    EV_DSR,     EV_ERR,    EV_RLSD, EV_RX80FULL};

// Driver error bit of each line error, in ordinal order.
constexpr std::array<DWORD, 8> ErrorBits = {CE_FRAME, CE_RXPARITY, CE_OVERRUN, CE_BREAK,
                                            CE_IOE,   CE_MODE,     CE_RXOVER,  CE_TXFULL};

std::int32_t LastErrorCode() {
    return static_cast<std::int32_t>(GetLastError());
}

// Runs a handler on a copy of its slot, so a handler that replaces or clears its own slot does not
// destroy itself while it runs.
template <typename F, typename... A> void Fire(const F &Slot, A &&...Args) {
    if (Slot) {
        F Handler = Slot;
        Handler(std::forward<A>(Args)...);
    }
}

// Frees an operation record on every path out of a synchronous call.
struct TOperationGuard {
    TComOperation *Operation = NewOperation();
    ~TOperationGuard() { FreeOperation(Operation); }
};
} // namespace

DWORD BaudRateValue(TBaudRate Rate) {
    return Rate < BaudRates.size() ? BaudRates[Rate] : 0;
}

DWORD EventsToMask(TComEvents Events) {
    DWORD Mask = 0;
    for (std::size_t i = 0; i < EventBits.size(); ++i)
        if (Events.Contains(static_cast<TComEvent>(i)))
            Mask |= EventBits[i];
    return Mask;
}

TComEvents MaskToEvents(DWORD Mask) {
    TComEvents Events;
    for (std::size_t i = 0; i < EventBits.size(); ++i)
        if (Mask & EventBits[i])
            Events.Include(static_cast<TComEvent>(i));
    return Events;
}

// ---- TComParity

void TComParity::Assign(const TComParity &Source) {
    FBits = Source.FBits;
    FCheck = Source.FCheck;
    FReplace = Source.FReplace;
    FReplaceChar = Source.FReplaceChar;
}

void TComParity::Changed() {
    if (FComPort)
        FComPort->ApplyLineSettings();
}

void TComParity::SetBits(TParityBits Value) {
    if (Value != FBits) {
        FBits = Value;
        Changed();
    }
}

void TComParity::SetCheck(bool Value) {
    if (Value != FCheck) {
        FCheck = Value;
        Changed();
    }
}

void TComParity::SetReplace(bool Value) {
    if (Value != FReplace) {
        FReplace = Value;
        Changed();
    }
}

void TComParity::SetReplaceChar(char Value) {
    if (Value != FReplaceChar) {
        FReplaceChar = Value;
        Changed();
    }
}

// ---- TComFlowControl

void TComFlowControl::Assign(const TComFlowControl &Source) {
    FOutCTSFlow = Source.FOutCTSFlow;
    FOutDSRFlow = Source.FOutDSRFlow;
    FControlDTR = Source.FControlDTR;
    FControlRTS = Source.FControlRTS;
    FXonXoffOut = Source.FXonXoffOut;
    FXonXoffIn = Source.FXonXoffIn;
    FDSRSensitivity = Source.FDSRSensitivity;
    FTxContinueOnXoff = Source.FTxContinueOnXoff;
    FXonChar = Source.FXonChar;
    FXoffChar = Source.FXoffChar;
}

void TComFlowControl::Changed() {
    if (FComPort)
        FComPort->ApplyLineSettings();
}

TFlowControl TComFlowControl::FlowControl() const {
    if (FControlRTS == rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return fcHardware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut)
        return fcSoftware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl Value) {
    if (Value != fcCustom) {
        FControlRTS = Value == fcHardware ? rtsHandshake : rtsDisable;
        FOutCTSFlow = Value == fcHardware;
        FXonXoffIn = Value == fcSoftware;
        FXonXoffOut = Value == fcSoftware;
    }
    Changed();
}

void TComFlowControl::SetOutCTSFlow(bool Value) {
    Store(FOutCTSFlow, Value);
}
void TComFlowControl::SetOutDSRFlow(bool Value) {
    Store(FOutDSRFlow, Value);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl Value) {
    Store(FControlDTR, Value);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl Value) {
    Store(FControlRTS, Value);
}
void TComFlowControl::SetXonXoffOut(bool Value) {
    Store(FXonXoffOut, Value);
}
void TComFlowControl::SetXonXoffIn(bool Value) {
    Store(FXonXoffIn, Value);
}
void TComFlowControl::SetDSRSensitivity(bool Value) {
    Store(FDSRSensitivity, Value);
}
void TComFlowControl::SetTxContinueOnXoff(bool Value) {
    Store(FTxContinueOnXoff, Value);
}
void TComFlowControl::SetXonChar(char Value) {
    Store(FXonChar, Value);
}
void TComFlowControl::SetXoffChar(char Value) {
    Store(FXoffChar, Value);
}

// ---- TComTimeouts

void TComTimeouts::Assign(const TComTimeouts &Source) {
    FReadInterval = Source.FReadInterval;
    FReadTotalMultiplier = Source.FReadTotalMultiplier;
    FReadTotalConstant = Source.FReadTotalConstant;
    FWriteTotalMultiplier = Source.FWriteTotalMultiplier;
    FWriteTotalConstant = Source.FWriteTotalConstant;
}

void TComTimeouts::Store(std::int32_t &Field, std::int32_t Value) {
    if (Field == Value)
        return;
    Field = Value;
    if (FComPort)
        FComPort->ApplyTimeoutSettings();
}

void TComTimeouts::SetReadInterval(std::int32_t Value) {
    Store(FReadInterval, Value);
}
void TComTimeouts::SetReadTotalMultiplier(std::int32_t Value) {
    Store(FReadTotalMultiplier, Value);
}
void TComTimeouts::SetReadTotalConstant(std::int32_t Value) {
    Store(FReadTotalConstant, Value);
}
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t Value) {
    Store(FWriteTotalMultiplier, Value);
}
void TComTimeouts::SetWriteTotalConstant(std::int32_t Value) {
    Store(FWriteTotalConstant, Value);
}

// ---- TComBuffer

void TComBuffer::Assign(const TComBuffer &Source) {
    FInputSize = Source.FInputSize;
    FOutputSize = Source.FOutputSize;
}

void TComBuffer::Store(std::int32_t &Field, std::int32_t Value) {
    // Compared with the stored (even) value, so setting an odd size again applies again.
    if (Field == Value)
        return;
    Field = Value > 0 && Value % 2 != 0 ? Value - 1 : Value;
    if (FComPort)
        FComPort->ApplyQueueSizes();
}

void TComBuffer::SetInputSize(std::int32_t Value) {
    Store(FInputSize, Value);
}
void TComBuffer::SetOutputSize(std::int32_t Value) {
    Store(FOutputSize, Value);
}

// ---- TComOperation

TComOperation::TComOperation() {
    Overlapped.hEvent = &Event;
}

TComOperation *NewOperation() {
    return new TComOperation;
}

void FreeOperation(TComOperation *&Operation) noexcept {
    delete Operation;
    Operation = nullptr;
}

// ---- TCustomComPort: construction and settings

TCustomComPort::TCustomComPort() : TCustomComPort(DefaultComDriver()) {}

TCustomComPort::TCustomComPort(TComDriver &Driver) : FDriver(Driver) {}

TCustomComPort::~TCustomComPort() {
    try {
        ClosePort();
    } catch (...) {
        ReportApplicationError();
    }
    ForceClose();
    // The framework's removal notice: objects that refer to this port (a bound combo box) forget it.
    TellListeners([this](TComListener &L) {
        if (L.OnDestroying)
            L.OnDestroying(*this);
    });
}

void TCustomComPort::SetBaudRate(TBaudRate Value) {
    if (Value != FBaudRate) {
        FBaudRate = Value;
        ApplyLineSettings();
    }
}

void TCustomComPort::SetCustomBaudRate(std::int32_t Value) {
    if (Value != FCustomBaudRate) {
        FCustomBaudRate = Value;
        ApplyLineSettings();
    }
}

void TCustomComPort::SetPort(const std::string &Value) {
    if (Value == FPort)
        return;
    FPort = Value;
    if (FConnected && !FLoading) {
        ClosePort();
        OpenPort();
    }
}

void TCustomComPort::SetStopBits(TStopBits Value) {
    if (Value != FStopBits) {
        FStopBits = Value;
        ApplyLineSettings();
    }
}

void TCustomComPort::SetDataBits(TDataBits Value) {
    if (Value != FDataBits) {
        FDataBits = Value;
        ApplyLineSettings();
    }
}

void TCustomComPort::SetDiscardNull(bool Value) {
    if (Value != FDiscardNull) {
        FDiscardNull = Value;
        ApplyLineSettings();
    }
}

void TCustomComPort::SetEventChar(char Value) {
    if (Value != FEventChar) {
        FEventChar = Value;
        ApplyLineSettings();
    }
}

void TCustomComPort::SetSyncMethod(TSyncMethod Value) {
    if (Value == FSyncMethod)
        return;
    if (FConnected && !FLoading)
        throw EComPort(peSetWhileConnected);
    FSyncMethod = Value;
}

void TCustomComPort::SetParity(const TComParity &Value) {
    FParity.Assign(Value);
    ApplyLineSettings();
}

void TCustomComPort::SetFlowControl(const TComFlowControl &Value) {
    FFlowControl.Assign(Value);
    ApplyLineSettings();
}

void TCustomComPort::SetTimeouts(const TComTimeouts &Value) {
    FTimeouts.Assign(Value);
    ApplyTimeoutSettings();
}

void TCustomComPort::SetBuffer(const TComBuffer &Value) {
    FBuffer.Assign(Value);
    ApplyQueueSizes();
}

// ---- Lifecycle

void TCustomComPort::AfterPropertiesLoaded() {
    // Only the end of a load may open: on a port that was not loading, Connected is the real state,
    // and opening again would take a second handle while the first one and its thread live on.
    if (!std::exchange(FLoading, false) || !FConnected || FDesignMode)
        return;
    FConnected = false;
    try {
        OpenPort();
    } catch (...) {
        ReportApplicationError();
    }
}

void TCustomComPort::SetConnected(bool Value) {
    if (FLoading || FDesignMode) {
        FConnected = Value;
        return;
    }
    if (Value != FConnected) {
        if (Value)
            OpenPort();
        else
            ClosePort();
    }
}

void TCustomComPort::OpenPort() {
    if (FConnected || FDesignMode)
        return;
    ProcessBeforeOpen();
    OpenDeviceHandle();
    FConnected = true;
    try {
        ApplyAllSettings();
        StartWatching();
    } catch (...) {
        // Neither a rejected setting nor a thread that cannot start may leave a half-open port.
        StopWatching();
        CloseDeviceHandle();
        FConnected = false;
        throw;
    }
    ProcessAfterOpen();
}

void TCustomComPort::StartWatching() {
    if (FEvents.Empty()) {
        FWatchThreadCreated = false;
        return;
    }
    if (FSyncMethod == smWindowSync)
        FNotifyWindow = std::make_shared<TComNotifyWindow>(*this);
    FWatchThread = std::make_unique<TComThread>(*this);
    FWatchThreadCreated = true;
}

void TCustomComPort::StopWatching() noexcept {
    FWatchThread.reset();
    FWatchThreadCreated = false;
    if (FNotifyWindow) {
        FNotifyWindow->Close();
        FNotifyWindow.reset();
    }
}

void TCustomComPort::ClosePort() {
    if (!FConnected || FDesignMode || FClosing)
        return;
    // A queued call run while this close waits for the event thread may itself try to close the
    // port; the close in progress covers it.
    FClosing = true;
    try {
        ProcessBeforeClose();
        AbortOrIgnoreVanishedDevice();
    } catch (...) {
        FClosing = false;
        throw;
    }
    StopWatching();
    CloseDeviceHandle();
    FConnected = false;
    FClosing = false;
    ProcessAfterClose();
}

void TCustomComPort::AbortOrIgnoreVanishedDevice() {
    try {
        AbortAllOperations();
    } catch (const EComPort &E) {
        // A device that has gone (a USB adapter pulled out) refuses the abort for good; it has
        // nothing left to abort, and refusing the close would leave the port stuck open.
        const std::int32_t Code = E.SystemErrorNumber();
        if (Code != EIO && Code != ENXIO && Code != ENODEV)
            throw;
    }
}

void TCustomComPort::ForceClose() noexcept {
    // Design mode is not consulted: a port put into it while open still holds its device and thread,
    // and a port that only recorded Connected has neither, so the steps below do nothing for it.
    if (!FConnected)
        return;
    StopWatching();
    CloseDeviceHandle();
    FConnected = false;
}

void TCustomComPort::OpenDeviceHandle() {
    FDeviceHandle = FDriver.CreateFile(FPort);
    if (FDeviceHandle == INVALID_HANDLE_VALUE)
        throw EComPort(peOpenFailed, LastErrorCode());
}

void TCustomComPort::CloseDeviceHandle() {
    if (FDeviceHandle != INVALID_HANDLE_VALUE) {
        FDriver.CloseHandle(FDeviceHandle);
        FDeviceHandle = INVALID_HANDLE_VALUE;
    }
}

void TCustomComPort::ApplyAllSettings() {
    ApplyQueueSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

void TCustomComPort::EndSettingsUpdate() {
    if (FUpdateDepth > 0 && --FUpdateDepth == 0)
        ApplyAllSettings();
}

bool TCustomComPort::RunSetupDialog() {
    const TSetupDialogHook &Hook = SetupDialogHook();
    if (!Hook)
        throw std::logic_error("No port setup dialog has been registered");
    return Hook(*this);
}

bool TCustomComPort::CanApply() const {
    return FConnected && FUpdateDepth == 0 && !FLoading && !FDesignMode;
}

DCB TCustomComPort::BuildDCB() const {
    DCB Dcb;
    Dcb.DCBlength = 28;
    Dcb.BaudRate = FBaudRate == brCustom ? static_cast<DWORD>(FCustomBaudRate) : BaudRateValue(FBaudRate);
    const bool ErrorChar = FParity.Check() && FParity.Replace();
    Dcb.Flags = DCB_BINARY | (FParity.Check() ? DCB_PARITY : 0) |
                (FFlowControl.OutCTSFlow() ? DCB_OUTX_CTS_FLOW : 0) |
                (FFlowControl.OutDSRFlow() ? DCB_OUTX_DSR_FLOW : 0) |
                (static_cast<DWORD>(FFlowControl.ControlDTR()) << DCB_DTR_CONTROL_SHIFT) |
                (FFlowControl.DSRSensitivity() ? DCB_DSR_SENSITIVITY : 0) |
                (FFlowControl.TxContinueOnXoff() ? DCB_TX_CONTINUE_ON_XOFF : 0) |
                (FFlowControl.XonXoffOut() ? DCB_OUTX : 0) | (FFlowControl.XonXoffIn() ? DCB_INX : 0) |
                (ErrorChar ? DCB_ERROR_CHAR : 0) | (FDiscardNull ? DCB_NULL : 0) |
                (static_cast<DWORD>(FFlowControl.ControlRTS()) << DCB_RTS_CONTROL_SHIFT);
    // A quarter of the input queue, as the XON/XOFF thresholds; the record holds 16 bits of it.
    Dcb.XonLim = static_cast<std::uint16_t>(FBuffer.InputSize() / 4);
    Dcb.XoffLim = Dcb.XonLim;
    Dcb.ByteSize = static_cast<std::uint8_t>(5 + FDataBits);
    Dcb.Parity = static_cast<std::uint8_t>(FParity.Bits());
    Dcb.StopBits = static_cast<std::uint8_t>(FStopBits);
    Dcb.XonChar = FFlowControl.XonChar();
    Dcb.XoffChar = FFlowControl.XoffChar();
    Dcb.ErrorChar = ErrorChar ? FParity.ReplaceChar() : 0;
    Dcb.EvtChar = FEventChar;
    return Dcb;
}

void TCustomComPort::ApplyLineSettings() {
    if (CanApply() && !FDriver.SetCommState(FDeviceHandle, BuildDCB()))
        throw EComPort(peSetCommState, LastErrorCode());
}

void TCustomComPort::ApplyTimeoutSettings() {
    if (!CanApply())
        return;
    COMMTIMEOUTS Timeouts;
    Timeouts.ReadIntervalTimeout = static_cast<DWORD>(FTimeouts.ReadInterval());
    Timeouts.ReadTotalTimeoutMultiplier = static_cast<DWORD>(FTimeouts.ReadTotalMultiplier());
    Timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(FTimeouts.ReadTotalConstant());
    Timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(FTimeouts.WriteTotalMultiplier());
    Timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(FTimeouts.WriteTotalConstant());
    if (!FDriver.SetCommTimeouts(FDeviceHandle, Timeouts))
        throw EComPort(peSetCommTimeouts, LastErrorCode());
}

void TCustomComPort::ApplyQueueSizes() {
    if (CanApply() && !FDriver.SetupComm(FDeviceHandle, static_cast<DWORD>(FBuffer.InputSize()),
                                         static_cast<DWORD>(FBuffer.OutputSize())))
        throw EComPort(peSetupComm, LastErrorCode());
}

// ---- Reading and writing

std::int32_t TCustomComPort::BeginWrite(const void *Buffer, std::int32_t Count, TComOperation *Operation) {
    if (!Operation)
        throw EComPort(peInvalidAsync);
    // A negative count would reach the driver as a huge unsigned one and read past the buffer.
    if (Count < 0)
        throw EComPort(peWriteFailed, EINVAL);
    Operation->OpKind = opWrite;
    Operation->DataCopy.reset(new char[static_cast<std::size_t>(Count)]);
    if (Count > 0)
        std::memcpy(Operation->DataCopy.get(), Buffer, static_cast<std::size_t>(Count));
    Operation->CopySize = Count;
    DWORD Written = 0;
    if (!FDriver.WriteFile(FDeviceHandle, Buffer, static_cast<DWORD>(Count), &Written,
                           &Operation->Overlapped) &&
        GetLastError() != ERROR_IO_PENDING)
        throw EComPort(peWriteFailed, LastErrorCode());
    Operation->Started = true;
    TellListeners([&](TComListener &L) { Fire(L.OnTxActivity, *this, true); });
    return static_cast<std::int32_t>(Written);
}

std::int32_t TCustomComPort::BeginWriteText(const std::string &Text, TComOperation *Operation) {
    if (Text.empty())
        return 0;
    return BeginWrite(Text.data(), static_cast<std::int32_t>(Text.size()), Operation);
}

std::int32_t TCustomComPort::WriteText(const std::string &Text) {
    TOperationGuard Guard;
    BeginWriteText(Text, Guard.Operation);
    return WaitForOperation(Guard.Operation);
}

std::int32_t TCustomComPort::BeginRead(void *Buffer, std::int32_t Count, TComOperation *Operation) {
    if (!Operation)
        throw EComPort(peInvalidAsync);
    if (Count < 0)
        throw EComPort(peReadFailed, EINVAL);
    Operation->OpKind = opRead;
    DWORD Read = 0;
    if (!FDriver.ReadFile(FDeviceHandle, Buffer, static_cast<DWORD>(Count), &Read, &Operation->Overlapped) &&
        GetLastError() != ERROR_IO_PENDING)
        throw EComPort(peReadFailed, LastErrorCode());
    Operation->Started = true;
    return static_cast<std::int32_t>(Read);
}

std::int32_t TCustomComPort::ReadBytes(void *Buffer, std::int32_t Count) {
    TOperationGuard Guard;
    BeginRead(Buffer, Count, Guard.Operation);
    return WaitForOperation(Guard.Operation);
}

std::int32_t TCustomComPort::BeginReadText(std::string &Text, std::int32_t Count, TComOperation *Operation) {
    Text.resize(Count > 0 ? static_cast<std::size_t>(Count) : 0);
    if (Count <= 0)
        return 0;
    return BeginRead(Text.data(), Count, Operation);
}

std::int32_t TCustomComPort::ReadText(std::string &Text, std::int32_t Count) {
    TOperationGuard Guard;
    BeginReadText(Text, Count, Guard.Operation);
    const std::int32_t Read = WaitForOperation(Guard.Operation);
    Text.resize(static_cast<std::size_t>(Read));
    return Read;
}

std::int32_t TCustomComPort::WaitForOperation(TComOperation *Operation) {
    if (!Operation)
        throw EComPort(peInvalidAsync);
    if (!Operation->Started)
        return 0; // nothing was started with this record, so nothing can have failed
    DWORD Transferred = 0;
    if (WaitForSingleObject(Operation->Event) != WAIT_OBJECT_0 ||
        !FDriver.GetOverlappedResult(FDeviceHandle, &Operation->Overlapped, &Transferred, false))
        throw EComPort(Operation->OpKind == opWrite ? peWriteFailed : peReadFailed, LastErrorCode());
    // A record reused for a read after a write still holds the write's copy: only a write reports it.
    if (Operation->OpKind == opRead) {
        if (!FListeners.empty() && InputQueueCount() == 0)
            TellListeners([&](TComListener &L) { Fire(L.OnRxActivity, *this, false); });
    } else if (Operation->DataCopy) {
        TellListeners([&](TComListener &L) {
            Fire(L.OnTxData, *this, static_cast<const void *>(Operation->DataCopy.get()),
                 Operation->CopySize);
        });
    }
    return static_cast<std::int32_t>(Transferred);
}

void TCustomComPort::AbortAllOperations() {
    if (!FDriver.PurgeComm(FDeviceHandle, PURGE_TXABORT | PURGE_RXABORT))
        throw EComPort(pePurgeFailed, LastErrorCode());
}

std::int32_t TCustomComPort::InputQueueCount() {
    DWORD Errors = 0;
    COMSTAT Stat;
    if (!FDriver.ClearCommError(FDeviceHandle, &Errors, &Stat))
        throw EComPort(peClearCommError, LastErrorCode());
    FUnfetchedErrors.fetch_or(Errors);
    return static_cast<std::int32_t>(Stat.cbInQue);
}

TComModemLines TCustomComPort::ModemLines() {
    DWORD Status = 0;
    if (!FDriver.GetCommModemStatus(FDeviceHandle, &Status))
        throw EComPort(peModemStatus, LastErrorCode());
    TComModemLines Lines;
    if (Status & MS_CTS_ON)
        Lines.Include(mlCTS);
    if (Status & MS_DSR_ON)
        Lines.Include(mlDSR);
    if (Status & MS_RING_ON)
        Lines.Include(mlRing);
    if (Status & MS_RLSD_ON)
        Lines.Include(mlRLSD);
    return Lines;
}

TComErrors TCustomComPort::FetchLineErrors() {
    DWORD Errors = 0;
    COMSTAT Stat;
    if (!FDriver.ClearCommError(FDeviceHandle, &Errors, &Stat))
        throw EComPort(peClearCommError, LastErrorCode());
    Errors |= FUnfetchedErrors.exchange(0);
    if (!FParity.Check())
        Errors &= ~CE_RXPARITY;
    TComErrors Result;
    for (std::size_t i = 0; i < ErrorBits.size(); ++i)
        if (Errors & ErrorBits[i])
            Result.Include(static_cast<TComError>(i));
    return Result;
}

// ---- Listeners and events

void TCustomComPort::AttachListener(TComListener &Listener) {
    for (TComListener *L : FListeners)
        if (L == &Listener)
            return;
    FListeners.push_back(&Listener);
}

void TCustomComPort::DetachListener(TComListener &Listener) {
    std::erase(FListeners, &Listener);
}

template <typename F> void TCustomComPort::TellListeners(F Call) {
    if (FListeners.empty())
        return;
    // A copy, so a callback that attaches or detaches does not pull the list from under the loop.
    const std::vector<TComListener *> Listeners = FListeners;
    for (TComListener *L : Listeners)
        Call(*L);
}

void TCustomComPort::DeliverEvents(TComEvents Events) {
    if (Events.Contains(evError))
        ProcessError();
    if (Events.Contains(evRxChar))
        ProcessRxChar();
    if (Events.Contains(evTxEmpty))
        ProcessTxEmpty();
    if (Events.Contains(evBreak))
        ProcessBreak();
    if (Events.Contains(evRing))
        ProcessRing();
    if (Events.Contains(evCTS))
        ProcessCTSChange();
    if (Events.Contains(evDSR))
        ProcessDSRChange();
    if (Events.Contains(evRxFlag))
        ProcessRxFlag();
    if (Events.Contains(evRLSD))
        ProcessRLSDChange();
    if (Events.Contains(evRx80Full))
        ProcessRx80Full();
}

void TCustomComPort::NotifyWindowProc(std::uint32_t Message, DWORD WParam) noexcept {
    if (Message != WM_PORTEVENT || !FConnected)
        return;
    const TComEvents Kind = MaskToEvents(WParam);
    // Exactly one kind's bit; anything else is not ours.
    if (Kind.Empty() || EventsToMask(Kind) != WParam || (WParam & (WParam - 1)) != 0)
        return;
    try {
        DeliverEvents(Kind);
    } catch (...) {
        ReportApplicationError();
    }
}

void TCustomComPort::ProcessRxChar() {
    std::int32_t Count = InputQueueCount();
    if (Count <= 0)
        return;
    TellListeners([&](TComListener &L) { Fire(L.OnRxActivity, *this, true); });
    DeliverRxData(Count);
    if (Count > 0)
        FireRxChar(Count);
}

void TCustomComPort::DeliverRxData(std::int32_t &Count) {
    if (Count <= 0 || (FCountOnRxChar && !FHasRxBufListener))
        return;
    std::vector<char> Buffer;
    std::int32_t Read = -1; // -1: not read yet
    auto ReadOnce = [&] {
        Buffer.resize(static_cast<std::size_t>(Count));
        // Only the bytes actually read are handed on: the driver may return fewer than it counted.
        Read = ReadBytes(Buffer.data(), Count);
        FireRxBuf(Buffer.data(), Read);
    };
    TellListeners([&](TComListener &L) {
        if (!L.OnRxBuf)
            return;
        if (Read < 0)
            ReadOnce();
        Fire(L.OnRxBuf, *this, static_cast<const void *>(Buffer.data()), Read);
    });
    if (Read < 0 && !FCountOnRxChar)
        ReadOnce();
    if (Read >= 0)
        Count = 0;
}

void TCustomComPort::ProcessTxEmpty() {
    TellListeners([&](TComListener &L) { Fire(L.OnTxActivity, *this, false); });
    TellListeners([&](TComListener &L) { Fire(L.OnTxEmpty, *this); });
    FireTxEmpty();
}

void TCustomComPort::ProcessRxFlag() {
    TellListeners([&](TComListener &L) { Fire(L.OnRxFlag, *this); });
    FireRxFlag();
}

void TCustomComPort::ProcessRing() {
    TellListeners([&](TComListener &L) { Fire(L.OnRing, *this); });
    FireRing();
}

void TCustomComPort::ProcessBreak() {
    FireBreak();
}
void TCustomComPort::ProcessRx80Full() {
    FireRx80Full();
}

void TCustomComPort::ProcessCTSChange() {
    const bool On = ModemLines().Contains(mlCTS);
    TellListeners([&](TComListener &L) { Fire(L.OnCTSChange, *this, On); });
    FireCTSChange(On);
}

void TCustomComPort::ProcessDSRChange() {
    const bool On = ModemLines().Contains(mlDSR);
    TellListeners([&](TComListener &L) { Fire(L.OnDSRChange, *this, On); });
    FireDSRChange(On);
}

void TCustomComPort::ProcessRLSDChange() {
    const bool On = ModemLines().Contains(mlRLSD);
    TellListeners([&](TComListener &L) { Fire(L.OnRLSDChange, *this, On); });
    FireRLSDChange(On);
}

void TCustomComPort::ProcessError() {
    const TComErrors Errors = FetchLineErrors();
    if (!Errors.Empty())
        FireError(Errors);
}

void TCustomComPort::ProcessBeforeOpen() {
    FireBeforeOpen();
}

void TCustomComPort::ProcessAfterOpen() {
    TellListeners([&](TComListener &L) { Fire(L.OnConnectionChange, *this, true); });
    FireAfterOpen();
    AnnounceLineStates(true);
}

void TCustomComPort::ProcessBeforeClose() {
    AnnounceLineStates(false);
    FireBeforeClose();
}

void TCustomComPort::ProcessAfterClose() {
    TellListeners([&](TComListener &L) { Fire(L.OnConnectionChange, *this, false); });
    FireAfterClose();
}

void TCustomComPort::AnnounceLineStates(bool Opened) {
    if (Opened) {
        ProcessCTSChange();
        ProcessDSRChange();
        ProcessRLSDChange();
        return;
    }
    TellListeners([&](TComListener &L) { Fire(L.OnCTSChange, *this, false); });
    TellListeners([&](TComListener &L) { Fire(L.OnDSRChange, *this, false); });
    TellListeners([&](TComListener &L) { Fire(L.OnRLSDChange, *this, false); });
    FireCTSChange(false);
    FireDSRChange(false);
    FireRLSDChange(false);
}

void TCustomComPort::FireAfterClose() {
    Fire(FOnAfterClose, *this);
}
void TCustomComPort::FireAfterOpen() {
    Fire(FOnAfterOpen, *this);
}
void TCustomComPort::FireBeforeClose() {
    Fire(FOnBeforeClose, *this);
}
void TCustomComPort::FireBeforeOpen() {
    Fire(FOnBeforeOpen, *this);
}
void TCustomComPort::FireRxChar(std::int32_t Count) {
    Fire(FOnRxChar, *this, Count);
}
void TCustomComPort::FireRxBuf(const void *Buffer, std::int32_t Count) {
    Fire(FOnRxBuf, *this, Buffer, Count);
}
void TCustomComPort::FireTxEmpty() {
    Fire(FOnTxEmpty, *this);
}
void TCustomComPort::FireBreak() {
    Fire(FOnBreak, *this);
}
void TCustomComPort::FireRing() {
    Fire(FOnRing, *this);
}
void TCustomComPort::FireRxFlag() {
    Fire(FOnRxFlag, *this);
}
void TCustomComPort::FireCTSChange(bool OnOff) {
    Fire(FOnCTSChange, *this, OnOff);
}
void TCustomComPort::FireDSRChange(bool OnOff) {
    Fire(FOnDSRChange, *this, OnOff);
}
void TCustomComPort::FireError(TComErrors Errors) {
    Fire(FOnError, *this, Errors);
}
void TCustomComPort::FireRLSDChange(bool OnOff) {
    Fire(FOnRLSDChange, *this, OnOff);
}
void TCustomComPort::FireRx80Full() {
    Fire(FOnRx80Full, *this);
}
