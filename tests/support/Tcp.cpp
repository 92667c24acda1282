#include "tests/support/Tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <utility>

namespace {

using TClock = std::chrono::steady_clock;

int Remaining(TClock::time_point Deadline) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(Deadline - TClock::now()).count();
    return ms > 0 ? static_cast<int>(ms) : 0;
}

} // namespace

TTcpPeer::TTcpPeer(TTcpPeer &&Other) noexcept : FFd(std::exchange(Other.FFd, -1)) {}

TTcpPeer &TTcpPeer::operator=(TTcpPeer &&Other) noexcept {
    if (this != &Other) {
        Close();
        FFd = std::exchange(Other.FFd, -1);
    }
    return *this;
}

void TTcpPeer::Close() {
    if (FFd >= 0)
        ::close(std::exchange(FFd, -1));
}

bool TTcpPeer::Send(std::string_view Bytes, int Milliseconds) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(Milliseconds);
    while (!Bytes.empty()) {
        pollfd p{FFd, POLLOUT, 0};
        if (FFd < 0 || ::poll(&p, 1, Remaining(deadline)) <= 0)
            return false;
        const ssize_t n = ::send(FFd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (n > 0)
            Bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string TTcpPeer::Receive(std::size_t Count, int Milliseconds) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(Milliseconds);
    std::string got;
    while (got.size() < Count && FFd >= 0) {
        pollfd p{FFd, POLLIN, 0};
        if (::poll(&p, 1, Remaining(deadline)) <= 0)
            break;
        char buf[4096];
        const ssize_t n = ::recv(FFd, buf, std::min(sizeof buf, Count - got.size()), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            break;
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

TTcpListener::TTcpListener(int Backlog, int Port) {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (FFd >= 0) // for a listener on this port later, while this one's connections linger
        ::setsockopt(FFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(Port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    if (FFd < 0 || ::bind(FFd, reinterpret_cast<sockaddr *>(&address), len) < 0 ||
        ::listen(FFd, Backlog) < 0 || ::getsockname(FFd, reinterpret_cast<sockaddr *>(&address), &len) < 0)
        return;
    FPort = ntohs(address.sin_port);
}

TTcpListener::~TTcpListener() {
    if (FFd >= 0)
        ::close(FFd);
}

TTcpPeer TTcpListener::Accept(int Milliseconds) {
    pollfd p{FFd, POLLIN, 0};
    if (FFd < 0 || ::poll(&p, 1, Milliseconds) <= 0)
        return TTcpPeer();
    return TTcpPeer(::accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC));
}
