// What only the scriptable driver does: its scripting (line errors, modem lines, held writes, a
// device that comes back after a hang-up), refusals and the call log. The contract it shares with
// the POSIX driver is tested once for both, in driver_contract_test.cpp.
#include "serial/testing/ScriptComDriver.h"

#include <gtest/gtest.h>

#include <cerrno>

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
};

TEST_F(TScriptDriverTest, LineErrorsAndModemLinesRaiseTheirEvents) {
    DWORD mask = 0;
    ASSERT_TRUE(Driver.SetCommMask(H, EV_ERR | EV_CTS));
    EXPECT_FALSE(Driver.WaitCommEvent(H, &mask, &Ov));
    Driver.SetModemStatus(MS_DSR_ON); // DSR not in the mask
    EXPECT_FALSE(Event.IsSet());
    Driver.AddLineErrors(CE_FRAME | CE_BREAK);
    ASSERT_TRUE(Event.IsSet());
    EXPECT_EQ(mask, EV_ERR) << "EV_BREAK is outside the mask";
    Driver.SetModemStatus(MS_DSR_ON | MS_CTS_ON);
    EXPECT_TRUE(Driver.WaitCommEvent(H, &mask, &Ov));
    EXPECT_EQ(mask, EV_CTS);

    DWORD errors = 0, stat = 0;
    ASSERT_TRUE(Driver.ClearCommError(H, &errors, nullptr));
    EXPECT_EQ(errors, CE_FRAME | CE_BREAK);
    ASSERT_TRUE(Driver.GetCommModemStatus(H, &stat));
    EXPECT_EQ(stat, MS_DSR_ON | MS_CTS_ON);
}

TEST_F(TScriptDriverTest, HeldWritesWaitForTheirReleaseOrAnAbort) {
    TOverlapped second;
    TEvent secondEvent;
    second.hEvent = &secondEvent;
    DWORD n = 0;
    Driver.HoldWrites(true);
    EXPECT_FALSE(Driver.WriteFile(H, "RUN=1s", 6, &n, &Ov));
    ASSERT_TRUE(Driver.PurgeComm(H, PURGE_TXABORT));
    EXPECT_FALSE(Driver.GetOverlappedResult(H, &Ov, &n, false));
    EXPECT_EQ(GetLastError(), DWORD(ECANCELED));
    EXPECT_EQ(n, 0u);

    EXPECT_FALSE(Driver.WriteFile(H, "AB", 2, &n, &Ov));
    EXPECT_FALSE(Driver.WriteFile(H, "C", 1, &n, &second));
    EXPECT_EQ(Driver.PendingWrites(), 2u);
    EXPECT_EQ(Driver.Written(), "");
    Driver.ReleaseWrites();
    EXPECT_TRUE(Driver.GetOverlappedResult(H, &second, &n, false));
    EXPECT_EQ(Driver.Written(), "ABC");
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

TEST_F(TScriptDriverTest, AHungUpDeviceComesBackHealthyAtTheNextOpen) {
    Driver.SetModemStatus(MS_CTS_ON);
    Driver.PushRx("ab");
    Driver.HangUp();
    ASSERT_TRUE(Driver.CloseHandle(H));
    H = Driver.CreateFile("COM1");
    ASSERT_NE(H, INVALID_HANDLE_VALUE);
    DWORD errors = 1, stat = 0;
    ASSERT_TRUE(Driver.ClearCommError(H, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(Driver.Queued(), 0u);
    ASSERT_TRUE(Driver.GetCommModemStatus(H, &stat));
    EXPECT_EQ(stat, MS_CTS_ON) << "the modem lines keep the state the test gave them";
}

} // namespace
