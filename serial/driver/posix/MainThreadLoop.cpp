// The poll() loop of MainThreadLoop.h.
#include "serial/driver/posix/MainThreadLoop.h"

#include "serial/driver/posix/PosixEvent.h"
#include "serial/port/ComPlatform.h"

#include <cerrno>
#include <poll.h>
#include <utility>
#include <vector>

namespace {

int PollTimeout(const std::optional<TMainThreadLoop::TClock::time_point> &Deadline) {
    if (!Deadline)
        return -1;
    const auto Left =
        std::chrono::ceil<std::chrono::milliseconds>(*Deadline - TMainThreadLoop::TClock::now());
    if (Left.count() <= 0)
        return 0;
    // poll() takes an int; a longer wait simply comes round the loop again.
    return Left.count() > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(Left.count());
}

} // namespace

TMainThreadLoop::TLoopEnd TMainThreadLoop::Run(std::optional<TClock::time_point> Deadline,
                                               std::span<const int> Watched, std::size_t *Ready) {
    std::vector<TWatch> Watches;
    for (const int Fd : Watched)
        Watches.push_back({Fd, POLLIN});
    return RunWatching(Deadline, Watches, Ready);
}

TMainThreadLoop::TLoopEnd TMainThreadLoop::RunWatching(std::optional<TClock::time_point> Deadline,
                                                       std::span<const TWatch> Watched, std::size_t *Ready) {
    std::vector<pollfd> Polls{{ComApi::TEventNative::Fd(MainThreadCallsPending()), POLLIN, 0},
                              {ComApi::TEventNative::Fd(FStopped), POLLIN, 0}};
    for (const TWatch &Watch : Watched)
        Polls.push_back({Watch.Fd, Watch.Events, 0});
    for (;;) {
        ProcessMainThreadCalls();
        if (Stopped())
            return leStopped;
        if (std::exchange(FWoken, false))
            return leDeadline;
        const int Timeout = PollTimeout(Deadline);
        const int Count = ::poll(Polls.data(), Polls.size(), Timeout);
        if (Count < 0 && errno != EINTR)
            return leFailed;
        for (std::size_t I = 2; Count > 0 && I < Polls.size(); ++I) {
            if (Polls[I].revents == 0)
                continue;
            ProcessMainThreadCalls();
            if (Ready)
                *Ready = I - 2;
            return leReadable;
        }
        // Past the deadline the loop runs what is queued once more and ends, however busy it is.
        if (Timeout == 0) {
            ProcessMainThreadCalls();
            return leDeadline;
        }
    }
}
