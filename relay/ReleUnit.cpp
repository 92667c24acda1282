// The relay controller. The command table, the relay command reader and the answer table are
// the board's protocol; their texts are the operator's and must stay character for character.
#include "relay/ReleUnit.h"

#include "i18n/SystemText.h"
#include "relay/CodePage1250.h"
#include "relay/ComPortLink.h"
#include "relay/DecimalInt.h"
#include "relay/PlatformHooks.h"
#include "serial/driver/posix/NetComDriver.h"
#include "serial/driver/posix/NetConnect.h"
#include "serial/port/ComError.h"

#include <cerrno>
#include <optional>

namespace {

const std::string NoPortLink = "ERROR - No ComPort component link present.";
const std::string BadCommand = "ERROR - Empty or unterminated command.";

struct TFixedCmd {
    const char *Cmd;
    const char *Description;
    TCmdClass Class;
};

// Compared as whole texts, case-sensitive, before the relay command row: "RUN=1s" also starts
// with "R" and must not be read as a relay command.
const TFixedCmd FixedCmds[] = {
    {"RUN=1s", "Zapínám alarm...", ccAlarmOn},
    {"RUN=0s", "Vypínám alarm...", ccAlarmOff},
    {"Rcfg1=1s", "Zapínám funkci \"Oznamování vypršení časovače\"...", ccConfig},
    {"Rcfg1=0s", "Vypínám funkci \"Oznamování vypršení časovače\"...", ccConfig},
    {"RESET=Ys", "Zapínám \"Oznamování deaktivace vstupů\"...", ccConfig},
    {"RESET=Ns", "Vypínám \"Oznamování deaktivace vstupů\"...", ccConfig},
};

// A command or answer as a console line shows it: in double quotes, decoded from the line's
// code page.
std::string Quoted(const std::string &LineText) {
    return "\"" + Cp1250ToUtf8(LineText) + "\"";
}

bool IsRelayDigit(char C) {
    return C >= '1' && C <= '6';
}

bool LooksLikeRelayCmd(const std::string &Cmd) {
    return Cmd.size() >= 5 && Cmd[0] == 'R' && IsRelayDigit(Cmd[1]);
}

std::string QueryDescription(bool AlarmActive) {
    return AlarmActive ? "Zjišťuji poplach na vstupech 1-3 (Alarm aktivován !)."
                       : "Zjišťuji poplach na vstupech (Alarm nesepnut - dotaz je nejspíš irelevantní).";
}

// The duration of a relay command: the text after the first "=" and before the last three
// characters (",", state digit, "s"). Nothing there means an untimed command.
std::optional<std::int32_t> RelayDuration(const std::string &Cmd, std::size_t AfterEquals) {
    const auto Length =
        static_cast<std::ptrdiff_t>(Cmd.size()) - 3 - static_cast<std::ptrdiff_t>(AfterEquals);
    if (Length <= 0)
        return 0;
    return ReadDecimalInt32(std::string_view(Cmd).substr(AfterEquals, static_cast<std::size_t>(Length)));
}

std::string Malformed(const char *What, const std::string &Respond) {
    return std::string("CHYBA - neúplná odpověď *") + What + "* - " + Quoted(Respond) + ".";
}

TRespondKind KindOf(const std::string &Respond) {
    switch (Respond[0]) {
    case '&':
        return rkInputs;
    case 'A':
    case 'B':
    case 'D':
    case 'E':
    case 'F':
        return rkInputOff;
    case 'C':
        return Respond == "C*" ? rkInputOff : rkRespondMode;
    case 'L':
        return rkResetMode;
    case 'T':
        // The answer ends in "*", so a leading "T" always has a second character.
        return Respond[1] == 'E' ? rkPushBtn : rkTimer;
    case 'r':
        return rkRun;
    case 's':
        return rkStop;
    case '*':
        return rkNoAlert;
    default:
        return IsRelayDigit(Respond[0]) ? rkAlert : rkUnknown;
    }
}

std::string ResetModeMeaning(const std::string &Respond) {
    if (Respond == "L=Y*")
        return "Aktivován režim informování o deaktivaci vstupů.";
    if (Respond == "L=N*")
        return "Režim informování o deaktivaci vstupů byl vypnut.";
    return Malformed("ResetMode", Respond);
}

std::string RespondModeMeaning(const std::string &Respond) {
    if (Respond == "C1=1*")
        return "Aktivován režim informování o vypršení časovače.";
    if (Respond == "C1=0*")
        return "Režim informování o vypršení časovače byl vypnut.";
    return Malformed("RespondMode", Respond);
}

// A name as the operator can read it on one line: a settings file may hold one of any length.
std::string ShownPortName(const std::string &PortName) {
    constexpr std::size_t Longest = 80;
    if (PortName.size() <= Longest)
        return PortName;
    std::size_t Cut = Longest;
    while (Cut > 0 && (static_cast<unsigned char>(PortName[Cut]) & 0xC0) == 0x80)
        --Cut; // not inside a UTF-8 character
    return PortName.substr(0, Cut) + "…";
}

// What is wrong with a network name that its open refused, or the host it names that cannot be
// found; nothing for other names and other failures.
std::optional<std::string> NetworkNameProblem(const std::string &PortName, std::int32_t SystemError) {
    if (!ComApi::IsNetworkPortName(PortName))
        return std::nullopt;
    const std::optional<ComApi::TNetAddress> Address = ComApi::ParseNetName(PortName);
    if (!Address) {
        // The port number is the part that is easily forgotten: with one, would the name do?
        if (ComApi::ParseNetName(PortName + ":1"))
            return std::string("v síťovém názvu chybí číslo portu (tcp://POČÍTAČ:PORT).");
        return std::string(
            "síťový název má tvar tcp://POČÍTAČ:PORT nebo rfc2217://POČÍTAČ:PORT, port 1 až 65535.");
    }
    if (SystemError == ENXIO) // the network driver's code for a name that no look-up found
        return "počítač \"" + Address->Host + "\" nelze najít.";
    return std::nullopt;
}

} // namespace

std::string OpenFailureReason(const std::string &PortName, const EComPort &Error) {
    const std::string Port = "Port \"" + ShownPortName(PortName) + "\": ";
    if (const std::optional<std::string> Problem = NetworkNameProblem(PortName, Error.SystemErrorNumber()))
        return Port + *Problem;
    switch (Error.SystemErrorNumber()) {
    case -1:
        return Port + Error.what();
    case ENOENT:
        return Port + "zařízení neexistuje.";
    case EBUSY:
        return Port + "zařízení používá jiný program.";
    case EACCES:
        return Port + "přístup odepřen (uživatel musí být ve skupině dialout).";
    case ENOTTY:
        return Port + "není to sériové zařízení.";
    case EPROTO:
        return Port + "vzdálený server porušil protokol Telnet.";
    case EKEYREJECTED: // an mqtt:// port's TLS handshake
        return Port + "spojení TLS s brokerem selhalo (zkontrolujte cafile v mqtt.ini a certifikát brokera).";
    default:
        // The system's own text, in the operator's language where the system has it.
        return Port + SystemErrorText(Error.SystemErrorNumber()) + ".";
    }
}

const char *MsgKindPrefix(TMsgKind Kind) noexcept {
    switch (Kind) {
    case mkCmd:
        return "CMD >";
    case mkIO:
        return "IO  >";
    case mkErr:
        break;
    }
    return "ERR >";
}

TColor MsgKindColour(TMsgKind Kind) noexcept {
    switch (Kind) {
    case mkCmd:
        return {0, 0, 255};
    case mkIO:
        return {128, 0, 0};
    case mkErr:
        break;
    }
    return {255, 0, 0};
}

TRele::TRele(TConsole *AConsole, TCustomComPort *AComPort) : ComPort(AComPort), Console(AConsole) {}

void TRele::WriteMsg(const std::string &Text, TMsgKind Kind) {
    const std::string Line = MsgKindPrefix(Kind) + Text;
    if (!Console)
        return;
    try {
        Console->InsertFirstLine(Line, MsgKindColour(Kind));
    } catch (...) {
        // Whatever the box threw, the console is the controller's only report channel and it
        // must not fail its caller: tell the operator once and go on.
        PlatformShowMessage("ERROR - unable to write to RichText box");
    }
}

void TRele::WriteComMsg(const std::string &Text) {
    if (!Console)
        return;
    try {
        Console->InsertPlainLine("COM > " + Text);
    } catch (...) {
        PlatformShowMessage("ERROR - unable to write to RichText box");
    }
}

TCmdClass TRele::SendCmd(const std::string &Cmd) {
    if (Cmd.empty()) {
        WriteMsg(BadCommand, mkErr);
        return ccRejected;
    }
    if (Cmd == "#fail") {
        WriteMsg("#fail - Chyba skladání příkazu (modul MakeCmd).", mkErr);
        return ccRejected;
    }
    if (Cmd.back() != 's' && Cmd != "?" && Cmd != "!") {
        WriteMsg(BadCommand, mkErr);
        return ccRejected;
    }
    const TBoardFlags RelaysBefore = Relays;
    std::string Description;
    TCmdClass Class = Classify(Cmd, Description);
    if (Class == ccRejected) {
        WriteMsg("ERROR - Unknown Command " + Quoted(Cmd) + ".", mkErr);
        return ccRejected;
    }
    WriteMsg(Description, mkCmd);
    if (ComPort)
        WriteOrTakeBack(Cmd, RelaysBefore);
    return Class;
}

void TRele::WriteOrTakeBack(const std::string &Cmd, const TBoardFlags &RelaysBefore) {
    try {
        PortWriteText(*ComPort, Cmd);
    } catch (...) {
        // The board never got the command: the relays are as they were.
        Relays = RelaysBefore;
        throw;
    }
}

TCmdClass TRele::Classify(const std::string &Cmd, std::string &Description) {
    if (Cmd == "!") {
        Description = "Zjišťuji stav vstupů 1-3...";
        return ccQuery;
    }
    if (Cmd == "?") {
        Description = QueryDescription(AlarmActive);
        return ccQuery;
    }
    for (const TFixedCmd &Fixed : FixedCmds) {
        if (Cmd == Fixed.Cmd) {
            Description = Fixed.Description;
            return Fixed.Class;
        }
    }
    if (LooksLikeRelayCmd(Cmd))
        return DescribeRelayCmd(Cmd, Description);
    return ccRejected;
}

TCmdClass TRele::DescribeRelayCmd(const std::string &Cmd, std::string &Description) {
    const std::size_t Equals = Cmd.find('=');
    // Without "=" the duration text starts at the "R" and can never be a number: the guard
    // below refuses it, as it refuses any other garbled duration.
    const std::size_t AfterEquals = Equals == std::string::npos ? 0 : Equals + 1;
    const std::optional<std::int32_t> Duration = RelayDuration(Cmd, AfterEquals);
    if (!Duration) {
        WriteMsg("ERROR - Relay operating Cmd wrong syntax: -" + Quoted(Cmd) + ".", mkErr);
        return ccRejected;
    }
    // Relays are touched only now that the command is known to be good.
    const bool On = Cmd[Cmd.size() - 2] == '1';
    std::string List;
    for (std::size_t I = 1; I + 1 < AfterEquals; ++I) {
        if (IsRelayDigit(Cmd[I]))
            Relays[Cmd[I] - '0'] = On;
        List += ',';
        List += Cmd[I];
    }
    Description =
        std::string("Požadavek na ") + (On ? " zapnutí " : " vypnutí ") + " Relé č" + Cp1250ToUtf8(List);
    if (*Duration == 0) {
        Description += ".";
        return ccRelay;
    }
    Description += " na dobu " + std::to_string(*Duration) + " sekund.";
    return ccRelayTimed;
}

TCmdClass TRele::AlarmOn() {
    return SendCmd("RUN=1s");
}

TCmdClass TRele::AlarmOff() {
    return SendCmd("RUN=0s");
}

void TRele::SetRespondMode(bool On) {
    SendCmd(On ? "Rcfg1=1s" : "Rcfg1=0s");
}

void TRele::SetResetMode(bool On) {
    SendCmd(On ? "RESET=Ys" : "RESET=Ns");
}

bool TRele::ShowPortSetup() {
    if (!ComPort) {
        WriteMsg(NoPortLink, mkErr);
        return false;
    }
    return PortRunSetupDialog(*ComPort);
}

void TRele::OpenComPort(const std::string &PortName) {
    if (!ComPort) {
        WriteMsg(NoPortLink, mkErr);
        return;
    }
    try {
        PortSetBoardLineAndOpen(*ComPort, PortName);
    } catch (const EComPort &E) {
        // The settings made before the failing step stay made.
        WriteMsg("CHYBA při otvírání portu.", mkErr);
        WriteMsg(OpenFailureReason(PortName, E), mkErr);
    } catch (...) {
        // Not the port's own error: there is no reason to tell.
        WriteMsg("CHYBA při otvírání portu.", mkErr);
    }
}

TRespondKind TRele::ProcessRespond(const std::string &Respond) {
    TRespondKind Kind = rkUnknown;
    std::string Meaning;
    if (Respond.empty() || Respond.back() != '*') {
        Meaning = "ERROR - Empty or Unterminated Respond string Received.";
    } else {
        Kind = KindOf(Respond);
        std::optional<std::string> Interpreted;
        try {
            Interpreted = Interpret(Kind, Respond);
        } catch (...) {
            // A failing beep hook lands here too, whatever it throws; the answer is still reported.
        }
        Meaning = Interpreted ? *Interpreted : "ERROR - Error processing string " + Quoted(Respond) + ")";
    }
    WriteMsg(Meaning + "(" + Cp1250ToUtf8(Respond) + ")", mkIO);
    return Kind;
}

// The meaning text of an answer of a known kind, after its change to the state model; nothing
// when the answer cannot be read at all.
std::optional<std::string> TRele::Interpret(TRespondKind Kind, const std::string &Respond) {
    switch (Kind) {
    case rkInputs:
        return InterpretInputs(Respond);
    case rkInputOff: {
        const int N = Respond[0] - 'A' + 1;
        Inputs[N] = false;
        return "Vypnutí vstupu č." + std::to_string(N);
    }
    case rkRun:
        return InterpretAlarmSwitch(Respond, "running*", true, "Alarm je spuštěn.", "Run");
    case rkStop:
        return InterpretAlarmSwitch(Respond, "stop*", false, "Alarm byl vypnut.", "Stop");
    case rkResetMode:
        return ResetModeMeaning(Respond);
    case rkRespondMode:
        return RespondModeMeaning(Respond);
    case rkPushBtn:
        if (Respond == "TEST=N*")
            return InterpretAlarmSwitch(Respond, "TEST=N*", false, "Alarm byl ručně deaktivován", "PushBtn");
        return InterpretAlarmSwitch(Respond, "TEST=Y*", true, "Alarm byl aktivován ručně.", "PushBtn");
    case rkTimer:
        return InterpretTimer(Respond);
    case rkNoAlert:
        return InterpretNoAlert(Respond);
    case rkAlert:
        return InterpretAlert(Respond);
    case rkUnknown:
        break;
    }
    return "CHYBA - Neznámý příkaz.";
}

std::string TRele::InterpretInputs(const std::string &Respond) {
    if (Respond.size() != 5)
        return "CHYBA- Nesprávná délka příkazu - " + Quoted(Respond) + ".";
    // Any character other than "1" or "0" leaves its input as it was.
    for (int N = 1; N <= 3; ++N) {
        if (Respond[N] == '1')
            Inputs[N] = true;
        else if (Respond[N] == '0')
            Inputs[N] = false;
    }
    return "Stav vstupů načten.";
}

std::string TRele::InterpretAlarmSwitch(const std::string &Respond, const char *Expected, bool Armed,
                                        const char *Meaning, const char *What) {
    if (Respond != Expected)
        return Malformed(What, Respond);
    AlarmActive = Armed;
    return Meaning;
}

std::string TRele::InterpretTimer(const std::string &Respond) {
    const char Digit = Respond[1];
    if (!IsRelayDigit(Digit))
        return "CHYBA - Nesrozumitelná zpráva časovače.";
    // The board's timer switches the relay over, whatever we believed it was.
    Relays[Digit - '0'] = !Relays[Digit - '0'];
    return std::string("Časovač přepnul Relé č.") + Digit + ".";
}

std::string TRele::InterpretNoAlert(const std::string &Respond) {
    if (Respond != "*")
        return "CHYBA - příliš dlouhá odpověď *NoAlert* - " + Quoted(Respond) + ".";
    AlarmTriggered = false;
    return "Poplach není aktivován.";
}

std::optional<std::string> TRele::InterpretAlert(const std::string &Respond) {
    const std::optional<std::int32_t> Input =
        ReadDecimalInt32(std::string_view(Respond).substr(0, Respond.size() - 1));
    if (!Input)
        return std::nullopt;
    if (*Input < TBoardFlags::First || *Input > TBoardFlags::Last)
        return "CHYBA - špatná syntax odpovědi  *Alert* - " + Quoted(Respond) + ".";
    AlarmTriggered = true;
    AlarmBeep(*Input);
    return "Poplach aktivován sepnutím vstupu č." + Cp1250ToUtf8(Respond);
}

void TRele::AlarmBeep(int /*Input*/) {
    PlatformBeep();
}
