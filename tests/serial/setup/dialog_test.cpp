// The setup dialog as the operator meets it: what it lists and selects, and what Cancel and OK do
// to a closed and to an open port on the scriptable driver.
#include "SetupHarness.h"

#include "serial/port/ComError.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <optional>
#include <utility>

using namespace ComApi;

using namespace setuptest;

namespace {

class SetupDialog : public TSetupTest {
protected:
    SetupDialog() {
        Sysfs.AddPort("ttyUSB0");
        Sysfs.AddPort("ttyACM0");
        Sysfs.AddPort("ttyUSB1");
        Driver.AddDevice("ttyUSB0");
        Driver.AddDevice("ttyUSB1");
        Port.SetPort("ttyUSB0");
    }

    // Picks new values in every box of an open dialog.
    static void ChangeEverything(TComSetupFrm &Form) {
        Pick(*Form.Combo1, "ttyUSB1");
        Pick(*Form.Combo2, "19200");
        Pick(*Form.Combo3, "7");
        Pick(*Form.Combo4, "2");
        Pick(*Form.Combo5, "Even");
        Pick(*Form.Combo6, "Software");
    }

    void Reset() {
        Port.SetPort("ttyUSB0");
        Port.SetBaudRate(br9600);
        Port.SetDataBits(dbEight);
        Port.SetStopBits(sbOneStopBit);
        Port.Parity().SetBits(prNone);
        Port.FlowControl().SetFlowControl(fcNone);
    }

    void ExpectUnchanged() {
        EXPECT_EQ(Port.Port(), "ttyUSB0");
        EXPECT_EQ(Port.BaudRate(), br9600);
        EXPECT_EQ(Port.DataBits(), dbEight);
        EXPECT_EQ(Port.StopBits(), sbOneStopBit);
        EXPECT_EQ(Port.Parity().Bits(), prNone);
        EXPECT_EQ(Port.FlowControl().FlowControl(), fcNone);
    }

    std::size_t Count(const std::string &Function) const { return Driver.CallsOf(Function).size(); }
};

// The texts are checked where they are translated; here the places, sizes and keys.
TEST_F(SetupDialog, FormIsBuiltAsDescribed) {
    TComSetupFrm Form;
    EXPECT_EQ(Form.objectName(), "ComSetupFrm");
    EXPECT_EQ(Form.size(), QSize(231, 216));
    EXPECT_EQ(Form.minimumSize(), Form.maximumSize()) << "the border is fixed";
    EXPECT_FALSE(Form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(Form.Button1->isDefault());
    EXPECT_FALSE(Form.Button2->isDefault());

    const std::pair<QWidget *, QRect> Places[] = {
        {Form.GroupBox1, {8, 8, 217, 169}}, {Form.Label1, {8, 24, 0, 0}},
        {Form.Label2, {8, 48, 0, 0}},       {Form.Label3, {8, 72, 0, 0}},
        {Form.Label4, {8, 96, 0, 0}},       {Form.Label5, {8, 120, 0, 0}},
        {Form.Label6, {8, 144, 0, 0}},      {Form.Combo1, {80, 16, 129, 21}},
        {Form.Combo2, {80, 40, 129, 21}},   {Form.Combo3, {80, 64, 129, 21}},
        {Form.Combo4, {80, 88, 129, 21}},   {Form.Combo5, {80, 112, 129, 21}},
        {Form.Combo6, {80, 136, 129, 21}},  {Form.Button1, {70, 184, 75, 25}},
        {Form.Button2, {150, 184, 75, 25}},
    };
    for (const auto &[Widget, Geometry] : Places) {
        SCOPED_TRACE(Widget->objectName().toStdString());
        EXPECT_EQ(Widget->pos(), Geometry.topLeft());
        // An empty size in the table: a label that fits its text.
        EXPECT_EQ(Widget->size(), Geometry.isEmpty() ? Widget->sizeHint() : Geometry.size());
    }

    const QWidget *Order[] = {Form.Combo1, Form.Combo2, Form.Combo3,  Form.Combo4,
                              Form.Combo5, Form.Combo6, Form.Button1, Form.Button2};
    QWidget *Focus = Form.Combo1;
    for (const QWidget *Next : Order) {
        EXPECT_EQ(Focus, Next) << "tab order";
        do
            Focus = Focus->nextInFocusChain();
        while (!(Focus->focusPolicy() & Qt::TabFocus));
    }
}

TEST_F(SetupDialog, ListsEveryValueAndSelectsThePortsCurrentOnes) {
    ::setenv("EXTRA_SERIAL_PORTS", "/tmp/sim-pty", 1);
    Port.SetPort("TTYusb1"); // the list's spelling differs only in letter case
    Port.SetBaudRate(br115200);
    Port.SetDataBits(dbSeven);
    Port.SetStopBits(sbOne5StopBits);
    Port.Parity().SetBits(prMark);
    Port.FlowControl().SetFlowControl(fcHardware);

    bool Shown = false;
    EditPortSettings(Port, [&](TComSetupFrm &Form) {
        Shown = true;
        EXPECT_TRUE(Form.isModal());
        // Within a pixel: an odd width has no whole-pixel centre.
        EXPECT_LE((Form.geometry().center() - Form.screen()->availableGeometry().center()).manhattanLength(),
                  1);
        EXPECT_EQ(Entries(*Form.Combo1), QStringList({"/tmp/sim-pty", "ttyACM0", "ttyUSB0", "ttyUSB1"}));
        EXPECT_EQ(Entries(*Form.Combo2),
                  QStringList({"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400",
                               "19200", "38400", "56000", "57600", "115200", "128000", "256000"}));
        EXPECT_EQ(Entries(*Form.Combo3), QStringList({"5", "6", "7", "8"}));
        EXPECT_EQ(Entries(*Form.Combo4), QStringList({"1", "1.5", "2"}));
        EXPECT_EQ(Entries(*Form.Combo5), QStringList({"None", "Odd", "Even", "Mark", "Space"}));
        EXPECT_EQ(Entries(*Form.Combo6), QStringList({"Hardware", "Software", "None", "Custom"}));

        const QString Selected[] = {"ttyUSB1", "115200", "7", "1.5", "Mark", "Hardware"};
        for (int I = 0; I < 6; ++I)
            EXPECT_EQ(Form.Boxes()[I]->Text(), Selected[I]) << "Combo" << I + 1;
        EXPECT_EQ(Form.Combo1->ComSelect().HeldPort(), "ttyUSB1");
        Form.Button1->click();
    });
    ::unsetenv("EXTRA_SERIAL_PORTS");
    EXPECT_TRUE(Shown);
    EXPECT_EQ(Port.Port(), "ttyUSB1") << "OK writes the listed spelling";
    EXPECT_EQ(Port.BaudRate(), br115200);
    EXPECT_EQ(Port.FlowControl().FlowControl(), fcHardware);
}

// Every way out that is not OK leaves the port as it was, open or closed.
TEST_F(SetupDialog, LeavingWithoutOkWritesNothing) {
    const std::function<void(TComSetupFrm &)> Leave[] = {
        [](TComSetupFrm &Form) { Form.Button2->click(); },
        [](TComSetupFrm &Form) { Form.close(); }, // the title bar's close button
    };
    for (bool Open : {false, true}) {
        if (Open)
            Port.OpenPort();
        for (const auto &Way : Leave) {
            Driver.ClearCalls();
            EXPECT_FALSE(ExecutePortSetup(Port, [&](TComSetupFrm &Form) {
                ChangeEverything(Form);
                // Esc is bound to no button: the dialog stays up.
                QTest::keyClick(&Form, Qt::Key_Escape);
                EXPECT_TRUE(Form.isVisible());
                Way(Form);
            }));
            ExpectUnchanged();
            EXPECT_TRUE(Driver.Calls().empty()) << "the driver saw " << Driver.CallNames().front();
            EXPECT_EQ(Port.Connected(), Open);
        }
    }
}

// OK writes all six values. On an open port a new name reopens it once, and the line settings
// reach the device together when the settings update ends, whether or not anything changed.
TEST_F(SetupDialog, OkWritesAllSixInOneSettingsUpdate) {
    struct TCase {
        const char *Name;
        bool Open, Change;
    };
    std::vector<std::string> Events;
    Port.SetOnBeforeClose([&](TCustomComPort &) { Events.push_back("close"); });
    Port.SetOnAfterOpen([&](TCustomComPort &P) { Events.push_back("open " + P.Port()); });
    for (const TCase &Case : {TCase{"closed", false, true}, TCase{"open, unchanged", true, false},
                              TCase{"open, everything new", true, true}}) {
        SCOPED_TRACE(Case.Name);
        Reset();
        if (Case.Open)
            Port.OpenPort();
        Driver.ClearCalls();
        Events.clear();

        EditPortSettings(Port, [&](TComSetupFrm &Form) {
            if (Case.Change)
                ChangeEverything(Form);
            QTest::keyClick(Form.Combo6, Qt::Key_Return); // Enter presses the default button
        });

        if (Case.Change) {
            EXPECT_EQ(Port.Port(), "ttyUSB1");
            EXPECT_EQ(Port.BaudRate(), br19200);
            EXPECT_EQ(Port.DataBits(), dbSeven);
            EXPECT_EQ(Port.StopBits(), sbTwoStopBits);
            EXPECT_EQ(Port.Parity().Bits(), prEven);
            EXPECT_EQ(Port.FlowControl().FlowControl(), fcSoftware);
        } else {
            ExpectUnchanged();
        }
        if (!Case.Open) {
            EXPECT_TRUE(Driver.Calls().empty()) << "a closed port stays closed";
            continue;
        }
        const std::size_t Reopens = Case.Change ? 1 : 0;
        EXPECT_EQ(Count("CloseHandle"), Reopens);
        EXPECT_EQ(Count("CreateFile"), Reopens);
        EXPECT_EQ(Events.size(), 2 * Reopens);
        ASSERT_EQ(Count("SetCommState"), 1u);
        const DCB Dcb = Driver.CallsOf("SetCommState").front().Dcb;
        EXPECT_EQ(Dcb.BaudRate, Case.Change ? 19200u : 9600u);
        if (Case.Change) {
            EXPECT_EQ(Driver.CallNames().back(), "SetCommTimeouts") << "settings after the reopen";
            EXPECT_EQ(Dcb.ByteSize, 7);
            EXPECT_EQ(Dcb.Parity, EVENPARITY);
            EXPECT_TRUE(Driver.IsOpen("ttyUSB1"));
        }
        Port.ClosePort();
    }
}

// Settings the lists cannot express survive an OK: "Custom" writes back nothing new.
TEST_F(SetupDialog, CustomRateAndFlowControlAreKept) {
    Port.SetBaudRate(brCustom);
    Port.SetCustomBaudRate(31250);
    Port.FlowControl().SetOutCTSFlow(true);
    Port.FlowControl().SetControlDTR(dtrHandshake);
    ASSERT_EQ(Port.FlowControl().FlowControl(), fcCustom);

    EditPortSettings(Port, [](TComSetupFrm &Form) {
        EXPECT_EQ(Form.Combo2->Text(), "Custom");
        EXPECT_EQ(Form.Combo6->Text(), "Custom");
        Pick(*Form.Combo3, "7");
        Form.Button1->click();
    });
    EXPECT_EQ(Port.BaudRate(), brCustom);
    EXPECT_EQ(Port.CustomBaudRate(), 31250);
    EXPECT_TRUE(Port.FlowControl().OutCTSFlow());
    EXPECT_EQ(Port.FlowControl().ControlDTR(), dtrHandshake);
    EXPECT_EQ(Port.DataBits(), dbSeven);
}

TEST_F(SetupDialog, UnlistedPortNameShowsNoSelectionAndIsKept) {
    Port.SetPort("ttyUSB7");
    EditPortSettings(Port, [](TComSetupFrm &Form) {
        EXPECT_EQ(Form.Combo1->currentIndex(), -1);
        EXPECT_EQ(Form.Combo1->Text(), "");
        Pick(*Form.Combo2, "4800");
        Form.Button1->click();
    });
    EXPECT_EQ(Port.Port(), "ttyUSB7");
    EXPECT_EQ(Port.BaudRate(), br4800);
}

TEST_F(SetupDialog, EachDialogReadsThePortListAfresh) {
    QStringList First, Second;
    EditPortSettings(Port, [&](TComSetupFrm &Form) {
        First = Entries(*Form.Combo1);
        Form.close();
    });
    Sysfs.AddPort("ttyUSB2"); // plugged in between
    EditPortSettings(Port, [&](TComSetupFrm &Form) {
        Second = Entries(*Form.Combo1);
        Form.close();
    });
    EXPECT_EQ(First, QStringList({"ttyACM0", "ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(Second, QStringList({"ttyACM0", "ttyUSB0", "ttyUSB1", "ttyUSB2"}));
}

TEST_F(SetupDialog, AdapterIsListedByItsStableNameTooWithItsDescriptionAsTip) {
    namespace fs = std::filesystem;
    const fs::path Usb = Sysfs.Root() / "devices" / "usb-ttyUSB0", Dev = Sysfs.Root() / "dev";
    for (const auto &[File, Text] : {std::pair{"idVendor", "0403"},
                                     {"manufacturer", "FTDI"},
                                     {"product", "FT232R USB UART"},
                                     {"serial", "A50285BI"}})
        std::ofstream(Usb / File) << Text << "\n";
    fs::create_directories(Dev / "serial" / "by-id");
    std::ofstream(Dev / "ttyUSB0") << "";
    fs::create_symlink("../../ttyUSB0", Dev / "serial" / "by-id" / "usb-FTDI_A50285BI-if00-port0");
    EditPortSettings(Port, [&](TComSetupFrm &Form) {
        const TComComboBox &Ports = *Form.Combo1;
        EXPECT_EQ(Entries(Ports), QStringList({"serial/by-id/usb-FTDI_A50285BI-if00-port0", "ttyACM0",
                                               "ttyUSB0", "ttyUSB1"}));
        for (const int Index : {0, 2})
            EXPECT_EQ(Ports.itemData(Index, Qt::ToolTipRole).toString(), "FTDI FT232R USB UART (A50285BI)");
        EXPECT_FALSE(Ports.itemData(1, Qt::ToolTipRole).isValid());
        Form.close();
    });
}

TEST_F(SetupDialog, UnreadablePortListStopsTheDialogBeforeItShows) {
    Sysfs.Break();
    bool Shown = false;
    try {
        EditPortSettings(Port, [&](TComSetupFrm &) { Shown = true; });
        ADD_FAILURE() << "no error";
    } catch (const EComPort &Error) {
        EXPECT_EQ(Error.ErrorNumber(), peRegistry);
    }
    EXPECT_FALSE(Shown);
}

// A reopen that fails on OK reaches the caller; the boxes after Combo1 are not written, and the port
// is not left inside the settings update: a later setter reaches the device at once.
TEST_F(SetupDialog, FailingWriteEndsTheUpdateAndReachesTheCaller) {
    Port.OpenPort();
    Driver.FailNext("CreateFile", ENOENT);
    std::optional<EComPort> Caught;
    try {
        EditPortSettings(Port, [](TComSetupFrm &Form) {
            ChangeEverything(Form);
            Form.Button1->click();
        });
    } catch (const EComPort &Error) {
        Caught = Error;
    }
    ASSERT_TRUE(Caught);
    EXPECT_EQ(Caught->ErrorNumber(), peOpenFailed);
    EXPECT_EQ(Caught->SystemErrorNumber(), ENOENT);
    EXPECT_EQ(Port.Port(), "ttyUSB1");
    EXPECT_EQ(Port.BaudRate(), br9600);
    EXPECT_FALSE(Port.Connected());

    Port.OpenPort();
    Driver.ClearCalls();
    Port.SetBaudRate(br2400);
    EXPECT_EQ(Count("SetCommState"), 1u);
}

} // namespace
