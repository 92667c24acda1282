// The setup dialog as the operator meets it: what it lists and selects, and what Cancel and OK do
// to a closed and to an open port on the scriptable driver.
#include "SetupHarness.h"

#include "serial/ComError.h"
#include "serial/ComPlatform.h"

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <optional>

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

TEST_F(SetupDialog, FormIsBuiltAsDescribed) {
    TComSetupFrm Form;
    EXPECT_EQ(Form.objectName(), "ComSetupFrm");
    EXPECT_EQ(Form.windowTitle(), "Setup");
    EXPECT_EQ(Form.size(), QSize(231, 216));
    EXPECT_EQ(Form.minimumSize(), Form.maximumSize()) << "the border is fixed";
    EXPECT_FALSE(Form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(Form.GroupBox1->title(), " Settings ");

    struct TPlace {
        QWidget *Widget;
        QString Text;
        QRect Geometry; // an empty size: the label sizes itself
    };
    const TPlace Places[] = {
        {Form.GroupBox1, {}, {8, 8, 217, 169}},        {Form.Label1, "Port", {8, 24, 0, 0}},
        {Form.Label2, "Baud rate", {8, 48, 0, 0}},     {Form.Label3, "Data bits", {8, 72, 0, 0}},
        {Form.Label4, "Stop bits", {8, 96, 0, 0}},     {Form.Label5, "Parity", {8, 120, 0, 0}},
        {Form.Label6, "Flow control", {8, 144, 0, 0}}, {Form.Combo1, {}, {80, 16, 129, 21}},
        {Form.Combo2, {}, {80, 40, 129, 21}},          {Form.Combo3, {}, {80, 64, 129, 21}},
        {Form.Combo4, {}, {80, 88, 129, 21}},          {Form.Combo5, {}, {80, 112, 129, 21}},
        {Form.Combo6, {}, {80, 136, 129, 21}},         {Form.Button1, "OK", {70, 184, 75, 25}},
        {Form.Button2, "Cancel", {150, 184, 75, 25}},
    };
    for (const TPlace &P : Places) {
        SCOPED_TRACE(P.Widget->objectName().toStdString());
        EXPECT_EQ(P.Widget->pos(), P.Geometry.topLeft());
        if (P.Geometry.width() > 0) {
            EXPECT_EQ(P.Widget->size(), P.Geometry.size());
        }
        if (auto *Label = qobject_cast<QLabel *>(P.Widget)) {
            EXPECT_EQ(Label->text(), P.Text);
            EXPECT_EQ(Label->size(), Label->sizeHint()) << "labels fit their text";
        }
        if (auto *Button = qobject_cast<QPushButton *>(P.Widget)) {
            EXPECT_EQ(Button->text(), P.Text);
        }
    }
    EXPECT_TRUE(Form.Button1->isDefault());
    EXPECT_FALSE(Form.Button2->isDefault());
    for (TComComboBox *Box : Form.Boxes()) {
        EXPECT_FALSE(Box->isEditable());
        EXPECT_FALSE(Box->AutoApply());
        EXPECT_EQ(Box->ItemHeight(), 13);
    }

    const QWidget *Expected[] = {Form.Combo1, Form.Combo2, Form.Combo3,  Form.Combo4,
                                 Form.Combo5, Form.Combo6, Form.Button1, Form.Button2};
    QWidget *Focus = Form.Combo1;
    for (const QWidget *Next : Expected) {
        EXPECT_EQ(Focus, Next) << "tab order";
        Focus = Focus->nextInFocusChain();
        while (Focus->focusPolicy() == Qt::NoFocus || !(Focus->focusPolicy() & Qt::TabFocus))
            Focus = Focus->nextInFocusChain();
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

TEST_F(SetupDialog, OkWritesAllSixToAClosedPort) {
    EXPECT_TRUE(ExecutePortSetup(Port, [](TComSetupFrm &Form) {
        ChangeEverything(Form);
        QTest::keyClick(Form.Combo6, Qt::Key_Return); // Enter presses the default button
    }));
    EXPECT_EQ(Port.Port(), "ttyUSB1");
    EXPECT_EQ(Port.BaudRate(), br19200);
    EXPECT_EQ(Port.DataBits(), dbSeven);
    EXPECT_EQ(Port.StopBits(), sbTwoStopBits);
    EXPECT_EQ(Port.Parity().Bits(), prEven);
    EXPECT_EQ(Port.FlowControl().FlowControl(), fcSoftware);
    EXPECT_TRUE(Driver.Calls().empty()) << "a closed port stays closed";
}

// On an open port the new name reopens it once, and the line settings reach the device together
// when the settings update ends, whether or not anything changed.
TEST_F(SetupDialog, OkOnAnOpenPortReopensOnceAndAppliesOnce) {
    struct TCase {
        const char *Name;
        bool Change;
        std::size_t Reopens;
    };
    std::vector<std::string> Events;
    Port.SetOnBeforeClose([&](TCustomComPort &) { Events.push_back("close"); });
    Port.SetOnAfterOpen([&](TCustomComPort &P) { Events.push_back("open " + P.Port()); });
    for (const TCase &Case : {TCase{"unchanged", false, 0}, TCase{"everything new", true, 1}}) {
        SCOPED_TRACE(Case.Name);
        Port.OpenPort();
        Driver.ClearCalls();
        Events.clear();

        EditPortSettings(Port, [&](TComSetupFrm &Form) {
            if (Case.Change)
                ChangeEverything(Form);
            Form.Button1->click();
        });

        EXPECT_EQ(Count("CloseHandle"), Case.Reopens);
        EXPECT_EQ(Count("CreateFile"), Case.Reopens);
        ASSERT_EQ(Count("SetCommState"), 1u);
        const DCB Dcb = Driver.CallsOf("SetCommState").front().Dcb;
        if (Case.Change) {
            EXPECT_EQ(Events, (std::vector<std::string>{"close", "open ttyUSB1"}));
            EXPECT_EQ(Driver.CallNames().back(), "SetCommTimeouts") << "settings after the reopen";
            EXPECT_EQ(Dcb.BaudRate, 19200u);
            EXPECT_EQ(Dcb.ByteSize, 7);
            EXPECT_EQ(Dcb.StopBits, TWOSTOPBITS);
            EXPECT_EQ(Dcb.Parity, EVENPARITY);
            EXPECT_EQ(Dcb.Flags & (DCB_OUTX | DCB_INX), DCB_OUTX | DCB_INX);
            EXPECT_TRUE(Driver.IsOpen("ttyUSB1"));
        } else {
            EXPECT_TRUE(Events.empty());
            EXPECT_EQ(Dcb.BaudRate, 9600u);
        }
        Port.ClosePort();
        Port.SetPort("ttyUSB0");
        Port.FlowControl().SetFlowControl(fcNone);
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

TEST_F(SetupDialog, RegisteredDialogRunsForTheComponent) {
    RegisterPortSetupDialog();
    // The registered dialog has no test hand: close the modal dialog once it is up.
    QTimer::singleShot(0, [] {
        if (QWidget *Modal = QApplication::activeModalWidget())
            Modal->close();
    });
    EXPECT_FALSE(Port.RunSetupDialog());
    SetSetupDialogHook({});
}

} // namespace
