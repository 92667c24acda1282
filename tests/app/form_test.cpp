// The window as the operator first sees it: controls, their places and texts, tab order, the
// start state, and the application's handling of an error that escapes an event.
#include "support/WindowHarness.h"

#include "app/AppPlatform.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QSpinBox>

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <vector>

namespace {

QString U(const char *Utf8) {
    return QString::fromUtf8(Utf8);
}

QString TextOf(const QWidget *Widget) {
    if (qobject_cast<const QAbstractButton *>(Widget))
        return AccessibleName(Widget);
    if (auto *Label = qobject_cast<const QLabel *>(Widget))
        return Label->text();
    if (auto *Box = qobject_cast<const QGroupBox *>(Widget))
        return Box->title();
    if (auto *Combo = qobject_cast<const QComboBox *>(Widget))
        return Combo->currentText();
    return {};
}

TEST(Form, ControlsSitWhereTheFormPutsThem) {
    TForm1 Form;
    struct TRow {
        const char *Name, *Class, *Parent;
        int Left, Top, Width, Height; // 0: sized to the text
        const char *Text;
    };
    const TRow Rows[] = {
        {"Button_Settings", "QPushButton", "Form1", 8, 8, 201, 25, "Nastavit port"},
        {"Button_Open", "QPushButton", "Form1", 216, 8, 201, 25, "Otevřít port"},
        {"MsgR", "TConsoleView", "Form1", 0, 56, 417, 169, ""},
        {"GroupBox2", "QGroupBox", "Form1", 424, 0, 241, 225, "IO - Stav"},
        {"AL1", "TLampShape", "GroupBox2", 48, 40, 33, 33, ""},
        {"RL3", "TLampShape", "GroupBox2", 192, 80, 33, 33, ""},
        {"TL1", "TLampShape", "GroupBox2", 192, 136, 33, 33, ""},
        {"IL5", "TLampShape", "GroupBox2", 144, 192, 25, 25, ""},
        {"Label10", "QLabel", "GroupBox2", 144, 144, 0, 0, "Poplach"},
        {"CtrlGB", "QGroupBox", "Form1", 0, 232, 665, 185, "Ovládání IO"},
        {"Bevel4", "QFrame", "CtrlGB", 456, 88, 201, 73, ""},
        {"cmde1", "QComboBox", "CtrlGB", 56, 32, 57, 21, "Zapni"},
        {"cmde2", "QComboBox", "CtrlGB", 160, 32, 57, 21, "1"},
        {"checkb1", "QCheckBox", "CtrlGB", 240, 32, 113, 17, "jen na určitou dobu:"},
        {"cmde3", "QSpinBox", "CtrlGB", 256, 48, 73, 22, ""},
        {"Button4", "QPushButton", "CtrlGB", 368, 32, 65, 41, "Proveď"},
        {"Label15", "QLabel", "CtrlGB", 472, 40, 0, 0, " ALARM "},
        {"alad", "QRadioButton", "CtrlGB", 560, 56, 97, 17, "NEAKTIVNÍ"},
        {"chb2", "QCheckBox", "CtrlGB", 264, 104, 121, 17, "Deaktivaci vstupů"},
        {"Button2", "QPushButton", "CtrlGB", 248, 128, 121, 25, "Stav vstupů / Alarmu ?"},
        {"Edit_Data", "QLineEdit", "CtrlGB", 512, 100, 113, 21, ""},
        {"Button_Send", "QPushButton", "CtrlGB", 512, 128, 115, 25, "Odešli ruční příkaz"},
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(Row.Name);
        const QWidget *Widget = Control(Form, Row.Name);
        ASSERT_NE(Widget, nullptr);
        EXPECT_STREQ(Widget->metaObject()->className(), Row.Class);
        EXPECT_EQ(Widget->parentWidget()->objectName(), QString::fromLatin1(Row.Parent));
        EXPECT_EQ(Widget->pos(), QPoint(Row.Left, Row.Top));
        if (Row.Width > 0) {
            EXPECT_EQ(Widget->size(), QSize(Row.Width, Row.Height));
        }
        EXPECT_EQ(TextOf(Widget), U(Row.Text));
    }
    EXPECT_EQ(Form.size(), QSize(679, 450));
    EXPECT_TRUE(Form.windowTitle().startsWith(U("DUD Ovuz Kontroler")));
}

TEST(Form, StartsClosedWithWhiteLampsUntilTheFirstConsoleLine) {
    TForm1 Form;
    Form.show();
    EXPECT_FALSE(Control(Form, "Button_Open")->isEnabled());
    EXPECT_FALSE(Control(Form, "CtrlGB")->isEnabled());
    EXPECT_FALSE(Control(Form, "Label10")->isEnabled());
    EXPECT_TRUE(Control<QAbstractButton>(Form, "alac")->isChecked());
    const auto *Seconds = Control<QSpinBox>(Form, "cmde3");
    EXPECT_EQ(std::make_tuple(Seconds->value(), Seconds->minimum(), Seconds->maximum()),
              std::make_tuple(1, 1, 999999));
    // The alarm starts armed, yet ON stays white: only a console line colours the lamps.
    for (const char *Lamp : {"AL1", "AL2", "RL1", "IL1", "TL1"})
        EXPECT_EQ(LampColour(Form, Lamp).name(), QStringLiteral("#ffffff")) << Lamp;
    EXPECT_EQ(AccessibleName(Control(Form, "AL1")), U("Alarm ON: nesvítí"));
    ASSERT_NE(Rele, nullptr);
    Rele->WriteMsg("Zkouška", mkCmd);
    EXPECT_EQ(LampColour(Form, "AL1").name(), QStringLiteral("#008000"));
    EXPECT_EQ(AccessibleName(Control(Form, "AL1")), U("Alarm ON: svítí"));
    EXPECT_EQ(LampColour(Form, "AL2").name(), QStringLiteral("#ffffff"));
    EXPECT_EQ(TopLine(Form), U("CMD >Zkouška"));
}

// The form's position holds where the whole window fits on the screen there; elsewhere (a small
// screen, or a large scale factor: 1280x800 at twice the scale) the window manager places it.
TEST(Form, TakesItsPositionOnlyWhereTheScreenHasRoomForIt) {
    TForm1 Form;
    const struct {
        QRect Available;
        bool Placed;
    } Rows[] = {{{0, 0, 1920, 1050}, true}, {{0, 0, 640, 400}, false}, {{0, 0, 800, 600}, false}};
    for (const auto &Row : Rows) {
        const std::optional<QPoint> Position = TForm1::FirstPosition(Form.size(), Row.Available);
        EXPECT_EQ(Position.has_value(), Row.Placed) << Row.Available.width();
        if (Position) {
            EXPECT_EQ(*Position, QPoint(191, 107));
        }
    }
    const bool Fits = TForm1::FirstPosition(Form.size(), Form.screen()->availableGeometry()).has_value();
    EXPECT_EQ(Form.testAttribute(Qt::WA_Moved), Fits);
}

// Made larger, the console takes all the extra room and the groups beside and below it move along;
// back at the form's size, everything is where the form put it; smaller is not allowed.
TEST(Form, ResizingGrowsTheConsoleOnly) {
    TForm1 Form;
    Form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form));
    const QSize Default = Form.size();
    EXPECT_EQ(Form.minimumSize(), Default);
    std::vector<std::pair<QWidget *, QRect>> AtDefault;
    for (QWidget *Child : Form.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        AtDefault.emplace_back(Child, Child->geometry());
    const QSize Extra(120, 80);
    const auto Expected = [&](const QWidget *Child, QRect Rect) {
        if (Child->objectName() == "MsgR")
            return Rect.adjusted(0, 0, Extra.width(), Extra.height());
        if (Child->objectName() == "GroupBox2")
            return Rect.translated(Extra.width(), 0);
        if (Child->objectName() == "CtrlGB")
            return Rect.translated(0, Extra.height());
        return Rect;
    };
    Form.resize(Default + Extra);
    ASSERT_TRUE(WaitFor([&] { return Form.size() == Default + Extra; }));
    for (const auto &[Child, Rect] : AtDefault)
        EXPECT_EQ(Child->geometry(), Expected(Child, Rect)) << Child->objectName().toStdString();
    Form.resize(Default);
    ASSERT_TRUE(WaitFor([&] { return Form.size() == Default; }));
    for (const auto &[Child, Rect] : AtDefault)
        EXPECT_EQ(Child->geometry(), Rect) << Child->objectName().toStdString();
}

// Alt and a letter press each button and check box: no two share the letter.
TEST(Form, EveryButtonHasAMnemonicOfItsOwn) {
    TForm1 Form;
    QList<QKeySequence> Seen;
    for (const QAbstractButton *Button : Form.findChildren<QAbstractButton *>()) {
        const QKeySequence Key = QKeySequence::mnemonic(Button->text());
        EXPECT_FALSE(Key.isEmpty()) << Button->objectName().toStdString();
        EXPECT_FALSE(Seen.contains(Key)) << Button->objectName().toStdString();
        Seen << Key;
    }
}

// On a dark desktop theme the console and the lamps keep the white their colours are meant for,
// and a plain console line stays dark on it.
TEST(Form, ConsoleAndLampsStayWhiteUnderADarkTheme) {
    const QPalette Theme = QApplication::palette();
    QApplication::setPalette(QPalette(QColor(40, 40, 40)));
    TForm1 Form;
    Form.show();
    const auto *Console = Control<QAbstractScrollArea>(Form, "MsgR");
    const QImage Picture = Form.grab().toImage();
    const auto At = [&](const QWidget *Widget, QPoint Point) {
        return Picture.pixelColor(Widget->mapTo(&Form, Point)).name();
    };
    EXPECT_EQ(At(Console->viewport(), Console->viewport()->rect().center()), QStringLiteral("#ffffff"));
    for (const char *Lamp : {"AL1", "IL5"})
        EXPECT_EQ(At(Control(Form, Lamp), QPoint(0, 0)), QStringLiteral("#ffffff")) << Lamp;
    EXPECT_EQ(Console->palette().color(QPalette::Text), QColor(Qt::black));
    QApplication::setPalette(Theme);
}

TEST(Form, TabOrderFollowsTheForm) {
    TForm1 Form;
    Control(Form, "CtrlGB")->setEnabled(true);
    Control(Form, "Button_Open")->setEnabled(true);
    const QStringList Expected = {
        "Button_Open", "Button_Settings", "Edit_Data", "Button_Send", "cmde1", "cmde2", "chb2",    "chb1",
        "Button1",     "Button2",         "cmde3",     "Button4",     "alac",  "alad",  "checkb1", "MsgR"};
    QStringList Order;
    QWidget *Widget = Control(Form, "Button_Open");
    for (int I = 0; I < Expected.size(); ++I) {
        Order << Widget->objectName();
        do
            Widget = Widget->nextInFocusChain();
        while (!(Widget->focusPolicy() & Qt::TabFocus) || Widget->objectName().isEmpty() ||
               Widget->objectName().startsWith("qt_"));
    }
    EXPECT_EQ(Order, Expected);
}

TEST(Form, ErrorThatEscapesAnEventIsShownAndTheProgramGoesOn) {
    QStringList Shown;
    const TApplicationErrorSink Old =
        SetApplicationErrorSink([&](const QString &Message) { Shown << Message; });
    class TThrower : public QObject {
        bool event(QEvent *) override { throw std::runtime_error("kaput"); }
    } Thrower;
    QEvent Event(QEvent::User);
    QApplication::sendEvent(&Thrower, &Event);
    SetApplicationErrorSink(Old);
    EXPECT_EQ(Shown, QStringList{"kaput"});
}

} // namespace
