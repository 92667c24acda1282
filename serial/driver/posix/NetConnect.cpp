#include "serial/driver/posix/NetConnect.h"

#include "serial/driver/ComDriver.h"
#include "serial/driver/posix/QuietThread.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

namespace ComApi {

namespace {

using TClock = std::chrono::steady_clock;
using TMs = std::chrono::milliseconds;

constexpr std::string_view TcpScheme = "tcp://", Rfc2217Scheme = "rfc2217://";

[[noreturn]] void ThrowErrno(const char *What) {
    throw std::system_error(errno, std::generic_category(), What);
}

addrinfo StreamHints(int Flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = Flags;
    return hints;
}

void NoDelay(int Fd) {
    const int one = 1;
    ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one); // commands are short
}

// Waits for a non-blocking connect on Fd until Deadline: 0 when it succeeded, else the error.
int AwaitConnect(int Fd, TClock::time_point Deadline) {
    pollfd p{Fd, POLLOUT, 0};
    int n = 0;
    do {
        const auto left = std::chrono::ceil<TMs>(Deadline - TClock::now()).count();
        n = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return n == 0 ? ETIMEDOUT : errno;
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &soError, &len) < 0)
        return errno;
    return soError;
}

// A connect to a port of this host that nobody listens on may meet itself, when the system picks
// that very port as the local one (TCP's simultaneous open): no far end, and the port is blocked.
bool SelfConnected(int Fd) {
    sockaddr_storage local{}, peer{};
    socklen_t localLen = sizeof local, peerLen = sizeof peer;
    return ::getsockname(Fd, reinterpret_cast<sockaddr *>(&local), &localLen) == 0 &&
           ::getpeername(Fd, reinterpret_cast<sockaddr *>(&peer), &peerLen) == 0 && localLen == peerLen &&
           std::memcmp(&local, &peer, localLen) == 0;
}

struct TParking {
    std::mutex Mutex;
    std::map<std::string, std::pair<std::uint64_t, TFd>> Parked;
    std::uint64_t LastTicket = 0;
};

TParking &Parking() {
    static TParking parking;
    return parking;
}

} // namespace

std::optional<TNetAddress> ParseNetName(std::string_view Name) {
    TNetAddress address;
    if (Name.starts_with(TcpScheme))
        Name.remove_prefix(TcpScheme.size());
    else if (Name.starts_with(Rfc2217Scheme))
        Name.remove_prefix(Rfc2217Scheme.size()), address.Telnet = true;
    else
        return std::nullopt;
    const auto colon = Name.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    std::string_view host = Name.substr(0, colon), port = Name.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return std::nullopt;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return std::nullopt;
    }
    unsigned number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error != std::errc() || end != port.data() + port.size() || number == 0 || number > 65535)
        return std::nullopt;
    address.Host = host;
    address.Port = port;
    return address;
}

// ---- The lookup

// Shared by the owner and the lookup's thread, so that either may be the last to go.
struct TNetLookup::TState {
    std::mutex Mutex;
    std::condition_variable Ended;
    bool Done = false;
    addrinfo *Found = nullptr;
    TFd Event; // an eventfd, written once at the end

    ~TState() {
        if (Found)
            ::freeaddrinfo(Found);
    }
    void Finish(int Error, addrinfo *Result) {
        if (Error != 0 && Result) // not expected of a resolver that failed; not kept either way
            ::freeaddrinfo(std::exchange(Result, nullptr));
        {
            std::lock_guard lock(Mutex);
            Found = Result;
            Done = true;
        }
        Ended.notify_all();
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(Event.Get(), &one, sizeof one);
    }
};

TNetLookup::TNetLookup(const TNetAddress &Address, const TResolver &Resolve)
    : FState(std::make_shared<TState>()) {
    FState->Event = TFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!FState->Event)
        ThrowErrno("eventfd");
    addrinfo hints = StreamHints(AI_NUMERICSERV | AI_NUMERICHOST);
    addrinfo *found = nullptr;
    const int numeric = ::getaddrinfo(Address.Host.c_str(), Address.Port.c_str(), &hints, &found);
    if (numeric != EAI_NONAME) { // an address as it stands: no name to look up
        FState->Finish(numeric, found);
        return;
    }
    hints.ai_flags = AI_NUMERICSERV;
    FThread = StartQuietThread([State = FState, Resolve, Host = Address.Host, Port = Address.Port, hints] {
        addrinfo *result = nullptr;
        const int error = Resolve ? Resolve(Host.c_str(), Port.c_str(), &hints, &result)
                                  : ::getaddrinfo(Host.c_str(), Port.c_str(), &hints, &result);
        State->Finish(error, result);
    });
}

TNetLookup::~TNetLookup() {
    if (!FThread.joinable())
        return;
    if (Done())
        FThread.join(); // it has nothing left to do but return
    else
        FThread.detach();
}

int TNetLookup::Handle() const noexcept {
    return FState->Event.Get();
}

bool TNetLookup::Done() const {
    std::lock_guard lock(FState->Mutex);
    return FState->Done;
}

bool TNetLookup::Wait(TClock::time_point Deadline) {
    std::unique_lock lock(FState->Mutex);
    return FState->Ended.wait_until(lock, Deadline, [this] { return FState->Done; });
}

const addrinfo *TNetLookup::Result() const {
    std::lock_guard lock(FState->Mutex);
    return FState->Found;
}

// ---- Connecting

TFd ConnectNet(const TNetAddress &Address, TClock::time_point Deadline, const TResolver &Resolve) {
    TNetLookup lookup(Address, Resolve);
    if (!lookup.Wait(Deadline))
        return SetLastError(ETIMEDOUT), TFd();
    if (!lookup.Result())
        return SetLastError(ENXIO), TFd();
    int error = ETIMEDOUT;
    for (const addrinfo *a = lookup.Result(); a; a = a->ai_next) {
        TFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) {
            error = errno;
            continue;
        }
        if (::connect(fd.Get(), a->ai_addr, a->ai_addrlen) < 0) {
            error = errno == EINPROGRESS ? AwaitConnect(fd.Get(), Deadline) : errno;
            if (error != 0)
                continue;
        }
        if (SelfConnected(fd.Get())) {
            error = ECONNREFUSED;
            continue;
        }
        NoDelay(fd.Get());
        return fd;
    }
    SetLastError(static_cast<DWORD>(error));
    return TFd();
}

// ---- Parked connections

std::uint64_t ParkNetConnection(const std::string &Name, TFd Fd) {
    TParking &parking = Parking();
    TFd replaced; // closed outside the lock
    std::lock_guard lock(parking.Mutex);
    auto &slot = parking.Parked[Name];
    replaced = std::exchange(slot.second, std::move(Fd));
    slot.first = ++parking.LastTicket;
    return slot.first;
}

TFd TakeNetConnection(const std::string &Name) {
    TParking &parking = Parking();
    std::lock_guard lock(parking.Mutex);
    const auto it = parking.Parked.find(Name);
    if (it == parking.Parked.end())
        return TFd();
    TFd fd = std::move(it->second.second);
    parking.Parked.erase(it);
    return fd;
}

void UnparkNetConnection(const std::string &Name, std::uint64_t Ticket) noexcept {
    TParking &parking = Parking();
    std::lock_guard lock(parking.Mutex);
    const auto it = parking.Parked.find(Name);
    if (it != parking.Parked.end() && it->second.first == Ticket)
        parking.Parked.erase(it);
}

// ---- The probe

TNetProbe::TNetProbe(std::string PortName, const TResolver &Resolve) : FName(std::move(PortName)) {
    FPoll = TFd(::epoll_create1(EPOLL_CLOEXEC));
    if (!FPoll)
        ThrowErrno("epoll_create1");
    const auto address = ParseNetName(FName);
    if (!address) {
        FState = npFailed;
        return;
    }
    FLookup = std::make_unique<TNetLookup>(*address, Resolve);
    if (!Watch(FLookup->Handle(), EPOLLIN))
        ThrowErrno("epoll_ctl");
}

TNetProbe::~TNetProbe() {
    if (FTicket)
        UnparkNetConnection(FName, FTicket);
}

bool TNetProbe::Watch(int Fd, std::uint32_t Events) {
    epoll_event event{};
    event.events = Events;
    event.data.fd = Fd;
    return ::epoll_ctl(FPoll.Get(), EPOLL_CTL_ADD, Fd, &event) == 0;
}

TNetProbe::TState TNetProbe::Step() {
    if (FState != npPending)
        return FState;
    if (FLooking) {
        if (!FLookup->Done())
            return npPending;
        FLooking = false;
        ::epoll_ctl(FPoll.Get(), EPOLL_CTL_DEL, FLookup->Handle(), nullptr);
        FNext = FLookup->Result();
        return FState = Dial();
    }
    pollfd p{FSocket.Get(), POLLOUT, 0};
    if (::poll(&p, 1, 0) <= 0)
        return npPending; // woken for nothing: the connect goes on
    int soError = 0;
    socklen_t len = sizeof soError;
    const bool accepted = ::getsockopt(FSocket.Get(), SOL_SOCKET, SO_ERROR, &soError, &len) == 0 &&
                          !soError && !SelfConnected(FSocket.Get());
    ::epoll_ctl(FPoll.Get(), EPOLL_CTL_DEL, FSocket.Get(), nullptr);
    if (accepted)
        return FState = Park(std::move(FSocket));
    FSocket.Close();
    return FState = Dial();
}

TNetProbe::TState TNetProbe::Park(TFd Fd) {
    NoDelay(Fd.Get());
    FTicket = ParkNetConnection(FName, std::move(Fd));
    return npConnected;
}

// Starts a connect to the next address; an address that refuses at once makes way for the next.
TNetProbe::TState TNetProbe::Dial() {
    for (; FNext; FNext = FNext->ai_next) {
        TFd fd(::socket(FNext->ai_family, FNext->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        FNext->ai_protocol));
        if (!fd)
            continue;
        if (::connect(fd.Get(), FNext->ai_addr, FNext->ai_addrlen) == 0) {
            if (SelfConnected(fd.Get()))
                continue;
            FNext = FNext->ai_next;
            return Park(std::move(fd));
        }
        if (errno != EINPROGRESS || !Watch(fd.Get(), EPOLLOUT))
            continue;
        FNext = FNext->ai_next;
        FSocket = std::move(fd);
        return npPending;
    }
    return npFailed;
}

} // namespace ComApi
