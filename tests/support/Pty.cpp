// Pseudo-terminal pairs for tests (see Pty.h).
#include "tests/support/Pty.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {
using TClock = std::chrono::steady_clock;

int Remaining(TClock::time_point Deadline) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}
} // namespace

TPtyPair::TPtyPair() {
    char name[PATH_MAX] = {};
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&FMaster, &FSlave, name, &raw, nullptr) < 0) {
        FMaster = FSlave = -1;
        return;
    }
    FPath = name;
    ::fcntl(FMaster, F_SETFD, FD_CLOEXEC);
    ::fcntl(FSlave, F_SETFD, FD_CLOEXEC);
    ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
}

TPtyPair::~TPtyPair() {
    CloseMaster();
    if (FSlave >= 0)
        ::close(FSlave);
}

void TPtyPair::CloseMaster() {
    if (FMaster >= 0)
        ::close(FMaster);
    FMaster = -1;
}

bool TPtyPair::Send(std::string_view Bytes, int Milliseconds) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(Milliseconds);
    while (!Bytes.empty()) {
        const ssize_t n = ::write(FMaster, Bytes.data(), Bytes.size());
        if (n > 0) {
            Bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{FMaster, POLLOUT, 0};
        if (::poll(&p, 1, Remaining(deadline)) == 0)
            return false;
    }
    return true;
}

std::string TPtyPair::Receive(std::size_t Count, int Milliseconds) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(Milliseconds);
    std::string got;
    char buf[65536];
    while (got.size() < Count) {
        const ssize_t n = ::read(FMaster, buf, std::min(sizeof buf, Count - got.size()));
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        pollfd p{FMaster, POLLIN, 0};
        if (::poll(&p, 1, Remaining(deadline)) == 0)
            break;
    }
    return got;
}
