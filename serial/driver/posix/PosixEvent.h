// The POSIX side of TEvent: an eventfd, which the POSIX driver's thread polls beside its tty.
#pragma once

#include "serial/driver/ComDriver.h"

namespace ComApi {

struct TEventNative {
    static int Fd(const TEvent &Event) noexcept { return static_cast<int>(Event.FNative); }
};

} // namespace ComApi
