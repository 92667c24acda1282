// What the window tests share: the application object, a stand-in for the setup dialog, and
// readers of the window's console and lamps. The pseudo-terminal pair and the leak check are the
// shared test support's.
#pragma once

#include "app/ComMainForm.h"
#include "app/LampShape.h"
#include "tests/support/Leaks.h"
#include "tests/support/Pty.h"

#include <QColor>
#include <QStringList>
#include <QTest>

#include <string>

inline constexpr int WaitLimitMs = 10000;

// Colours of the lamps and of the console's lines.
inline const QColor White(255, 255, 255), Red(255, 0, 0), Green(0, 128, 0), Yellow(255, 255, 0),
    Magenta(255, 0, 255);

inline QString U(const char *Utf8) {
    return QString::fromUtf8(Utf8);
}

// Waits, running the event loop, until Condition holds; false after the limit.
template <class TCondition> bool WaitFor(TCondition Condition, int LimitMs = WaitLimitMs) {
    return QTest::qWaitFor(Condition, LimitMs);
}

// Makes "Nastavit port" choose PortName, as the operator would in the setup dialog; restores the
// previous dialog when it goes.
class TFakeSetupDialog {
public:
    explicit TFakeSetupDialog(std::string PortName);
    ~TFakeSetupDialog();
    int Runs() const { return FRuns; }

private:
    std::string FPortName;
    int FRuns = 0;
};

template <class T = QWidget> T *Control(const TForm1 &Form, const char *Name) {
    return Form.findChild<T *>(QString::fromLatin1(Name));
}

// The console's lines, newest first.
QStringList ConsoleLines(const TForm1 &Form);
QString TopLine(const TForm1 &Form);
// The colour at a lamp's centre in a picture of the whole window, as the operator sees it.
QColor LampColour(const TForm1 &Form, const char *Lamp);
// What a screen reader reads for a control: its accessible name (a button's caption without the
// mark of its mnemonic letter) or its description.
QString AccessibleName(const QWidget *Widget);
QString AccessibleDescription(const QWidget *Widget);
// Clicks a control with the mouse at its centre.
void Click(const TForm1 &Form, const char *Name);
