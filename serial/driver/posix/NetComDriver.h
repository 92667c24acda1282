// The network serial driver: a serial line reached over TCP, through a serial-to-Ethernet converter
// or a ser2net server. Port names choose it:
//   - "tcp://HOST:PORT": the connection carries the line's bytes as they are. Line settings are
//     accepted and kept, and cannot reach the far end; the modem lines read as off.
//   - "rfc2217://HOST:PORT": Telnet with the COM-PORT-OPTION (TelnetCodec.h). SetCommState sends the
//     baud rate, data size, parity, stop size, flow control and DTR/RTS; the server's modem-state and
//     line-state notifications become EV_CTS, EV_DSR, EV_RLSD, EV_RING, EV_BREAK and the line
//     errors CE_FRAME, CE_RXPARITY, CE_OVERRUN (with EV_ERR); PurgeComm's clear flags send
//     PURGE-DATA. A host name in brackets ("[::1]") is an IPv6 address.
//
// Reads, writes, waits, COMMTIMEOUTS and hang-ups are those of the shared device
// (OverlappedDevice.h), driven by one thread per connection, as in the POSIX driver. The end of the
// connection (the peer closed it, a reset, or Telnet that cannot be decoded) is a hang-up: EV_ERR
// and CE_IOE once, then EIO. CreateFile looks the host up and connects without blocking, and gives
// up when both together take longer than the connect time-out (5 s unless a test says otherwise),
// with ETIMEDOUT; a refused connection fails with ECONNREFUSED, a malformed name with EINVAL, a host
// that cannot be resolved with EHOSTUNREACH. A connection that a probe has made ahead for the same
// name (NetConnect.h) is taken instead of dialling again.
// Opens are not exclusive: a server decides whether it takes a second client.
//
// Handles start at FirstHandle, so that a driver that routes by handle can tell them from others.
#pragma once

#include "serial/driver/ComDriver.h"
#include "serial/driver/posix/NetConnect.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace ComApi {

// True for names that this driver opens.
bool IsNetworkPortName(const std::string &Name);

class TNetComDriver : public TComDriver {
public:
    static constexpr HANDLE FirstHandle = HANDLE(1) << 30;

    // Resolve: the host-name lookup (NetConnect.h), the system's when empty.
    explicit TNetComDriver(std::chrono::milliseconds ConnectTimeout = std::chrono::seconds(5),
                           TResolver Resolve = {});
    ~TNetComDriver() override;
    TNetComDriver(const TNetComDriver &) = delete;
    TNetComDriver &operator=(const TNetComDriver &) = delete;

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

    class TDevice;

private:
    std::shared_ptr<TDevice> Find(HANDLE Handle);

    const std::chrono::milliseconds FConnectTimeout;
    const TResolver FResolve;
    std::mutex FMutex;
    std::map<HANDLE, std::shared_ptr<TDevice>> FDevices;
    HANDLE FNextHandle = FirstHandle;
};

} // namespace ComApi
