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
};

} // namespace ComApi
