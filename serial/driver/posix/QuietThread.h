// The POSIX driver's threads. Each blocks every signal, so that signals meant for the process never
// land in them. One kind spends its life in a blocking system call that nothing else can wake.
//
// Signals: the first TInterruptibleThread installs a do-nothing SIGURG handler without SA_RESTART,
// used only to wake such a thread. SIGURG is otherwise ignored by default, so nothing else notices.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace ComApi {

// Starts a thread with every signal blocked; throws std::system_error when no thread can be had.
std::thread StartQuietThread(std::function<void()> Body);

// A thread whose body spends its life in one blocking system call that nothing else can wake, such
// as TIOCMIWAIT (no time-out; close() does not end it). Stop() sets Stopping() and then aims the
// wake-up signal (SIGURG) at that thread alone, again and again until the body has returned, since a
// signal that lands just before the call is entered is lost. The body must check Stopping() around
// its call and return when it is set.
class TInterruptibleThread {
public:
    TInterruptibleThread() = default;
    ~TInterruptibleThread() { Stop(); }
    TInterruptibleThread(const TInterruptibleThread &) = delete;
    TInterruptibleThread &operator=(const TInterruptibleThread &) = delete;

    // Returns once the thread runs; throws std::system_error when no thread can be had.
    void Start(std::function<void()> Body);
    // Returns once the thread has ended and been joined; does nothing if none was started.
    void Stop();
    bool Stopping() const { return FStop.load(); }
    bool Running() const;
    int Tid() const; // as in /proc/self/task; 0 before Start

private:
    std::thread FThread;
    std::atomic<bool> FStop{false};
    mutable std::mutex FMutex;
    std::condition_variable FChanged;
    bool FRunning = false;
    int FTid = 0;
};

} // namespace ComApi
