// The window follows a device that is pulled out and put back, and remembers the port chosen in
// the setup dialog between runs. The device is a link in a fake /dev (a temporary folder) to the
// slave of a pseudo-terminal pair: plugging in points the link at a fresh pair, pulling out closes
// the pair's far end and removes the link.
#include "support/WindowHarness.h"

#include "relay/PanelSettings.h"
#include "serial/port/ComPlatform.h"
#include "serial/setup/CPortSetup.h"
#include "tests/support/Leaks.h"
#include "tests/support/Tcp.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

namespace fs = std::filesystem;

namespace {

QString U(const char *Utf8) {
    return QString::fromUtf8(Utf8);
}

fs::path MakeTempDir() {
    std::string Template = (fs::temp_directory_path() / "replug-XXXXXX").string();
    return ::mkdtemp(Template.data());
}

class TPluggedDevice {
public:
    TPluggedDevice() : FRoot(MakeTempDir()) { Plug(); }
    ~TPluggedDevice() {
        FPair.reset();
        std::error_code Ignored;
        fs::remove_all(FRoot, Ignored);
    }
    bool Ok() const { return FPair && FPair->Ok(); }
    std::string Path() const { return (FRoot / "ttyUSB0").string(); }
    const fs::path &Root() const { return FRoot; }
    TPtyPair &Far() { return *FPair; }

    void Plug(const std::string &Target = {}) {
        FPair = std::make_unique<TPtyPair>();
        fs::create_symlink(Target.empty() ? FPair->SlavePath() : Target, Path());
    }
    void Unplug() {
        FPair->CloseMaster();
        fs::remove(Path());
    }

private:
    fs::path FRoot;
    std::unique_ptr<TPtyPair> FPair;
};

// The steps of losing a port and getting it back, for a local device or a network server.
struct TLossSteps {
    std::function<void()> GoAndWait; // the port goes, and the window has closed it
    std::function<void()> Go;        // the port goes
    std::function<void()> Back;      // the port could be opened again
    std::function<void()> Reopen;    // the window opens it by hand
};

// Closing by hand, or choosing another port, ends the wait for a lost port: whether the choice
// comes before the loss or after it, the port's return is not acted on.
void ExpectOperatorsChoiceEndsTheWait(TForm1 &Form, const TLossSteps &Steps) {
    struct TRow {
        const char *Name;
        bool LoseFirst;
        std::function<void()> Act;
    };
    const TRow Rows[] = {
        {"closed by hand", false, [&] { Click(Form, "Button_Open"); }},
        {"another port chosen", true,
         [&] {
             TFakeSetupDialog Other("/nonexistent/ttyUSB7");
             Click(Form, "Button_Settings");
         }},
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(Row.Name);
        if (Row.LoseFirst)
            Steps.GoAndWait();
        Row.Act();
        if (!Row.LoseFirst)
            Steps.Go();
        EXPECT_FALSE(Form.WatchingForDevice());
        Steps.Back();
        QCoreApplication::processEvents();
        EXPECT_FALSE(Form.ComPort().Connected());
        Steps.Reopen(); // for the next row
        if (::testing::Test::HasFatalFailure())
            return;
    }
}

class Replug : public testing::Test {
protected:
    void SetUp() override {
        if (!Device.Ok())
            GTEST_SKIP() << "no pseudo-terminal support";
        RxBuffer.Clear();
        Form = std::make_unique<TForm1>();
        Form->show();
        Click(*Form, "Button_Settings");
        Click(*Form, "Button_Open");
        ASSERT_TRUE(Form->ComPort().Connected()) << TopLine(*Form).toStdString();
    }
    void TearDown() override { Form.reset(); }

    void UnplugAndWait() {
        Device.Unplug();
        ASSERT_TRUE(WaitFor([&] { return !Form->ComPort().Connected(); }));
    }
    void PlugAndWait() {
        Device.Plug();
        ASSERT_TRUE(WaitFor([&] { return Form->ComPort().Connected(); })) << TopLine(*Form).toStdString();
    }

    TPluggedDevice Device;
    TFakeSetupDialog Setup{Device.Path()};
    std::unique_ptr<TForm1> Form;
};

TEST_F(Replug, DeviceThatComesBackIsOpenedAgainAndTrafficFlows) {
    UnplugAndWait();
    const QString Name = QString::fromStdString(Device.Path());
    EXPECT_EQ(ConsoleLines(*Form).mid(0, 2), (QStringList{U("COM > Čekám na návrat zařízení ") + Name + ".",
                                                          U("COM > Zařízení bylo odpojeno.")}));
    EXPECT_TRUE(Form->WatchingForDevice());
    PlugAndWait();
    EXPECT_EQ(ConsoleLines(*Form).mid(0, 3),
              (QStringList{U("COM > Zařízení je zpět, port je znovu otevřen."),
                           U("COM > Otevřený port: ") + Name, U("COM > Port úspěšně otevřen.")}));
    EXPECT_FALSE(Form->WatchingForDevice());
    EXPECT_TRUE(Control(*Form, "CtrlGB")->isEnabled());
    Device.Far().Send("stop*");
    ASSERT_TRUE(WaitFor([&] { return TopLine(*Form) == U("IO  >Alarm byl vypnut.(stop*)"); }));
    Click(*Form, "Button2");
    EXPECT_EQ(Device.Far().Receive(1), "!");
}

// A device that comes back as something the port cannot open (here a character device that is no
// terminal) is reported once and waited for again.
TEST_F(Replug, FailedReopenKeepsWaiting) {
    UnplugAndWait();
    fs::create_symlink("/dev/null", Device.Path());
    ASSERT_TRUE(WaitFor([&] { return TopLine(*Form).startsWith("ERR >Port"); }));
    EXPECT_TRUE(Form->WatchingForDevice());
    // The failed attempt itself is no change of the device: no second attempt follows.
    const qsizetype Lines = ConsoleLines(*Form).size();
    QCoreApplication::processEvents();
    EXPECT_EQ(ConsoleLines(*Form).size(), Lines);
    fs::remove(Device.Path());
    PlugAndWait();
    EXPECT_EQ(TopLine(*Form), U("COM > Zařízení je zpět, port je znovu otevřen."));
}

TEST_F(Replug, OperatorsChoiceEndsTheWait) {
    ExpectOperatorsChoiceEndsTheWait(*Form, {[&] { UnplugAndWait(); }, [&] { Device.Unplug(); },
                                             [&] { Device.Plug(); },
                                             [&] {
                                                 Form->ComPort().SetPort(Device.Path());
                                                 Click(*Form, "Button_Open");
                                                 ASSERT_TRUE(Form->ComPort().Connected());
                                             }});
}

TEST_F(Replug, HundredCyclesLeaveNothingBehind) {
    UnplugAndWait();
    PlugAndWait(); // the first cycle may allocate for good
    const TLeakBaseline Baseline;
    for (int Cycle = 0; Cycle < 100 && !HasFatalFailure(); ++Cycle) {
        UnplugAndWait();
        PlugAndWait();
    }
    EXPECT_TRUE(Baseline.NothingLeftBehind());
}

// A board behind the network, played by a loopback server of the test. The server goes away with
// its listener, so that attempts are refused, and comes back on the same port.
class NetReplug : public testing::Test {
protected:
    void SetUp() override {
        RxBuffer.Clear();
        Form = std::make_unique<TForm1>();
        Form->SetReconnectDelays(std::chrono::milliseconds(1), std::chrono::milliseconds(20));
        Form->show();
        Click(*Form, "Button_Settings");
        OpenByHand();
    }
    void TearDown() override { Form.reset(); }

    void OpenByHand() {
        Click(*Form, "Button_Open");
        ASSERT_TRUE(Form->ComPort().Connected()) << TopLine(*Form).toStdString();
        Peer = Server->Accept();
        ASSERT_TRUE(Peer.Ok());
    }
    void ServerGoes() {
        Server.reset();
        Peer.Close();
    }
    void ServerGoesAndWait() {
        ServerGoes();
        ASSERT_TRUE(WaitFor([&] { return !Form->ComPort().Connected(); }));
    }
    void ServerBack() { Server = std::make_unique<TTcpListener>(4, Port); }
    void ServerBackAndWait() {
        ServerBack();
        ASSERT_TRUE(WaitFor([&] { return Form->ComPort().Connected(); })) << TopLine(*Form).toStdString();
        Peer = Server->Accept();
        ASSERT_TRUE(Peer.Ok());
    }

    std::unique_ptr<TTcpListener> Server = std::make_unique<TTcpListener>();
    const int Port = Server->Port();
    const std::string Name = "tcp://127.0.0.1:" + std::to_string(Port);
    TFakeSetupDialog Setup{Name};
    std::unique_ptr<TForm1> Form;
    TTcpPeer Peer;
};

TEST_F(NetReplug, ServerThatComesBackIsReopenedAndTrafficFlows) {
    ServerGoesAndWait();
    // The delays of this test are shorter than a second, so the pace is said once.
    const QString Waiting =
        U("COM > Čekám na spojení s ") + QString::fromStdString(Name) + U(", další pokus za 1 s.");
    EXPECT_EQ(ConsoleLines(*Form).mid(0, 2), (QStringList{Waiting, U("COM > Zařízení bylo odpojeno.")}));
    EXPECT_TRUE(Form->WatchingForDevice());
    ServerBackAndWait();
    // Refused attempts say nothing.
    EXPECT_EQ(ConsoleLines(*Form).mid(0, 5),
              (QStringList{U("COM > Zařízení je zpět, port je znovu otevřen."),
                           U("COM > Otevřený port: ") + QString::fromStdString(Name),
                           U("COM > Port úspěšně otevřen."), Waiting, U("COM > Zařízení bylo odpojeno.")}));
    EXPECT_FALSE(Form->WatchingForDevice());
    ASSERT_TRUE(Peer.Send("stop*"));
    ASSERT_TRUE(WaitFor([&] { return TopLine(*Form) == U("IO  >Alarm byl vypnut.(stop*)"); }));
    Click(*Form, "Button2");
    EXPECT_EQ(Peer.Receive(1), "!");

    const TLeakBaseline Baseline;
    for (int Cycle = 0; Cycle < 5 && !HasFatalFailure(); ++Cycle) {
        ServerGoesAndWait();
        ServerBackAndWait();
    }
    EXPECT_TRUE(Baseline.NothingLeftBehind());
    ServerGoesAndWait(); // and the window goes while it retries
}

TEST_F(NetReplug, OperatorsChoiceEndsTheRetrying) {
    ExpectOperatorsChoiceEndsTheWait(*Form, {[&] { ServerGoesAndWait(); }, [&] { ServerGoes(); },
                                             [&] { ServerBack(); },
                                             [&] {
                                                 Form->ComPort().SetPort(Name);
                                                 OpenByHand();
                                             }});
}

// "Otevřít port" during the wait tries at once, however long the next attempt is away.
TEST_F(NetReplug, OpenDuringTheWaitTriesAtOnce) {
    Form->SetReconnectDelays(std::chrono::hours(1), std::chrono::hours(1));
    ServerGoesAndWait();
    ServerBack();
    OpenByHand();
    EXPECT_FALSE(Form->WatchingForDevice());
    EXPECT_EQ(TopLine(*Form), U("COM > Otevřený port: ") + QString::fromStdString(Name));
}

// The setup dialog's choice kept in a settings file between two windows.
class Remembered : public testing::Test {
protected:
    void TearDown() override {
        std::error_code Ignored;
        fs::remove_all(Root, Ignored);
    }
    fs::path Root = MakeTempDir();
    fs::path File = Root / "dudovuz" / "panel.ini";
};

TEST_F(Remembered, AcceptedDialogIsSavedAndTheNextWindowCanOpenAtOnce) {
    TPluggedDevice Device;
    if (!Device.Ok())
        GTEST_SKIP() << "no pseudo-terminal support";
    {
        TFakeSetupDialog Setup(Device.Path());
        TForm1 First;
        First.show();
        First.UseSettingsFile(File);
        EXPECT_TRUE(ConsoleLines(First).isEmpty()); // the first run has no file: nothing to say
        EXPECT_FALSE(Control(First, "Button_Open")->isEnabled());
        Click(First, "Button_Settings");
    }
    TForm1 Second;
    Second.show();
    Second.UseSettingsFile(File);
    EXPECT_EQ(Second.ComPort().Port(), Device.Path());
    ASSERT_TRUE(Control(Second, "Button_Open")->isEnabled());
    Click(Second, "Button_Open");
    EXPECT_TRUE(Second.ComPort().Connected()) << TopLine(Second).toStdString();
}

// A network port given for one run (--port) and opened is offered by the setup dialog of the next
// window on the same file, beside the system's ports.
TEST_F(Remembered, OpenedPortIsOfferedByTheNextWindowsDialog) {
    TTcpListener Server;
    const std::string Name = "tcp://127.0.0.1:" + std::to_string(Server.Port());
    {
        TForm1 First;
        First.show();
        First.UseSettingsFile(File);
        First.UsePort(Name);
        Click(First, "Button_Open");
        ASSERT_TRUE(First.ComPort().Connected()) << TopLine(First).toStdString();
    }
    RegisterPortSetupDialog();
    TForm1 Second;
    Second.show();
    Second.UseSettingsFile(File);
    QStringList Offered;
    std::function<void()> WhenShown = [&] {
        QWidget *Dialog = QApplication::activeModalWidget();
        if (!Dialog)
            return QTimer::singleShot(0, WhenShown);
        auto *Ports = Dialog->findChild<QComboBox *>("Combo1");
        for (int I = 0; I < Ports->count(); ++I)
            Offered << Ports->itemText(I);
        QTest::mouseClick(Dialog->findChild<QPushButton *>("Button2"), Qt::LeftButton);
    };
    QTimer::singleShot(0, WhenShown);
    Click(Second, "Button_Settings");
    SetSetupDialogHook(nullptr);
    EXPECT_TRUE(Offered.contains(QString::fromStdString(Name))) << Offered.join(' ').toStdString();
}

TEST_F(Remembered, FileThatCannotBeUsedCostsOneLine) {
    struct TRow {
        const char *Name;
        std::function<void()> Make;
        const char *Line;
        bool SaveFails;
    };
    const TRow Rows[] = {
        {"malformed", [&] { std::ofstream(File) << "[ComPort]\nPort=ttyUSB1\nBaudRate=fast\n"; },
         "COM > Uložené nastavení portu je chybné (BaudRate=fast), nepoužije se.", false},
        {"unreadable", [&] { fs::create_directory(File); }, "COM > Uložené nastavení portu nelze přečíst (",
         true},
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(Row.Name);
        fs::remove_all(File.parent_path());
        fs::create_directories(File.parent_path());
        Row.Make();
        TFakeSetupDialog Setup("ttyUSB3");
        TForm1 Form;
        Form.show();
        Form.UseSettingsFile(File);
        ASSERT_EQ(ConsoleLines(Form).size(), 1);
        EXPECT_TRUE(TopLine(Form).startsWith(U(Row.Line))) << TopLine(Form).toStdString();
        EXPECT_FALSE(Control(Form, "Button_Open")->isEnabled());
        // A setting that cannot be written is one more line, and the panel goes on.
        Click(Form, "Button_Settings");
        EXPECT_TRUE(Control(Form, "Button_Open")->isEnabled());
        EXPECT_EQ(ConsoleLines(Form).size(), Row.SaveFails ? 2 : 1);
        if (Row.SaveFails) {
            EXPECT_TRUE(TopLine(Form).startsWith(U("COM > Nastavení portu nelze uložit (")))
                << TopLine(Form).toStdString();
        }
    }
}

} // namespace
