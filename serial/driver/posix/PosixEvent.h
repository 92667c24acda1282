// The POSIX side of TEvent: an eventfd, which the POSIX driver's thread polls beside its tty.
#pragma once

#include "serial/driver/ComDriver.h"

#include <memory>

namespace ComApi {

// A descriptor that a driver lends to the waits on an event while an operation on that event is
// pending. A thread that waits for the event polls the descriptor in the same poll() and, when it
// is ready, has the source do the driver's work on it (a tty's source reads the line into the input
// queue), which may end the operation and so set the event: the waiting thread itself does what
// would otherwise wake a thread of the driver's first. The driver detaches the source under its own
// lock before the operation ends, so nothing touches the event through it afterwards.
class TEventSource {
public:
    virtual ~TEventSource() = default;
    // A waiter's poll found the descriptor ready (Revents). False: the driver has taken the
    // descriptor back, and the waiter stops watching it.
    virtual bool Serve(short Revents) = 0;
};

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
    // What Set wrote last; for a waiter that has just served a source, which may have set the event
    // without its poll seeing it. Orders like Observe.
    static bool Signalled(const TEvent &Event) noexcept { return Event.FSignalled.load(); }

    // Lends Fd to the waits on Event until Detach (one source at a time; a second replaces the first).
    static void Attach(TEvent &Event, int Fd, std::weak_ptr<TEventSource> Source);
    static void Detach(TEvent &Event) noexcept;
    // The attached source and its descriptor; -1 when there is none.
    static int Source(const TEvent &Event, std::weak_ptr<TEventSource> &Source);
};

} // namespace ComApi
