// Events on eventfd and waits on poll(): the POSIX side of the seam's events.
#include "serial/driver/posix/PosixEvent.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace ComApi {

namespace {
int PollTimeout(DWORD Milliseconds) {
    return Milliseconds == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(Milliseconds, 0x7fffffff));
}
} // namespace

TEvent::TEvent(bool InitiallySignalled) {
    FNative = ::eventfd(InitiallySignalled ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FNative < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

TEvent::~TEvent() {
    ::close(TEventNative::Fd(*this));
}

void TEvent::Set() noexcept {
    const std::uint64_t one = 1;
    // Only fails when the counter would overflow, which leaves it signalled anyway.
    [[maybe_unused]] auto n = ::write(TEventNative::Fd(*this), &one, sizeof one);
}

void TEvent::Reset() noexcept {
    std::uint64_t value;
    // Non-blocking: EAGAIN means it was not signalled, which is the state we want.
    [[maybe_unused]] auto n = ::read(TEventNative::Fd(*this), &value, sizeof value);
}

bool TEvent::IsSet() const noexcept {
    pollfd p{TEventNative::Fd(*this), POLLIN, 0};
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
        fds.push_back(pollfd{TEventNative::Fd(*e), POLLIN, 0});
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

} // namespace ComApi
