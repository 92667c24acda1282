// The panel against the relay-board simulator, each in its own process, as an operator would use
// them: the port is chosen in the real setup dialog (which lists only the simulator's port), and
// every command goes out through the window's own buttons, boxes and keys. What the console and the
// lamps show is checked against what the board reports and what it says its state is.
#include "support/WindowHarness.h"

#include "relay/PlatformHooks.h"
#include "serial/port/ComPlatform.h"
#include "serial/setup/CPortCtl.h"
#include "serial/setup/CPortSetup.h"
#include "tests/tools/support/SimProcess.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A sysfs tree with no serial ports, so the setup dialog lists only what EXTRA_SERIAL_PORTS names
// and a machine's own ports (ttyS0 may be its console) are never offered, let alone opened.
class TNoSystemPorts {
public:
    TNoSystemPorts() : FRoot(fs::temp_directory_path() / ("e2e-sysfs." + std::to_string(::getpid()))) {
        fs::create_directories(FRoot / "class" / "tty");
        SetComPortSysfsRoot(FRoot);
    }
    ~TNoSystemPorts() {
        SetComPortSysfsRoot("/sys");
        std::error_code Ignored;
        fs::remove_all(FRoot, Ignored);
    }

private:
    fs::path FRoot;
};

class PanelWithSimulator : public testing::Test {
protected:
    void SetUp() override {
        // One board second lasts 100 ms, so a two-second relay runs out in a fifth of a second.
        Sim = std::make_unique<simtest::TSimProcess>(std::vector<std::string>{"--second", "100"}, false);
        PortPath = Sim->ReadOutputLine();
        ASSERT_TRUE(PortPath.starts_with("/dev/")) << "the simulator printed \"" << PortPath << "\"";
        qputenv("EXTRA_SERIAL_PORTS", QByteArray::fromStdString(PortPath));
        OldBeep = SetBeepHook([this] { ++Beeps; });
        RxBuffer.Clear();
        Form = std::make_unique<TForm1>();
        Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    }
    void TearDown() override {
        Form.reset(); // closes the port while the simulator still runs
        SetSetupDialogHook(nullptr);
        SetBeepHook(OldBeep);
        qunsetenv("EXTRA_SERIAL_PORTS");
        // The board outlives the panel's hang-up and stops cleanly at the end of its input.
        if (Sim) {
            Sim->CloseInput();
            EXPECT_EQ(Sim->Wait(), 0) << Sim->Errors();
        }
        Sim.reset();
    }

    // "Nastavit port" with the real dialog: the operator picks the first listed port with the
    // keyboard and presses OK.
    void ChoosePortInTheDialog() {
        SetSetupDialogHook([this](TCustomComPort &Port) {
            return ExecutePortSetup(Port, [this](TComSetupFrm &Dialog) {
                for (int I = 0; I < Dialog.Combo1->count(); ++I)
                    Listed << Dialog.Combo1->itemText(I);
                Dialog.Combo1->setFocus();
                QTest::keyClick(Dialog.Combo1, Qt::Key_Down);
                QTest::mouseClick(Dialog.Button1, Qt::LeftButton);
            });
        });
        Click(*Form, "Button_Settings");
    }

    // Waits for the console to reach the next expected line, then compares every line so far,
    // oldest first: a line that is missing, changed or extra shows up here.
    testing::AssertionResult Shows(const char *Line) {
        Expected << U(Line);
        const bool Came = WaitFor([&] { return ConsoleLines(*Form).size() >= Expected.size(); });
        QStringList Shown = ConsoleLines(*Form);
        std::reverse(Shown.begin(), Shown.end());
        if (Came && Shown.mid(0, Expected.size()) == Expected)
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "expected last \"" << Line << "\", console (oldest first):\n  "
                                           << Shown.join("\n  ").toStdString();
    }

    void ExpectLamps(std::initializer_list<std::pair<const char *, QColor>> Lamps) {
        for (const auto &[Lamp, Colour] : Lamps)
            EXPECT_EQ(LampColour(*Form, Lamp).name().toStdString(), Colour.name().toStdString()) << Lamp;
    }

    // Replaces the text of a field as the operator does: select all, delete, type.
    void Type(const char *Name, const char *Text) {
        QWidget *Field = Control(*Form, Name);
        if (auto *Combo = qobject_cast<QComboBox *>(Field))
            Field = Combo->lineEdit();
        else if (qobject_cast<QSpinBox *>(Field))
            Field = Field->findChild<QLineEdit *>();
        Field->setFocus();
        QTest::keyClick(Field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(Field, Qt::Key_Delete);
        QTest::keyClicks(Field, QString::fromLatin1(Text));
    }

    std::unique_ptr<simtest::TSimProcess> Sim;
    std::string PortPath;
    TNoSystemPorts NoSystemPorts;
    std::unique_ptr<TForm1> Form;
    QStringList Listed, Expected;
    int Beeps = 0;
    TBeepHook OldBeep;
};

TEST_F(PanelWithSimulator, ConsoleAndLampsFollowWhatTheBoardDid) {
    ChoosePortInTheDialog();
    EXPECT_EQ(Listed, QStringList{QString::fromStdString(PortPath).mid(5)});
    Click(*Form, "Button_Open");
    ASSERT_TRUE(Shows("COM > Port úspěšně otevřen."));
    ASSERT_TRUE(Shows(("COM > Otevřený port: " + Form->ComPort().Port()).c_str()));
    EXPECT_EQ(AccessibleName(Control(*Form, "Button_Open")), U("Zavři port"));

    // Board and panel both start armed: disarming and arming again shows each answer recolouring
    // the alarm lamps.
    Click(*Form, "alad");
    ASSERT_TRUE(Shows("CMD >Vypínám alarm..."));
    ASSERT_TRUE(Shows("IO  >Alarm byl vypnut.(stop*)"));
    ExpectLamps({{"AL1", White}, {"AL2", Yellow}});
    Click(*Form, "alac");
    ASSERT_TRUE(Shows("CMD >Zapínám alarm..."));
    ASSERT_TRUE(Shows("IO  >Alarm je spuštěn.(running*)"));
    ExpectLamps({{"AL1", Green}, {"AL2", White}});

    Click(*Form, "chb1");
    ASSERT_TRUE(Shows("CMD >Zapínám funkci \"Oznamování vypršení časovače\"..."));
    ASSERT_TRUE(Shows("IO  >Aktivován režim informování o vypršení časovače.(C1=1*)"));

    // Relays 1 and 2 for good, then relay 3 for two seconds: its lamp goes red at once and back
    // to white when the board reports that the timer switched it over.
    Type("cmde2", "12");
    Click(*Form, "Button4");
    ASSERT_TRUE(Shows("CMD >Požadavek na  zapnutí  Relé č,1,2."));
    Type("cmde2", "3");
    Type("cmde3", "2");
    Click(*Form, "checkb1");
    Click(*Form, "Button4");
    ExpectLamps({{"RL1", Red}, {"RL2", Red}, {"RL3", Red}});
    ASSERT_TRUE(Shows("CMD >Požadavek na  zapnutí  Relé č,3 na dobu 2 sekund."));
    ASSERT_TRUE(Shows("IO  >Časovač přepnul Relé č.3.(T3*)"));
    ExpectLamps({{"RL1", Red}, {"RL2", Red}, {"RL3", White}});
    // The board read both commands before it could report the timer.
    EXPECT_TRUE(Sim->Control("state").starts_with("relays=110000 ")) << Sim->Control("state");

    // Input 2 goes active at the board while the alarm is armed: it raises the alarm by itself.
    Sim->Control("input 2 on");
    ASSERT_TRUE(Shows("IO  >Poplach aktivován sepnutím vstupu č.2*(2*)"));
    ExpectLamps({{"TL1", Magenta}});
    Click(*Form, "Button2");
    ASSERT_TRUE(Shows("CMD >Zjišťuji stav vstupů 1-3..."));
    ASSERT_TRUE(Shows("IO  >Stav vstupů načten.(&010*)"));
    ExpectLamps({{"IL1", White}, {"IL2", Red}, {"IL3", White}});
    Click(*Form, "Button1");
    ASSERT_TRUE(Shows("CMD >Zjišťuji poplach na vstupech 1-3 (Alarm aktivován !)."));
    ASSERT_TRUE(Shows("IO  >Poplach aktivován sepnutím vstupu č.2*(2*)"));
    EXPECT_EQ(Beeps, 2);

    Click(*Form, "chb2");
    ASSERT_TRUE(Shows("CMD >Zapínám \"Oznamování deaktivace vstupů\"..."));
    ASSERT_TRUE(Shows("IO  >Aktivován režim informování o deaktivaci vstupů.(L=Y*)"));
    Sim->Control("input 2 off");
    ASSERT_TRUE(Shows("IO  >Vypnutí vstupu č.2(B*)"));
    ExpectLamps({{"IL2", White}});

    // A typed command goes out on Enter; disarming forgets the input that raised the alarm.
    Type("Edit_Data", "RUN=0s");
    QTest::keyClick(Control(*Form, "Edit_Data"), Qt::Key_Return);
    ASSERT_TRUE(Shows("CMD >Vypínám alarm..."));
    ASSERT_TRUE(Shows("IO  >Alarm byl vypnut.(stop*)"));
    Click(*Form, "Button1");
    ASSERT_TRUE(Shows("CMD >Zjišťuji poplach na vstupech (Alarm nesepnut - dotaz je nejspíš irelevantní)."));
    ASSERT_TRUE(Shows("IO  >Poplach není aktivován.(*)"));
    ExpectLamps({{"AL1", White}, {"AL2", Yellow}, {"TL1", White}});

    // The board's own TEST button arms the alarm again.
    Sim->Control("test on");
    ASSERT_TRUE(Shows("IO  >Alarm byl aktivován ručně.(TEST=Y*)"));
    ExpectLamps({{"AL1", Green}, {"AL2", White}, {"RL1", Red}, {"RL2", Red}, {"RL3", White}});
    const std::string Board = Sim->Control("state");
    EXPECT_TRUE(Board.starts_with("relays=110000 inputs=000000 alarm=armed trigger=0 ")) << Board;
    EXPECT_EQ(ConsoleLines(*Form).size(), Expected.size());
    EXPECT_EQ(Beeps, 2);

    // A picture of this exchange for the README, taken only when asked for.
    if (qEnvironmentVariable("DUD_UPDATE_SCREENSHOT") == "1") {
        EXPECT_TRUE(Form->grab().toImage().save(QStringLiteral(DUD_SOURCE_DIR "/docs/panel-with-sim.png")));
    }
}

} // namespace
