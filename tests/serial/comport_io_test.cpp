// Reading, writing and the driver-state queries, on the scripted driver and on a pseudo-terminal.
#include "port_fixtures.h"

#include <atomic>
#include <cerrno>
#include <functional>
#include <random>
#include <string_view>
#include <thread>

using namespace ComApi;

namespace {

struct ComPortIo : TScriptedPort {
    ComPortIo() {
        Port.SetEvents({}); // no event thread: the tests read and write on their own
        Port.OpenPort();
        Driver.ClearCalls();
    }
};

TEST_F(ComPortIo, WriteTextPutsExactlyTheTextOnTheLine) {
    EXPECT_EQ(Port.WriteText("RUN=1s"), 6);
    EXPECT_EQ(Driver.Written("COM1"), "RUN=1s");
    EXPECT_EQ(Port.WriteText(""), 0);
    EXPECT_EQ(Driver.CallsOf("WriteFile").size(), 1u) << "an empty text starts no write";
}

TEST_F(ComPortIo, ReadTextReturnsWhatIsWaitingAndNoMore) {
    Driver.PushRx(std::string_view("xab\0d", 5));
    std::string Text = "old";
    EXPECT_EQ(Port.ReadText(Text, 0), 0);
    EXPECT_EQ(Text, "");
    EXPECT_TRUE(Driver.CallsOf("ReadFile").empty());
    EXPECT_EQ(Port.ReadText(Text, 1), 1);
    EXPECT_EQ(Text, "x");
    EXPECT_EQ(Port.ReadText(Text, 10), 4);
    EXPECT_EQ(Text, std::string("ab\0d", 4)); // bytes as they came, nulls included
    EXPECT_EQ(Port.ReadText(Text, 10), 0);
    EXPECT_EQ(Text, "");
}

TEST_F(ComPortIo, MissingRecordIsRefusedWithoutTouchingTheDevice) {
    char Buffer[4] = {};
    const std::function<void()> Calls[] = {
        [&] { Port.BeginWrite("x", 1, nullptr); },
        [&] { Port.BeginRead(Buffer, 4, nullptr); },
        [&] { Port.WaitForOperation(nullptr); },
        [&] { Port.BeginWriteText("x", nullptr); },
    };
    for (const auto &Call : Calls) {
        try {
            Call();
            ADD_FAILURE() << "no error";
        } catch (const EComPort &E) {
            EXPECT_EQ(E.ErrorNumber(), 4);
            EXPECT_EQ(E.SystemErrorNumber(), -1);
        }
    }
    EXPECT_TRUE(Driver.Calls().empty());
}

TEST(ComPortClosedIo, EveryOperationRaisesItsNumberWithTheBadHandleCode) {
    TScriptComDriver Driver;
    TComPort Port(Driver);
    std::string Text;
    char Byte;
    const std::pair<int, std::function<void()>> Rows[] = {
        {2, [&] { Port.WriteText("RUN=1s"); }}, {3, [&] { Port.ReadText(Text, 5); }},
        {3, [&] { Port.ReadBytes(&Byte, 1); }}, {5, [&] { Port.AbortAllOperations(); }},
        {10, [&] { Port.InputQueueCount(); }},  {10, [&] { Port.FetchLineErrors(); }},
        {11, [&] { Port.ModemLines(); }},
    };
    for (const auto &[Number, Call] : Rows) {
        try {
            Call();
            ADD_FAILURE() << Number << ": no error";
        } catch (const EComPort &E) {
            EXPECT_EQ(E.ErrorNumber(), Number);
            EXPECT_EQ(E.SystemErrorNumber(), EBADF) << Number;
        }
    }
    EXPECT_EQ(Port.WriteText(""), 0) << "nothing started, nothing to fail";
}

TEST_F(ComPortIo, RefusedOrFailedTransfersRaiseAndStillFreeTheirRecord) {
    std::string Text;
    Driver.FailNext("WriteFile", EIO);
    EXPECT_THROW(Port.WriteText("x"), EComPort);
    Driver.FailNext("GetOverlappedResult", EIO);
    EXPECT_THROW(Port.WriteText("x"), EComPort);
    Driver.FailNext("ReadFile", EIO);
    EXPECT_THROW(Port.ReadText(Text, 3), EComPort);
    // A negative count would otherwise reach the driver as a four-gigabyte one.
    EXPECT_EQ(Port.ReadText(Text, -1), 0);
    char Buffer[4];
    EXPECT_THROW(Port.ReadBytes(Buffer, -1), EComPort);
    TComOperation *Operation = NewOperation();
    EXPECT_THROW(Port.BeginWrite(Buffer, -1, Operation), EComPort);
    FreeOperation(Operation);
    EXPECT_TRUE(Driver.CallsOf("ReadFile").size() == 1 && Driver.CallsOf("WriteFile").size() == 2)
        << "negative counts never reach the driver";
}

TEST_F(ComPortIo, AbortEndsAPendingReadWithTheReadError) {
    Port.Timeouts().SetReadInterval(0); // reads now wait for their full count
    TComOperation *Operation = NewOperation();
    char Buffer[10];
    EXPECT_EQ(Port.BeginRead(Buffer, 10, Operation), 0);
    EXPECT_EQ(Driver.PendingReads("COM1"), 1u);
    Port.AbortAllOperations();
    try {
        Port.WaitForOperation(Operation);
        ADD_FAILURE() << "no error";
    } catch (const EComPort &E) {
        EXPECT_EQ(E.ErrorNumber(), 3);
        EXPECT_EQ(E.SystemErrorNumber(), ECANCELED);
    }
    FreeOperation(Operation);
    EXPECT_EQ(Operation, nullptr);
}

TEST_F(ComPortIo, ParityErrorsCountOnlyWhileCheckingParity) {
    for (bool Check : {false, true}) {
        Port.Parity().SetCheck(Check);
        Driver.AddLineErrors(CE_RXPARITY | CE_FRAME | CE_TXFULL, "COM1");
        TComErrors Expected{ceFrame, ceTxFull};
        if (Check)
            Expected.Include(ceRxParity);
        EXPECT_EQ(Port.FetchLineErrors(), Expected) << Check;
        EXPECT_TRUE(Port.FetchLineErrors().Empty()) << "fetching clears";
    }
}

TEST_F(ComPortIo, ErrorsSeenByACountQueryAreStillFetchedOnce) {
    Driver.AddLineErrors(CE_OVERRUN, "COM1");
    Driver.PushRx("abc", "COM1");
    EXPECT_EQ(Port.InputQueueCount(), 3); // the driver clears its error word here
    EXPECT_EQ(Port.FetchLineErrors(), TComErrors{ceOverrun});
    EXPECT_TRUE(Port.FetchLineErrors().Empty());
}

TEST_F(ComPortIo, ModemLinesMapEachStatusBit) {
    const std::pair<DWORD, TComModemLines> Rows[] = {
        {MS_CTS_ON | MS_RLSD_ON, {mlCTS, mlRLSD}},
        {MS_DSR_ON | MS_RING_ON, {mlDSR, mlRing}},
        {0, {}},
        {0xFFF0, {mlCTS, mlDSR, mlRing, mlRLSD}},
        {0xFF0F, {}}, // no other status bit stands for a line
    };
    for (auto [Status, Lines] : Rows) {
        Driver.SetModemStatus(Status, "COM1");
        EXPECT_EQ(Port.ModemLines(), Lines) << std::hex << Status;
    }
}

TEST_F(ComPortIo, ListenersHearWritesAndAnEmptiedInputQueue) {
    std::vector<std::string> Heard;
    TComListener Listener;
    Listener.OnTxActivity = [&](TCustomComPort &, bool On) { Heard.push_back(On ? "tx on" : "tx off"); };
    Listener.OnTxData = [&](TCustomComPort &, const void *B, std::int32_t N) {
        Heard.push_back("data " + std::string(static_cast<const char *>(B), static_cast<std::size_t>(N)));
    };
    Listener.OnRxActivity = [&](TCustomComPort &, bool On) { Heard.push_back(On ? "rx on" : "rx off"); };
    Port.AttachListener(Listener);
    Port.AttachListener(Listener); // once is enough

    TComOperation *Operation = NewOperation();
    Port.BeginWriteText("R1=1s", Operation);
    Port.WaitForOperation(Operation);
    Driver.PushRx("12", "COM1");
    char Buffer[8];
    Port.BeginRead(Buffer, 1, Operation); // the same record, now for a read
    Port.WaitForOperation(Operation);
    Port.BeginRead(Buffer, 1, Operation);
    Port.WaitForOperation(Operation);
    FreeOperation(Operation);
    Port.DetachListener(Listener);
    Port.WriteText("x");
    EXPECT_EQ(Heard, (std::vector<std::string>{"tx on", "data R1=1s", "rx off"}));
}

// The real driver on a pseudo-terminal pair.
struct ComPortPty : ::testing::Test {
    TPtyPair Pty;
    TComPort Port{DefaultComDriver()};
    void SetUp() override {
        if (!Pty.Ok())
            GTEST_SKIP() << "no pseudo-terminal support";
        Port.SetPort(Pty.SlavePath());
        Port.SetEvents({});
        Port.OpenPort();
    }
};

TEST_F(ComPortPty, WriteAndReadCrossTheLineUnchanged) {
    EXPECT_EQ(Port.WriteText("RUN=1s"), 6);
    EXPECT_EQ(Pty.Receive(6), "RUN=1s");
    Pty.Send("ok*\n");
    ASSERT_TRUE(PumpUntil([&] { return Port.InputQueueCount() == 4; }));
    std::string Text;
    EXPECT_EQ(Port.ReadText(Text, 10), 4);
    EXPECT_EQ(Text, "ok*\n");
}

TEST_F(ComPortPty, AbortedPendingReadRaisesTheReadError) {
    Port.Timeouts().SetReadInterval(0);
    TComOperation *Operation = NewOperation();
    char Buffer[10];
    Port.BeginRead(Buffer, 10, Operation);
    Port.AbortAllOperations();
    try {
        Port.WaitForOperation(Operation);
        ADD_FAILURE() << "no error";
    } catch (const EComPort &E) {
        EXPECT_EQ(E.ErrorNumber(), 3);
    }
    FreeOperation(Operation);
}

TEST(ComPortPosix, MissingDeviceRaisesOpenErrorWithFileNotFound) {
    TComPort Port(DefaultComDriver());
    Port.SetPort("/dev/no-such-serial-device");
    try {
        Port.OpenPort();
        FAIL() << "no error";
    } catch (const EComPort &E) {
        EXPECT_EQ(E.ErrorNumber(), 1);
        EXPECT_EQ(E.SystemErrorNumber(), ENOENT);
    }
    EXPECT_FALSE(Port.Connected());
}

} // namespace

// A long stream of arbitrary bytes reaches OnRxChar whole and in order, whichever thread delivers.
TEST(ComPortStream, TenMebibytesArriveUnchangedInEveryDeliveryMethod) {
    constexpr std::size_t Total = 10u << 20;
    std::string Sent(Total, '\0');
    std::mt19937_64 Random(20261208);
    for (char &Byte : Sent)
        Byte = static_cast<char>(Random());
    const auto Fnv = [](std::uint64_t Hash, std::string_view Bytes) {
        for (const char Byte : Bytes)
            Hash = (Hash ^ static_cast<std::uint8_t>(Byte)) * 0x100000001b3u;
        return Hash;
    };
    const std::uint64_t Expected = Fnv(0xcbf29ce484222325u, Sent);
    for (TSyncMethod Method : {smThreadSync, smWindowSync, smNone}) {
        SCOPED_TRACE(Method);
        TPtyPair Pty;
        if (!Pty.Ok())
            GTEST_SKIP() << "no pseudo-terminal support";
        TComPort Port{DefaultComDriver()};
        Port.SetPort(Pty.SlavePath());
        Port.SetSyncMethod(Method);
        std::uint64_t Hash = 0xcbf29ce484222325u; // the delivering thread's alone until Received is full
        std::atomic<std::size_t> Received{0};
        Port.SetOnRxChar([&](TCustomComPort &P, std::int32_t Count) {
            std::string Text;
            P.ReadText(Text, Count);
            Hash = Fnv(Hash, Text);
            Received += Text.size();
        });
        Port.OpenPort();
        bool AllSent = true;
        std::thread Writer([&] {
            for (std::size_t At = 0; At < Total && AllSent; At += 65536)
                AllSent = Pty.Send(std::string_view(Sent).substr(At, 65536));
        });
        EXPECT_TRUE(PumpUntil([&] { return Received.load() >= Total; }, 120000));
        Writer.join();
        Port.ClosePort();
        EXPECT_TRUE(AllSent);
        EXPECT_EQ(Received.load(), Total);
        EXPECT_EQ(Hash, Expected);
    }
}
