// The hooks and the main-thread call queue of ComPlatform.h.
#include "serial/port/ComPlatform.h"

#include "serial/driver/ComDriver.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

using namespace ComApi;

namespace {
std::mutex HookLock;
TErrorReportHook ErrorHook;
TSetupDialogHook DialogHook;
TWakeMainThreadHook WakeHook;

std::mutex QueueLock;
std::deque<std::function<void()>> Queue;

// Static initialisation runs on the thread that starts the program.
std::atomic<std::thread::id> MainThreadId{std::this_thread::get_id()};

TEvent &PendingEvent() {
    static TEvent Event;
    return Event;
}

void Wake() {
    TWakeMainThreadHook Hook;
    {
        std::lock_guard Lock(HookLock);
        Hook = WakeHook;
    }
    if (Hook)
        Hook();
}
} // namespace

void SetErrorReportHook(TErrorReportHook Hook) {
    std::lock_guard Lock(HookLock);
    ErrorHook = std::move(Hook);
}

void ReportApplicationError(std::exception_ptr Error) noexcept {
    if (!Error)
        return;
    TErrorReportHook Hook;
    {
        std::lock_guard Lock(HookLock);
        Hook = ErrorHook;
    }
    try {
        std::rethrow_exception(Error);
    } catch (const std::exception &E) {
        try {
            if (Hook)
                Hook(E);
            else
                std::fprintf(stderr, "%s\n", E.what());
        } catch (...) {
            // The report itself failed; there is nobody left to tell.
        }
    } catch (...) {
        std::fprintf(stderr, "unknown error\n");
    }
}

void SetSetupDialogHook(TSetupDialogHook Hook) {
    std::lock_guard Lock(HookLock);
    DialogHook = std::move(Hook);
}

const TSetupDialogHook &SetupDialogHook() {
    return DialogHook;
}

void SetWakeMainThreadHook(TWakeMainThreadHook Hook) {
    std::lock_guard Lock(HookLock);
    WakeHook = std::move(Hook);
}

void QueueMainThreadCall(std::function<void()> Call) {
    {
        std::lock_guard Lock(QueueLock);
        Queue.push_back(std::move(Call));
    }
    // Signalled outside the lock: the main thread it wakes goes straight for the lock. The main
    // thread resets the event only under the lock with the queue empty, so it never resets it
    // before running this call; at worst it wakes once more and finds nothing.
    PendingEvent().Set();
    Wake();
}

void RunOnMainThread(const std::function<void()> &Call) {
    if (IsMainThread()) {
        Call();
        return;
    }
    // One flag to wait on: a mutex and condition variable cost the waiter a second wake-up, to
    // take the mutex back, on every call.
    struct TState {
        std::atomic<bool> Finished{false};
        std::exception_ptr Error;
    };
    auto State = std::make_shared<TState>();
    QueueMainThreadCall([State, &Call] {
        try {
            Call();
        } catch (...) {
            State->Error = std::current_exception();
        }
        State->Finished.store(true);
        State->Finished.notify_one();
    });
    State->Finished.wait(false);
    if (State->Error)
        std::rethrow_exception(State->Error);
}

std::size_t ProcessMainThreadCalls() {
    std::size_t Count = 0;
    for (;;) {
        std::function<void()> Call;
        {
            std::lock_guard Lock(QueueLock);
            if (Queue.empty()) {
                PendingEvent().Reset();
                return Count;
            }
            Call = std::move(Queue.front());
            Queue.pop_front();
        }
        ++Count;
        try {
            Call();
        } catch (...) {
            ReportApplicationError();
        }
    }
}

const TEvent &MainThreadCallsPending() {
    return PendingEvent();
}

bool IsMainThread() noexcept {
    return MainThreadId.load() == std::this_thread::get_id();
}
void SetMainThreadToCurrent() noexcept {
    MainThreadId.store(std::this_thread::get_id());
}
