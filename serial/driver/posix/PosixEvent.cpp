// Events on eventfd and waits on poll(): the POSIX side of the seam's events.
#include "serial/driver/posix/PosixEvent.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
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

void TEventNative::Attach(TEvent &Event, int Fd, std::weak_ptr<TEventSource> Source) {
    std::lock_guard lock(Event.FSourceLock);
    Event.FSource = std::move(Source);
    Event.FSourceNative = Fd;
    Event.FHasSource.store(true);
}

void TEventNative::Detach(TEvent &Event) noexcept {
    std::lock_guard lock(Event.FSourceLock);
    Event.FSource.reset();
    Event.FSourceNative = -1;
    Event.FHasSource.store(false);
}

int TEventNative::Source(const TEvent &Event, std::weak_ptr<TEventSource> &Source) {
    if (!Event.FHasSource.load())
        return -1; // the usual case, without taking the lock
    std::lock_guard lock(Event.FSourceLock);
    Source = Event.FSource;
    return static_cast<int>(Event.FSourceNative);
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
    // The events' descriptors first, then those of the sources attached to them.
    std::vector<pollfd> fds;
    std::vector<std::weak_ptr<TEventSource>> sources;
    fds.reserve(Events.size() + 1);
    for (const TEvent *e : Events) {
        const int fd = TEventNative::Fd(*e);
        if (fd < 0) {
            SetLastError(static_cast<DWORD>(errno));
            return WAIT_FAILED;
        }
        fds.push_back(pollfd{fd, POLLIN, 0});
    }
    for (const TEvent *e : Events) {
        std::weak_ptr<TEventSource> source;
        if (const int fd = TEventNative::Source(*e, source); fd >= 0) {
            fds.push_back(pollfd{fd, POLLIN, 0});
            sources.push_back(std::move(source));
        }
    }
    using TClock = std::chrono::steady_clock;
    const auto deadline = TClock::now() + std::chrono::milliseconds(Milliseconds);
    int timeout = PollTimeout(Milliseconds);
    for (;;) {
        int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno == EINTR)
            continue; // a signal aimed at another purpose; the wait has no deadline worth keeping exact
        if (n < 0) {
            SetLastError(static_cast<DWORD>(errno));
            return WAIT_FAILED;
        }
        if (n == 0)
            return WAIT_TIMEOUT;
        for (std::size_t i = 0; i < Events.size(); ++i)
            if (fds[i].revents & POLLIN) {
                TEventNative::Observe(*Events[i]);
                return WAIT_OBJECT_0 + static_cast<DWORD>(i);
            }
        bool served = false;
        for (std::size_t i = 0; i < sources.size(); ++i) {
            pollfd &p = fds[Events.size() + i];
            if (p.revents == 0)
                continue;
            served = true;
            const std::shared_ptr<TEventSource> source = sources[i].lock();
            if (!source || !source->Serve(p.revents))
                p.fd = -1; // the driver has its descriptor back (or is gone): poll() skips it now
        }
        if (!served) {
            SetLastError(EBADF); // POLLNVAL or POLLERR on an eventfd: cannot happen with a live event
            return WAIT_FAILED;
        }
        // Serving may have set an event, which this poll could not see.
        for (std::size_t i = 0; i < Events.size(); ++i)
            if (TEventNative::Signalled(*Events[i]))
                return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        if (Milliseconds != INFINITE) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
            timeout = static_cast<int>(std::max<long long>(left, 0));
        }
    }
}

} // namespace ComApi
