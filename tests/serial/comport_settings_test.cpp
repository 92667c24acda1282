// Settings of the port: defaults, the flow-control summary, queue sizes, which setters reach the
// driver on an open port, and the numbered error messages.
#include "port_fixtures.h"

#include "i18n/gnugettext.h"

#include <filesystem>
#include <functional>
#include <unistd.h>

using namespace ComApi;

namespace {

TEST(ComPortSettings, FlowControlSummaryFollowsTheFourSwitches) {
    struct TRow {
        const char *Name;
        std::function<void(TComFlowControl &)> Change;
        TFlowControl Expected;
    };
    const TRow Rows[] = {
        {"hardware", [](TComFlowControl &F) { F.SetFlowControl(fcHardware); }, fcHardware},
        {"software", [](TComFlowControl &F) { F.SetFlowControl(fcSoftware); }, fcSoftware},
        {"hardware then none",
         [](TComFlowControl &F) {
             F.SetFlowControl(fcHardware);
             F.SetFlowControl(fcNone);
         },
         fcNone},
        {"hardware then XonXoffIn",
         [](TComFlowControl &F) {
             F.SetFlowControl(fcHardware);
             F.SetXonXoffIn(true);
         },
         fcCustom},
        {"software then custom keeps switches",
         [](TComFlowControl &F) {
             F.SetFlowControl(fcSoftware);
             F.SetFlowControl(fcCustom);
         },
         fcSoftware},
        {"RTS enabled alone", [](TComFlowControl &F) { F.SetControlRTS(rtsEnable); }, fcCustom},
        {"only XonXoffOut", [](TComFlowControl &F) { F.SetXonXoffOut(true); }, fcCustom},
        {"DTR and DSR are ignored",
         [](TComFlowControl &F) {
             F.SetControlDTR(dtrHandshake);
             F.SetOutDSRFlow(true);
             F.SetDSRSensitivity(true);
         },
         fcNone},
        {"hardware then software clears CTS",
         [](TComFlowControl &F) {
             F.SetFlowControl(fcHardware);
             F.SetFlowControl(fcSoftware);
         },
         fcSoftware},
    };
    for (const TRow &Row : Rows) {
        TComFlowControl Flow;
        Row.Change(Flow);
        EXPECT_EQ(Flow.FlowControl(), Row.Expected) << Row.Name;
    }
}

TEST(ComPortSettings, QueueSizesAreStoredEven) {
    const std::pair<std::int32_t, std::int32_t> Rows[] = {{4097, 4096}, {1025, 1024}, {1, 0},
                                                          {-3, -3},     {0, 0},       {2048, 2048}};
    for (auto [Given, Stored] : Rows) {
        TComBuffer Buffer;
        Buffer.SetInputSize(Given);
        Buffer.SetOutputSize(Given);
        EXPECT_EQ(Buffer.InputSize(), Stored) << Given;
        EXPECT_EQ(Buffer.OutputSize(), Stored) << Given;
    }
}

using ComPortOpenSetters = TScriptedPort;

// Which setters reach the driver on an open port, and with which call. A closed port only stores.
TEST_F(ComPortOpenSetters, ChangedValuesApplyAtOnceAndUnchangedOnesDoNothing) {
    struct TRow {
        const char *Name;
        std::function<void(TComPort &)> Set;
        std::vector<std::string> Calls;
    };
    const std::vector<std::string> State = {"SetCommState"}, None = {};
    const TRow Rows[] = {
        {"BaudRate changed", [](TComPort &P) { P.SetBaudRate(br4800); }, State},
        {"BaudRate unchanged", [](TComPort &P) { P.SetBaudRate(br9600); }, None},
        {"DataBits changed", [](TComPort &P) { P.SetDataBits(dbSeven); }, State},
        {"StopBits unchanged", [](TComPort &P) { P.SetStopBits(sbOneStopBit); }, None},
        {"CustomBaudRate changed", [](TComPort &P) { P.SetCustomBaudRate(250000); }, State},
        {"EventChar changed", [](TComPort &P) { P.SetEventChar('*'); }, State},
        {"DiscardNull unchanged", [](TComPort &P) { P.SetDiscardNull(false); }, None},
        {"Parity field changed", [](TComPort &P) { P.Parity().SetBits(prOdd); }, State},
        {"Parity field unchanged", [](TComPort &P) { P.Parity().SetBits(prNone); }, None},
        {"Parity object, same values", [](TComPort &P) { P.SetParity(TComParity{}); }, State},
        {"FlowControl custom", [](TComPort &P) { P.FlowControl().SetFlowControl(fcCustom); }, State},
        {"FlowControl none again", [](TComPort &P) { P.FlowControl().SetFlowControl(fcNone); }, State},
        {"XonChar unchanged", [](TComPort &P) { P.FlowControl().SetXonChar(17); }, None},
        {"Timeouts field changed", [](TComPort &P) { P.Timeouts().SetReadInterval(5); }, {"SetCommTimeouts"}},
        {"Timeouts object", [](TComPort &P) { P.SetTimeouts(TComTimeouts{}); }, {"SetCommTimeouts"}},
        {"InputSize odd, stored even", [](TComPort &P) { P.Buffer().SetInputSize(1025); }, {"SetupComm"}},
        {"Buffer object", [](TComPort &P) { P.SetBuffer(TComBuffer{}); }, {"SetupComm"}},
        {"Events changed", [](TComPort &P) { P.SetEvents({evRxChar}); }, None},
        {"InputSize odd twice applies twice",
         [](TComPort &P) {
             P.Buffer().SetInputSize(1025);
             P.Buffer().SetInputSize(1025);
         },
         {"SetupComm", "SetupComm"}},
        {"Port unchanged", [](TComPort &P) { P.SetPort("COM1"); }, None},
    };
    for (const TRow &Row : Rows) {
        TScriptComDriver Closed;
        TComPort ClosedPort(Closed);
        Row.Set(ClosedPort);
        EXPECT_TRUE(Closed.Calls().empty()) << Row.Name << " on a closed port";

        TScriptComDriver Open;
        Open.AddDevice("COM1");
        TComPort OpenPort(Open);
        OpenPort.SetEvents({});
        OpenPort.OpenPort();
        Open.ClearCalls();
        Row.Set(OpenPort);
        EXPECT_EQ(Open.CallNames(), Row.Calls) << Row.Name;
    }
}

TEST_F(ComPortOpenSetters, SyncMethodIsRefusedWhileConnected) {
    Port.SetSyncMethod(smNone); // closed: stored
    EXPECT_EQ(Port.SyncMethod(), smNone);
    Port.OpenPort();
    try {
        Port.SetSyncMethod(smWindowSync);
        FAIL() << "no error";
    } catch (const EComPort &E) {
        EXPECT_EQ(E.ErrorNumber(), 14);
        EXPECT_EQ(E.SystemErrorNumber(), -1);
        EXPECT_STREQ(E.what(), "Cannot set property while connected");
    }
    EXPECT_EQ(Port.SyncMethod(), smNone);
    Port.SetSyncMethod(smNone); // unchanged: no error
}

TEST_F(ComPortOpenSetters, RefusedSettingKeepsTheNewValueAndRaises) {
    Port.OpenPort();
    const std::tuple<const char *, std::function<void()>, int> Rows[] = {
        {"SetCommState", [&] { Port.SetBaudRate(br19200); }, 7},
        {"SetCommTimeouts", [&] { Port.Timeouts().SetWriteTotalConstant(5); }, 8},
        {"SetupComm", [&] { Port.Buffer().SetOutputSize(64); }, 9},
    };
    for (const auto &[Function, Set, Number] : Rows) {
        Driver.FailNext(Function, EINVAL);
        try {
            Set();
            ADD_FAILURE() << Function << ": no error";
        } catch (const EComPort &E) {
            EXPECT_EQ(E.ErrorNumber(), Number);
            EXPECT_EQ(E.SystemErrorNumber(), EINVAL);
        }
    }
    EXPECT_EQ(Port.BaudRate(), br19200);
    EXPECT_EQ(Port.Timeouts().WriteTotalConstant(), 5);
    EXPECT_EQ(Port.Buffer().OutputSize(), 64);
    EXPECT_TRUE(Port.Connected());
}

TEST(ComPortErrors, MessagesCarryTheTableTextAndTheCode) {
    struct TRow {
        int Number, Code;
        const char *Message;
    };
    const TRow Rows[] = {
        {1, 2, "Unable to open com port (win error code: 2)"},
        {2, 9, "WriteFile function failed (win error code: 9)"},
        {4, -1, "Invalid Async parameter"},
        {14, -1, "Cannot set property while connected"},
        {23, 5, "Registry error (win error code: 5)"},
        {99, -1, "Port error 99"},
    };
    for (const TRow &Row : Rows) {
        const EComPort E = Row.Code == -1 ? EComPort(Row.Number) : EComPort(Row.Number, Row.Code);
        EXPECT_STREQ(E.what(), Row.Message);
        EXPECT_EQ(E.ErrorNumber(), Row.Number);
        EXPECT_EQ(E.SystemErrorNumber(), Row.Code);
    }
}

TEST(ComPortErrors, MessagesAreTranslatedThroughTheCatalogue) {
    const auto Dir = std::filesystem::temp_directory_path() / ("comport_cat_" + std::to_string(::getpid()));
    fixture::WriteFile((Dir / "locale/cs/LC_MESSAGES/default.mo").string(),
                       fixture::MoImage({{"Unable to open com port", "Nelze otevřít port"},
                                         {"Invalid Async parameter", "Neplatný parametr"},
                                         {" (win error code: %d)", " (kód chyby: %d)"}}));
    {
        TGnuGettextSession Session(Dir.string(), "cs");
        LoadPortErrorMessages();
        EXPECT_STREQ(EComPort(1, 2).what(), "Nelze otevřít port (kód chyby: 2)");
        EXPECT_STREQ(EComPort(4).what(), "Neplatný parametr");
        EXPECT_STREQ(EComPort(5, 1).what(), "PurgeComm function failed (kód chyby: 1)");
        const auto Domains = ResourceTextDomains();
        EXPECT_NE(std::find(Domains.begin(), Domains.end(), "cport"), Domains.end());
    }
    // Back to English for the other tests of this program.
    for (int n = 1; n <= PortErrorCount; ++n)
        PortErrorMessages[n] = PortErrorTexts[n];
    std::filesystem::remove_all(Dir);
}

} // namespace
