// The relay controller: the one object that knows the board.
//
// TRele checks, describes and sends every command, reads every answer the board sends back, and
// keeps what both imply about the board (relays, inputs, alarm) so the window can show it. It
// writes one Czech line per command or answer at the top of the command console. It never throws
// on its own account: a refused command becomes a red "ERR >" line and nothing goes out; a bad
// answer becomes a maroon "IO  >" line that quotes it. The only errors that leave it are the port's
// own (EComPort) from a failed write or from the setup dialog, which the caller reports. A failed
// write takes the command's relay changes back before its error leaves.
//
// Texts: everything handed to the console is UTF-8. Commands and answers are the bytes of the
// serial line, Windows-1250; where a line quotes them they are decoded first. A command typed by
// hand must be encoded to Windows-1250 by the caller (Utf8ToCp1250) before SendCmd.
//
// Thread safety: none. Every call, including ProcessRespond from the receive path, runs on the
// main thread; the port's event thread must never call in.
#pragma once

#include "relay/Console.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

class TCustomComPort;
class EComPort;

enum TMsgKind : std::uint8_t { mkCmd, mkIO, mkErr };

// What SendCmd did with a command. 5 is unused; the numbers are part of the interface.
enum TCmdClass : std::uint8_t {
    ccRelay = 0,
    ccRelayTimed = 1,
    ccAlarmOn = 2,
    ccAlarmOff = 3,
    ccConfig = 4,
    ccQuery = 6,
    ccRejected = 7,
};

enum TRespondKind : std::uint8_t {
    rkInputs,
    rkInputOff,
    rkRun,
    rkStop,
    rkResetMode,
    rkRespondMode,
    rkPushBtn,
    rkTimer,
    rkNoAlert,
    rkAlert,
    rkUnknown,
};

// Why a port could not be opened, for the operator, in Czech: the port's name and the common
// causes (no such device, in use, no permission, not a serial device, a network server that broke
// its Telnet), else the system's text. A very long name is cut short.
std::string OpenFailureReason(const std::string &PortName, const EComPort &Error);

// The prefix and colour of each kind of console line.
const char *MsgKindPrefix(TMsgKind Kind) noexcept;
TColor MsgKindColour(TMsgKind Kind) noexcept;

// Six flags numbered 1 to 6, as the board numbers its relays and inputs. Any other number is a
// programming error and throws std::out_of_range rather than touching a neighbour.
class TBoardFlags {
public:
    bool operator[](int N) const { return FFlags.at(Index(N)); }
    bool &operator[](int N) { return FFlags.at(Index(N)); }
    bool operator==(const TBoardFlags &) const = default;

    static constexpr int First = 1;
    static constexpr int Last = 6;

private:
    static std::size_t Index(int N) { return static_cast<std::size_t>(N - First); }
    std::array<bool, Last> FFlags{};
};

class TRele {
public:
    // Console and port are borrowed, not owned; either may be absent. Without a port, commands
    // are still checked, described and classified, and nothing is sent.
    explicit TRele(TConsole *AConsole, TCustomComPort *AComPort = nullptr);

    TCustomComPort *ComPort = nullptr;
    TConsole *Console = nullptr;

    // What the controller believes about the board. Relays change when a relay command is sent,
    // not when the board confirms it; answers change the rest.
    TBoardFlags Relays;
    TBoardFlags Inputs;
    bool AlarmActive = true;
    bool AlarmTriggered = false;

    // Inserts prefix + Text as the new first console line in the kind's colour. If the console
    // fails, shows "ERROR - unable to write to RichText box" and returns normally.
    void WriteMsg(const std::string &Text, TMsgKind Kind);
    // "COM > " + Text, a line about the connection, in the console's own colour; fails as WriteMsg.
    void WriteComMsg(const std::string &Text);

    // Checks, describes and, with a port, sends Cmd unchanged. A write failure of the port
    // (EComPort) leaves this call after the description line has been written, with Relays as
    // they were before the command.
    TCmdClass SendCmd(const std::string &Cmd);

    TCmdClass AlarmOn();
    TCmdClass AlarmOff();
    // Board reports of timer expiry on or off.
    void SetRespondMode(bool On);
    // Board reports of input deactivation on or off.
    void SetResetMode(bool On);

    // Runs the port's setup dialog; its errors are not caught. True when the operator accepted.
    bool ShowPortSetup();
    // Forces the board's line settings (4800 8N1), names the port and opens it. A failing step
    // is reported on the console, with a second line that gives the reason when the port said
    // why (OpenFailureReason); the settings made before it stay made.
    void OpenComPort(const std::string &PortName);

    // Interprets one complete answer (its final "*" included) and reports it on the console.
    TRespondKind ProcessRespond(const std::string &Respond);

    // One default beep for an alarm raised by input Input; the number does not change the sound.
    void AlarmBeep(int Input);

private:
    void WriteOrTakeBack(const std::string &Cmd, const TBoardFlags &RelaysBefore);
    TCmdClass Classify(const std::string &Cmd, std::string &Description);
    TCmdClass DescribeRelayCmd(const std::string &Cmd, std::string &Description);
    std::optional<std::string> Interpret(TRespondKind Kind, const std::string &Respond);
    std::string InterpretInputs(const std::string &Respond);
    std::string InterpretAlarmSwitch(const std::string &Respond, const char *Expected, bool Armed,
                                     const char *Meaning, const char *What);
    std::string InterpretTimer(const std::string &Respond);
    std::string InterpretNoAlert(const std::string &Respond);
    std::optional<std::string> InterpretAlert(const std::string &Respond);
};
