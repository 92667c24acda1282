// Opening and closing a port: what reaches the driver, the order of the open and close events, and
// what each failure leaves behind.
#include "port_fixtures.h"

#include <functional>

using namespace ComApi;

namespace {

using ComPortLifecycle = TScriptedPort;

DCB DefaultDcb() {
    DCB Dcb;
    Dcb.BaudRate = 9600;
    Dcb.Flags = DCB_BINARY;
    Dcb.XonLim = Dcb.XoffLim = 256;
    Dcb.ByteSize = 8;
    Dcb.XonChar = 17;
    Dcb.XoffChar = 19;
    return Dcb;
}

TEST(ComPortDcb, BlockIsBuiltFromTheSettingsAlone) {
    struct TRow {
        const char *Name;
        std::function<void(TComPort &)> Set;
        std::function<void(DCB &)> Expect;
    };
    const TRow Rows[] = {
        {"defaults", [](TComPort &) {}, [](DCB &) {}},
        {"custom rate",
         [](TComPort &P) {
             P.SetBaudRate(brCustom);
             P.SetCustomBaudRate(250000);
         },
         [](DCB &D) { D.BaudRate = 250000; }},
        {"parity check without replace",
         [](TComPort &P) {
             P.Parity().SetCheck(true);
             P.Parity().SetReplaceChar('x');
         },
         [](DCB &D) { D.Flags |= DCB_PARITY; }},
        {"parity check with replace",
         [](TComPort &P) {
             P.Parity().SetCheck(true);
             P.Parity().SetReplace(true);
             P.Parity().SetReplaceChar('x');
         },
         [](DCB &D) {
             D.Flags |= DCB_PARITY | DCB_ERROR_CHAR;
             D.ErrorChar = 'x';
         }},
        {"input queue 4096", [](TComPort &P) { P.Buffer().SetInputSize(4096); },
         [](DCB &D) { D.XonLim = D.XoffLim = 1024; }},
        {"input queue 300000", [](TComPort &P) { P.Buffer().SetInputSize(300000); },
         [](DCB &D) { D.XonLim = D.XoffLim = 9464; }},
        {"7 data bits, mark parity, two stop bits",
         [](TComPort &P) {
             P.SetDataBits(dbSeven);
             P.Parity().SetBits(prMark);
             P.SetStopBits(sbTwoStopBits);
         },
         [](DCB &D) {
             D.ByteSize = 7;
             D.Parity = MARKPARITY;
             D.StopBits = TWOSTOPBITS;
         }},
        {"hardware flow, DTR enabled",
         [](TComPort &P) {
             P.FlowControl().SetFlowControl(fcHardware);
             P.FlowControl().SetControlDTR(dtrEnable);
         },
         [](DCB &D) { D.Flags |= DCB_OUTX_CTS_FLOW | 0x2000 | 0x0010; }},
        {"software flow, own characters",
         [](TComPort &P) {
             P.FlowControl().SetFlowControl(fcSoftware);
             P.FlowControl().SetXonChar('A');
             P.FlowControl().SetXoffChar('B');
             P.FlowControl().SetTxContinueOnXoff(true);
         },
         [](DCB &D) {
             D.Flags |= DCB_OUTX | DCB_INX | DCB_TX_CONTINUE_ON_XOFF;
             D.XonChar = 'A';
             D.XoffChar = 'B';
         }},
        {"discard null, event character",
         [](TComPort &P) {
             P.SetDiscardNull(true);
             P.SetEventChar('*');
         },
         [](DCB &D) {
             D.Flags |= DCB_NULL;
             D.EvtChar = '*';
         }},
    };
    for (const TRow &Row : Rows) {
        TScriptComDriver Driver;
        Driver.AddDevice("COM1");
        TComPort Port(Driver);
        Port.SetEvents({});
        Row.Set(Port);
        Port.OpenPort();
        DCB Expected = DefaultDcb();
        Row.Expect(Expected);
        const auto States = Driver.CallsOf("SetCommState");
        ASSERT_EQ(States.size(), 1u) << Row.Name;
        EXPECT_EQ(States[0].Dcb, Expected) << Row.Name << ": flags 0x" << std::hex << States[0].Dcb.Flags;
        EXPECT_EQ(Port.BuildDCB(), Expected) << Row.Name;
    }
}

TEST_F(ComPortLifecycle, OpenSendsTheSettingsThenStartsWatching) {
    Port.OpenPort();
    ASSERT_TRUE(Driver.WaitForCalls("WaitCommEvent"));
    const auto Calls = Driver.Calls();
    ASSERT_GE(Calls.size(), 5u);
    EXPECT_EQ(Calls[0].Function, "CreateFile");
    EXPECT_EQ(Calls[0].Name, "COM1");
    EXPECT_EQ(Calls[1].Function, "SetupComm");
    EXPECT_EQ(Calls[1].InQueue, 1024u);
    EXPECT_EQ(Calls[2].Function, "SetCommState");
    EXPECT_EQ(Calls[3].Function, "SetCommTimeouts");
    EXPECT_EQ(Calls[3].Timeouts, (COMMTIMEOUTS{MAXDWORD, 0, 0, 100, 1000}));
    EXPECT_EQ(Calls[4].Function, "SetCommMask");
    EXPECT_EQ(Calls[4].Mask, 0x05FFu);
    EXPECT_TRUE(Port.WatchThreadCreated());
    EXPECT_EQ(Log.Take(), (std::vector<std::string>{"BeforeOpen", "AfterOpen", "CTS=0", "DSR=0", "RLSD=0"}));
}

TEST_F(ComPortLifecycle, EmptyEventSetOpensWithoutThreadButWithAllNotifications) {
    Port.SetEvents({});
    Driver.SetModemStatus(MS_CTS_ON | MS_RLSD_ON, "COM1");
    Port.OpenPort();
    EXPECT_FALSE(Port.WatchThreadCreated());
    Port.ClosePort();
    EXPECT_TRUE(Driver.CallsOf("SetCommMask").empty());
    EXPECT_TRUE(Driver.CallsOf("WaitCommEvent").empty());
    EXPECT_EQ(Log.Take(),
              (std::vector<std::string>{"BeforeOpen", "AfterOpen", "CTS=1", "DSR=0", "RLSD=1", "CTS=0",
                                        "DSR=0", "RLSD=0", "BeforeClose", "AfterClose"}));
}

TEST_F(ComPortLifecycle, OpenWhenOpenAndCloseWhenClosedDoNothing) {
    EXPECT_TRUE(CallsAfter([&] { Port.ClosePort(); }).empty());
    Port.OpenPort();
    Log.Take();
    EXPECT_TRUE(CallsAfter([&] { Port.OpenPort(); }).empty());
    EXPECT_TRUE(CallsAfter([&] { Port.SetConnected(true); }).empty());
    EXPECT_TRUE(Log.Take().empty());
}

TEST_F(ComPortLifecycle, ChangingPortOnAnOpenPortReopensOnTheNewName) {
    Driver.AddDevice("COM2");
    Port.SetPort("COM2"); // closed: stored only
    EXPECT_TRUE(Driver.Calls().empty());
    Port.OpenPort();
    Log.Take();
    Port.SetPort("COM1");
    EXPECT_TRUE(Port.Connected());
    EXPECT_TRUE(Driver.IsOpen("COM1"));
    EXPECT_FALSE(Driver.IsOpen("COM2"));
    EXPECT_EQ(Log.Take(), (std::vector<std::string>{"CTS=0", "DSR=0", "RLSD=0", "BeforeClose", "AfterClose",
                                                    "BeforeOpen", "AfterOpen", "CTS=0", "DSR=0", "RLSD=0"}));
}

TEST_F(ComPortLifecycle, SettingsUpdateAppliesOnceAtTheOutermostEnd) {
    Port.OpenPort();
    Driver.ClearCalls();
    Port.BeginSettingsUpdate();
    Port.BeginSettingsUpdate();
    Port.SetBaudRate(br4800);
    Port.SetDataBits(dbSeven);
    Port.EndSettingsUpdate();
    EXPECT_TRUE(Driver.CallsOf("SetCommState").empty());
    Port.EndSettingsUpdate();
    Port.EndSettingsUpdate(); // already at zero
    auto Names = Driver.CallNames();
    std::erase_if(Names,
                  [](const std::string &N) { return N == "WaitCommEvent" || N == "GetOverlappedResult"; });
    EXPECT_EQ(Names, (std::vector<std::string>{"SetupComm", "SetCommState", "SetCommTimeouts"}));
    EXPECT_EQ(Driver.CallsOf("SetCommState")[0].Dcb.BaudRate, 4800u);
}

TEST_F(ComPortLifecycle, EachFailureLeavesThePortAsDocumented) {
    struct TRow {
        const char *Function;
        int Number;
        bool StaysOpen;
        std::vector<std::string> Events;
    };
    const TRow Rows[] = {
        {"CreateFile", 1, false, {"BeforeOpen"}},
        {"SetupComm", 9, false, {"BeforeOpen"}},
        {"SetCommState", 7, false, {"BeforeOpen"}},
        {"SetCommTimeouts", 8, false, {"BeforeOpen"}},
        {"GetCommModemStatus", 11, true, {"BeforeOpen", "AfterOpen"}},
    };
    for (const TRow &Row : Rows) {
        TScriptComDriver D;
        D.AddDevice("COM1");
        TEventLog L;
        TComPort P(D);
        L.Attach(P);
        D.FailNext(Row.Function, EIO);
        try {
            P.OpenPort();
            ADD_FAILURE() << Row.Function << ": no error";
        } catch (const EComPort &E) {
            EXPECT_EQ(E.ErrorNumber(), Row.Number) << Row.Function;
            EXPECT_EQ(E.SystemErrorNumber(), EIO) << Row.Function;
        }
        EXPECT_EQ(P.Connected(), Row.StaysOpen) << Row.Function;
        EXPECT_EQ(D.IsOpen("COM1"), Row.StaysOpen) << Row.Function;
        EXPECT_EQ(P.WatchThreadCreated(), Row.StaysOpen) << Row.Function;
        EXPECT_EQ(L.Take(), Row.Events) << Row.Function;
        if (!Row.StaysOpen) {
            EXPECT_EQ(P.DeviceHandle(), INVALID_HANDLE_VALUE) << Row.Function;
        }
        P.OpenPort(); // the driver is healthy again: a retry opens (or does nothing when open)
        EXPECT_TRUE(P.Connected()) << Row.Function;
    }
}

TEST_F(ComPortLifecycle, RefusedAbortLeavesThePortOpenAndACloseLaterSucceeds) {
    Port.OpenPort();
    Log.Take();
    Driver.FailNext("PurgeComm", EINVAL);
    try {
        Port.ClosePort();
        FAIL() << "no error";
    } catch (const EComPort &E) {
        EXPECT_EQ(E.ErrorNumber(), 5);
    }
    EXPECT_TRUE(Port.Connected());
    EXPECT_TRUE(Port.WatchThreadCreated());
    EXPECT_TRUE(Driver.IsOpen("COM1"));
    EXPECT_EQ(Log.Take(), (std::vector<std::string>{"CTS=0", "DSR=0", "RLSD=0", "BeforeClose"}));
    Port.ClosePort();
    EXPECT_FALSE(Driver.IsOpen("COM1"));
}

TEST(ComPortDestruction, OpenPortClosesWithItsEventsWhileTheSettingsStillExist) {
    TScriptComDriver Driver;
    Driver.AddDevice("COM1");
    std::vector<std::string> Seen;
    {
        TComPort Port(Driver);
        Port.OpenPort();
        Port.SetOnBeforeClose(
            [&](TCustomComPort &P) { Seen.push_back("BeforeClose " + std::to_string(P.Parity().Bits())); });
        Port.SetOnAfterClose([&](TCustomComPort &P) {
            Seen.push_back("AfterClose " + std::to_string(P.Buffer().InputSize()));
        });
    }
    EXPECT_EQ(Seen, (std::vector<std::string>{"BeforeClose 0", "AfterClose 1024"}));
    EXPECT_FALSE(Driver.IsOpen("COM1"));
}

// Whether the close is refused or skipped, destruction leaves neither the device nor its thread.
TEST(ComPortDestruction, SkippedOrFailedCloseLeavesNothingOpen) {
    struct TRow {
        const char *Name;
        std::function<void(TComPort &, TScriptComDriver &)> Before;
        std::vector<std::string> Reports;
    };
    const TRow Rows[] = {
        {"refused abort",
         [](TComPort &, TScriptComDriver &D) { D.FailAlways("PurgeComm", EINVAL); },
         {"PurgeComm function failed (win error code: 22)"}},
        {"design mode set while open", [](TComPort &P, TScriptComDriver &) { P.SetDesignMode(true); }, {}},
    };
    for (const TRow &Row : Rows) {
        TScriptComDriver Driver;
        Driver.AddDevice("COM1");
        std::vector<std::string> Reports;
        SetErrorReportHook([&](const std::exception &E) { Reports.push_back(E.what()); });
        {
            TComPort Port(Driver);
            Port.OpenPort();
            ASSERT_TRUE(Driver.WaitForCalls("WaitCommEvent")) << Row.Name;
            Row.Before(Port, Driver);
        }
        SetErrorReportHook(nullptr);
        Driver.ClearFailures();
        EXPECT_FALSE(Driver.IsOpen("COM1")) << Row.Name;
        EXPECT_EQ(Reports, Row.Reports) << Row.Name;
    }
}

TEST_F(ComPortLifecycle, LoadingRecordsConnectedAndOpensAfterwards) {
    Port.BeginLoading();
    Port.SetConnected(true);
    Port.SetBaudRate(br4800);
    EXPECT_TRUE(Driver.Calls().empty());
    Port.AfterPropertiesLoaded();
    EXPECT_TRUE(Port.Connected());
    EXPECT_TRUE(Driver.IsOpen("COM1"));
    EXPECT_EQ(Driver.CallsOf("SetCommState").at(0).Dcb.BaudRate, 4800u);
    Port.AfterPropertiesLoaded(); // no load ended here: the open port is not opened a second time
    EXPECT_TRUE(Port.Connected());
    EXPECT_EQ(Driver.CallsOf("CreateFile").size(), 1u);
}

TEST_F(ComPortLifecycle, OpeningErrorAfterLoadingGoesToTheApplicationReport) {
    std::vector<std::string> Reports;
    SetErrorReportHook([&](const std::exception &E) { Reports.push_back(E.what()); });
    Port.BeginLoading();
    Port.SetPort("COM7");
    Port.SetConnected(true);
    EXPECT_NO_THROW(Port.AfterPropertiesLoaded());
    SetErrorReportHook(nullptr);
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Reports, std::vector<std::string>{"Unable to open com port (win error code: 2)"});
}

} // namespace
