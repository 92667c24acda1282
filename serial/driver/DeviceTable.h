// The handle table that drivers with one object per open device share.
//
// The seam speaks in handles; a driver whose devices are objects of their own (the POSIX driver's
// ttys, the network driver's connections) keeps them in a TDeviceTable, which hands out handles,
// finds the device for each call, checks the arguments every driver checks the same way and waits
// for overlapped results. A driver then writes only CreateFile and its device class.
//
// Thread safety: the table has one mutex, held only while a handle is looked up, added or removed;
// a call runs on the device outside it (each device serialises its own calls). A device closed by
// CloseHandle while another thread is inside one of its calls stays alive until that call returns.
#pragma once

#include "serial/driver/ComDriver.h"

#include <map>
#include <memory>
#include <mutex>

namespace ComApi {

// One open device: the seam's calls without the handle, each under the device's own lock.
class TTableDevice {
public:
    virtual ~TTableDevice() = default;

    // Ends everything pending (ECANCELED) and releases the device; later calls fail with EBADF.
    virtual void Close() = 0;
    virtual bool SetupComm(DWORD InQueue) = 0;
    virtual bool SetCommState(const DCB &Dcb) = 0;
    virtual bool SetCommTimeouts(const COMMTIMEOUTS &Timeouts) = 0;
    virtual bool ClearCommError(DWORD *Errors, COMSTAT *Stat) = 0;
    virtual bool GetCommModemStatus(DWORD *ModemStat) = 0;
    virtual bool PurgeComm(DWORD Flags) = 0;
    virtual bool ReadFile(void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Ov) = 0;
    virtual bool WriteFile(const void *Buffer, DWORD Count, DWORD *Written, TOverlapped *Ov) = 0;
    virtual bool SetCommMask(DWORD Mask) = 0;
    virtual bool WaitCommEvent(DWORD *Mask, TOverlapped *Ov) = 0;
    // Takes and releases the device's lock. Operations end under it, signalling their event last, so
    // passing through it orders that signal before whatever the waiter does next, such as closing
    // the event; without it only the kernel knows the order, and the thread sanitizer cannot see it.
    virtual void Settle() = 0;
};

class TDeviceTable : public TComDriver {
public:
    // Closes every device still open.
    ~TDeviceTable() override;
    TDeviceTable(const TDeviceTable &) = delete;
    TDeviceTable &operator=(const TDeviceTable &) = delete;

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

protected:
    // Handles count up from FirstHandle, so that drivers routed by handle never share one.
    explicit TDeviceTable(HANDLE FirstHandle) : FNextHandle(FirstHandle) {}

    // The handle of a device that CreateFile has opened and started.
    HANDLE Add(std::shared_ptr<TTableDevice> Device);
    // The device of an open handle; null with EBADF for any other.
    std::shared_ptr<TTableDevice> Find(HANDLE Handle);

private:
    std::mutex FMutex;
    std::map<HANDLE, std::shared_ptr<TTableDevice>> FDevices;
    HANDLE FNextHandle;
};

} // namespace ComApi
