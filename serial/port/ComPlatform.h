// What the serial port layer needs from the application around it, as hooks that the Qt layer
// installs at start-up. The core never includes a window system: it calls these hooks instead.
//
//   - The application's error report: shows an error that no caller can take (an opening error
//     at the end of loading, an error raised by a handler under window delivery). Without a hook
//     the message goes to standard error.
//   - The setup dialog: RunSetupDialog calls it; the setup dialog code registers it.
//   - The main-thread call queue: another thread queues a call for the main thread and wakes it
//     through the wake-up hook; the main thread runs the queued calls with
//     ProcessMainThreadCalls. A loop that can watch a descriptor needs no hook: it watches
//     MainThreadCallsPending (the Qt layer does so with a socket notifier, the poll() loop of
//     MainThreadLoop.h in its poll) and drains the queue when it is signalled.
//
// Thread safety: the hooks are set on the main thread before any port opens. QueueMainThreadCall,
// RunOnMainThread and the wake-up hook may be called from any thread; ProcessMainThreadCalls and
// ReportApplicationError belong to the main thread.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>

class TCustomComPort;
namespace ComApi {
class TEvent;
}

using TErrorReportHook = std::function<void(const std::exception &Error)>;
void SetErrorReportHook(TErrorReportHook Hook);
// Reports the exception (the current one when none is given) through the hook.
void ReportApplicationError(std::exception_ptr Error = std::current_exception()) noexcept;

using TSetupDialogHook = std::function<bool(TCustomComPort &Port)>;
void SetSetupDialogHook(TSetupDialogHook Hook);
const TSetupDialogHook &SetupDialogHook();

// Called from any thread after a call has been queued; must only arrange for the main thread to
// call ProcessMainThreadCalls soon, never run the calls itself.
using TWakeMainThreadHook = std::function<void()>;
void SetWakeMainThreadHook(TWakeMainThreadHook Hook);

// Queues a call for the main thread and wakes it. An exception the call raises goes to
// ReportApplicationError.
void QueueMainThreadCall(std::function<void()> Call);
// Has the main thread run the call and waits until it has returned; an exception it raised is
// raised again here. On the main thread itself the call runs at once.
void RunOnMainThread(const std::function<void()> &Call);
// Runs the calls queued so far, in queue order, on the calling (main) thread; calls queued while
// it runs are run too. Returns how many ran.
std::size_t ProcessMainThreadCalls();
// Signalled while calls wait in the queue: lets the main thread wait for its queue together with
// other events in one poll.
const ComApi::TEvent &MainThreadCallsPending();

// The main thread is the one that started the program; a test harness that drives ports from
// another thread may name that thread instead.
bool IsMainThread() noexcept;
void SetMainThreadToCurrent() noexcept;
