// The simulator as the panel and an operator meet it: a child process, its pseudo-terminal and its
// standard input. Each row is a conversation: bytes to the line with the exact bytes expected back,
// or a command on standard input with a piece of the state that must follow from it. A silent
// command is followed by "?" whose "*" must be the very next byte, so nothing else slipped out.
#include "support/SimProcess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <unistd.h>

using simtest::TSimProcess;

namespace {

struct TStep {
    char Kind; // 'L': Text to the line, Expect back exactly; 'I': Text on standard input, Expect in the state
    std::string Text, Expect;
};

struct TConversation {
    std::string Name;
    std::vector<std::string> Args;
    std::vector<TStep> Steps;
};

void Converse(TSimProcess &Sim, const std::vector<TStep> &Steps) {
    for (std::size_t I = 0; I < Steps.size(); ++I) {
        const TStep &Step = Steps[I];
        SCOPED_TRACE("step " + std::to_string(I + 1) + ": " + Step.Text);
        if (Step.Kind == 'L') {
            Sim.Send(Step.Text);
            EXPECT_EQ(Sim.Receive(Step.Expect.size()), Step.Expect);
        } else {
            EXPECT_THAT(Sim.Control(Step.Text), testing::HasSubstr(Step.Expect));
        }
    }
}

// Quick timers: one board second is 50 ms; answers leave without a pause between them.
const std::vector<std::string> Fast = {"--second", "50", "--gap", "0"};

const TConversation Conversations[] = {
    {"AlarmArmsAndDisarms", {}, {{'L', "RUN=1s", "running*"}, {'L', "RUN=0s", "stop*"}}},
    {"ReportModesEchoed",
     {},
     {{'L', "Rcfg1=1s", "C1=1*"},
      {'L', "Rcfg1=0s", "C1=0*"},
      {'L', "RESET=Ys", "L=Y*"},
      {'L', "RESET=Ns", "L=N*"}}},
    {"QueriesOfAQuietBoard", {}, {{'L', "?", "*"}, {'L', "!", "&000*"}}},
    {"InputStateCoversInputsOneToThree",
     {},
     {{'L', "RUN=0s", "stop*"}, // disarmed, so the inputs raise no alarm
      {'I', "input 1 on", "inputs=100000"},
      {'I', "input 3 on", ""},
      {'I', "input 4 on", ""},
      {'L', "!", "&101*"}}},
    {"ArmedInputRaisesAlarmAndFirstOneIsKept",
     {},
     {{'L', "RUN=1s", "running*"},
      {'I', "input 3 on", "trigger=3"},
      {'L', "", "3*"},
      {'L', "?", "3*"},
      {'I', "input 5 on", "trigger=3"},
      {'L', "?", "5*3*"},
      {'L', "RUN=0s", "stop*"},
      {'L', "?", "*"}}},
    {"RepeatedInputStateIsNoChange",
     {},
     {{'L', "RUN=1s", "running*"},
      {'I', "input 1 on", ""},
      {'L', "", "1*"},
      {'I', "input 1 on", ""},
      {'L', "?", "1*"}}},
    {"DeactivationReportedOnlyWhenSwitchedOn",
     {},
     {{'L', "RUN=0s", "stop*"},
      {'I', "input 4 on", ""},
      {'I', "input 4 off", ""},
      {'L', "?", "*"},
      {'L', "RESET=Ys", "L=Y*"},
      {'I', "input 4 on", ""},
      {'I', "input 4 off", ""},
      {'L', "", "D*"},
      {'I', "input 6 on", ""},
      {'I', "input 6 off", ""},
      {'L', "", "F*"}}},
    {"TestButtonArmsAndDisarms",
     {},
     {{'I', "test on", "alarm=armed"},
      {'L', "", "TEST=Y*"},
      {'I', "input 1 on", ""},
      {'L', "", "1*"},
      {'I', "test off", "trigger=0"},
      {'L', "", "TEST=N*"},
      {'I', "input 2 on", ""},
      {'L', "?", "*"}}},
    {"RelayCommandsSwitchSilently",
     {},
     {{'L', "R1=1s", ""},
      {'L', "R123=1s", ""},
      {'L', "R2=0s", ""},
      {'L', "?", "*"},
      {'I', "state", "relays=101000 "}}},
    {"NoiseAndMalformedCommandsIgnored",
     {},
     {{'L', "hello", ""},
      {'L', "run=1s", ""},
      {'L', "R7=1s", ""},
      {'L', "R1=10s", ""},
      {'L', "R1=-1s", ""},
      {'L', "R=1s", ""},
      {'L', "R1=0,1s", ""},
      {'L', "R1=1234567,1s", ""},
      {'L', "RUN=2s", ""},
      {'L', "?", "*"},
      {'I', "state",
       "relays=000000 inputs=000000 alarm=armed trigger=0 timer-reports=off "
       "deactivation-reports=off timers=-"}}},
    {"CommandFoundAfterNoise", {}, {{'L', "xyzRUN=1s", "running*"}, {'L', "RUN=1\r\nRUN=0s", "stop*"}}},
    {"CommandInPieces", {}, {{'L', "RU", ""}, {'L', "N=1", ""}, {'L', "s", "running*"}}},
    {"CommandsInOneWrite", {}, {{'L', "RUN=1s!?", "running*&000**"}}},

    {"TimerSwitchesOverAndReports",
     Fast,
     {{'L', "Rcfg1=1s", "C1=1*"},
      {'L', "R2=2,1s", "T2*"},
      {'I', "state", "relays=000000 "},
      {'L', "R3=1,0s", "T3*"},
      {'I', "state", "relays=001000 "}}},
    {"TimersReportInOrderOfExpiry",
     Fast,
     {{'L', "Rcfg1=1s", "C1=1*"}, {'L', "R1=4,1sR2=2,1s", "T2*T1*"}, {'L', "R45=1,1s", "T4*T5*"}}},
    {"LaterCommandCancelsTimer",
     Fast,
     {{'L', "Rcfg1=1s", "C1=1*"},
      {'L', "R1=2,1s", ""},
      {'L', "R1=0s", ""},
      {'L', "R2=4,1s", "T2*"},
      {'I', "state", "relays=000000 "}}},
    {"TimerWithoutReportsStillSwitches",
     Fast,
     // The wait runs inside the simulator, on its own clock, so the state follows the expiry.
     {{'L', "R6=1,1s", ""}, {'I', "wait 0.3", ""}, {'I', "state", "relays=000000 "}, {'L', "?", "*"}}},
    {"OneRealSecond", {"--gap", "0"}, {{'L', "Rcfg1=1s", "C1=1*"}, {'L', "R1=1,1s", "T1*"}}},
};

void PrintTo(const TConversation &Conversation, std::ostream *Out) {
    *Out << Conversation.Name;
}

class Conversation : public testing::TestWithParam<TConversation> {};

TEST_P(Conversation, BoardAnswersAsExpected) {
    TSimProcess Sim(GetParam().Args);
    Converse(Sim, GetParam().Steps);
    Sim.CloseInput();
    EXPECT_EQ(Sim.Wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Relaysim, Conversation, testing::ValuesIn(Conversations),
                         [](const auto &Info) { return Info.param.Name; });

std::filesystem::path TempPath(const std::string &Name) {
    return std::filesystem::temp_directory_path() / (Name + "." + std::to_string(getpid()));
}

TEST(RelaysimLifecycle, LinkLivesAsLongAsTheSimulator) {
    for (int Ending : {0, SIGINT, SIGTERM}) {
        SCOPED_TRACE("ending " + std::to_string(Ending));
        const auto Link = TempPath("relaysim-link");
        TSimProcess Sim({"--link", Link.string()});
        ASSERT_EQ(std::filesystem::read_symlink(Link), Sim.PortPath());
        if (Ending)
            Sim.Signal(Ending);
        else
            Sim.CloseInput();
        EXPECT_EQ(Sim.Wait(), 0);
        EXPECT_FALSE(std::filesystem::is_symlink(Link));
    }
}

TEST(RelaysimLifecycle, PendingStepsAndAnswersFinishBeforeExit) {
    TSimProcess Sim;
    Sim.Feed("wait 0.05\nsend late*\nsend later*\n");
    Sim.CloseInput();
    EXPECT_EQ(Sim.Receive(11), "late*later*");
    EXPECT_EQ(Sim.Wait(), 0);
}

TEST(RelaysimLifecycle, QuitStopsAfterTheLastAnswer) {
    TSimProcess Sim;
    Sim.Feed("send bye*\nquit\n");
    EXPECT_EQ(Sim.Receive(4), "bye*");
    EXPECT_EQ(Sim.Wait(), 0);
}

TEST(RelaysimLifecycle, ScriptAwaitsCommandsAndKeepsTime) {
    const auto Script = TempPath("relaysim-script");
    std::ofstream(Script)
        << "# demonstration\nawait RUN=1s\ninput 2 on\nwait 0.05\nsend hello*\nawait\ntest off\n";
    TSimProcess Sim({"--script", Script.string(), "--gap", "0"});
    Sim.Send("!");
    EXPECT_EQ(Sim.Receive(5), "&000*");
    Sim.Send("RUN=1s");
    EXPECT_EQ(Sim.Receive(16), "running*2*hello*");
    Sim.Send("R1=1s");
    EXPECT_EQ(Sim.Receive(7), "TEST=N*");
    Sim.CloseInput();
    EXPECT_EQ(Sim.Wait(), 0);
    std::filesystem::remove(Script);
}

TEST(RelaysimLifecycle, PlaysOnAGivenTerminal) {
    int Master = -1, Slave = -1;
    char Name[256];
    if (openpty(&Master, &Slave, Name, nullptr, nullptr) != 0)
        GTEST_SKIP() << "no pseudo-terminal support";
    ::close(Slave);
    {
        TSimProcess Sim({"--device", Name}, false);
        EXPECT_EQ(Sim.ReadOutputLine(), Name);
        ASSERT_EQ(::write(Master, "RUN=1s", 6), 6);
        char Buffer[16] = {};
        std::size_t Got = 0;
        while (Got < 8) {
            const ssize_t N = ::read(Master, Buffer + Got, 8 - Got);
            if (N <= 0)
                break;
            Got += static_cast<std::size_t>(N);
        }
        EXPECT_EQ(std::string(Buffer, Got), "running*");
        Sim.CloseInput();
        EXPECT_EQ(Sim.Wait(), 0);
    }
    ::close(Master);
}

struct TRefusal {
    std::vector<std::string> Args;
    int ExitCode;
    std::string Message;
};

TEST(RelaysimLifecycle, RefusesWhatItCannotPlay) {
    const auto Plain = TempPath("relaysim-plain");
    const auto BadScript = TempPath("relaysim-bad");
    std::ofstream(Plain) << "keep me";
    std::ofstream(BadScript) << "input 1 on\ninput 9 on\n";
    const TRefusal Refusals[] = {
        {{"--bogus"}, 2, "bad option"},
        {{"--second", "0"}, 2, "bad option"},
        {{"--gap"}, 2, "bad option"},
        {{"--script", BadScript.string()}, 2, BadScript.string() + ":2:"},
        {{"--device", "/nonexistent/tty"}, 1, "cannot open"},
        {{"--device", Plain.string()}, 1, "not a terminal"},
        {{"--device", "/dev/null"}, 1, "not a terminal"},
        {{"--link", Plain.string()}, 1, "cannot create the link"},
    };
    for (const auto &Refusal : Refusals) {
        SCOPED_TRACE(Refusal.Args.front() + " " + Refusal.Args.back());
        TSimProcess Sim(Refusal.Args, false);
        EXPECT_EQ(Sim.Wait(), Refusal.ExitCode);
        EXPECT_THAT(Sim.Errors(), testing::HasSubstr(Refusal.Message));
    }
    std::string Kept;
    std::getline(std::ifstream(Plain), Kept);
    EXPECT_EQ(Kept, "keep me");
    std::filesystem::remove(Plain);
    std::filesystem::remove(BadScript);
}

} // namespace
