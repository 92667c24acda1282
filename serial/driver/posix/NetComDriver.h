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
// name that cannot be resolved with ENXIO ("no such address", unlike a route that is missing). A connection
// that a probe has made ahead for the same name (NetConnect.h) is taken instead of dialling again. Opens are
// not exclusive: a server decides whether it takes a second client.
//
// Handles start at FirstHandle, so that a driver that routes by handle can tell them from others.
#pragma once

#include "serial/driver/DeviceTable.h"
#include "serial/driver/posix/NetConnect.h"

#include <chrono>
#include <string>

namespace ComApi {

// True for names that this driver opens.
bool IsNetworkPortName(const std::string &Name);

class TNetComDriver : public TDeviceTable {
public:
    static constexpr HANDLE FirstHandle = HANDLE(1) << 30;

    // Resolve: the host-name lookup (NetConnect.h), the system's when empty.
    explicit TNetComDriver(std::chrono::milliseconds ConnectTimeout = std::chrono::seconds(5),
                           TResolver Resolve = {});
    ~TNetComDriver() override;
    TNetComDriver(const TNetComDriver &) = delete;
    TNetComDriver &operator=(const TNetComDriver &) = delete;

    HANDLE CreateFile(const std::string &Name) override;

    class TDevice;

private:
    const std::chrono::milliseconds FConnectTimeout;
    const TResolver FResolve;
};

} // namespace ComApi
