// The event thread of an open port, and the notify queue of window delivery.
//
// While a port is open with a non-empty Events set, one TComThread sleeps in a single kernel wait
// on two events: the driver's WaitCommEvent completion and its own stop signal. It never polls, so
// an idle open port costs no wake-ups. Each report becomes a set of event kinds that the port's
// SyncMethod hands to the port's DeliverEvents (see ComPort.h for where that runs).
//
// The thread ends when it is asked to stop, when a delivery raises (the exception ends the loop
// silently; the port stays open and simply delivers nothing more until it is reopened), or when
// the device refuses to wait any longer (pulled out): a wait that fails at once, or two reports in
// a row that end in failure, end the loop instead of spinning on a dead device.
#pragma once

#include "serial/driver/ComDriver.h"
#include "serial/port/ComTypes.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class TCustomComPort;

class TComThread {
public:
    // Sets the driver's event mask from the port's Events (once: a later change of Events takes
    // effect at the next open) and starts the thread.
    explicit TComThread(TCustomComPort &OwnerPort);
    // Asks the thread to stop and waits until it has ended. On the main thread the wait keeps
    // running queued main-thread calls, so a delivery in flight completes first.
    ~TComThread();
    TComThread(const TComThread &) = delete;
    TComThread &operator=(const TComThread &) = delete;

    void RequestStop() noexcept;
    // True once the thread body has returned (stopped, failed, or ended by an exception).
    bool Ended() const noexcept { return FEnded.IsSet(); }

private:
    void Execute() noexcept;
    void WatchLoop();
    void DispatchEvents();
    void SendEventMessages();

    TCustomComPort &FOwnerPort;
    ComApi::TComDriver &FDriver;
    ComApi::HANDLE FHandle;
    // Cannot change while the port is open, so it is taken once like the event mask.
    TSyncMethod FSyncMethod = smThreadSync;
    ComApi::TEvent FStopSignal{false};
    ComApi::TEvent FEnded{false};
    // The overlapped wait's record and mask: members, because the driver writes them when the wait
    // completes, which may be after the loop has left.
    ComApi::TEvent FWaitEvent{true};
    ComApi::TOverlapped FOverlapped;
    ComApi::DWORD FMask = 0;
    TComEvents FPendingEvents;
    std::thread FThread;
};

// The port's notify queue for smWindowSync: the event thread sends one message at a time and is
// released as soon as the main thread takes it up, before the port's handlers run.
class TComNotifyWindow : public std::enable_shared_from_this<TComNotifyWindow> {
public:
    explicit TComNotifyWindow(TCustomComPort &Port) : FPort(Port) {}

    // Event thread: queues the message, wakes the main thread and waits until the message has been
    // taken up (or the queue was closed).
    void SendMessage(std::uint32_t Message, ComApi::DWORD WParam);
    // Main thread: drops queued messages and releases a waiting sender.
    void Close();

private:
    void TakeUp();

    struct TMessage {
        std::uint32_t Message;
        ComApi::DWORD WParam;
    };
    TCustomComPort &FPort;
    std::mutex FLock;
    std::condition_variable FTaken;
    std::deque<TMessage> FMessages;
    std::uint64_t FSent = 0;
    std::uint64_t FTakenUp = 0;
    bool FClosed = false;
};
