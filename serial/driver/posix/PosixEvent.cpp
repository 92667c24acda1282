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

void Signal(std::intptr_t Fd) noexcept {
    const std::uint64_t one = 1;
    // Only fails when the counter would overflow, which leaves it signalled anyway.
    [[maybe_unused]] auto n = ::write(static_cast<int>(Fd), &one, sizeof one);
}

} // namespace

int TEventNative::Fd(const TEvent &Event) noexcept {
    std::intptr_t fd = Event.FNative.load();
    if (fd >= 0)
        return static_cast<int>(fd);
    const int made = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (made < 0)
        return -1;
    if (!Event.FNative.compare_exchange_strong(fd, made)) {
        ::close(made); // another thread gave it one first
        return static_cast<int>(fd);
    }
    // A Set that found no descriptor left its mark in FSignalled; it looked for the descriptor after
    // marking, and we look at the mark after installing it, so one of us signals it.
    if (Event.FSignalled.load())
        Signal(made);
    return made;
}

int TEventNative::Known(const TEvent &Event) noexcept {
    if (Event.FNative.load() >= 0)
        return -1;
    return Event.FSignalled.load() ? 1 : 0;
}

TEvent::TEvent(bool InitiallySignalled, TEventDescriptor Descriptor) : FSignalled(InitiallySignalled) {
    if (Descriptor == edOnDemand)
        return;
    const int fd = ::eventfd(InitiallySignalled ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    FNative.store(fd);
}

TEvent::~TEvent() {
    if (const std::intptr_t fd = FNative.load(); fd >= 0)
        ::close(static_cast<int>(fd));
}

void TEvent::Set() noexcept {
    FSignalled.store(true);
    if (const std::intptr_t fd = FNative.load(); fd >= 0)
        Signal(fd);
}

void TEvent::Reset() noexcept {
    FSignalled.store(false);
    if (const std::intptr_t fd = FNative.load(); fd >= 0) {
        std::uint64_t value;
        // Non-blocking: EAGAIN means it was not signalled, which is the state we want.
        [[maybe_unused]] auto n = ::read(static_cast<int>(fd), &value, sizeof value);
    }
}

bool TEvent::IsSet() const noexcept {
    if (const int known = TEventNative::Known(*this); known >= 0)
        return known == 1;
    pollfd p{static_cast<int>(FNative.load()), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

DWORD WaitForSingleObject(const TEvent &Event, DWORD Milliseconds) noexcept {
    const TEvent *one[] = {&Event};
    return WaitForMultipleObjects(one, Milliseconds);
}

DWORD WaitForMultipleObjects(std::span<const TEvent *const> Events, DWORD Milliseconds) noexcept {
    // Events without a descriptor answer without a system call, as long as no event before them
    // needs a poll to say whether it is signalled (the lowest index wins).
    for (std::size_t i = 0; i < Events.size(); ++i) {
        const int known = TEventNative::Known(*Events[i]);
        if (known < 0)
            break;
        if (known == 1)
            return WAIT_OBJECT_0 + static_cast<DWORD>(i);
    }
    std::vector<pollfd> fds;
    fds.reserve(Events.size());
    for (const TEvent *e : Events) {
        const int fd = TEventNative::Fd(*e);
        if (fd < 0) {
            SetLastError(static_cast<DWORD>(errno));
            return WAIT_FAILED;
        }
        fds.push_back(pollfd{fd, POLLIN, 0});
    }
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
            if (fds[i].revents & POLLIN) {
                TEventNative::Observe(*Events[i]);
                return WAIT_OBJECT_0 + static_cast<DWORD>(i);
            }
        SetLastError(EBADF); // POLLNVAL or POLLERR on an eventfd: cannot happen with a live event
        return WAIT_FAILED;
    }
}

} // namespace ComApi
