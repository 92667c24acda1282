// Commands through TRele without a port: class, console lines and relay state. What reaches
// the port is in RelePort_test.cpp.
#include "relay/ReleUnit.h"
#include "support/Recorders.h"
#include "support/ReleState.h"

#include <gtest/gtest.h>

namespace {

constexpr TColor Blue{0, 0, 255};
constexpr TColor Red{255, 0, 0};

TConsoleLine Cmd(const std::string &Text) {
    return {"CMD >" + Text, Blue};
}
TConsoleLine Err(const std::string &Text) {
    return {"ERR >" + Text, Red};
}

std::vector<TConsoleLine> Refused(const std::string &Quoted) {
    return {Err("ERROR - Unknown Command " + Quoted + ".")};
}

// A garbled relay command reports twice: the relay reader's guard, then the unknown command.
std::vector<TConsoleLine> BadRelay(const std::string &Quoted) {
    return {Err("ERROR - Relay operating Cmd wrong syntax: -" + Quoted + "."),
            Err("ERROR - Unknown Command " + Quoted + ".")};
}

struct TCmdRow {
    std::string Cmd; // bytes as they would go on the line (Windows-1250)
    std::string RelaysBefore;
    TCmdClass Class;
    std::vector<TConsoleLine> Lines; // oldest first
    std::string RelaysAfter;
};

const std::string Unterminated = "ERROR - Empty or unterminated command.";

const TCmdRow CmdRows[] = {
    {"RUN=1s", "000000", ccAlarmOn, {Cmd("Zapínám alarm...")}, "000000"},
    {"RUN=0s", "000000", ccAlarmOff, {Cmd("Vypínám alarm...")}, "000000"},
    {"Rcfg1=1s", "000000", ccConfig, {Cmd("Zapínám funkci \"Oznamování vypršení časovače\"...")}, "000000"},
    {"Rcfg1=0s", "000000", ccConfig, {Cmd("Vypínám funkci \"Oznamování vypršení časovače\"...")}, "000000"},
    {"RESET=Ys", "000000", ccConfig, {Cmd("Zapínám \"Oznamování deaktivace vstupů\"...")}, "000000"},
    {"RESET=Ns", "000000", ccConfig, {Cmd("Vypínám \"Oznamování deaktivace vstupů\"...")}, "000000"},
    {"!", "000000", ccQuery, {Cmd("Zjišťuji stav vstupů 1-3...")}, "000000"},
    // Refusals before classification.
    {"", "000000", ccRejected, {Err(Unterminated)}, "000000"},
    {"RUN=1", "000000", ccRejected, {Err(Unterminated)}, "000000"},
    {"R1=1S", "000000", ccRejected, {Err(Unterminated)}, "000000"},
    {"#fail", "000000", ccRejected, {Err("#fail - Chyba skladání příkazu (modul MakeCmd).")}, "000000"},
    // Terminated but unknown: case matters, relay numbers are 1 to 6, at least five characters.
    {"Xs", "000000", ccRejected, Refused("\"Xs\""), "000000"},
    {"run=1s", "000000", ccRejected, Refused("\"run=1s\""), "000000"},
    {"r1=1s", "000000", ccRejected, Refused("\"r1=1s\""), "000000"},
    {"R7=1s", "000000", ccRejected, Refused("\"R7=1s\""), "000000"},
    {"R1=s", "000000", ccRejected, Refused("\"R1=s\""), "000000"},
    {"X\xE8s", "000000", ccRejected, Refused("\"Xčs\""), "000000"},
    // Relay commands.
    {"R1=1s", "000000", ccRelay, {Cmd("Požadavek na  zapnutí  Relé č,1.")}, "100000"},
    {"R23=0s", "111111", ccRelay, {Cmd("Požadavek na  vypnutí  Relé č,2,3.")}, "100111"},
    {"R123456=1s", "000000", ccRelay, {Cmd("Požadavek na  zapnutí  Relé č,1,2,3,4,5,6.")}, "111111"},
    {"R12=10,0s",
     "111111",
     ccRelayTimed,
     {Cmd("Požadavek na  vypnutí  Relé č,1,2 na dobu 10 sekund.")},
     "001111"},
    {"R1=0,1s", "000000", ccRelay, {Cmd("Požadavek na  zapnutí  Relé č,1.")}, "100000"},
    // No room for a duration: the state digit is the second-to-last character.
    {"R1=10s", "100000", ccRelay, {Cmd("Požadavek na  vypnutí  Relé č,1.")}, "000000"},
    {"R1=-1s", "000000", ccRelay, {Cmd("Požadavek na  zapnutí  Relé č,1.")}, "100000"},
    // Characters in the relay list that are no relay are listed, not switched.
    {"R1x=1s", "000000", ccRelay, {Cmd("Požadavek na  zapnutí  Relé č,1,x.")}, "100000"},
    {"R1\xE8=1s", "000000", ccRelay, {Cmd("Požadavek na  zapnutí  Relé č,1,č.")}, "100000"},
    // A duration that is not a 32-bit decimal number refuses the command and touches no relay.
    {"R1=xx,1s", "000000", ccRejected, BadRelay("\"R1=xx,1s\""), "000000"},
    {"R1abcs", "000000", ccRejected, BadRelay("\"R1abcs\""), "000000"},
    {"R1=2147483648,1s", "000000", ccRejected, BadRelay("\"R1=2147483648,1s\""), "000000"},
};

TEST(ReleCommands, ClassLinesAndRelays) {
    for (const TCmdRow &Row : CmdRows) {
        SCOPED_TRACE("command: " + Row.Cmd);
        TRecordingConsole Console;
        TRele Rele(&Console);
        SetState(Rele, "R" + Row.RelaysBefore + " I000000 A1 T0");

        EXPECT_EQ(Rele.SendCmd(Row.Cmd), Row.Class);
        EXPECT_EQ(Console.Written(), Row.Lines);
        EXPECT_EQ(StateOf(Rele), "R" + Row.RelaysAfter + " I000000 A1 T0");
    }
}

// A fresh controller believes the alarm armed; disarmed, the query is still sent.
TEST(ReleCommands, QueryDescriptionFollowsAlarm) {
    TRecordingConsole Console;
    TRele Rele(&Console);
    EXPECT_EQ(Rele.SendCmd("?"), ccQuery);
    Rele.AlarmActive = false;
    EXPECT_EQ(Rele.SendCmd("?"), ccQuery);
    EXPECT_EQ(
        Console.Written(),
        (std::vector{Cmd("Zjišťuji poplach na vstupech 1-3 (Alarm aktivován !)."),
                     Cmd("Zjišťuji poplach na vstupech (Alarm nesepnut - dotaz je nejspíš irelevantní).")}));
}

TEST(ReleCommands, PortOperationsWithoutPortReport) {
    TRecordingConsole Console;
    TRele Rele(&Console);
    Rele.ShowPortSetup();
    Rele.OpenComPort("ttyUSB0");
    const TConsoleLine NoPort = Err("ERROR - No ComPort component link present.");
    EXPECT_EQ(Console.Written(), (std::vector{NoPort, NoPort}));
}

// The window repaints its lamps when a line goes in, so the state must already be there.
TEST(ReleCommands, RelaysChangeBeforeTheLine) {
    TRecordingConsole Console;
    TRele Rele(&Console);
    bool RelayOnAtLine = false;
    Console.OnInsert = [&] { RelayOnAtLine = Rele.Relays[2]; };
    Rele.SendCmd("R2=1s");
    EXPECT_TRUE(RelayOnAtLine);
}

TEST(ReleCommands, FailingConsoleShowsMessageBoxOnce) {
    TRecordedPlatform Platform;
    TRecordingConsole Console;
    Console.FailWrites = true;
    TRele Rele(&Console);
    EXPECT_EQ(Rele.SendCmd("R1=1s"), ccRelay);
    EXPECT_TRUE(Rele.Relays[1]);
    EXPECT_EQ(Platform.Messages, std::vector<std::string>{"ERROR - unable to write to RichText box"});
}

} // namespace
