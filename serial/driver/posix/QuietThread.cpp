// Threads that keep out of the way of the process's signals, and one that a signal can stop.
#include "serial/driver/posix/QuietThread.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace ComApi {

namespace {

constexpr int WakeSignal = SIGURG;

void OnWakeSignal(int) {} // exists only so that a blocking ioctl returns EINTR

void InstallWakeSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = OnWakeSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: the interrupted TIOCMIWAIT must return
        ::sigaction(WakeSignal, &action, nullptr);
    });
}

} // namespace

std::thread StartQuietThread(std::function<void()> Body) {
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    struct TRestore {
        sigset_t *Old;
        ~TRestore() { ::pthread_sigmask(SIG_SETMASK, Old, nullptr); }
    } restore{&old};
    return std::thread(std::move(Body));
}

void TInterruptibleThread::Start(std::function<void()> Body) {
    InstallWakeSignal();
    FStop = false;
    std::unique_lock lock(FMutex);
    FRunning = true;
    FTid = 0;
    try {
        FThread = StartQuietThread([this, Body = std::move(Body)] {
            {
                std::lock_guard started(FMutex);
                FTid = ::gettid();
                FChanged.notify_all();
            }
            sigset_t wake;
            sigemptyset(&wake);
            sigaddset(&wake, WakeSignal);
            ::pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
            Body();
            std::lock_guard ended(FMutex);
            FRunning = false;
            FChanged.notify_all();
        });
    } catch (...) {
        FRunning = false;
        throw;
    }
    FChanged.wait(lock, [this] { return FTid != 0; });
}

void TInterruptibleThread::Stop() {
    if (!FThread.joinable())
        return;
    FStop = true;
    std::unique_lock lock(FMutex);
    // The signal may land just before the body enters its blocking call, which then sleeps on; so
    // resend it, with growing pauses, until the body has returned. This runs only when stopping.
    for (int pause = 1; FRunning; pause = std::min(pause * 2, 100)) {
        ::pthread_kill(FThread.native_handle(), WakeSignal);
        FChanged.wait_for(lock, std::chrono::milliseconds(pause), [this] { return !FRunning; });
    }
    lock.unlock();
    FThread.join();
}

bool TInterruptibleThread::Running() const {
    std::lock_guard lock(FMutex);
    return FRunning;
}

int TInterruptibleThread::Tid() const {
    std::lock_guard lock(FMutex);
    return FTid;
}

} // namespace ComApi
