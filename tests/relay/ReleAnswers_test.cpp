// Answers of the board through TRele::ProcessRespond: kind, the one maroon console line, the
// state change and the beep. Error rows start from a mixed state to show they change nothing.
#include "relay/ReleUnit.h"
#include "support/Recorders.h"

#include <gtest/gtest.h>

namespace {

const std::string Mixed = "R101010 I010101 A1 T1";
const std::string Clean = "R000000 I000000 A1 T0";

struct TAnswerRow {
    std::string Respond; // bytes as received (Windows-1250)
    std::string Before;
    TRespondKind Kind;
    std::string Line; // after the "IO  >" prefix
    std::string After;
    int Beeps = 0;
};

std::string Incomplete(const char *What, const std::string &Shown) {
    return std::string("CHYBA - neúplná odpověď *") + What + "* - \"" + Shown + "\".(" + Shown + ")";
}

const std::string Unterminated = "ERROR - Empty or Unterminated Respond string Received.";

const TAnswerRow AnswerRows[] = {
    // Framing.
    {"", Mixed, rkUnknown, Unterminated + "()", Mixed},
    {"3*x", Mixed, rkUnknown, Unterminated + "(3*x)", Mixed},
    // Input state: only inputs 1 to 3, only "1" and "0" count.
    {"&1x0*", "R000000 I011111 A1 T0", rkInputs, "Stav vstupů načten.(&1x0*)", "R000000 I110111 A1 T0"},
    {"&10*", Mixed, rkInputs, "CHYBA- Nesprávná délka příkazu - \"&10*\".(&10*)", Mixed},
    // Input deactivation: the first letter alone counts.
    {"Axyz*", "R000000 I111111 A1 T0", rkInputOff, "Vypnutí vstupu č.1(Axyz*)", "R000000 I011111 A1 T0"},
    {"C*", "R000000 I111111 A1 T0", rkInputOff, "Vypnutí vstupu č.3(C*)", "R000000 I110111 A1 T0"},
    // Alarm armed and disarmed, exactly.
    {"running*", "R000000 I000000 A0 T0", rkRun, "Alarm je spuštěn.(running*)", Clean},
    {"stop*", Mixed, rkStop, "Alarm byl vypnut.(stop*)", "R101010 I010101 A0 T1"},
    {"running*stop*", "R000000 I000000 A0 T0", rkRun, Incomplete("Run", "running*stop*"),
     "R000000 I000000 A0 T0"},
    {"stopped*", Mixed, rkStop, Incomplete("Stop", "stopped*"), Mixed},
    {"r\x9A*", Mixed, rkRun, Incomplete("Run", "rš*"), Mixed},
    // Report modes change nothing.
    {"L=Y*", Mixed, rkResetMode, "Aktivován režim informování o deaktivaci vstupů.(L=Y*)", Mixed},
    {"L=N*", Mixed, rkResetMode, "Režim informování o deaktivaci vstupů byl vypnut.(L=N*)", Mixed},
    {"L=y*", Mixed, rkResetMode, Incomplete("ResetMode", "L=y*"), Mixed},
    {"C1=1*", Mixed, rkRespondMode, "Aktivován režim informování o vypršení časovače.(C1=1*)", Mixed},
    {"C1=0*", Mixed, rkRespondMode, "Režim informování o vypršení časovače byl vypnut.(C1=0*)", Mixed},
    {"C2*", Mixed, rkRespondMode, Incomplete("RespondMode", "C2*"), Mixed},
    // Alarm switched at the board.
    {"TEST=Y*", "R000000 I000000 A0 T0", rkPushBtn, "Alarm byl aktivován ručně.(TEST=Y*)", Clean},
    {"TEST=N*", Mixed, rkPushBtn, "Alarm byl ručně deaktivován(TEST=N*)", "R101010 I010101 A0 T1"},
    {"TE*", Mixed, rkPushBtn, Incomplete("PushBtn", "TE*"), Mixed},
    // Timer expiry inverts the relay, whichever way it stood.
    {"T3*", Clean, rkTimer, "Časovač přepnul Relé č.3.(T3*)", "R001000 I000000 A1 T0"},
    {"T3*", "R111111 I000000 A1 T0", rkTimer, "Časovač přepnul Relé č.3.(T3*)", "R110111 I000000 A1 T0"},
    {"T6abc*", Clean, rkTimer, "Časovač přepnul Relé č.6.(T6abc*)", "R000001 I000000 A1 T0"},
    {"T*", Mixed, rkTimer, "CHYBA - Nesrozumitelná zpráva časovače.(T*)", Mixed},
    {"T9*", Mixed, rkTimer, "CHYBA - Nesrozumitelná zpráva časovače.(T9*)", Mixed},
    // No alarm / alarm raised.
    {"*", Mixed, rkNoAlert, "Poplach není aktivován.(*)", "R101010 I010101 A1 T0"},
    {"**", Mixed, rkNoAlert, "CHYBA - příliš dlouhá odpověď *NoAlert* - \"**\".(**)", Mixed},
    {"3*", Clean, rkAlert, "Poplach aktivován sepnutím vstupu č.3*(3*)", "R000000 I000000 A1 T1", 1},
    {"12*", Clean, rkAlert, "CHYBA - špatná syntax odpovědi  *Alert* - \"12*\".(12*)", Clean},
    {"1x*", Clean, rkAlert, "ERROR - Error processing string \"1x*\")(1x*)", Clean},
    {"19999999999*", Clean, rkAlert, "ERROR - Error processing string \"19999999999*\")(19999999999*)",
     Clean},
    // Unknown first characters, case included.
    {"0*", Mixed, rkUnknown, "CHYBA - Neznámý příkaz.(0*)", Mixed},
    {"7*", Mixed, rkUnknown, "CHYBA - Neznámý příkaz.(7*)", Mixed},
    {"Running*", Mixed, rkUnknown, "CHYBA - Neznámý příkaz.(Running*)", Mixed},
};

TEST(ReleAnswers, KindLineStateAndBeep) {
    for (const TAnswerRow &Row : AnswerRows) {
        SCOPED_TRACE("answer: " + Row.Respond + " from " + Row.Before);
        TRecordedPlatform Platform;
        TRecordingConsole Console;
        TRele Rele(&Console);
        SetState(Rele, Row.Before);
        EXPECT_EQ(int{Rele.ProcessRespond(Row.Respond)}, int{Row.Kind});
        EXPECT_EQ(Console.Written(), std::vector<std::string>{"maroon IO  >" + Row.Line});
        EXPECT_EQ(StateOf(Rele), Row.After);
        EXPECT_EQ(Platform.Beeps, Row.Beeps);
    }
}

// The window repaints its lamps when the line goes in, so the state must already be there.
TEST(ReleAnswers, StateChangesBeforeTheLine) {
    TRecordedPlatform Platform;
    TRecordingConsole Console;
    TRele Rele(&Console);
    std::string StateAtLine;
    Console.OnInsert = [&] { StateAtLine = StateOf(Rele); };
    Rele.ProcessRespond("4*");
    EXPECT_EQ(StateAtLine, "R000000 I000000 A1 T1");
}

// Whatever fails inside the interpretation, even with something that is no std::exception, the
// answer is still reported and nothing leaves ProcessRespond.
TEST(ReleAnswers, AnyFailureEndsInTheGuardLine) {
    TRecordingConsole Console;
    TRele Rele(&Console);
    const TBeepHook OldBeep = SetBeepHook([] { throw 42; });
    TRespondKind Kind = rkUnknown;
    EXPECT_NO_THROW(Kind = Rele.ProcessRespond("3*"));
    SetBeepHook(OldBeep);
    EXPECT_EQ(int{Kind}, int{rkAlert});
    EXPECT_EQ(Console.Written(),
              std::vector<std::string>{"maroon IO  >ERROR - Error processing string \"3*\")(3*)"});
}

} // namespace
