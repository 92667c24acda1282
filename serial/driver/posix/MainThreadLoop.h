// A main loop for programs that have no window system: the main thread sleeps in one poll() until a
// call is queued for it (serial/port/ComPlatform.h), the loop is told to stop, a deadline passes or one of
// the caller's descriptors (a signalfd, standard input) becomes readable, and runs the queued calls itself.
// Nothing wakes on a timer: an idle loop costs no wake-ups. The panel has Qt's loop instead; command-line
// front ends and tests use this one.
//
// Thread safety: Run and Wake belong to the main thread; Stop may be called from any thread and from
// a call that Run is running.
#pragma once

#include "serial/driver/ComDriver.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

class TMainThreadLoop {
public:
    using TClock = std::chrono::steady_clock;

    enum TLoopEnd : std::uint8_t { leStopped, leDeadline, leReadable, leFailed };

    // Runs queued main-thread calls as they come until one of the ends above. The calls queued
    // before an end are run before Run returns. For leReadable, *Ready (when given) is the index in
    // Watched of the first readable descriptor; a descriptor that hung up counts as readable, so
    // its reader sees the end. No deadline: no limit.
    TLoopEnd Run(std::optional<TClock::time_point> Deadline = std::nullopt, std::span<const int> Watched = {},
                 std::size_t *Ready = nullptr);

    // A descriptor and what to wait for on it: poll()'s POLLIN, POLLOUT or both.
    struct TWatch {
        int Fd = -1;
        short Events = 0;
    };
    // Run for callers that also wait for a descriptor to take output (a network client with bytes
    // still to send). For leReadable, *Ready is the index of the first descriptor with any of its
    // events (or a hang-up or error).
    TLoopEnd RunWatching(std::optional<TClock::time_point> Deadline, std::span<const TWatch> Watched,
                         std::size_t *Ready = nullptr);

    // Ends the current Run and every later one at once (after their queued calls), until Restart.
    void Stop() noexcept { FStopped.Set(); }
    bool Stopped() const noexcept { return FStopped.IsSet(); }
    void Restart() noexcept { FStopped.Reset(); }
    // Ends the current Run (or else the next one) as its deadline would, once the calls queued so
    // far have run: for a caller whose deadline or descriptors changed in one of those calls.
    // Main thread only.
    void Wake() noexcept { FWoken = true; }

private:
    ComApi::TEvent FStopped;
    bool FWoken = false;
};
