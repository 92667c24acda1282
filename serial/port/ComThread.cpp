// The event thread's wait loop and the three ways of handing its reports over.
#include "serial/port/ComThread.h"

#include "serial/port/ComPlatform.h"
#include "serial/port/ComPort.h"

#include <array>
#include <cerrno>

using namespace ComApi;

namespace {
// The order in which one report's kinds are delivered: line errors before the data that came with
// them.
constexpr std::array<TComEvent, 10> DeliveryOrder = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                                                     evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};
} // namespace

TComThread::TComThread(TCustomComPort &OwnerPort)
    : FOwnerPort(OwnerPort),
      FDriver(OwnerPort.Driver()),
      FHandle(OwnerPort.DeviceHandle()),
      FSyncMethod(OwnerPort.SyncMethod()) {
    FOverlapped.hEvent = &FWaitEvent;
    // A refused mask only means no reports; the port stays usable for reading and writing.
    FDriver.SetCommMask(FHandle, EventsToMask(OwnerPort.Events()));
    FThread = std::thread(&TComThread::Execute, this);
}

TComThread::~TComThread() {
    RequestStop();
    if (IsMainThread()) {
        const TEvent *Waits[] = {&FEnded, &MainThreadCallsPending()};
        for (;;) {
            const DWORD Result = WaitForMultipleObjects(Waits);
            if (Result != WAIT_OBJECT_0 + 1)
                break; // ended, or the wait itself failed: join below either way
            ProcessMainThreadCalls();
        }
    }
    FThread.join();
}

void TComThread::RequestStop() noexcept {
    FStopSignal.Set();
    std::this_thread::yield();
}

void TComThread::Execute() noexcept {
    try {
        WatchLoop();
    } catch (...) {
        // A delivery raised: the loop ends silently and the port stays open.
    }
    // Clearing the mask completes a wait still pending; the driver writes the record before it
    // signals it, so once the event is set nothing touches the record any more.
    if (FDriver.SetCommMask(FHandle, 0) && FOverlapped.Internal.load() == ERROR_IO_PENDING)
        WaitForSingleObject(FWaitEvent);
    FDriver.PurgeComm(FHandle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    FEnded.Set();
}

void TComThread::WatchLoop() {
    const TEvent *Waits[] = {&FStopSignal, &FWaitEvent};
    int FailedReports = 0;
    for (;;) {
        if (!FDriver.WaitCommEvent(FHandle, &FMask, &FOverlapped) && GetLastError() != ERROR_IO_PENDING)
            return; // the device refuses to wait (gone): waiting again would spin
        if (WaitForMultipleObjects(Waits) != WAIT_OBJECT_0 + 1)
            return; // stop requested (it wins over a report pending at the same time), or the wait failed
        DWORD Transferred = 0;
        if (!FDriver.GetOverlappedResult(FHandle, &FOverlapped, &Transferred, false)) {
            // An aborted wait (AbortAllOperations) is harmless; repeated real failures mean the
            // device is gone and every further wait would complete at once.
            if (GetLastError() != ECANCELED && ++FailedReports >= 2)
                return;
            continue;
        }
        FailedReports = 0;
        FPendingEvents = MaskToEvents(FMask);
        DispatchEvents();
    }
}

void TComThread::DispatchEvents() {
    switch (FSyncMethod) {
    case smThreadSync:
        RunOnMainThread([this] { FOwnerPort.DeliverEvents(FPendingEvents); });
        break;
    case smWindowSync:
        SendEventMessages();
        break;
    case smNone:
        FOwnerPort.DeliverEvents(FPendingEvents);
        break;
    }
}

void TComThread::SendEventMessages() {
    TComNotifyWindow *Window = FOwnerPort.FNotifyWindow.get();
    if (!Window)
        return; // cannot happen: the port makes the window before the thread; handled anyway
    for (TComEvent Kind : DeliveryOrder)
        if (FPendingEvents.Contains(Kind))
            Window->SendMessage(WM_PORTEVENT, EventsToMask(TComEvents{Kind}));
}

void TComNotifyWindow::SendMessage(std::uint32_t Message, DWORD WParam) {
    std::uint64_t Ticket;
    {
        std::lock_guard Lock(FLock);
        if (FClosed)
            return;
        FMessages.push_back({Message, WParam});
        Ticket = ++FSent;
    }
    QueueMainThreadCall([Window = weak_from_this()] {
        if (auto Alive = Window.lock())
            Alive->TakeUp();
    });
    std::unique_lock Lock(FLock);
    FTaken.wait(Lock, [&] { return FClosed || FTakenUp >= Ticket; });
}

void TComNotifyWindow::Close() {
    std::lock_guard Lock(FLock);
    FClosed = true;
    FMessages.clear();
    FTaken.notify_all();
}

void TComNotifyWindow::TakeUp() {
    TMessage Taken;
    {
        std::lock_guard Lock(FLock);
        if (FMessages.empty())
            return;
        Taken = FMessages.front();
        FMessages.pop_front();
        ++FTakenUp;
        FTaken.notify_all();
    }
    FPort.NotifyWindowProc(Taken.Message, Taken.WParam);
}
