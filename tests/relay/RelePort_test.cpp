// TRele with a port on the scriptable driver: what goes on the line, the board's line settings
// and how port failures surface.
#include "relay/ReleUnit.h"
#include "serial/ComPlatform.h"
#include "serial/ComPort.h"
#include "serial/ScriptComDriver.h"
#include "support/Recorders.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

constexpr TColor Red{255, 0, 0};
const TConsoleLine OpenFailed{"ERR >CHYBA při otvírání portu.", Red};

struct TReleOnPort : ::testing::Test {
    TReleOnPort() {
        Driver.AddDevice("ttyA");
        Port.SetEvents({}); // no event thread: these tests only write and configure
        Port.SetPort("ttyA");
    }

    // Opens the port at settings the board does not use, so every forced setting is a change.
    void OpenAtForeignSettings() {
        Port.SetBaudRate(br9600);
        Port.SetDataBits(dbSeven);
        Port.SetStopBits(sbTwoStopBits);
        Port.Parity().SetBits(prEven);
        Port.OpenPort();
        Driver.ClearCalls();
    }

    TScriptComDriver Driver;
    TComPort Port{Driver};
    TRecordingConsole Console;
    TRele Rele{&Console, &Port};
};

TEST_F(TReleOnPort, SendsAcceptedCommandsUnchangedAndNothingElse) {
    Port.OpenPort();
    for (const char *Cmd :
         {"R12=10,1s", "Xs", "R1=xx,1s", "", "#fail", "?", "R1=0,1s", "RUN=1", "!", "Rcfg1=0s"})
        Rele.SendCmd(Cmd);
    Rele.SendCmd("R\xE8=1s"); // refused; its byte must not leak out either
    EXPECT_EQ(Driver.Written(), "R12=10,1s?R1=0,1s!Rcfg1=0s");
}

TEST_F(TReleOnPort, FailingWriteLeavesAfterTheCommandLine) {
    Port.OpenPort();
    Driver.FailNext("WriteFile", EIO);
    EXPECT_THROW(Rele.SendCmd("R2=1s"), EComPort);
    EXPECT_EQ(Console.Written(),
              (std::vector<TConsoleLine>{{"CMD >Požadavek na  zapnutí  Relé č,2.", TColor{0, 0, 255}}}));
    EXPECT_TRUE(Rele.Relays[2]);
}

// On an open port every setter goes to the device at once, so the sequence of device states
// shows the order: rate, data bits, stop bits, parity.
TEST_F(TReleOnPort, OpenForcesBoardLineInOrder) {
    OpenAtForeignSettings();
    Rele.OpenComPort("ttyA");
    const std::vector<TScriptCall> States = Driver.CallsOf("SetCommState");
    const struct {
        DWORD Rate;
        std::uint8_t Size, Stop, Parity;
    } Expected[] = {{4800, 7, TWOSTOPBITS, EVENPARITY},
                    {4800, 8, TWOSTOPBITS, EVENPARITY},
                    {4800, 8, ONESTOPBIT, EVENPARITY},
                    {4800, 8, ONESTOPBIT, NOPARITY}};
    ASSERT_EQ(States.size(), std::size(Expected));
    for (std::size_t I = 0; I < States.size(); ++I) {
        SCOPED_TRACE(I);
        EXPECT_EQ(States[I].Dcb.BaudRate, Expected[I].Rate);
        EXPECT_EQ(States[I].Dcb.ByteSize, Expected[I].Size);
        EXPECT_EQ(States[I].Dcb.StopBits, Expected[I].Stop);
        EXPECT_EQ(States[I].Dcb.Parity, Expected[I].Parity);
    }
    EXPECT_TRUE(Driver.CallsOf("CreateFile").empty()); // same name, already open: no reopen
    EXPECT_TRUE(Console.Lines.empty());
}

TEST_F(TReleOnPort, RefusedSettingStopsTheRest) {
    OpenAtForeignSettings();
    Driver.FailNext("SetCommState", EINVAL);
    Rele.OpenComPort("ttyA");
    EXPECT_EQ(Console.Written(), std::vector{OpenFailed});
    EXPECT_EQ(Port.DataBits(), dbSeven);
    EXPECT_EQ(Port.StopBits(), sbTwoStopBits);
    EXPECT_EQ(Port.Parity().Bits(), prEven);
}

TEST_F(TReleOnPort, MissingDeviceKeepsTheSettingsMade) {
    Port.SetBaudRate(br9600);
    Port.SetDataBits(dbSeven);
    Rele.OpenComPort("ttyMissing");
    EXPECT_EQ(Console.Written(), std::vector{OpenFailed});
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Port.BaudRate(), br4800);
    EXPECT_EQ(Port.DataBits(), dbEight);
    EXPECT_EQ(Port.StopBits(), sbOneStopBit);
    EXPECT_EQ(Port.Parity().Bits(), prNone);
    EXPECT_EQ(Port.Port(), "ttyMissing");
}

TEST_F(TReleOnPort, SetupDialogRunsOnThePortAndItsErrorsPass) {
    TCustomComPort *Shown = nullptr;
    SetSetupDialogHook([&](TCustomComPort &P) {
        Shown = &P;
        throw EComPort(7, EINVAL);
        return true;
    });
    EXPECT_THROW(Rele.ShowPortSetup(), EComPort);
    SetSetupDialogHook(nullptr);
    EXPECT_EQ(Shown, &Port);
    EXPECT_TRUE(Console.Lines.empty());
}

} // namespace
