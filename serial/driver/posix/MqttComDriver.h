// The MQTT serial driver: a board that relaymqtt serves, reached through its broker, so that the
// panel, relayctl and the bridge's home automation use one board at once. Port names choose it:
// "mqtt://HOST[:PORT]/BOARD" (port 1883 by default, 8883 with TLS; "[v6]" for an IPv6 host; BOARD
// as in the bridge's --board, [A-Za-z0-9_-]).
//
// The line is the bridge's pair of raw topics: WriteFile publishes the bytes on dudovuz/BOARD/raw/tx
// (QoS 1, never retained; the bridge writes them to the board as they stand), and what the board
// sends arrives on dudovuz/BOARD/raw/rx, filling the input queue with the same events as any line.
// Every client sees every byte the board sends; what each believes of the relays follows its own
// commands. Line settings are checked and kept as on tcp:// and cannot reach the board; the modem
// lines read as off.
//
// The bridge's availability (dudovuz/BOARD/availability, retained, its Will "offline") is the line:
// CreateFile connects to the broker, subscribes and succeeds once the availability says "online".
// It fails with EHOSTUNREACH for a host that cannot be resolved, with the system's code for a broker
// that cannot be reached or that refuses this client (ECONNREFUSED), ENOENT when the
// board is offline or no bridge ever served it, ETIMEDOUT when the broker does not answer within the
// connect time-out (5 s unless a test says otherwise), EINVAL for a malformed name. Once open,
// "offline" or a lost broker is a hang-up: EV_ERR and CE_IOE once, then EIO, as on the other drivers.
// A user name and password for the broker, and TLS, come from the settings file mqtt.ini beside the
// panel's (section [HOST:PORT] for a name with its port, else [HOST]: username=, password-file=,
// cafile=, as in relaymqtt's settings file), never from the port name. With cafile the connection is
// TLS, trusting the certificate authority in that file, and the broker's certificate must name HOST.
// A password or CA file that cannot be read fails the open with ENOKEY, a TLS handshake that fails
// (a certificate the CA did not sign, a broker that does not speak TLS there) with EKEYREJECTED.
//
// Reads, writes, waits and COMMTIMEOUTS are those of the shared device (OverlappedDevice.h), driven
// by one thread per open device that polls the broker's socket and a control event; it wakes for
// the client's keep-alive (every 10 s) besides the traffic.
//
// Handles start at FirstHandle, so that a driver that routes by handle can tell them from others.
#pragma once

#include "serial/driver/DeviceTable.h"
#include "serial/driver/posix/NetConnect.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ComApi {

// True for names that this driver opens.
inline bool IsMqttPortName(std::string_view Name) {
    return Name.starts_with("mqtt://");
}

struct TMqttAddress {
    std::string Host;
    int Port = 1883;
    bool PortGiven = false; // else 1883, or 8883 with TLS
    std::string Board;
};
// The parts of an mqtt:// name; none when it is malformed.
std::optional<TMqttAddress> ParseMqttName(std::string_view Name);

class TMqttComDriver : public TDeviceTable {
public:
    static constexpr HANDLE FirstHandle = HANDLE(3) << 29;

    explicit TMqttComDriver(std::chrono::milliseconds ConnectTimeout = std::chrono::seconds(5));
    ~TMqttComDriver() override;
    TMqttComDriver(const TMqttComDriver &) = delete;
    TMqttComDriver &operator=(const TMqttComDriver &) = delete;

    HANDLE CreateFile(const std::string &Name) override;

    class TDevice;

private:
    const std::chrono::milliseconds FConnectTimeout;
};

// One attempt to open a board on its broker without ever blocking the caller, for the keeper of a
// lost board: the open runs on the device's own thread, and Handle() is readable once it has
// settled. A board found online is parked for the next open of the same name, which takes that very
// device; one that no open took is closed with the probe. As TNetProbe, it has no time-out of its
// own: the owner drops a probe that takes too long.
class TMqttProbe {
public:
    // Raises std::system_error when no descriptor, thread or client can be had.
    explicit TMqttProbe(std::string PortName);
    ~TMqttProbe();
    TMqttProbe(const TMqttProbe &) = delete;
    TMqttProbe &operator=(const TMqttProbe &) = delete;

    int Handle() const noexcept;
    // npConnected once the board is online, npFailed when it is not (or the broker is not there).
    TNetProbe::TState Step();

private:
    std::string FName;
    std::shared_ptr<TMqttComDriver::TDevice> FDevice;
    TNetProbe::TState FState = TNetProbe::npPending;
    std::uint64_t FTicket = 0;
};

} // namespace ComApi
