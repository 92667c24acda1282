// The scriptable driver: the whole device lives in memory under one mutex, and every completion is
// made inside the call that causes it, so tests never depend on timing. The device's rules are the
// shared state machine's; what is here is scripting, refusals and the call log.
#include "serial/testing/ScriptComDriver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <set>
#include <stdexcept>
#include <utility>

namespace ComApi {

namespace {
const std::set<std::string> &KnownFunctions() {
    static const std::set<std::string> names{
        "CreateFile",          "CloseHandle",        "SetupComm",    "SetCommState", "SetCommTimeouts",
        "ClearCommError",      "GetCommModemStatus", "PurgeComm",    "ReadFile",     "WriteFile",
        "GetOverlappedResult", "SetCommMask",        "WaitCommEvent"};
    return names;
}

// The scripted line has no clock: every deadline is measured from this one moment and never looked at.
constexpr TOverlappedDevice::TTime NoClock{};
} // namespace

TScriptComDriver::~TScriptComDriver() {
    std::lock_guard lock(FMutex);
    for (auto &[name, device] : FDevices)
        device.Core.Close();
}

std::ptrdiff_t TScriptComDriver::TDevice::Send(const char *Bytes, std::size_t Count) {
    if (Hold)
        return 0;
    Written.append(Bytes, Count);
    return static_cast<std::ptrdiff_t>(Count);
}

// ---- Helpers (FMutex held)

std::size_t TScriptComDriver::Log(const char *Function, HANDLE Handle) {
    FCalls.push_back(TScriptCall{});
    FCalls.back().Function = Function;
    FCalls.back().Handle = Handle;
    FCallLogged.notify_all();
    return FCalls.size() - 1;
}

bool TScriptComDriver::Finish(std::size_t Index, bool Result, DWORD Error) {
    if (Index < FCalls.size()) {
        FCalls[Index].Result = Result;
        FCalls[Index].Error = Result ? 0 : Error;
    }
    if (!Result)
        SetLastError(Error);
    return Result;
}

bool TScriptComDriver::Finish(std::size_t Index, bool Result) {
    return Finish(Index, Result, Result ? 0 : GetLastError());
}

bool TScriptComDriver::Refused(std::size_t Index) {
    auto it = FFailures.find(FCalls[Index].Function);
    if (it == FFailures.end())
        return false;
    const DWORD error = it->second.Error;
    if (it->second.Times > 0 && --it->second.Times == 0)
        FFailures.erase(it);
    Finish(Index, false, error);
    return true;
}

TScriptComDriver::TDevice *TScriptComDriver::Target(std::size_t Index, HANDLE Handle, bool DeadFails) {
    if (Refused(Index))
        return nullptr;
    TDevice *device = Find(Handle);
    if (!device)
        Finish(Index, false, EBADF);
    else if (!device->Core.Usable(DeadFails))
        Finish(Index, false);
    else
        return device;
    return nullptr;
}

TScriptComDriver::TDevice *TScriptComDriver::Find(HANDLE Handle) {
    if (Handle == INVALID_HANDLE_VALUE)
        return nullptr;
    for (auto &[name, device] : FDevices)
        if (device.Handle == Handle)
            return &device;
    return nullptr;
}

TScriptComDriver::TDevice &TScriptComDriver::Named(const std::string &Name) {
    return const_cast<TDevice &>(std::as_const(*this).Named(Name));
}

const TScriptComDriver::TDevice &TScriptComDriver::Named(const std::string &Name) const {
    if (!Name.empty()) {
        auto it = FDevices.find(Name);
        if (it == FDevices.end())
            throw std::logic_error("TScriptComDriver: no device named " + Name);
        return it->second;
    }
    const TDevice *open = nullptr;
    for (auto &[name, device] : FDevices)
        if (device.Handle != INVALID_HANDLE_VALUE) {
            if (open)
                throw std::logic_error("TScriptComDriver: several devices are open; name one");
            open = &device;
        }
    if (!open)
        throw std::logic_error("TScriptComDriver: no device is open");
    return *open;
}

void TScriptComDriver::Report(TDevice &Device, DWORD Events) {
    if (Device.Handle != INVALID_HANDLE_VALUE)
        Device.Core.Report(Events);
}

// ---- Scripting

void TScriptComDriver::AddDevice(const std::string &Name) {
    std::lock_guard lock(FMutex);
    FDevices.try_emplace(Name);
}

bool TScriptComDriver::IsOpen(const std::string &Name) const {
    std::lock_guard lock(FMutex);
    auto it = FDevices.find(Name);
    return it != FDevices.end() && it->second.Handle != INVALID_HANDLE_VALUE;
}

HANDLE TScriptComDriver::HandleOf(const std::string &Name) const {
    std::lock_guard lock(FMutex);
    return Named(Name).Handle;
}

void TScriptComDriver::PushRx(std::string_view Bytes, const std::string &Device) {
    std::lock_guard lock(FMutex);
    TDevice &device = Named(Device);
    if (device.Handle == INVALID_HANDLE_VALUE || device.Core.HungUp() || Bytes.empty())
        return; // nothing receives on a closed or vanished device
    device.Core.Put(Bytes);
    device.Core.EndBatch(NoClock);
}

void TScriptComDriver::AddLineErrors(DWORD Errors, const std::string &Device) {
    std::lock_guard lock(FMutex);
    TDevice &device = Named(Device);
    if (Errors == 0)
        return;
    device.Core.AddErrors(Errors);
    Report(device, EV_ERR | ((Errors & CE_BREAK) ? EV_BREAK : 0));
}

void TScriptComDriver::SetModemStatus(DWORD ModemStat, const std::string &Device) {
    std::lock_guard lock(FMutex);
    TDevice &device = Named(Device);
    const DWORD changed = device.Modem ^ ModemStat;
    device.Modem = ModemStat;
    DWORD events = 0;
    if (changed & MS_CTS_ON)
        events |= EV_CTS;
    if (changed & MS_DSR_ON)
        events |= EV_DSR;
    if (changed & MS_RLSD_ON)
        events |= EV_RLSD;
    if ((changed & MS_RING_ON) && (ModemStat & MS_RING_ON))
        events |= EV_RING;
    Report(device, events);
}

void TScriptComDriver::RaiseEvents(DWORD Events, const std::string &Device) {
    std::lock_guard lock(FMutex);
    Report(Named(Device), Events);
}

void TScriptComDriver::TimeOutReads(const std::string &Device) {
    std::lock_guard lock(FMutex);
    Named(Device).Core.TimeOutReads();
}

void TScriptComDriver::HangUp(const std::string &Device) {
    std::lock_guard lock(FMutex);
    TDevice &device = Named(Device);
    if (device.Handle != INVALID_HANDLE_VALUE)
        device.Core.HangUp();
}

void TScriptComDriver::HoldWrites(bool Hold) {
    std::lock_guard lock(FMutex);
    FHoldWrites = Hold;
}

void TScriptComDriver::ReleaseWrites(const std::string &Device) {
    std::lock_guard lock(FMutex);
    TDevice &device = Named(Device);
    if (device.Core.PendingWrites() == 0)
        return;
    device.Hold = false;
    device.Core.SendPending(device);
    Report(device, EV_TXEMPTY);
}

std::size_t TScriptComDriver::Queued(const std::string &Device) const {
    std::lock_guard lock(FMutex);
    return Named(Device).Core.Queued();
}

DWORD TScriptComDriver::CommMask(const std::string &Device) const {
    std::lock_guard lock(FMutex);
    return Named(Device).Core.Mask();
}

std::size_t TScriptComDriver::PendingReads(const std::string &Device) const {
    std::lock_guard lock(FMutex);
    return Named(Device).Core.PendingReads();
}

std::size_t TScriptComDriver::PendingWrites(const std::string &Device) const {
    std::lock_guard lock(FMutex);
    return Named(Device).Core.PendingWrites();
}

bool TScriptComDriver::WaitPending(const std::string &Device) const {
    std::lock_guard lock(FMutex);
    return Named(Device).Core.WaitPending();
}

std::string TScriptComDriver::Written(const std::string &Device) const {
    std::lock_guard lock(FMutex);
    return Named(Device).Written;
}

void TScriptComDriver::FailNext(const std::string &Function, DWORD Error, unsigned Times) {
    if (!KnownFunctions().contains(Function))
        throw std::invalid_argument("TScriptComDriver: no driver function " + Function);
    if (Times == 0)
        return;
    std::lock_guard lock(FMutex);
    FFailures[Function] = TFailure{Error, Times};
}

void TScriptComDriver::FailAlways(const std::string &Function, DWORD Error) {
    if (!KnownFunctions().contains(Function))
        throw std::invalid_argument("TScriptComDriver: no driver function " + Function);
    std::lock_guard lock(FMutex);
    FFailures[Function] = TFailure{Error, 0};
}

void TScriptComDriver::ClearFailures() {
    std::lock_guard lock(FMutex);
    FFailures.clear();
}

std::vector<TScriptCall> TScriptComDriver::Calls() const {
    std::lock_guard lock(FMutex);
    return FCalls;
}

std::vector<std::string> TScriptComDriver::CallNames() const {
    std::lock_guard lock(FMutex);
    std::vector<std::string> names;
    for (const TScriptCall &call : FCalls)
        names.push_back(call.Function);
    return names;
}

std::vector<TScriptCall> TScriptComDriver::CallsOf(const std::string &Function) const {
    std::lock_guard lock(FMutex);
    std::vector<TScriptCall> calls;
    for (const TScriptCall &call : FCalls)
        if (call.Function == Function)
            calls.push_back(call);
    return calls;
}

void TScriptComDriver::ClearCalls() {
    std::lock_guard lock(FMutex);
    FCalls.clear();
    ++FClears;
}

bool TScriptComDriver::WaitForCalls(const std::string &Function, std::size_t Count,
                                    DWORD Milliseconds) const {
    std::unique_lock lock(FMutex);
    return FCallLogged.wait_for(lock, std::chrono::milliseconds(Milliseconds), [&] {
        return static_cast<std::size_t>(
                   std::count_if(FCalls.begin(), FCalls.end(),
                                 [&](const TScriptCall &c) { return c.Function == Function; })) >= Count;
    });
}

// ---- TComDriver

HANDLE TScriptComDriver::CreateFile(const std::string &Name) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("CreateFile", INVALID_HANDLE_VALUE);
    FCalls[index].Name = Name;
    if (Refused(index))
        return INVALID_HANDLE_VALUE;
    auto it = FDevices.find(Name);
    if (it == FDevices.end())
        return Finish(index, false, ENOENT), INVALID_HANDLE_VALUE;
    TDevice &device = it->second;
    if (device.Handle != INVALID_HANDLE_VALUE)
        return Finish(index, false, EBUSY), INVALID_HANDLE_VALUE;
    device.Core = TOverlappedDevice(); // the modem lines and what was written stay
    device.Handle = FNextHandle++;
    FCalls[index].Handle = device.Handle;
    Finish(index, true, 0);
    return device.Handle;
}

bool TScriptComDriver::CloseHandle(HANDLE Handle) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("CloseHandle", Handle);
    // Works on a hung-up device too.
    TDevice *device = Target(index, Handle, false);
    if (!device)
        return false;
    device->Core.Close();
    device->Handle = INVALID_HANDLE_VALUE;
    return Finish(index, true, 0);
}

bool TScriptComDriver::SetupComm(HANDLE Handle, DWORD InQueue, DWORD OutQueue) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("SetupComm", Handle);
    FCalls[index].InQueue = InQueue;
    FCalls[index].OutQueue = OutQueue;
    TDevice *device = Target(index, Handle, true);
    return device && Finish(index, device->Core.SetupComm(InQueue, *device));
}

bool TScriptComDriver::SetCommState(HANDLE Handle, const DCB &Dcb) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("SetCommState", Handle);
    FCalls[index].Dcb = Dcb;
    TDevice *device = Target(index, Handle, true);
    return device && Finish(index, device->Core.SetCommState(Dcb));
}

bool TScriptComDriver::SetCommTimeouts(HANDLE Handle, const COMMTIMEOUTS &Timeouts) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("SetCommTimeouts", Handle);
    FCalls[index].Timeouts = Timeouts;
    TDevice *device = Target(index, Handle, true);
    return device && Finish(index, device->Core.SetCommTimeouts(Timeouts));
}

bool TScriptComDriver::ClearCommError(HANDLE Handle, DWORD *Errors, COMSTAT *Stat) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("ClearCommError", Handle);
    // Works on a hung-up device too.
    TDevice *device = Target(index, Handle, false);
    return device && Finish(index, device->Core.ClearCommError(Errors, Stat));
}

bool TScriptComDriver::GetCommModemStatus(HANDLE Handle, DWORD *ModemStat) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("GetCommModemStatus", Handle);
    TDevice *device = Target(index, Handle, true);
    if (!device)
        return false;
    if (ModemStat)
        *ModemStat = device->Modem;
    return Finish(index, true, 0);
}

bool TScriptComDriver::PurgeComm(HANDLE Handle, DWORD Flags) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("PurgeComm", Handle);
    FCalls[index].Flags = Flags;
    // Works after a hang-up too: closing a port whose adapter was pulled must still succeed.
    TDevice *device = Target(index, Handle, false);
    return device && Finish(index, device->Core.PurgeComm(Flags, *device));
}

bool TScriptComDriver::ReadFile(HANDLE Handle, void *Buffer, DWORD Count, DWORD *Read,
                                TOverlapped *Overlapped) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("ReadFile", Handle);
    FCalls[index].Count = Count;
    FCalls[index].Overlapped = Overlapped;
    if (Refused(index))
        return false;
    if (!Overlapped)
        return Finish(index, false, EINVAL);
    TDevice *device = Find(Handle);
    if (!device)
        return Finish(index, false, EBADF);
    return Finish(index, device->Core.ReadFile(Buffer, Count, Read, Overlapped, NoClock, *device));
}

bool TScriptComDriver::WriteFile(HANDLE Handle, const void *Buffer, DWORD Count, DWORD *Written,
                                 TOverlapped *Overlapped) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("WriteFile", Handle);
    FCalls[index].Count = Count;
    FCalls[index].Bytes.assign(static_cast<const char *>(Buffer), Count);
    FCalls[index].Overlapped = Overlapped;
    if (Refused(index))
        return false;
    if (!Overlapped)
        return Finish(index, false, EINVAL);
    TDevice *device = Find(Handle);
    if (!device)
        return Finish(index, false, EBADF);
    device->Hold = FHoldWrites;
    const bool done = device->Core.WriteFile(Buffer, Count, Written, Overlapped, NoClock, *device);
    if (done && Count > 0)
        Report(*device, EV_TXEMPTY);
    return Finish(index, done);
}

bool TScriptComDriver::GetOverlappedResult(HANDLE Handle, TOverlapped *Overlapped, DWORD *Transferred,
                                           bool Wait) {
    std::unique_lock lock(FMutex);
    std::size_t index = Log("GetOverlappedResult", Handle);
    FCalls[index].Wait = Wait;
    FCalls[index].Overlapped = Overlapped;
    if (Refused(index))
        return false;
    if (!Overlapped)
        return Finish(index, false, EINVAL);
    if (!Find(Handle))
        return Finish(index, false, EBADF);
    if (Overlapped->Internal == ERROR_IO_PENDING) {
        if (!Wait || !Overlapped->hEvent)
            return Finish(index, false, ERROR_IO_INCOMPLETE);
        // The operation ends under the mutex, so wait for its event without holding it.
        const unsigned clears = FClears;
        lock.unlock();
        WaitForSingleObject(*Overlapped->hEvent);
        lock.lock();
        if (clears != FClears)
            index = FCalls.size(); // the log was cleared meanwhile: Finish then skips the entry
    }
    if (Transferred)
        *Transferred = Overlapped->InternalHigh;
    const DWORD error = Overlapped->Internal;
    return Finish(index, error == 0, error);
}

bool TScriptComDriver::SetCommMask(HANDLE Handle, DWORD Mask) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("SetCommMask", Handle);
    FCalls[index].Mask = Mask;
    // Works on a hung-up device too.
    TDevice *device = Target(index, Handle, false);
    return device && Finish(index, device->Core.SetCommMask(Mask));
}

bool TScriptComDriver::WaitCommEvent(HANDLE Handle, DWORD *Mask, TOverlapped *Overlapped) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("WaitCommEvent", Handle);
    FCalls[index].Overlapped = Overlapped;
    if (Refused(index))
        return false;
    if (!Overlapped || !Mask)
        return Finish(index, false, EINVAL);
    TDevice *device = Find(Handle);
    if (!device)
        return Finish(index, false, EBADF);
    return Finish(index, device->Core.WaitCommEvent(Mask, Overlapped));
}

} // namespace ComApi
