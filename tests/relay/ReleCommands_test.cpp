// Commands through TRele without a port: class, console lines and relay state. What reaches
// the port is in RelePort_test.cpp.
#include "relay/ReleUnit.h"
#include "support/Recorders.h"

#include <gtest/gtest.h>

namespace {

std::string Cmd(const std::string &Text) {
    return "blue CMD >" + Text;
}
std::string Err(const std::string &Text) {
    return "red ERR >" + Text;
}
const std::string Unterminated = Err("ERROR - Empty or unterminated command.");
std::string Unknown(const std::string &Shown) {
    return Err("ERROR - Unknown Command \"" + Shown + "\".");
}
std::string BadRelay(const std::string &Shown) {
    return Err("ERROR - Relay operating Cmd wrong syntax: -\"" + Shown + "\".");
}

struct TCmdRow {
    std::string Cmd; // bytes as they go on the line (Windows-1250)
    TCmdClass Class;
    std::vector<std::string> Lines; // oldest first
    std::string RelaysAfter;        // every row starts from 010101
};

const TCmdRow CmdRows[] = {
    {"RUN=1s", ccAlarmOn, {Cmd("Zapínám alarm...")}, "010101"},
    {"RUN=0s", ccAlarmOff, {Cmd("Vypínám alarm...")}, "010101"},
    {"Rcfg1=1s", ccConfig, {Cmd("Zapínám funkci \"Oznamování vypršení časovače\"...")}, "010101"},
    {"Rcfg1=0s", ccConfig, {Cmd("Vypínám funkci \"Oznamování vypršení časovače\"...")}, "010101"},
    {"RESET=Ys", ccConfig, {Cmd("Zapínám \"Oznamování deaktivace vstupů\"...")}, "010101"},
    {"RESET=Ns", ccConfig, {Cmd("Vypínám \"Oznamování deaktivace vstupů\"...")}, "010101"},
    {"!", ccQuery, {Cmd("Zjišťuji stav vstupů 1-3...")}, "010101"},
    {"", ccRejected, {Unterminated}, "010101"},
    {"RUN=1", ccRejected, {Unterminated}, "010101"},
    {"#fail", ccRejected, {Err("#fail - Chyba skladání příkazu (modul MakeCmd).")}, "010101"},
    // Terminated but unknown: case matters, relays are 1 to 6, a relay command has 5 characters.
    {"run=1s", ccRejected, {Unknown("run=1s")}, "010101"},
    {"R7=1s", ccRejected, {Unknown("R7=1s")}, "010101"},
    {"R1=s", ccRejected, {Unknown("R1=s")}, "010101"},
    {"X\xE8s", ccRejected, {Unknown("Xčs")}, "010101"},
    {"R1=1s", ccRelay, {Cmd("Požadavek na  zapnutí  Relé č,1.")}, "110101"},
    {"R23=0s", ccRelay, {Cmd("Požadavek na  vypnutí  Relé č,2,3.")}, "000101"},
    {"R12=10,0s", ccRelayTimed, {Cmd("Požadavek na  vypnutí  Relé č,1,2 na dobu 10 sekund.")}, "000101"},
    {"R1=0,1s", ccRelay, {Cmd("Požadavek na  zapnutí  Relé č,1.")}, "110101"},
    // No room for a duration: the state digit is the second-to-last character.
    {"R2=10s", ccRelay, {Cmd("Požadavek na  vypnutí  Relé č,2.")}, "000101"},
    {"R1=-1s", ccRelay, {Cmd("Požadavek na  zapnutí  Relé č,1.")}, "110101"},
    // List characters that are no relay are listed, not switched.
    {"R1\xE8=1s", ccRelay, {Cmd("Požadavek na  zapnutí  Relé č,1,č.")}, "110101"},
    // A duration that is not a 32-bit decimal refuses the command and touches no relay.
    {"R1=xx,1s", ccRejected, {BadRelay("R1=xx,1s"), Unknown("R1=xx,1s")}, "010101"},
    {"R1abcs", ccRejected, {BadRelay("R1abcs"), Unknown("R1abcs")}, "010101"},
    {"R1=2147483648,1s", ccRejected, {BadRelay("R1=2147483648,1s"), Unknown("R1=2147483648,1s")}, "010101"},
};

TEST(ReleCommands, ClassLinesAndRelays) {
    for (const TCmdRow &Row : CmdRows) {
        SCOPED_TRACE("command: " + Row.Cmd);
        TRecordingConsole Console;
        TRele Rele(&Console);
        SetState(Rele, "R010101 I000000 A1 T0");
        EXPECT_EQ(int{Rele.SendCmd(Row.Cmd)}, int{Row.Class});
        EXPECT_EQ(Console.Written(), Row.Lines);
        EXPECT_EQ(StateOf(Rele), "R" + Row.RelaysAfter + " I000000 A1 T0");
    }
}

// A fresh controller believes the alarm armed; the query goes out either way; without a port,
// the port operations say so; the lamps repaint on each line, so relays change before it.
TEST(ReleCommands, QueryPortlessAndOrder) {
    TRecordingConsole Console;
    TRele Rele(&Console);
    Rele.SendCmd("?");
    Rele.AlarmActive = false;
    EXPECT_EQ(Rele.SendCmd("?"), ccQuery);
    Rele.ShowPortSetup();
    Rele.OpenComPort("ttyUSB0");
    bool RelayOnAtLine = false;
    Console.OnInsert = [&] { RelayOnAtLine = Rele.Relays[2]; };
    Rele.SendCmd("R2=1s");
    EXPECT_TRUE(RelayOnAtLine);
    const std::string NoPort = Err("ERROR - No ComPort component link present.");
    EXPECT_EQ(
        Console.Written(),
        (std::vector{Cmd("Zjišťuji poplach na vstupech 1-3 (Alarm aktivován !)."),
                     Cmd("Zjišťuji poplach na vstupech (Alarm nesepnut - dotaz je nejspíš irelevantní)."),
                     NoPort, NoPort, Cmd("Požadavek na  zapnutí  Relé č,2.")}));
}

TEST(ReleCommands, FailingConsoleShowsMessageBox) {
    TRecordedPlatform Platform;
    TRecordingConsole Console;
    Console.FailWrites = true;
    TRele Rele(&Console);
    EXPECT_EQ(Rele.SendCmd("R1=1s"), ccRelay);
    EXPECT_EQ(Platform.Messages, std::vector<std::string>{"ERROR - unable to write to RichText box"});
}

} // namespace
