// TRele with a port on the scriptable driver: what goes on the line, the board's line settings
// and how port failures surface.
#include "i18n/SystemText.h"
#include "i18n/gnugettext.h"
#include "relay/ReleUnit.h"
#include "serial/port/ComPlatform.h"
#include "serial/port/ComPort.h"
#include "serial/testing/ScriptComDriver.h"
#include "support/Recorders.h"
#include "tests/support/MoImage.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unistd.h>

using namespace ComApi;

namespace {

std::filesystem::path MakeTempDir() {
    std::string Template = (std::filesystem::temp_directory_path() / "open-failure-XXXXXX").string();
    return ::mkdtemp(Template.data());
}

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

    std::string Settings() const {
        return "db" + std::to_string(Port.DataBits()) + " sb" + std::to_string(Port.StopBits()) + " pr" +
               std::to_string(Port.Parity().Bits()) + " " + Port.Port();
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

// The board never got the command, so the relays are as they were before it.
TEST_F(TReleOnPort, FailingWriteLeavesAfterTheCommandLineWithTheRelaysTakenBack) {
    Port.OpenPort();
    Rele.Relays[2] = true;
    const TBoardFlags Before = Rele.Relays;
    Driver.FailNext("WriteFile", EIO);
    EXPECT_THROW(Rele.SendCmd("R12=0s"), EComPort);
    EXPECT_EQ(Console.Written(), std::vector<std::string>{"blue CMD >Požadavek na  vypnutí  Relé č,1,2."});
    EXPECT_EQ(Rele.Relays, Before);
}

// On an open port every setter goes to the device at once, so the sequence of device states
// (rate, data bits, stop bits code, parity code) shows the order.
TEST_F(TReleOnPort, OpenForcesBoardLineInOrder) {
    OpenAtForeignSettings();
    Rele.OpenComPort("ttyA");
    std::vector<std::string> States;
    for (const TScriptCall &Call : Driver.CallsOf("SetCommState"))
        States.push_back(std::to_string(Call.Dcb.BaudRate) + " " + std::to_string(Call.Dcb.ByteSize) + " " +
                         std::to_string(Call.Dcb.StopBits) + " " + std::to_string(Call.Dcb.Parity));
    EXPECT_EQ(States, (std::vector<std::string>{"4800 7 2 2", "4800 8 2 2", "4800 8 0 2", "4800 8 0 0"}));
    EXPECT_TRUE(Driver.CallsOf("CreateFile").empty()); // same name, already open: no reopen
    EXPECT_TRUE(Console.Lines.empty());
}

// A failing step is reported; the steps before it stay made, the ones after it are not made.
TEST_F(TReleOnPort, FailedOpenKeepsEarlierSettings) {
    OpenAtForeignSettings();
    Driver.FailNext("SetCommState", EINVAL); // the rate
    Rele.OpenComPort("ttyA");
    EXPECT_EQ(Settings(), "db2 sb2 pr2 ttyA");
    Port.ClosePort();
    Rele.OpenComPort("ttyMissing"); // every setting made, then the device is missing
    EXPECT_EQ(Settings(), "db3 sb0 pr0 ttyMissing");
    EXPECT_EQ(Port.BaudRate(), br4800);
    // Whatever a step throws, not only the port's own error, ends in the same line.
    Port.SetOnBeforeOpen([](TCustomComPort &) { throw 42; });
    EXPECT_NO_THROW(Rele.OpenComPort("ttyA"));
    EXPECT_FALSE(Port.Connected());
    // The port's own error also says why, after the line.
    const std::string Failed = "red ERR >CHYBA při otvírání portu.";
    EXPECT_EQ(Console.Written(),
              (std::vector<std::string>{
                  Failed, "red ERR >Port \"ttyA\": " + std::string(std::strerror(EINVAL)) + ".", Failed,
                  "red ERR >Port \"ttyMissing\": zařízení neexistuje.", Failed}));
}

TEST(OpenFailureReason, NamesThePortReadablyAndTheBrokenTelnet) {
    const std::string Long = std::string(79, 'a') + "č" + std::string(1000, 'b'); // "č" spans bytes 80-81
    EXPECT_EQ(OpenFailureReason(Long, EComPort(peOpenFailed, ENOENT)),
              "Port \"" + std::string(79, 'a') + "…\": zařízení neexistuje.");
    EXPECT_EQ(OpenFailureReason("rfc2217://h:1", EComPort(peOpenFailed, EPROTO)),
              "Port \"rfc2217://h:1\": vzdálený server porušil protokol Telnet.");
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

// Why an open failed, for the names and codes the operator could not read before: a network name
// without its port number, a host name that no look-up finds, and the system's own text, which
// comes in the operator's language from the C library's catalogue.
TEST(OpenFailureReason, SaysWhatIsWrongInTheOperatorsLanguage) {
    const std::filesystem::path Base = MakeTempDir();
    fixture::WriteFile((Base / "libc/cs/LC_MESSAGES/libc.mo").string(),
                       fixture::MoImage({{"Connection refused", "Spojení odmítnuto"}}));
    const struct {
        const char *Name;
        int Code;
        const char *Reason;
    } Rows[] = {
        {"tcp://127.0.0.1", EINVAL, "v síťovém názvu chybí číslo portu (tcp://POČÍTAČ:PORT)."},
        {"rfc2217://[::1]", EINVAL, "v síťovém názvu chybí číslo portu (tcp://POČÍTAČ:PORT)."},
        {"tcp://host:99999", EINVAL,
         "síťový název má tvar tcp://POČÍTAČ:PORT nebo rfc2217://POČÍTAČ:PORT, port 1 až 65535."},
        {"tcp://board.test:4001", ENXIO, "počítač \"board.test\" nelze najít."},
        {"tcp://127.0.0.1:4001", ECONNREFUSED, "Spojení odmítnuto."},
        {"mqtt://broker/b1", EKEYREJECTED,
         "spojení TLS s brokerem selhalo (zkontrolujte cafile v mqtt.ini a certifikát brokera)."},
        {"ttyUSB0", EISDIR, "Is a directory."}, // no translation in the catalogue: English
    };
    {
        TGnuGettextSession Gettext(Base.string(), "cs_CZ");
        BindSystemCatalogues((Base / "libc").string());
        for (const auto &Row : Rows)
            EXPECT_EQ(OpenFailureReason(Row.Name, EComPort(7, Row.Code)),
                      "Port \"" + std::string(Row.Name) + "\": " + Row.Reason);
    }
    std::filesystem::remove_all(Base);
    // The system's own catalogue, where it is installed, reads as ours does.
    if (!std::filesystem::exists(std::string(SystemCatalogueDirectory) + "/cs/LC_MESSAGES/libc.mo"))
        GTEST_SKIP() << "no Czech catalogue of the C library (libc-l10n)";
    TGnuGettextSession Gettext(Base.string(), "cs_CZ");
    BindSystemCatalogues();
    EXPECT_NE(SystemErrorText(ECONNREFUSED), "Connection refused");
}

} // namespace
