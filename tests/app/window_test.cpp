// The main window driven through its own widgets, with the far end of the line played by the
// test: a pseudo-terminal pair (the real driver) and the scriptable driver, which can also raise
// line errors and refuse writes.
#include "support/WindowHarness.h"

#include "app/AppPlatform.h"
#include "relay/PlatformHooks.h"
#include "serial/port/ComPlatform.h"
#include "serial/setup/CPortSetup.h"
#include "serial/testing/ScriptComDriver.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

using namespace ComApi;

namespace {

// The far end of the line as a test plays it.
class TFarEnd {
public:
    virtual ~TFarEnd() = default;
    virtual std::string PortName() const = 0;
    virtual void Send(std::string_view Bytes) = 0;
    // Waits for Count bytes from the panel; what came.
    virtual std::string Receive(std::size_t Count) = 0;
    // The device goes away, as a pulled-out adapter does.
    virtual void Unplug() = 0;
};

class TPtyEnd : public TFarEnd {
public:
    bool Valid() const { return FPair.Ok(); }
    std::string PortName() const override { return FPair.SlavePath(); }
    void Send(std::string_view Bytes) override { FPair.Send(Bytes); }
    std::string Receive(std::size_t Count) override { return FPair.Receive(Count); }
    void Unplug() override { FPair.CloseMaster(); }

private:
    TPtyPair FPair;
};

class TScriptEnd : public TFarEnd {
public:
    TScriptEnd() {
        Driver.AddDevice(Name);
        SetDefaultComDriver(&Driver);
    }
    ~TScriptEnd() override { SetDefaultComDriver(nullptr); }
    std::string PortName() const override { return Name; }
    void Send(std::string_view Bytes) override { Driver.PushRx(Bytes, Name); }
    std::string Receive(std::size_t Count) override {
        WaitFor([&] { return Driver.Written(Name).size() >= FRead + Count; });
        std::string Got = Driver.Written(Name).substr(FRead, Count);
        FRead += Got.size();
        return Got;
    }
    void Unplug() override { Driver.HangUp(Name); }

    const std::string Name = "ttyRELAY0";
    TScriptComDriver Driver;

private:
    std::size_t FRead = 0;
};

std::unique_ptr<TFarEnd> MakeFarEnd(const std::string &Kind) {
    if (Kind == "script")
        return std::make_unique<TScriptEnd>();
    auto Pty = std::make_unique<TPtyEnd>();
    if (!Pty->Valid())
        return nullptr;
    return Pty;
}

// A shown window whose port has been chosen in the setup dialog and opened with "Otevřít port".
class OpenWindow : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        Far = MakeFarEnd(GetParam());
        if (!Far)
            GTEST_SKIP() << "no pseudo-terminal support";
        RxBuffer.Clear();
        Setup = std::make_unique<TFakeSetupDialog>(Far->PortName());
        Form = std::make_unique<TForm1>();
        Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
        Click(*Form, "Button_Settings");
        Click(*Form, "Button_Open");
        ASSERT_TRUE(Control(*Form, "CtrlGB")->isEnabled()) << TopLine(*Form).toStdString();
    }
    void TearDown() override {
        Form.reset();
        Setup.reset();
        Far.reset();
    }

    // Sends an answer and waits for the console line that quotes it.
    void Answer(const std::string &Text) {
        const qsizetype LinesBefore = ConsoleLines(*Form).size();
        Far->Send(Text);
        ASSERT_TRUE(WaitFor([&] { return ConsoleLines(*Form).size() > LinesBefore; })) << Text;
        EXPECT_TRUE(TopLine(*Form).endsWith("(" + QString::fromStdString(Text) + ")")) << Text;
    }
    void TypeInto(const char *Name, const QString &Text) {
        QWidget *Field = Control(*Form, Name);
        if (auto *Combo = qobject_cast<QComboBox *>(Field))
            Field = Combo->lineEdit();
        if (auto *Spin = qobject_cast<QSpinBox *>(Field))
            Field = Spin->findChild<QLineEdit *>();
        Field->setFocus();
        QTest::keyClick(Field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(Field, Qt::Key_Delete);
        // One key event per character, with its text: QTest's own typing knows only Latin-1 keys.
        for (const QChar Char : Text) {
            QKeyEvent Press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(Char));
            QKeyEvent Release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(Char));
            QApplication::sendEvent(Field, &Press);
            QApplication::sendEvent(Field, &Release);
        }
    }

    std::unique_ptr<TFarEnd> Far;
    std::unique_ptr<TFakeSetupDialog> Setup;
    std::unique_ptr<TForm1> Form;
};

INSTANTIATE_TEST_SUITE_P(Line, OpenWindow, testing::Values("pty", "script"));

TEST_P(OpenWindow, RelayRowPutsItsCommandOnTheLine) {
    struct TRow {
        const char *State, *Relays;
        bool Timed;
        const char *Seconds, *Sent, *Line;
    };
    const TRow Rows[] = {
        {"Zapni", "12", true, "10", "R12=10,1s", "CMD >Požadavek na  zapnutí  Relé č,1,2 na dobu 10 sekund."},
        {"Zapni", "12", false, "10", "R12=1s", "CMD >Požadavek na  zapnutí  Relé č,1,2."},
        {"Vypni", "2", false, "10", "R2=0s", "CMD >Požadavek na  vypnutí  Relé č,2."},
        // A state that names no item goes out as -1, which the controller takes as "on".
        {"x", "3", false, "10", "R3=-1s", "CMD >Požadavek na  zapnutí  Relé č,3."},
        // The duration box puts a value below its range back to 1 when the click takes the focus.
        {"Vypni", "3", true, "0", "R3=1,0s", "CMD >Požadavek na  vypnutí  Relé č,3 na dobu 1 sekund."},
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(Row.Sent);
        TypeInto("cmde1", U(Row.State));
        TypeInto("cmde2", U(Row.Relays));
        TypeInto("cmde3", U(Row.Seconds));
        if (Control<QAbstractButton>(*Form, "checkb1")->isChecked() != Row.Timed)
            Click(*Form, "checkb1");
        Click(*Form, "Button4");
        EXPECT_EQ(Far->Receive(std::string(Row.Sent).size()), Row.Sent);
        EXPECT_EQ(TopLine(*Form), U(Row.Line));
    }
    // Relays 1 and 2 on, then 2 off, 3 on (by -1), 3 off.
    EXPECT_EQ(LampColour(*Form, "RL1").name(), Red.name());
    EXPECT_EQ(LampColour(*Form, "RL2").name(), White.name());
    EXPECT_EQ(LampColour(*Form, "RL3").name(), White.name());
}

TEST_P(OpenWindow, ButtonsSendTheirCommandsOnlyWhenTheyChange) {
    struct TRow {
        const char *Control, *Sent;
    };
    // An empty row sends nothing: the next row would otherwise read those bytes first.
    const TRow Rows[] = {
        {"alac", ""},         {"alad", "RUN=0s"},   {"alad", ""},         {"alac", "RUN=1s"},
        {"chb1", "Rcfg1=1s"}, {"chb1", "Rcfg1=0s"}, {"chb2", "RESET=Ys"}, {"chb2", "RESET=Ns"},
        {"Button1", "?"},     {"Button2", "!"},
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(std::string(Row.Control) + " " + Row.Sent);
        const qsizetype LinesBefore = ConsoleLines(*Form).size();
        Click(*Form, Row.Control);
        const std::string Sent = Row.Sent;
        if (!Sent.empty()) {
            EXPECT_EQ(Far->Receive(Sent.size()), Sent);
        }
        EXPECT_EQ(ConsoleLines(*Form).size(), LinesBefore + (Sent.empty() ? 0 : 1));
    }
}

TEST_P(OpenWindow, EnterSendsTheManualCommandAsTyped) {
    TypeInto("Edit_Data", U("Xs"));
    QTest::keyClick(Control(*Form, "Edit_Data"), Qt::Key_Return);
    EXPECT_EQ(TopLine(*Form), U("ERR >ERROR - Unknown Command \"Xs\"."));
    // Typed text goes out in the board's code page: ž is one byte there.
    TypeInto("Edit_Data", U("R1ž=1s"));
    QTest::keyClick(Control(*Form, "Edit_Data"), Qt::Key_Enter);
    EXPECT_EQ(Far->Receive(6), "R1\x9e=1s"); // also proves "Xs" never went out
    EXPECT_EQ(TopLine(*Form), U("CMD >Požadavek na  zapnutí  Relé č,1,ž."));
    EXPECT_EQ(Control<QLineEdit>(*Form, "Edit_Data")->text(), U("R1ž=1s"));
}

TEST_P(OpenWindow, EachStarEndsOneAnswer) {
    const TBeepHook OldBeep = SetBeepHook([] {});
    struct TRow {
        std::vector<std::string> Pieces;
        QStringList Lines; // newest first
    };
    const QString Running = U("IO  >Alarm je spuštěn.(running*)"), Stop = U("IO  >Alarm byl vypnut.(stop*)");
    const TRow Rows[] = {
        {{"runn", "ing*"}, {Running}},
        // An alarm right behind a timer report is an answer of its own.
        {{"T2*3*"},
         {U("IO  >Poplach aktivován sepnutím vstupu č.3*(3*)"), U("IO  >Časovač přepnul Relé č.2.(T2*)")}},
        {{"running*st", "op*"}, {Stop, Running}},
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(Row.Pieces.front());
        const qsizetype LinesBefore = ConsoleLines(*Form).size();
        std::string Held;
        for (const std::string &Piece : Row.Pieces) {
            Far->Send(Piece);
            Held = (Held + Piece).substr((Held + Piece).rfind('*') + 1);
            if (&Piece != &Row.Pieces.back()) {
                ASSERT_TRUE(WaitFor([&] { return RxBuffer.Held() == Held; })) << Held;
            }
        }
        ASSERT_TRUE(WaitFor([&] { return ConsoleLines(*Form).size() >= LinesBefore + Row.Lines.size(); }));
        EXPECT_EQ(ConsoleLines(*Form).mid(0, ConsoleLines(*Form).size() - LinesBefore), Row.Lines);
        EXPECT_TRUE(RxBuffer.Held().empty());
    }
    SetBeepHook(OldBeep);
}

TEST_P(OpenWindow, LampsFollowEachKindOfAnswer) {
    int Beeps = 0;
    const TBeepHook OldBeep = SetBeepHook([&] { ++Beeps; });
    struct TRow {
        const char *Answer;
        std::vector<std::pair<const char *, QColor>> Lamps;
    };
    const TRow Rows[] = {
        {"stop*", {{"AL1", White}, {"AL2", Yellow}}},
        {"running*", {{"AL1", Green}, {"AL2", White}}},
        {"&101*", {{"IL1", Red}, {"IL2", White}, {"IL3", Red}, {"IL4", White}}},
        {"A*", {{"IL1", White}, {"IL3", Red}}},
        {"3*", {{"TL1", Magenta}}},
        {"*", {{"TL1", White}}},
        {"T3*", {{"RL3", Red}, {"RL1", White}}},
        {"T3*", {{"RL3", White}}},
        {"TEST=N*", {{"AL1", White}, {"AL2", Yellow}}},
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(Row.Answer);
        Answer(Row.Answer);
        for (const auto &[Lamp, Colour] : Row.Lamps)
            EXPECT_EQ(LampColour(*Form, Lamp).name(), Colour.name()) << Lamp;
    }
    EXPECT_EQ(Beeps, 1);
    SetBeepHook(OldBeep);
}

// A screen reader hears each lamp's state; the names follow the answers as the colours do.
TEST_P(OpenWindow, LampsTellTheirStateToScreenReaders) {
    const TBeepHook OldBeep = SetBeepHook([] {});
    const struct {
        const char *Answer;
        std::vector<std::pair<const char *, const char *>> Names;
    } Rows[] = {
        {"stop*", {{"AL1", "Alarm ON: nesvítí"}, {"AL2", "Alarm OFF: svítí"}}},
        {"&101*", {{"IL1", "Vstup 1: aktivní"}, {"IL2", "Vstup 2: neaktivní"}}},
        {"3*", {{"TL1", "Poplach: aktivován"}}},
        {"T3*", {{"RL3", "Relé 3: zapnuto"}, {"RL1", "Relé 1: vypnuto"}}},
    };
    for (const auto &Row : Rows) {
        SCOPED_TRACE(Row.Answer);
        Answer(Row.Answer);
        for (const auto &[Lamp, Name] : Row.Names) {
            EXPECT_EQ(AccessibleName(Control(*Form, Lamp)), U(Name)) << Lamp;
            EXPECT_FALSE(AccessibleDescription(Control(*Form, Lamp)).isEmpty()) << Lamp;
        }
    }
    SetBeepHook(OldBeep);
}

// An answer that raises the alarm asks the desktop to draw the operator's eye to the window.
TEST_P(OpenWindow, RaisedAlarmAsksForAttention) {
    const TBeepHook OldBeep = SetBeepHook([] {});
    std::vector<QWidget *> Asked;
    Form->AskForAttention = [&](QWidget *Window) { Asked.push_back(Window); };
    // Asks so far, after each answer; "9*" names no input and raises nothing.
    const std::pair<const char *, std::size_t> Rows[] = {
        {"running*", 0}, {"3*", 1}, {"*", 1}, {"9*", 1}, {"2*", 2}};
    for (const auto &[Text, Count] : Rows) {
        Answer(Text);
        EXPECT_EQ(Asked.size(), Count) << Text;
    }
    EXPECT_EQ(std::count(Asked.begin(), Asked.end(), Form.get()), static_cast<std::ptrdiff_t>(Asked.size()));
    SetBeepHook(OldBeep);
}

// The console and the title name the open port; the session log's file, when it records,
// follows the port's name in the title.
TEST_P(OpenWindow, OpenButtonClosesAnOpenPortAndOpensItAgain) {
    const QString Name = QString::fromStdString(Far->PortName());
    const QString Plain = QString::fromUtf8(MainWindowTitle);
    EXPECT_EQ(Setup->Runs(), 1);
    EXPECT_EQ(AccessibleName(Control(*Form, "Button_Open")), U("Zavři port"));
    EXPECT_EQ(ConsoleLines(*Form),
              (QStringList{U("COM > Otevřený port: ") + Name, U("COM > Port úspěšně otevřen.")}));
    EXPECT_EQ(Form->windowTitle(), Plain + U(" — ") + Name);
    const QString Log =
        QDir::temp().filePath(QStringLiteral("title-log.%1.txt").arg(QCoreApplication::applicationPid()));
    Form->SessionLog().ChooseFile = [&](const QString &, const QString &, QFileDialog::Options) {
        return Log;
    };
    Form->SessionLog().SetRecording(true);
    EXPECT_EQ(Form->windowTitle(), Plain + U(" — ") + Name + U(" — ") + Log);
    Click(*Form, "Button_Open");
    EXPECT_FALSE(Form->ComPort().Connected());
    EXPECT_EQ(TopLine(*Form), U("COM > Port byl ručně zavřen."));
    EXPECT_EQ(Form->windowTitle(), Plain + U(" — ") + Log);
    Form->SessionLog().SetRecording(false);
    QFile::remove(Log);
    EXPECT_EQ(Form->windowTitle(), Plain);
    EXPECT_EQ(AccessibleName(Control(*Form, "Button_Open")), U("Otevřít port"));
    EXPECT_FALSE(Control(*Form, "CtrlGB")->isEnabled());
    // A partial answer survives the close and completes after the reopen.
    Click(*Form, "Button_Open");
    ASSERT_TRUE(Form->ComPort().Connected());
    EXPECT_EQ(ConsoleLines(*Form).count(U("COM > Port úspěšně otevřen.")), 2);
    Answer("stop*");
}

TEST_P(OpenWindow, UnpluggedDeviceClosesThePort) {
    Far->Unplug();
    ASSERT_TRUE(WaitFor([&] { return !Form->ComPort().Connected(); }));
    EXPECT_EQ(ConsoleLines(*Form).mid(1, 2),
              (QStringList{U("COM > Zařízení bylo odpojeno."), U("COM > Chyba v komunikaci na COM portu.")}));
    EXPECT_TRUE(TopLine(*Form).startsWith(U("COM > Čekám na návrat zařízení ")))
        << TopLine(*Form).toStdString();
    EXPECT_EQ(AccessibleName(Control(*Form, "Button_Open")), U("Otevřít port"));
    EXPECT_FALSE(Control(*Form, "CtrlGB")->isEnabled());
    // The scripted device is back at once; a pseudo-terminal whose far end closed is gone for good.
    if (GetParam() == "script") {
        Click(*Form, "Button_Open");
        EXPECT_TRUE(Control(*Form, "CtrlGB")->isEnabled());
        Answer("stop*");
    }
}

// Runs Act on the modal dialog once it is up: "Nastavit port" does not return before it closes.
void WhenModalShows(std::function<void(QWidget &)> Act) {
    QTimer::singleShot(0, [Act] {
        if (QWidget *Dialog = QApplication::activeModalWidget())
            Act(*Dialog);
        else
            WhenModalShows(Act);
    });
}

class SetupDialog : public testing::TestWithParam<std::string> {};
INSTANTIATE_TEST_SUITE_P(Line, SetupDialog, testing::Values("pty", "script"));

TEST_P(SetupDialog, PortChosenInTheDialogOpens) {
    const std::unique_ptr<TFarEnd> Far = MakeFarEnd(GetParam());
    if (!Far)
        GTEST_SKIP() << "no pseudo-terminal support";
    const std::string Path = Far->PortName().starts_with("/") ? Far->PortName() : "/dev/" + Far->PortName();
    qputenv("EXTRA_SERIAL_PORTS", QByteArray::fromStdString(Path));
    RegisterPortSetupDialog();
    RxBuffer.Clear();
    TForm1 Form;
    Form.show();
    QString Chosen;
    WhenModalShows([&](QWidget &Dialog) {
        auto *Ports = Dialog.findChild<QComboBox *>("Combo1");
        const int Index = Ports->findText(QString::fromStdString(Path).mid(5));
        Ports->setCurrentIndex(Index);
        emit Ports->activated(Index); // as the operator's pick from the list does
        Chosen = Ports->currentText();
        QTest::mouseClick(Dialog.findChild<QPushButton *>("Button1"), Qt::LeftButton);
    });
    Click(Form, "Button_Settings");
    ASSERT_FALSE(Chosen.isEmpty());
    ASSERT_TRUE(Control(Form, "Button_Open")->isEnabled());
    Click(Form, "Button_Open");
    ASSERT_TRUE(Form.ComPort().Connected()) << TopLine(Form).toStdString();
    Click(Form, "Button2");
    EXPECT_EQ(Far->Receive(1), "!");
    SetSetupDialogHook(nullptr);
    qunsetenv("EXTRA_SERIAL_PORTS");
}

class Lifetime : public testing::TestWithParam<std::string> {};
INSTANTIATE_TEST_SUITE_P(Line, Lifetime, testing::Values("pty", "script"));

TEST_P(Lifetime, ClosingWithThePortOpenLeavesNothingBehind) {
    const std::unique_ptr<TFarEnd> Far = MakeFarEnd(GetParam());
    if (!Far)
        GTEST_SKIP() << "no pseudo-terminal support";
    TFakeSetupDialog Setup(Far->PortName());
    const auto Cycle = [&](const std::string &Traffic) {
        TForm1 Form;
        Form.show();
        Click(Form, "Button_Settings");
        Click(Form, "Button_Open");
        ASSERT_TRUE(Form.ComPort().Connected());
        Far->Send(Traffic);
        ASSERT_TRUE(WaitFor([&] { return !RxBuffer.Held().empty() || TopLine(Form).startsWith("IO"); }));
        // More bytes and no wait: their delivery is often still on its way as the window goes,
        // and then runs during the close.
        Far->Send("stop*");
    }; // the window goes with its port open
    RxBuffer.Clear();
    Cycle("stop*"); // the first window loads fonts and the like for good
    const TLeakBaseline Baseline;
    for (const char *Traffic : {"runn", "ing*", "&1"}) {
        SCOPED_TRACE(Traffic);
        Cycle(Traffic);
        EXPECT_TRUE(Baseline.NothingLeftBehind());
        EXPECT_EQ(Rele, nullptr);
    }
    RxBuffer.Clear();
}

// A board that answers before the window listens (it was already talking on the line) is heard.
TEST(AnswersOnOpen, WhatTheBoardSentBeforeTheOpenIsShown) {
    TPtyEnd Far;
    if (!Far.Valid())
        GTEST_SKIP() << "no pseudo-terminal support";
    TFakeSetupDialog Setup(Far.PortName());
    RxBuffer.Clear();
    TForm1 Form;
    Form.show();
    Click(Form, "Button_Settings");
    Far.Send("T2*T2*T2*"); // waits in the line's input until the port opens
    Click(Form, "Button_Open");
    EXPECT_TRUE(WaitFor([&] { return ConsoleLines(Form).filter("(T2*)").size() == 3; }))
        << ConsoleLines(Form).join(" | ").toStdString();
}

// The scriptable driver plays what a pseudo-terminal cannot: line errors and refusals.
class ScriptedWindow : public testing::Test {
protected:
    void SetUp() override {
        RxBuffer.Clear();
        OldSink = SetApplicationErrorSink([this](const QString &Message) { Errors << Message; });
        Form = std::make_unique<TForm1>();
        Form->show();
    }
    void TearDown() override {
        Form.reset();
        SetApplicationErrorSink(OldSink);
    }
    void Open() {
        Click(*Form, "Button_Settings");
        Click(*Form, "Button_Open");
        ASSERT_TRUE(Form->ComPort().Connected()) << TopLine(*Form).toStdString();
    }

    TScriptEnd Far;
    TFakeSetupDialog Setup{Far.Name};
    TApplicationErrorSink OldSink;
    QStringList Errors;
    std::unique_ptr<TForm1> Form;
};

TEST_F(ScriptedWindow, LineErrorIsReportedAndReceivingGoesOn) {
    Open();
    Far.Driver.AddLineErrors(CE_FRAME, Far.Name);
    ASSERT_TRUE(WaitFor([&] { return TopLine(*Form) == U("COM > Chyba v komunikaci na COM portu."); }));
    Far.Send("stop*");
    ASSERT_TRUE(WaitFor([&] { return TopLine(*Form) == U("IO  >Alarm byl vypnut.(stop*)"); }));
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" | ").toStdString();
}

// A read that fails inside the receive handler is the port's business: the operator sees nothing,
// the gathered part of an answer stays, and after a reopen the answer completes from it.
TEST_F(ScriptedWindow, FailedReadKeepsTheBufferAndShowsNothing) {
    Open();
    const qsizetype OpenedLines = ConsoleLines(*Form).size();
    Far.Send("runn");
    ASSERT_TRUE(WaitFor([&] { return RxBuffer.Held() == "runn"; }));
    Far.Driver.FailNext("ReadFile", EIO);
    Far.Send("ing*");
    ASSERT_TRUE(WaitFor([&] {
        const auto Reads = Far.Driver.CallsOf("ReadFile");
        return std::any_of(Reads.begin(), Reads.end(),
                           [](const TScriptCall &Call) { return Call.Error == EIO; });
    }));
    EXPECT_EQ(RxBuffer.Held(), "runn");
    EXPECT_EQ(ConsoleLines(*Form).size(), OpenedLines);
    Click(*Form, "Button_Open");
    Click(*Form, "Button_Open");
    Far.Send("ing*");
    ASSERT_TRUE(WaitFor([&] { return TopLine(*Form) == U("IO  >Alarm je spuštěn.(running*)"); }));
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" | ").toStdString();
}

// The lamp that the command's line lit goes out again before the error is shown.
TEST_F(ScriptedWindow, FailedWriteReachesTheErrorDisplayAndTakesTheRelayBack) {
    Open();
    QColor LampAtError;
    SetApplicationErrorSink([&](const QString &Message) {
        Errors << Message;
        LampAtError = LampColour(*Form, "RL1");
    });
    Far.Driver.FailNext("WriteFile", EIO);
    Click(*Form, "Button4");
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_TRUE(Errors.front().contains("(win error code: 5)")) << Errors.front().toStdString();
    EXPECT_EQ(LampAtError.name(), QColor(Qt::white).name());
    EXPECT_FALSE(Rele->Relays[1]);
    Click(*Form, "Button2");
    EXPECT_EQ(Far.Receive(1), "!");
}

TEST_F(ScriptedWindow, FailedOpenSaysWhyAndLeavesTheWindowClosed) {
    struct TRow {
        int Error;
        QString Reason;
    };
    const QString Port = U("ERR >Port \"ttyRELAY0\": ");
    const TRow Rows[] = {
        {ENOENT, Port + U("zařízení neexistuje.")},
        {EBUSY, Port + U("zařízení používá jiný program.")},
        {EACCES, Port + U("přístup odepřen (uživatel musí být ve skupině dialout).")},
        {ENOTTY, Port + U("není to sériové zařízení.")},
        {EIO, Port + QString::fromUtf8(std::strerror(EIO)) + "."},
    };
    Click(*Form, "Button_Settings");
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(Row.Error);
        Far.Driver.FailNext("CreateFile", Row.Error);
        Click(*Form, "Button_Open");
        EXPECT_EQ(ConsoleLines(*Form).mid(0, 2),
                  (QStringList{Row.Reason, U("ERR >CHYBA při otvírání portu.")}));
        EXPECT_EQ(AccessibleName(Control(*Form, "Button_Open")), U("Otevřít port"));
        EXPECT_FALSE(Control(*Form, "CtrlGB")->isEnabled());
    }
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(" | ").toStdString();
}

TEST_F(ScriptedWindow, SetupDialogErrorLeavesOpeningDisabled) {
    SetSetupDialogHook([](TCustomComPort &) -> bool { throw EComPort(peEnumPorts); });
    Click(*Form, "Button_Settings");
    EXPECT_EQ(Errors.size(), 1);
    EXPECT_FALSE(Control(*Form, "Button_Open")->isEnabled());
}

} // namespace

namespace {

// A picture of the window after a short exchange, for the README. It lands beside the test
// program; with DUD_UPDATE_SCREENSHOT=1 it also replaces docs/window.png.
TEST_F(ScriptedWindow, ScreenshotAfterAShortExchange) {
    Open();
    Click(*Form, "alad");
    Far.Send("stop*");
    ASSERT_TRUE(WaitFor([&] { return TopLine(*Form).endsWith("(stop*)"); }));
    Click(*Form, "checkb1");
    Click(*Form, "Button4");
    Far.Send("&110*");
    ASSERT_TRUE(WaitFor([&] { return TopLine(*Form).endsWith("(&110*)"); }));
    Click(*Form, "Button1");
    Far.Send("2*");
    ASSERT_TRUE(WaitFor([&] { return TopLine(*Form).endsWith("(2*)"); }));

    const QImage Picture = Form->grab().toImage();
    EXPECT_EQ(Picture.size(), QSize(679, 450));
    EXPECT_TRUE(Picture.save(QDir::current().filePath("window.png")));
    if (qEnvironmentVariable("DUD_UPDATE_SCREENSHOT") == "1") {
        EXPECT_TRUE(Picture.save(QStringLiteral(DUD_SOURCE_DIR "/docs/window.png")));
    }
}

} // namespace
