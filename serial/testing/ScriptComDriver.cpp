// The scriptable driver: the whole device lives in memory under one mutex, and every completion is
// made inside the call that causes it, so tests never depend on timing.
#include "serial/testing/ScriptComDriver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
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

bool ImmediateRead(const COMMTIMEOUTS &T) {
    return T.ReadIntervalTimeout == MAXDWORD && T.ReadTotalTimeoutMultiplier == 0 &&
           T.ReadTotalTimeoutConstant == 0;
}

bool FirstBytesRead(const COMMTIMEOUTS &T) {
    return T.ReadIntervalTimeout == MAXDWORD && T.ReadTotalTimeoutMultiplier == MAXDWORD &&
           T.ReadTotalTimeoutConstant != 0 && T.ReadTotalTimeoutConstant != MAXDWORD;
}
} // namespace

TScriptComDriver::~TScriptComDriver() {
    std::lock_guard lock(FMutex);
    for (auto &[name, device] : FDevices)
        EndAll(device, ECANCELED);
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
    else if (DeadFails && device->HungUp)
        Finish(Index, false, EIO);
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

void TScriptComDriver::Start(TOverlapped *Overlapped) {
    Overlapped->InternalHigh = 0;
    Overlapped->Internal = ERROR_IO_PENDING;
    if (Overlapped->hEvent)
        Overlapped->hEvent->Reset();
}

void TScriptComDriver::End(TOverlapped *Overlapped, DWORD Error, DWORD Bytes) {
    Overlapped->InternalHigh = Bytes;
    Overlapped->Internal = Error;
    if (Overlapped->hEvent)
        Overlapped->hEvent->Set();
}

void TScriptComDriver::Report(TDevice &Device, DWORD Events) {
    Events &= Device.Mask;
    if (Events == 0 || Device.Handle == INVALID_HANDLE_VALUE)
        return;
    if (Device.WaitOverlapped) {
        *Device.WaitMask = Events;
        End(std::exchange(Device.WaitOverlapped, nullptr), 0, 0);
        Device.WaitMask = nullptr;
    } else {
        Device.Remembered |= Events;
    }
}

void TScriptComDriver::Feed(TDevice &Device, std::string_view Bytes) {
    const std::size_t before = Device.Input.size();
    while (!Bytes.empty() && !Device.Reads.empty()) {
        TRead &read = Device.Reads.front();
        const DWORD n = static_cast<DWORD>(std::min<std::size_t>(read.Count - read.Done, Bytes.size()));
        std::memcpy(read.Buffer + read.Done, Bytes.data(), n);
        read.Done += n;
        Bytes.remove_prefix(n);
        if (read.Done == read.Count || read.FirstBytesEnd) {
            End(read.Overlapped, 0, read.Done);
            Device.Reads.pop_front();
        }
    }
    Device.Input.append(Bytes);
    const std::size_t limit = Device.InputSize * 8 / 10;
    if (before < limit && Device.Input.size() >= limit)
        Report(Device, EV_RX80FULL);
}

void TScriptComDriver::EndAll(TDevice &Device, DWORD Error) {
    for (TRead &read : Device.Reads)
        End(read.Overlapped, Error, read.Done);
    Device.Reads.clear();
    for (TWrite &write : Device.Writes)
        End(write.Overlapped, Error, 0);
    Device.Writes.clear();
    if (Device.WaitOverlapped) {
        End(std::exchange(Device.WaitOverlapped, nullptr), Error, 0);
        Device.WaitMask = nullptr;
    }
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
    if (device.Handle == INVALID_HANDLE_VALUE || device.HungUp || Bytes.empty())
        return; // nothing receives on a closed or vanished device
    Feed(device, Bytes);
    DWORD events = EV_RXCHAR;
    if (Bytes.find(device.Dcb.EvtChar) != std::string_view::npos)
        events |= EV_RXFLAG;
    Report(device, events);
}

void TScriptComDriver::AddLineErrors(DWORD Errors, const std::string &Device) {
    std::lock_guard lock(FMutex);
    TDevice &device = Named(Device);
    if (Errors == 0)
        return;
    device.Errors |= Errors;
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
    TDevice &device = Named(Device);
    for (TRead &read : device.Reads)
        End(read.Overlapped, 0, read.Done);
    device.Reads.clear();
}

void TScriptComDriver::HangUp(const std::string &Device) {
    std::lock_guard lock(FMutex);
    TDevice &device = Named(Device);
    if (device.Handle == INVALID_HANDLE_VALUE || device.HungUp)
        return;
    device.HungUp = true;
    device.Errors |= CE_IOE;
    Report(device, EV_ERR);
    EndAll(device, EIO);
}

void TScriptComDriver::HoldWrites(bool Hold) {
    std::lock_guard lock(FMutex);
    FHoldWrites = Hold;
}

void TScriptComDriver::ReleaseWrites(const std::string &Device) {
    std::lock_guard lock(FMutex);
    TDevice &device = Named(Device);
    if (device.Writes.empty())
        return;
    for (TWrite &write : device.Writes) {
        device.Written += write.Bytes;
        End(write.Overlapped, 0, static_cast<DWORD>(write.Bytes.size()));
    }
    device.Writes.clear();
    Report(device, EV_TXEMPTY);
}

std::size_t TScriptComDriver::Queued(const std::string &Device) const {
    std::lock_guard lock(FMutex);
    return Named(Device).Input.size();
}

DWORD TScriptComDriver::CommMask(const std::string &Device) const {
    std::lock_guard lock(FMutex);
    return Named(Device).Mask;
}

std::size_t TScriptComDriver::PendingReads(const std::string &Device) const {
    std::lock_guard lock(FMutex);
    return Named(Device).Reads.size();
}

std::size_t TScriptComDriver::PendingWrites(const std::string &Device) const {
    std::lock_guard lock(FMutex);
    return Named(Device).Writes.size();
}

bool TScriptComDriver::WaitPending(const std::string &Device) const {
    std::lock_guard lock(FMutex);
    return Named(Device).WaitOverlapped != nullptr;
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
    TDevice fresh;
    fresh.Modem = device.Modem;
    fresh.Written = std::move(device.Written);
    fresh.Handle = FNextHandle++;
    device = std::move(fresh);
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
    EndAll(*device, ECANCELED);
    device->Handle = INVALID_HANDLE_VALUE;
    return Finish(index, true, 0);
}

bool TScriptComDriver::SetupComm(HANDLE Handle, DWORD InQueue, DWORD OutQueue) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("SetupComm", Handle);
    FCalls[index].InQueue = InQueue;
    FCalls[index].OutQueue = OutQueue;
    TDevice *device = Target(index, Handle, true);
    if (!device)
        return false;
    device->InputSize = std::max<std::size_t>(InQueue, 4096);
    return Finish(index, true, 0);
}

bool TScriptComDriver::SetCommState(HANDLE Handle, const DCB &Dcb) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("SetCommState", Handle);
    FCalls[index].Dcb = Dcb;
    TDevice *device = Target(index, Handle, true);
    if (!device)
        return false;
    device->Dcb = Dcb;
    return Finish(index, true, 0);
}

bool TScriptComDriver::SetCommTimeouts(HANDLE Handle, const COMMTIMEOUTS &Timeouts) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("SetCommTimeouts", Handle);
    FCalls[index].Timeouts = Timeouts;
    TDevice *device = Target(index, Handle, true);
    if (!device)
        return false;
    device->Timeouts = Timeouts;
    return Finish(index, true, 0);
}

bool TScriptComDriver::ClearCommError(HANDLE Handle, DWORD *Errors, COMSTAT *Stat) {
    std::lock_guard lock(FMutex);
    const std::size_t index = Log("ClearCommError", Handle);
    // Works on a hung-up device too.
    TDevice *device = Target(index, Handle, false);
    if (!device)
        return false;
    if (Errors)
        *Errors = device->Errors;
    device->Errors = 0;
    if (Stat) {
        Stat->cbInQue = static_cast<DWORD>(device->Input.size());
        Stat->cbOutQue = 0;
        for (const TWrite &write : device->Writes)
            Stat->cbOutQue += static_cast<DWORD>(write.Bytes.size());
    }
    return Finish(index, true, 0);
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
    TDevice *device = Target(index, Handle, false);
    if (!device)
        return false;
    // Works after a hang-up too: closing a port whose adapter was pulled must still succeed.
    if (Flags & PURGE_RXABORT) {
        for (TRead &read : device->Reads)
            End(read.Overlapped, ECANCELED, read.Done);
        device->Reads.clear();
    }
    if (Flags & PURGE_TXABORT) {
        for (TWrite &write : device->Writes)
            End(write.Overlapped, ECANCELED, 0);
        device->Writes.clear();
    }
    if ((Flags & (PURGE_RXABORT | PURGE_TXABORT)) && device->WaitOverlapped) {
        End(std::exchange(device->WaitOverlapped, nullptr), ECANCELED, 0);
        device->WaitMask = nullptr;
    }
    if (Flags & PURGE_RXCLEAR)
        device->Input.clear();
    return Finish(index, true, 0);
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
    if (device->HungUp && device->Input.empty())
        return Finish(index, false, EIO);
    Start(Overlapped);
    const COMMTIMEOUTS &t = device->Timeouts;
    const DWORD n = static_cast<DWORD>(std::min<std::size_t>(Count, device->Input.size()));
    std::memcpy(Buffer, device->Input.data(), n);
    device->Input.erase(0, n);
    if (n == Count || ImmediateRead(t) || (n > 0 && FirstBytesRead(t)) || device->HungUp) {
        End(Overlapped, 0, n);
        if (Read)
            *Read = n;
        return Finish(index, true, 0);
    }
    device->Reads.push_back(TRead{static_cast<char *>(Buffer), Count, n, FirstBytesRead(t), Overlapped});
    if (Read)
        *Read = 0;
    return Finish(index, false, ERROR_IO_PENDING);
}

bool TScriptComDriver::WriteFile(HANDLE Handle, const void *Buffer, DWORD Count, DWORD *Written,
                                 TOverlapped *Overlapped) {
    std::lock_guard lock(FMutex);
    std::string bytes(static_cast<const char *>(Buffer), Count);
    const std::size_t index = Log("WriteFile", Handle);
    FCalls[index].Count = Count;
    FCalls[index].Bytes = bytes;
    FCalls[index].Overlapped = Overlapped;
    if (Refused(index))
        return false;
    if (!Overlapped)
        return Finish(index, false, EINVAL);
    TDevice *device = Find(Handle);
    if (!device)
        return Finish(index, false, EBADF);
    if (device->HungUp)
        return Finish(index, false, EIO);
    Start(Overlapped);
    if (FHoldWrites) {
        device->Writes.push_back(TWrite{std::move(bytes), Overlapped});
        if (Written)
            *Written = 0;
        return Finish(index, false, ERROR_IO_PENDING);
    }
    device->Written += bytes;
    End(Overlapped, 0, Count);
    if (Written)
        *Written = Count;
    if (Count > 0)
        Report(*device, EV_TXEMPTY);
    return Finish(index, true, 0);
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
    if (!device)
        return false;
    device->Mask = Mask;
    device->Remembered = 0;
    if (device->WaitOverlapped) {
        *device->WaitMask = 0;
        End(std::exchange(device->WaitOverlapped, nullptr), 0, 0);
        device->WaitMask = nullptr;
    }
    return Finish(index, true, 0);
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
    if (device->WaitOverlapped)
        return Finish(index, false, EINVAL);
    if (device->Remembered != 0) {
        Start(Overlapped);
        *Mask = std::exchange(device->Remembered, 0);
        End(Overlapped, 0, 0);
        return Finish(index, true, 0);
    }
    if (device->HungUp)
        return Finish(index, false, EIO);
    Start(Overlapped);
    device->WaitMask = Mask;
    device->WaitOverlapped = Overlapped;
    return Finish(index, false, ERROR_IO_PENDING);
}

} // namespace ComApi
