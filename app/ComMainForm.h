// The panel's one window: the operator's clicks become relay controller calls, the bytes that the
// port receives are gathered into answers for the controller, and the lamps show what the
// controller believes about the board. The title names the open port. A device that goes away
// (the driver's hang-up) is handed to the port keeper (relay/PortKeeper.h), which closes the port,
// waits for the device or retries the network port's far end and opens it again; the window only
// wires it to the event loop (PortKeeperQt.h) and tells it when the operator opens or closes the
// port or the setup dialog names another one, which ends a wait.
//
// The port and line settings chosen in the setup dialog can be kept between runs in a settings
// file (relay/PanelSettings.h): UseSettingsFile loads it and makes every accepted dialog save it.
//
// The handlers keep the names of the form's controls. Those that the operator triggers take the
// control as Sender; called without one (Sender null) they skip redrawing the lamps, which lets a
// caller chain several actions and redraw once. Everything here runs on the main thread: the port
// hands its events over to it (see serial/port/ComPort.h).
#pragma once

#include "ConsoleBox.h"
#include "SessionLog.h"
#include "relay/AnswerGatherer.h"
#include "relay/ReleUnit.h"
#include "serial/port/ComPort.h"

#include <QWidget>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class TPortKeeper;
class TPortKeeperQt;

namespace Ui {
class TForm1;
}

class TForm1 : public QWidget {
    Q_OBJECT

public:
    explicit TForm1(QWidget *Parent = nullptr);
    ~TForm1() override;

    // The port component stored with the window; it lives exactly as long as the window.
    TComPort &ComPort() const { return *FComPort; }
    // The relay command that "Proveď" sends, from the current state of the relay row.
    std::string RelayCommand() const;
    // Loads the port's settings from File, if it holds any, and saves them there whenever the
    // setup dialog is accepted. A remembered port enables "Otevřít port". A file that cannot be
    // read or makes no sense is left alone with one console line; a missing one says nothing.
    void UseSettingsFile(std::filesystem::path File);
    // The port for this run (the command line's --port): enables "Otevřít port"; the settings
    // file keeps what the setup dialog chose. The setup dialog offers it, with the ports the
    // settings file remembers (relay/PortHistory.h).
    void UsePort(const std::string &Name);
    // Waiting for a lost device to come back, or retrying a lost network port.
    bool WatchingForDevice() const;
    // The delays before the attempts to reach a lost network port: First, then twice the one
    // before, never longer than Longest.
    void SetReconnectDelays(std::chrono::milliseconds First, std::chrono::milliseconds Longest);

    void FormCreate(QObject *Sender);
    void Button_SettingsClick(QObject *Sender);
    void Button_OpenClick(QObject *Sender);
    void Button4Click(QObject *Sender);
    void chb1Click(QObject *Sender);
    void chb2Click(QObject *Sender);
    void Button1Click(QObject *Sender);
    void Button2Click(QObject *Sender);
    void alacClick(QObject *Sender);
    void aladClick(QObject *Sender);
    void Button_SendClick(QObject *Sender);
    void MsgRChange(QObject *Sender);

    void ComPortOpen(TCustomComPort &Sender);
    void ComPortClose(TCustomComPort &Sender);
    void ComPortRxChar(TCustomComPort &Sender, std::int32_t Count);
    void ComPortError(TCustomComPort &Sender, TComErrors Errors);

    // Colours every lamp from the controller's state and gives it a name and description that
    // say that state, for screen readers.
    void UpdateDiods();

    TSessionLog &SessionLog() const { return *FSessionLog; }
    // Asks the desktop to draw the operator's eye to Window (the task bar entry flashes) when an
    // answer raises the alarm. Tests put a recorder here.
    std::function<void(QWidget *Window)> AskForAttention;

    // Where the window first goes on a screen whose free area is Available: the form's own
    // position when the whole window fits there, else none (the window manager places it).
    static std::optional<QPoint> FirstPosition(const QSize &Size, const QRect &Available);

protected:
    // Enter that no control took presses the focused button, or else "Odešli ruční příkaz".
    void keyPressEvent(QKeyEvent *Event) override;
    // Larger than the form, the console takes the extra room; the groups beside and below it move
    // along. The window is never smaller than the form.
    void resizeEvent(QResizeEvent *Event) override;

private:
    void LoadComPort();
    void ConnectHandlers();
    void ApplyFonts();
    void ApplyFixedColours();
    void RedrawOnError(void (TForm1::*Handler)(QObject *), QObject *Sender);
    void AfterHandler(QObject *Sender);
    int StateIndex() const;
    int DurationValue() const;
    void ShowTitle();
    void SaveSettings();
    void ShowLamps(const TRele *State);
    void KeepFormGeometry();

    std::unique_ptr<Ui::TForm1> ui;
    std::unique_ptr<TConsoleBox> FConsole;
    std::unique_ptr<TSessionLog> FSessionLog;
    std::unique_ptr<TRele> FRele;
    // Declared after those so that it goes before them: closing the port may still deliver events
    // that reach the console and the controller.
    std::unique_ptr<TComPort> FComPort;
    // After the port and the controller, which it borrows; its driver goes before it.
    std::unique_ptr<TPortKeeper> FKeeper;
    std::unique_ptr<TPortKeeperQt> FKeeperDriver;
    bool FDestroying = false;
    std::filesystem::path FSettingsFile;
    std::string FRunPort; // UsePort's
    // The form's own geometry, which resizing starts from.
    struct TFormGeometry {
        QSize Window;
        QRect Console, Beside, Below;
    } FForm;
};

// The window's title: the program's name and whom to ask for help.
extern const char *const MainWindowTitle;

// The program-wide values the window keeps outside itself: the one controller (null until a
// window's FormCreate has run, and again once that window is gone) and the receive buffer, which
// gathers received bytes (Windows-1250) into answers.
extern TRele *Rele;
extern TAnswerGatherer RxBuffer;
extern TForm1 *Form1;
