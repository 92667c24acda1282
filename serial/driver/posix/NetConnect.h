// Reaching the far end of a network port: the port name taken apart, the host looked up within a
// time bound, and the connection made without blocking longer than the caller allows. The network
// driver opens through these; the port keeper (relay/PortKeeper.h) tries a lost port with TNetProbe,
// which never blocks at all.
//
// Thread safety: a TNetLookup or TNetProbe belongs to the thread that made it. The parked
// connections (ParkNetConnection) may be used from any thread.
#pragma once

#include "base/Fd.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

struct addrinfo;

namespace ComApi {

struct TNetAddress {
    bool Telnet = false; // rfc2217://, else tcp://
    std::string Host, Port;
};

// "scheme://HOST:PORT" with a port of 1 to 65535; "[v6]" for an IPv6 host. None for anything else.
std::optional<TNetAddress> ParseNetName(std::string_view Name);

// getaddrinfo's signature; the system's getaddrinfo when empty. Tests give slow or failing ones.
using TResolver =
    std::function<int(const char *Host, const char *Port, const addrinfo *Hints, addrinfo **Found)>;

// One lookup of a host for stream sockets. A numeric address is taken apart at once, without a thread
// and without the resolver. A name is looked up on a thread of its own, whose end makes Handle()
// readable. A lookup that is given up (destroyed before its end) leaves its thread to finish the
// resolver's call on its own; the thread holds nothing of the owner's and ends with that call.
class TNetLookup {
public:
    // Raises std::system_error when no descriptor or thread can be had.
    explicit TNetLookup(const TNetAddress &Address, const TResolver &Resolve = {});
    ~TNetLookup();
    TNetLookup(const TNetLookup &) = delete;
    TNetLookup &operator=(const TNetLookup &) = delete;

    // Readable once the lookup has ended; stays readable.
    int Handle() const noexcept;
    bool Done() const;
    // True once the lookup has ended, false when Deadline came first.
    bool Wait(std::chrono::steady_clock::time_point Deadline);
    // The addresses found; null while not done or when the host is unknown.
    const addrinfo *Result() const;

private:
    struct TState;
    std::shared_ptr<TState> FState;
    std::thread FThread;
};

// Connects to Address; the lookup and the connect together take no longer than until Deadline. An
// empty descriptor and the last error set on failure: ETIMEDOUT at the deadline, ENXIO for a host
// name that cannot be resolved (EHOSTUNREACH would blame a route), else the system's code of the last address
// tried.
TFd ConnectNet(const TNetAddress &Address, std::chrono::steady_clock::time_point Deadline,
               const TResolver &Resolve = {});

// Connections made ahead of an open, one per port name: the network driver's CreateFile takes the one
// parked for its name instead of dialling. Parking for a name replaces and closes what was there.
// Returns a ticket for UnparkNetConnection, which closes the connection if it is still parked under
// that ticket (an open that never came).
std::uint64_t ParkNetConnection(const std::string &Name, TFd Fd);
TFd TakeNetConnection(const std::string &Name);
void UnparkNetConnection(const std::string &Name, std::uint64_t Ticket) noexcept;

// One attempt to reach the far end of a network port without ever blocking the caller: the lookup,
// then a non-blocking connect to each address in turn. Handle() is readable whenever Step() has
// something to do. Once the far end has accepted, the connection is parked for the next open of the
// same name, so that the open is that very connection: a server that takes one client at a time
// (ser2net) never sees a probe beside the port. A connection that no open took is closed with the
// probe. The attempt has no time-out of its own: the owner drops a probe that takes too long.
class TNetProbe {
public:
    enum TState { npPending, npConnected, npFailed };

    // Raises std::system_error when no descriptor or thread can be had.
    explicit TNetProbe(std::string PortName, const TResolver &Resolve = {});
    ~TNetProbe();
    TNetProbe(const TNetProbe &) = delete;
    TNetProbe &operator=(const TNetProbe &) = delete;

    int Handle() const noexcept { return FPoll.Get(); }
    // Goes as far as it can without blocking; call it once after construction (an address that
    // refuses at once is known then), and again whenever Handle() is readable. npConnected and
    // npFailed are final.
    TState Step();

private:
    TState Dial();
    TState Park(TFd Fd);
    bool Watch(int Fd, std::uint32_t Events);

    std::string FName;
    TFd FPoll;
    std::unique_ptr<TNetLookup> FLookup;
    const addrinfo *FNext = nullptr; // the next address to try, in FLookup's result
    bool FLooking = true;
    TFd FSocket; // the connect in progress
    TState FState = npPending;
    std::uint64_t FTicket = 0;
};

} // namespace ComApi
