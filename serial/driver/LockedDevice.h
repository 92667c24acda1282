// The part of a device that its line does not change, for drivers whose device is one object under
// one lock with its state in TOverlappedDevice, served by one thread of its own that polls the line
// and a control event (the network and MQTT drivers).
//
// Most of the seam's calls are answered by the shared state alone: take the device's lock, hand the
// call over. TLockedDevice does that once; a driver overrides only the calls its line adds to (the
// network driver's Telnet purge, its unsent output) and writes CreateFile, its thread and its line.
//
// Thread safety: every call takes FMutex; a derived device holds it wherever it touches FDevice.
#pragma once

#include "serial/driver/DeviceTable.h"
#include "serial/driver/OverlappedDevice.h"

#include <mutex>
#include <thread>

namespace ComApi {

class TLockedDevice : public TTableDevice, protected TOverlappedDevice::TLine {
public:
    using TClock = TOverlappedDevice::TClock;
    using TTime = TOverlappedDevice::TTime;

    bool SetupComm(DWORD InQueue) override;
    bool SetCommTimeouts(const COMMTIMEOUTS &Timeouts) override;
    bool ClearCommError(DWORD *Errors, COMSTAT *Stat) override;
    // Without modem lines: all off.
    bool GetCommModemStatus(DWORD *ModemStat) override;
    bool PurgeComm(DWORD Flags) override;
    bool ReadFile(void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Ov) override;
    bool SetCommMask(DWORD Mask) override;
    bool WaitCommEvent(DWORD *Mask, TOverlapped *Ov) override;
    void Settle() override { std::lock_guard lock(FMutex); }

protected:
    // False with EINVAL for settings that no serial line takes; a line that cannot carry them to
    // the far end still refuses what the far end could not either.
    static bool CheckDcb(const DCB &Dcb);
    // The poll() time-out in milliseconds until the nearest of the device's deadlines and Also;
    // -1 when there is none (FMutex held).
    int NextTimeout(TTime Now, TTime Also = TTime::max()) const;

    // The device's thread looks at its line and deadlines again.
    void Wake() { FControl.Set(); }
    // Ends everything pending, stops the thread (FStopping) and joins it; false when the device was
    // closed already. Called without FMutex.
    bool CloseAndJoin();

    std::mutex FMutex;
    TOverlappedDevice FDevice;
    TEvent FControl; // set by Wake, reset by the thread once it woke
    std::thread FThread;
    bool FStopping = false;
};

} // namespace ComApi
