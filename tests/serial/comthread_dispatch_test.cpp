// The event thread and the three delivery methods, driven through the scripted driver with a test
// main loop (PumpUntil) standing in for the panel's.
#include "port_fixtures.h"

#include <stdexcept>
#include <thread>

using namespace ComApi;

namespace {

struct ComThreadDispatch : TScriptedPort {
    void Open() {
        Port.OpenPort();
        ASSERT_TRUE(Driver.WaitForCalls("WaitCommEvent"));
        Log.Take(); // the open notifications are the lifecycle tests' business
    }
    // True once every report so far has been delivered: the thread waits on the driver again and
    // nothing is queued for the main thread.
    bool Settled() { return Driver.WaitPending("COM1") && !MainThreadCallsPending().IsSet(); }
    void Settle() {
        ASSERT_TRUE(PumpUntil([&] { return Settled(); }));
    }
    // Raises Events and waits until the thread has queued their delivery for the main thread.
    void RaiseAndHold(DWORD Events) {
        Driver.RaiseEvents(Events, "COM1");
        ASSERT_EQ(WaitForSingleObject(MainThreadCallsPending(), 10000), WAIT_OBJECT_0);
    }
};

TEST_F(ComThreadDispatch, ErrorsComeBeforeTheDataThatArrivedWithThem) {
    Open();
    RaiseAndHold(EV_BREAK); // the thread is now held in its delivery, so the next two meet in one report
    Driver.PushRx("abc", "COM1");
    Driver.AddLineErrors(CE_FRAME, "COM1");
    Settle();
    EXPECT_EQ(Log.Take(), (std::vector<std::string>{"Break", "Error=1", "RxChar=3"}));
}

TEST_F(ComThreadDispatch, RxCharCarriesTheCountAtProcessingTimeAndSkipsZero) {
    Port.SetOnRxChar([&](TCustomComPort &P, std::int32_t Count) {
        Log.Add("RxChar=" + std::to_string(Count));
        std::string Text;
        P.ReadText(Text, Count);
    });
    Open();
    Driver.PushRx("ab", "COM1");
    ASSERT_EQ(WaitForSingleObject(MainThreadCallsPending(), 10000), WAIT_OBJECT_0); // the "ab" report
    Driver.PushRx("cd", "COM1"); // arrives before that report is processed
    Settle();
    // The report of "cd" finds its bytes already read by the first handler: no second OnRxChar.
    EXPECT_EQ(Log.Take(), std::vector<std::string>{"RxChar=4"});
}

TEST_F(ComThreadDispatch, OneErrorConditionIsReportedOnce) {
    Open();
    Driver.AddLineErrors(CE_OVERRUN | CE_BREAK, "COM1");
    Settle();
    Driver.RaiseEvents(EV_ERR, "COM1");
    Settle();
    // CE_BREAK also raises the break event; the second error report finds nothing to fetch.
    EXPECT_EQ(Log.Take(), (std::vector<std::string>{"Error=12", "Break"}));
}

TEST_F(ComThreadDispatch, SeveralKindsOfOneReportArriveInTheFixedOrder) {
    std::atomic<int> Wakes{0};
    SetWakeMainThreadHook([&] { ++Wakes; });
    for (TSyncMethod Method : {smThreadSync, smWindowSync, smNone}) {
        Port.SetSyncMethod(Method);
        Open();
        Wakes = 0;
        Driver.RaiseEvents(EV_RX80FULL | EV_RXFLAG | EV_CTS | EV_RING | EV_BREAK | EV_TXEMPTY, "COM1");
        ASSERT_TRUE(PumpUntil([&] { return Log.Size() == 6 && Settled(); }));
        EXPECT_EQ(Log.Take(),
                  (std::vector<std::string>{"TxEmpty", "Break", "Ring", "CTS=0", "RxFlag", "Rx80Full"}))
            << Method;
        const int Expected[] = {1, 6, 0}; // one call, one message per kind, none
        EXPECT_EQ(Wakes, Expected[Method]) << Method;
        Port.ClosePort();
    }
    SetWakeMainThreadHook(nullptr);
}

TEST_F(ComThreadDispatch, WindowDeliveryReleasesTheThreadBeforeTheHandlersRun) {
    Port.SetSyncMethod(smWindowSync);
    Port.SetOnTxEmpty([&](TCustomComPort &) {
        // The next kind's message can only be queued once this one has been taken up.
        Log.Add(WaitForSingleObject(MainThreadCallsPending(), 10000) == WAIT_OBJECT_0 ? "released" : "held");
    });
    Open();
    Driver.RaiseEvents(EV_TXEMPTY | EV_BREAK, "COM1");
    Settle();
    EXPECT_EQ(Log.Take(), (std::vector<std::string>{"released", "Break"}));
}

TEST_F(ComThreadDispatch, NotifyMessagesNeedOneKnownKindAndAnOpenPort) {
    Port.SetSyncMethod(smWindowSync);
    Port.NotifyWindowProc(WM_PORTEVENT, EV_TXEMPTY); // closed: dropped
    Open();
    Port.NotifyWindowProc(WM_PORTEVENT, EV_TXEMPTY | EV_BREAK);
    Port.NotifyWindowProc(WM_PORTEVENT, 0x0200);
    Port.NotifyWindowProc(WM_USER, EV_TXEMPTY);
    Port.NotifyWindowProc(WM_PORTEVENT, EV_BREAK);
    EXPECT_EQ(Log.Take(), std::vector<std::string>{"Break"});
}

TEST_F(ComThreadDispatch, EventsChangedWhileOpenWaitForTheNextOpen) {
    Open();
    Port.SetEvents({evRxChar});
    Driver.RaiseEvents(EV_TXEMPTY, "COM1");
    Settle();
    EXPECT_EQ(Log.Take(), std::vector<std::string>{"TxEmpty"});
    Port.ClosePort();
    Open();
    Driver.RaiseEvents(EV_TXEMPTY, "COM1");
    Driver.PushRx("z", "COM1");
    Settle();
    EXPECT_EQ(Log.Take(), std::vector<std::string>{"RxChar=1"});
    EXPECT_EQ(Driver.CommMask("COM1"), EV_RXCHAR);
}

TEST_F(ComThreadDispatch, CloseRunsAQueuedDeliveryAndTheStopWinsOverAPendingReport) {
    for (TSyncMethod Method : {smThreadSync, smWindowSync}) {
        Port.SetSyncMethod(Method);
        Open();
        RaiseAndHold(EV_BREAK);
        Driver.RaiseEvents(EV_RING, "COM1"); // remembered: completes the thread's next wait at once
        Driver.PushRx("left over", "COM1");
        Driver.ClearCalls();
        Port.ClosePort(); // no main loop runs: the close itself must take the delivery up
        EXPECT_EQ(Log.Take(), (std::vector<std::string>{"CTS=0", "DSR=0", "RLSD=0", "BeforeClose", "Break",
                                                        "AfterClose"}))
            << Method;
        // The thread's clean-up: mask cleared, both queues emptied, then the device closes.
        auto Calls = Driver.Calls();
        std::erase_if(Calls, [](const TScriptCall &C) {
            return C.Function != "SetCommMask" && C.Function != "PurgeComm" && C.Function != "CloseHandle";
        });
        ASSERT_EQ(Calls.size(), 4u) << Method;
        EXPECT_EQ(Calls[0].Flags, PURGE_TXABORT | PURGE_RXABORT);
        EXPECT_EQ(Calls[1].Function, "SetCommMask");
        EXPECT_EQ(Calls[1].Mask, 0u);
        EXPECT_EQ(Calls[2].Flags, PURGE_TXCLEAR | PURGE_RXCLEAR);
        EXPECT_EQ(Calls[3].Function, "CloseHandle");
        EXPECT_EQ(ProcessMainThreadCalls(), 0u) << "nothing may be left queued";
        EXPECT_TRUE(Log.Take().empty()) << Method;
    }
}

TEST_F(ComThreadDispatch, HandlerExceptionEndsThreadOnlyOutsideWindowDelivery) {
    std::vector<std::string> Reports;
    SetErrorReportHook([&](const std::exception &E) { Reports.push_back(E.what()); });
    Port.SetOnTxEmpty([](TCustomComPort &) { throw std::runtime_error("boom"); });
    for (TSyncMethod Method : {smThreadSync, smNone, smWindowSync}) {
        Port.SetSyncMethod(Method);
        Open();
        Driver.ClearCalls();
        Driver.RaiseEvents(EV_TXEMPTY, "COM1");
        if (Method == smWindowSync) {
            Settle();
            EXPECT_EQ(Reports, std::vector<std::string>{"boom"});
            Driver.RaiseEvents(EV_BREAK, "COM1");
            Settle();
            EXPECT_EQ(Log.Take(), std::vector<std::string>{"Break"}) << "later events still arrive";
        } else {
            // The thread ends silently: its clean-up clears the mask, and nothing more is delivered.
            ASSERT_TRUE(PumpUntil([&] { return !Driver.CallsOf("SetCommMask").empty(); })) << Method;
            EXPECT_TRUE(Reports.empty()) << Method;
            EXPECT_TRUE(Port.Connected());
        }
        Port.ClosePort();
        Log.Take();
    }
    SetErrorReportHook(nullptr);
}

TEST_F(ComThreadDispatch, VanishedDeviceEndsTheThreadInsteadOfSpinning) {
    Open();
    Driver.HangUp("COM1");
    ASSERT_TRUE(PumpUntil([&] {
        return !Driver.CallsOf("SetCommMask").empty() && Driver.CallsOf("SetCommMask").back().Mask == 0;
    }));
    EXPECT_LE(Driver.CallsOf("WaitCommEvent").size(), 3u);
    Port.ClosePort();
    Open(); // a fresh device under the same name
    Driver.PushRx("ok", "COM1");
    Settle();
    EXPECT_EQ(Log.Take(), std::vector<std::string>{"RxChar=2"});
}

TEST_F(ComThreadDispatch, BufferDeliveryReadsForHandlerAndListenersInsteadOfCounting) {
    std::vector<std::string> Got;
    Port.SetCountOnRxChar(false);
    Port.SetOnRxBuf([&](TCustomComPort &, const void *B, std::int32_t N) {
        Got.push_back("port " + std::string(static_cast<const char *>(B), static_cast<std::size_t>(N)));
    });
    TComListener Listener;
    Listener.OnRxBuf = [&](TCustomComPort &, const void *B, std::int32_t N) {
        Got.push_back("listener " + std::string(static_cast<const char *>(B), static_cast<std::size_t>(N)));
    };
    Port.AttachListener(Listener);
    Open();
    Driver.PushRx("hello", "COM1");
    Settle();
    Port.DetachListener(Listener);
    EXPECT_EQ(Got, (std::vector<std::string>{"port hello", "listener hello"}));
    EXPECT_TRUE(Log.Take().empty()) << "OnRxChar does not fire for bytes already handed over";
    EXPECT_EQ(Driver.Queued("COM1"), 0u);
}

TEST_F(ComThreadDispatch, ThousandCyclesWithTrafficLeaveNoThreadOrDescriptor) {
    Port.SetOnRxChar([&](TCustomComPort &P, std::int32_t Count) {
        std::string Text;
        P.ReadText(Text, Count);
        Log.Add(Text);
    });
    Open(); // let the first cycle's lazily made objects exist before counting
    Port.ClosePort();
    const TLeakBaseline Baseline;
    for (int i = 0; i < 1000; ++i) {
        Port.OpenPort();
        Driver.PushRx("x", "COM1");
        ASSERT_TRUE(PumpUntil([&] { return Log.Has("x"); })) << i;
        Port.ClosePort();
        Log.Take();
    }
    EXPECT_TRUE(Baseline.NothingLeftBehind());
}

// The same on a pseudo-terminal pair with the real driver, bytes flowing both ways.
TEST(ComThreadPty, CyclesWithTrafficLeaveNoThreadOrDescriptor) {
    TPtyPair Pty;
    if (!Pty.Ok())
        GTEST_SKIP() << "no pseudo-terminal support";
    TComPort Port(DefaultComDriver());
    Port.SetPort(Pty.SlavePath());
    std::string Received;
    Port.SetOnRxChar([&](TCustomComPort &P, std::int32_t Count) {
        std::string Text;
        P.ReadText(Text, Count);
        Received += Text;
    });
    Port.OpenPort(); // let the first cycle's lazily made objects exist before counting
    Port.ClosePort();
    const TLeakBaseline Baseline;
    for (int i = 0; i < 1000; ++i) {
        Port.OpenPort();
        Pty.Send("r");
        ASSERT_TRUE(PumpUntil([&] { return Received.size() == static_cast<std::size_t>(i + 1); })) << i;
        Port.WriteText("w");
        // Read before closing: closing discards what the far end has not taken yet.
        ASSERT_EQ(Pty.Receive(1), "w") << i;
        Port.ClosePort();
    }
    EXPECT_TRUE(Baseline.NothingLeftBehind());
}

} // namespace
