// The POSIX side of TEvent: an eventfd, which the POSIX driver's thread polls beside its tty.
#pragma once

#include "serial/driver/ComDriver.h"

namespace ComApi {

struct TEventNative {
    // The event's eventfd, made now when the event has none yet; -1 when the system has none to give
    // (errno tells why).
    static int Fd(const TEvent &Event) noexcept;
    // Whether an event without a descriptor is signalled: 1 or 0; -1 when it has a descriptor, which
    // only a poll can ask.
    static int Known(const TEvent &Event) noexcept;
    // Called by a waiter that saw the descriptor signalled: reads the state that Set wrote before
    // signalling, so what the setter wrote before Set is ordered before the waiter's next steps in
    // the memory model too (the kernel's order is invisible to the thread sanitizer).
    static void Observe(const TEvent &Event) noexcept {
        [[maybe_unused]] const bool set = Event.FSignalled.load();
    }
};

} // namespace ComApi
