// What the window tests share: the application object, a pseudo-terminal pair whose far end the
// test plays, a stand-in for the setup dialog, and readers of the window's console and lamps.
#pragma once

#include "app/ComMainForm.h"
#include "app/LampShape.h"

#include <QColor>
#include <QStringList>
#include <QTest>

#include <chrono>
#include <string>
#include <string_view>

inline constexpr int WaitLimitMs = 10000;

// Waits, running the event loop, until Condition holds; false after the limit.
template <class TCondition> bool WaitFor(TCondition Condition, int LimitMs = WaitLimitMs) {
    return QTest::qWaitFor(Condition, LimitMs);
}

// A pseudo-terminal pair. The test keeps the far (master) end; the panel opens the near end by
// path. The test also holds the near end open so that the far end stays usable across the
// panel's closes.
class TPtyPair {
public:
    TPtyPair();
    ~TPtyPair();
    TPtyPair(const TPtyPair &) = delete;
    TPtyPair &operator=(const TPtyPair &) = delete;

    bool Valid() const { return FMaster >= 0; }
    const std::string &NearPath() const { return FNearPath; }
    void Send(std::string_view Bytes) const;
    // Reads until Count bytes have come or the limit has passed; what came.
    std::string Receive(std::size_t Count, int LimitMs = WaitLimitMs) const;
    // What has come and not yet been read, without waiting.
    std::string Pending() const;

private:
    int FMaster = -1;
    int FNear = -1;
    std::string FNearPath;
};

// False while the default serial driver cannot open devices at all (ENOSYS).
bool DriverOpensDevices(const std::string &Path);

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

// The console's lines, newest first, without the empty line after the last.
QStringList ConsoleLines(const TForm1 &Form);
QString TopLine(const TForm1 &Form);
// The colour at a lamp's centre in a picture of the whole window, as the operator sees it.
QColor LampColour(const TForm1 &Form, const char *Lamp);
// Clicks a control with the mouse at its centre.
void Click(const TForm1 &Form, const char *Name);

// Counts of open descriptors and threads of this process, for leak checks.
int OpenDescriptors();
int Threads();
