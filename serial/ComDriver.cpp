// Events, waits and the last-error value shared by every serial driver.
#include "ComDriver.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {
thread_local DWORD LastError = 0;

int PollTimeout(DWORD Milliseconds) {
    return Milliseconds == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(Milliseconds, 0x7fffffff));
}
} // namespace

DWORD GetLastError() noexcept {
    return LastError;
}
void SetLastError(DWORD code) noexcept {
    LastError = code;
}

TEvent::TEvent(bool InitiallySignalled) {
    FFd = ::eventfd(InitiallySignalled ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FFd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

TEvent::~TEvent() {
    if (FFd >= 0)
        ::close(FFd);
}

void TEvent::Set() noexcept {
    const std::uint64_t one = 1;
    // Only fails when the counter would overflow, which leaves it signalled anyway.
    [[maybe_unused]] auto n = ::write(FFd, &one, sizeof one);
}

void TEvent::Reset() noexcept {
    std::uint64_t value;
    // Non-blocking: EAGAIN means it was not signalled, which is the state we want.
    [[maybe_unused]] auto n = ::read(FFd, &value, sizeof value);
}

bool TEvent::IsSet() const noexcept {
    pollfd p{FFd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

DWORD WaitForSingleObject(const TEvent &Event, DWORD Milliseconds) noexcept {
    const TEvent *one[] = {&Event};
    return WaitForMultipleObjects(one, Milliseconds);
}

DWORD WaitForMultipleObjects(std::span<const TEvent *const> Events, DWORD Milliseconds) noexcept {
    std::vector<pollfd> fds;
    fds.reserve(Events.size());
    for (const TEvent *e : Events)
        fds.push_back(pollfd{e->Fd(), POLLIN, 0});
    for (;;) {
        int n = ::poll(fds.data(), fds.size(), PollTimeout(Milliseconds));
        if (n < 0 && errno == EINTR)
            continue; // a signal aimed at another purpose; the wait has no deadline worth keeping exact
        if (n < 0) {
            SetLastError(static_cast<DWORD>(errno));
            return WAIT_FAILED;
        }
        if (n == 0)
            return WAIT_TIMEOUT;
        for (std::size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents & POLLIN)
                return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        SetLastError(EBADF); // POLLNVAL or POLLERR on an eventfd: cannot happen with a live event
        return WAIT_FAILED;
    }
}
