// The scriptable driver is what every port test stands on: these cases pin the rules its header
// promises (events and masks, read time-out modes, aborts, refusals, hang-up), so a fault here is not
// mistaken for a fault in the port component.
#include "serial/testing/ScriptComDriver.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

using namespace ComApi;

namespace {

struct TScriptDriverTest : ::testing::Test {
    TScriptComDriver Driver;
    HANDLE H = INVALID_HANDLE_VALUE;
    TEvent Event{true};
    TOverlapped Ov;

    void SetUp() override {
        Driver.AddDevice("COM1");
        H = Driver.CreateFile("COM1");
        ASSERT_NE(H, INVALID_HANDLE_VALUE);
        Ov.hEvent = &Event;
    }
    void Immediate() {
        COMMTIMEOUTS t;
        t.ReadIntervalTimeout = MAXDWORD;
        ASSERT_TRUE(Driver.SetCommTimeouts(H, t));
    }
};

TEST_F(TScriptDriverTest, OpenRefusalsCarryTheirCodes) {
    struct {
        const char *Name;
        DWORD Error;
    } rows[] = {{"COM9", ENOENT}, {"COM1", EBUSY}};
    for (auto row : rows) {
        EXPECT_EQ(Driver.CreateFile(row.Name), INVALID_HANDLE_VALUE) << row.Name;
        EXPECT_EQ(GetLastError(), row.Error) << row.Name;
    }
    ASSERT_TRUE(Driver.CloseHandle(H));
    DWORD stat;
    EXPECT_FALSE(Driver.GetCommModemStatus(H, &stat));
    EXPECT_EQ(GetLastError(), DWORD(EBADF));
    const HANDLE again = Driver.CreateFile("COM1");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_NE(again, H) << "a stale handle must not reach the new open";
}

TEST_F(TScriptDriverTest, ReadFollowsTheTimeoutMode) {
    char buf[8] = {};
    DWORD n = 99;
    Immediate();
    EXPECT_TRUE(Driver.ReadFile(H, buf, 8, &n, &Ov));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(Event.IsSet());

    Driver.PushRx("abcd");
    EXPECT_TRUE(Driver.ReadFile(H, buf, 8, &n, &Ov));
    EXPECT_EQ(std::string(buf, n), "abcd");

    ASSERT_TRUE(Driver.SetCommTimeouts(H, COMMTIMEOUTS{0, 0, 100, 0, 0}));
    Driver.PushRx("xy");
    EXPECT_FALSE(Driver.ReadFile(H, buf, 4, &n, &Ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(Event.IsSet());
    Driver.PushRx("z");
    EXPECT_FALSE(Driver.GetOverlappedResult(H, &Ov, &n, false));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    Driver.TimeOutReads();
    EXPECT_TRUE(Driver.GetOverlappedResult(H, &Ov, &n, false));
    EXPECT_EQ(std::string(buf, n), "xyz");

    ASSERT_TRUE(Driver.SetCommTimeouts(H, COMMTIMEOUTS{MAXDWORD, MAXDWORD, 50, 0, 0}));
    EXPECT_FALSE(Driver.ReadFile(H, buf, 8, &n, &Ov));
    Driver.PushRx("q");
    EXPECT_TRUE(Driver.GetOverlappedResult(H, &Ov, &n, false)) << "the first bytes end this mode's read";
    EXPECT_EQ(n, 1u);
}

TEST_F(TScriptDriverTest, EventsHonourTheMaskAndAreRemembered) {
    DWORD mask = 0;
    Driver.PushRx("a"); // no mask yet: forgotten
    ASSERT_TRUE(Driver.SetCommMask(H, EV_RXCHAR | EV_ERR | EV_CTS));
    EXPECT_FALSE(Driver.WaitCommEvent(H, &mask, &Ov));
    Driver.SetModemStatus(MS_DSR_ON); // DSR not in the mask
    EXPECT_FALSE(Event.IsSet());
    Driver.AddLineErrors(CE_FRAME | CE_BREAK);
    ASSERT_TRUE(Event.IsSet());
    EXPECT_EQ(mask, EV_ERR) << "EV_BREAK is outside the mask";

    Driver.PushRx("b");
    Driver.SetModemStatus(MS_DSR_ON | MS_CTS_ON);
    EXPECT_TRUE(Driver.WaitCommEvent(H, &mask, &Ov)) << "remembered events complete the next wait";
    EXPECT_EQ(mask, EV_RXCHAR | EV_CTS);

    DWORD errors = 0;
    ASSERT_TRUE(Driver.ClearCommError(H, &errors, nullptr));
    EXPECT_EQ(errors, CE_FRAME | CE_BREAK);
    ASSERT_TRUE(Driver.ClearCommError(H, &errors, nullptr));
    EXPECT_EQ(errors, 0u) << "ClearCommError clears";

    EXPECT_FALSE(Driver.WaitCommEvent(H, &mask, &Ov));
    mask = 77;
    ASSERT_TRUE(Driver.SetCommMask(H, 0));
    EXPECT_TRUE(Driver.GetOverlappedResult(H, &Ov, nullptr, false));
    EXPECT_EQ(mask, 0u);
}

TEST_F(TScriptDriverTest, AbortsAndCloseEndPendingOperations) {
    char buf[4];
    DWORD mask = 0, n = 0;
    TEvent e2, e3;
    TOverlapped write, wait;
    write.hEvent = &e2;
    wait.hEvent = &e3;
    ASSERT_TRUE(Driver.SetCommMask(H, EV_RXCHAR));
    ASSERT_TRUE(Driver.SetCommTimeouts(H, COMMTIMEOUTS{}));
    Driver.HoldWrites(true);
    EXPECT_FALSE(Driver.ReadFile(H, buf, 4, &n, &Ov));
    EXPECT_FALSE(Driver.WriteFile(H, "RUN=1s", 6, &n, &write));
    EXPECT_FALSE(Driver.WaitCommEvent(H, &mask, &wait));
    ASSERT_TRUE(Driver.PurgeComm(H, PURGE_RXABORT | PURGE_TXABORT));
    for (TOverlapped *ov : {&Ov, &write, &wait}) {
        EXPECT_FALSE(Driver.GetOverlappedResult(H, ov, &n, false));
        EXPECT_EQ(GetLastError(), DWORD(ECANCELED));
    }
    EXPECT_EQ(Driver.Written(), "");

    EXPECT_FALSE(Driver.WriteFile(H, "AB", 2, &n, &write));
    EXPECT_EQ(Driver.Written(), "");
    Driver.ReleaseWrites();
    EXPECT_TRUE(Driver.GetOverlappedResult(H, &write, &n, false));
    EXPECT_EQ(Driver.Written(), "AB");

    EXPECT_FALSE(Driver.ReadFile(H, buf, 4, &n, &Ov));
    ASSERT_TRUE(Driver.CloseHandle(H));
    EXPECT_TRUE(Event.IsSet());
    EXPECT_EQ(Ov.Internal.load(), DWORD(ECANCELED));
}

TEST_F(TScriptDriverTest, RefusalsOnceOrAlwaysAndLoggedWithArguments) {
    DCB dcb;
    dcb.BaudRate = 4800;
    Driver.FailNext("SetCommState", EINVAL);
    EXPECT_FALSE(Driver.SetCommState(H, dcb));
    EXPECT_EQ(GetLastError(), DWORD(EINVAL));
    EXPECT_TRUE(Driver.SetCommState(H, dcb));
    Driver.FailAlways("PurgeComm", EIO);
    EXPECT_FALSE(Driver.PurgeComm(H, PURGE_RXCLEAR));
    EXPECT_FALSE(Driver.PurgeComm(H, PURGE_RXCLEAR));
    Driver.ClearFailures();
    EXPECT_TRUE(Driver.PurgeComm(H, PURGE_RXCLEAR));
    EXPECT_THROW(Driver.FailNext("SetCommStat", EINVAL), std::invalid_argument);

    const auto states = Driver.CallsOf("SetCommState");
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[1].Dcb.BaudRate, 4800u);
    EXPECT_FALSE(states[0].Result);
    EXPECT_EQ(states[0].Error, DWORD(EINVAL));
    const auto purges = Driver.CallsOf("PurgeComm");
    ASSERT_EQ(purges.size(), 3u);
    EXPECT_EQ(purges[2].Flags, PURGE_RXCLEAR);
}

TEST_F(TScriptDriverTest, HangUpFailsPendingAndLaterCallsWithEio) {
    char buf[4];
    DWORD n = 0, mask = 0;
    ASSERT_TRUE(Driver.SetCommMask(H, EV_ERR));
    ASSERT_TRUE(Driver.SetCommTimeouts(H, COMMTIMEOUTS{}));
    Driver.PushRx("ab");
    EXPECT_FALSE(Driver.ReadFile(H, buf, 4, &n, &Ov)); // takes "ab", wants more
    Driver.HangUp();
    EXPECT_FALSE(Driver.GetOverlappedResult(H, &Ov, &n, false));
    EXPECT_EQ(GetLastError(), DWORD(EIO));
    EXPECT_EQ(n, 2u);
    EXPECT_TRUE(Driver.WaitCommEvent(H, &mask, &Ov)) << "the port hears of it as a line error";
    EXPECT_EQ(mask, EV_ERR);
    EXPECT_FALSE(Driver.WaitCommEvent(H, &mask, &Ov));
    EXPECT_EQ(GetLastError(), DWORD(EIO));
    DWORD errors = 0;
    EXPECT_TRUE(Driver.ClearCommError(H, &errors, nullptr));
    EXPECT_EQ(errors, CE_IOE);
    EXPECT_TRUE(Driver.PurgeComm(H, PURGE_TXABORT | PURGE_RXABORT)) << "closing must still be possible";
    EXPECT_TRUE(Driver.CloseHandle(H));
    EXPECT_NE(Driver.CreateFile("COM1"), INVALID_HANDLE_VALUE);
}

// The event thread waits while another thread feeds the line: run under tsan this catches races.
TEST_F(TScriptDriverTest, WaiterOnAnotherThreadSeesEveryReport) {
    ASSERT_TRUE(Driver.SetCommMask(H, EV_RXCHAR));
    Immediate();
    std::size_t received = 0;
    std::thread waiter([&] {
        TEvent event;
        TOverlapped ov;
        ov.hEvent = &event;
        DWORD mask = 0, n = 0;
        char buf[64];
        while (received < 1000) {
            if (!Driver.WaitCommEvent(H, &mask, &ov) && GetLastError() != ERROR_IO_PENDING)
                return;
            if (!Driver.GetOverlappedResult(H, &ov, &n, true) || mask == 0)
                return;
            TEvent readEvent;
            TOverlapped read;
            read.hEvent = &readEvent;
            do // an event promises bytes, not how many: drain the queue
                n = Driver.ReadFile(H, buf, sizeof buf, &n, &read) ? n : 0;
            while (n > 0 && (received += n) < 1000);
        }
    });
    for (int i = 0; i < 1000; ++i)
        Driver.PushRx("x");
    waiter.join();
    EXPECT_EQ(received, 1000u);
}

} // namespace
