// Handles, look-ups and the checks every table-driven driver makes before its device sees a call.
#include "serial/driver/DeviceTable.h"

#include <cerrno>

namespace ComApi {

TDeviceTable::~TDeviceTable() {
    std::map<HANDLE, std::shared_ptr<TTableDevice>> devices;
    {
        std::lock_guard lock(FMutex);
        devices.swap(FDevices);
    }
    for (auto &[handle, device] : devices)
        device->Close();
}

HANDLE TDeviceTable::Add(std::shared_ptr<TTableDevice> Device) {
    std::lock_guard lock(FMutex);
    const HANDLE handle = FNextHandle++;
    FDevices.emplace(handle, std::move(Device));
    return handle;
}

std::shared_ptr<TTableDevice> TDeviceTable::Find(HANDLE Handle) {
    std::lock_guard lock(FMutex);
    auto it = FDevices.find(Handle);
    if (it == FDevices.end()) {
        SetLastError(EBADF);
        return nullptr;
    }
    return it->second;
}

bool TDeviceTable::CloseHandle(HANDLE Handle) {
    std::shared_ptr<TTableDevice> device;
    {
        std::lock_guard lock(FMutex);
        auto it = FDevices.find(Handle);
        if (it == FDevices.end())
            return FailWith(EBADF);
        device = std::move(it->second);
        FDevices.erase(it);
    }
    device->Close();
    return true;
}

bool TDeviceTable::SetupComm(HANDLE Handle, DWORD InQueue, DWORD) {
    auto device = Find(Handle);
    return device && device->SetupComm(InQueue);
}

bool TDeviceTable::SetCommState(HANDLE Handle, const DCB &Dcb) {
    auto device = Find(Handle);
    return device && device->SetCommState(Dcb);
}

bool TDeviceTable::SetCommTimeouts(HANDLE Handle, const COMMTIMEOUTS &Timeouts) {
    auto device = Find(Handle);
    return device && device->SetCommTimeouts(Timeouts);
}

bool TDeviceTable::ClearCommError(HANDLE Handle, DWORD *Errors, COMSTAT *Stat) {
    auto device = Find(Handle);
    return device && device->ClearCommError(Errors, Stat);
}

bool TDeviceTable::GetCommModemStatus(HANDLE Handle, DWORD *ModemStat) {
    auto device = Find(Handle);
    return device && device->GetCommModemStatus(ModemStat);
}

bool TDeviceTable::PurgeComm(HANDLE Handle, DWORD Flags) {
    auto device = Find(Handle);
    return device && device->PurgeComm(Flags);
}

bool TDeviceTable::ReadFile(HANDLE Handle, void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Ov) {
    if (!Ov)
        return FailWith(EINVAL);
    auto device = Find(Handle);
    return device && device->ReadFile(Buffer, Count, Read, Ov);
}

bool TDeviceTable::WriteFile(HANDLE Handle, const void *Buffer, DWORD Count, DWORD *Written,
                             TOverlapped *Ov) {
    if (!Ov)
        return FailWith(EINVAL);
    auto device = Find(Handle);
    return device && device->WriteFile(Buffer, Count, Written, Ov);
}

bool TDeviceTable::GetOverlappedResult(HANDLE Handle, TOverlapped *Ov, DWORD *Transferred, bool Wait) {
    if (!Ov)
        return FailWith(EINVAL);
    auto device = Find(Handle);
    if (!device)
        return false;
    if (Ov->Internal == ERROR_IO_PENDING) {
        if (!Wait)
            return FailWith(ERROR_IO_INCOMPLETE);
        if (!Ov->hEvent)
            return FailWith(EINVAL);
        if (WaitForSingleObject(*Ov->hEvent) != WAIT_OBJECT_0)
            return false;
    }
    device->Settle();
    if (Transferred)
        *Transferred = Ov->InternalHigh;
    const DWORD error = Ov->Internal;
    return error == 0 || FailWith(error);
}

bool TDeviceTable::SetCommMask(HANDLE Handle, DWORD Mask) {
    auto device = Find(Handle);
    return device && device->SetCommMask(Mask);
}

bool TDeviceTable::WaitCommEvent(HANDLE Handle, DWORD *Mask, TOverlapped *Ov) {
    if (!Ov || !Mask)
        return FailWith(EINVAL);
    auto device = Find(Handle);
    return device && device->WaitCommEvent(Mask, Ov);
}

} // namespace ComApi
