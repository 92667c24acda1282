// The calls the shared state answers alone (LockedDevice.h).
#include "serial/driver/LockedDevice.h"

#include <algorithm>
#include <cerrno>

namespace ComApi {

bool TLockedDevice::SetupComm(DWORD InQueue) {
    std::lock_guard lock(FMutex);
    return FDevice.SetupComm(InQueue, *this);
}

bool TLockedDevice::SetCommTimeouts(const COMMTIMEOUTS &Timeouts) {
    std::lock_guard lock(FMutex);
    return FDevice.SetCommTimeouts(Timeouts);
}

bool TLockedDevice::ClearCommError(DWORD *Errors, COMSTAT *Stat) {
    std::lock_guard lock(FMutex);
    return FDevice.ClearCommError(Errors, Stat);
}

bool TLockedDevice::GetCommModemStatus(DWORD *ModemStat) {
    std::lock_guard lock(FMutex);
    if (!FDevice.Usable())
        return false;
    if (ModemStat)
        *ModemStat = 0;
    return true;
}

bool TLockedDevice::PurgeComm(DWORD Flags) {
    std::lock_guard lock(FMutex);
    return FDevice.PurgeComm(Flags, *this);
}

bool TLockedDevice::ReadFile(void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Ov) {
    std::lock_guard lock(FMutex);
    return FDevice.ReadFile(Buffer, Count, Read, Ov, TClock::now(), *this);
}

bool TLockedDevice::SetCommMask(DWORD Mask) {
    std::lock_guard lock(FMutex);
    return FDevice.SetCommMask(Mask);
}

bool TLockedDevice::WaitCommEvent(DWORD *Mask, TOverlapped *Ov) {
    std::lock_guard lock(FMutex);
    return FDevice.WaitCommEvent(Mask, Ov);
}

bool TLockedDevice::CloseAndJoin() {
    {
        std::lock_guard lock(FMutex);
        if (FDevice.Closed())
            return false;
        FStopping = true;
        FDevice.Close();
    }
    Wake();
    if (FThread.joinable())
        FThread.join();
    return true;
}

bool TLockedDevice::CheckDcb(const DCB &Dcb) {
    if (Dcb.BaudRate == 0 || Dcb.ByteSize < 5 || Dcb.ByteSize > 8 || Dcb.Parity > SPACEPARITY ||
        Dcb.StopBits > TWOSTOPBITS)
        return FailWith(EINVAL);
    return true;
}

int TLockedDevice::NextTimeout(TTime Now, TTime Also) const {
    const TTime Next = std::min(FDevice.NextDeadline(), Also);
    if (Next == TTime::max())
        return -1;
    if (Next <= Now)
        return 0;
    return static_cast<int>(
        std::min<long long>(std::chrono::ceil<std::chrono::milliseconds>(Next - Now).count(), 0x7fffffff));
}

} // namespace ComApi
