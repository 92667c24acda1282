// relaysim: plays the relay board on a pseudo-terminal (or on a serial device it is given), so that
// the panel can be shown, tried and tested with no board attached.
//
// One thread, one poll(): the line, standard input and a signalfd are the descriptors, and the
// timeout is the nearest of the board's relay timers, a script's pending "wait" and the pause between
// two answers. With nothing pending the timeout is infinite, so an idle simulator never wakes up.
#include "RelayBoard.h"
#include "SimControl.h"
#include "SimPort.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace relaysim;
using namespace std::chrono_literals;

namespace {

constexpr const char *Usage =
    "Usage: relaysim [options]\n"
    "Plays the relay board at 4800 baud 8N1 on a new pseudo-terminal and prints the port's path.\n"
    "\n"
    "  --device PATH   play the board on this serial device instead\n"
    "  --link PATH     also make PATH a symbolic link to the port (removed at exit)\n"
    "  --script FILE   run the commands of FILE, as if typed, from the start\n"
    "  --second MS     length of one second of the board's timers in milliseconds (default 1000)\n"
    "  --gap MS        pause between two answers in milliseconds (default 20), so that the panel\n"
    "                  sees them one by one as it would from a board\n"
    "  -v, --verbose   trace what the line brings and what the board answers on standard error\n"
    "  -h, --help      this text\n"
    "\n"
    "It stops at the end of its standard input (once a script is done) or on SIGINT or SIGTERM.\n"
    "\n";

// Bounds how long a stopping simulator keeps trying to hand over answers nobody reads.
constexpr auto DrainLimit = 2s;
// How often a stopping simulator looks whether the reader took the last answers: there is no event
// for that. Closing the line before then would throw away what is still unread.
constexpr auto DrainCheck = 10ms;

struct TOptions {
    std::string Device, Link, Script;
    std::chrono::milliseconds Second = 1000ms;
    std::chrono::milliseconds Gap = 20ms;
    bool Verbose = false;
};

// A queue of commands: standard input, or a script. Each holds back its own following steps.
struct TSource {
    std::deque<TSimStep> Steps;
    std::optional<TClock::time_point> ResumeAt;
    std::optional<std::string> Awaiting; // empty text: any command
    bool Ended = false;                  // no more steps will be added

    bool Held(TClock::time_point Now) const { return Awaiting || (ResumeAt && Now < *ResumeAt); }
    bool Done(TClock::time_point Now) const { return Ended && Steps.empty() && !Held(Now); }
};

std::string Printable(std::string_view Text) {
    std::string Result;
    for (unsigned char C : Text) {
        if (C >= 0x20 && C < 0x7f) {
            Result += static_cast<char>(C);
        } else {
            char Hex[8];
            std::snprintf(Hex, sizeof Hex, "\\x%02x", C);
            Result += Hex;
        }
    }
    return Result;
}

void Say(const std::string &Text) {
    std::fprintf(stderr, "relaysim: %s\n", Text.c_str());
}

class TSimulator {
public:
    TSimulator(const TOptions &Options, TSimPort &Port, TFd Signals, std::vector<TSimStep> Script)
        : Options(Options),
          Port(Port),
          Signals(std::move(Signals)),
          Board(Options.Second) {
        ScriptSource.Steps.assign(Script.begin(), Script.end());
        ScriptSource.Ended = true;
    }
    int Run();

private:
    void RunSource(TSource &Source, TClock::time_point Now);
    void Execute(const TSimStep &Step, TSource &Source, TClock::time_point Now);
    void Pump(TClock::time_point Now);
    bool WriteOut();
    bool ReadLine(TClock::time_point Now);
    void ReadStdin();
    void AddStdinLine(std::string_view Line);
    int Timeout(TClock::time_point Now) const;
    bool Finished(TClock::time_point Now) const;

    const TOptions &Options;
    TSimPort &Port;
    TFd Signals;
    TRelayBoard Board;
    TSource StdinSource, ScriptSource;
    std::string StdinBuffer;
    std::deque<std::string> Outbox; // answers not yet on the line
    std::string Out;                // the part of one answer the line has not taken yet
    TClock::time_point NextAnswerAt{};
    std::optional<TClock::time_point> StopBy; // set when stopping
    int ExitCode = 0;
};

int TSimulator::Run() {
    for (;;) {
        const auto Now = TClock::now();
        Board.Advance(Now);
        if (!StopBy) {
            RunSource(ScriptSource, Now);
            RunSource(StdinSource, Now);
            if (StdinSource.Done(Now) && ScriptSource.Done(Now))
                StopBy = Now + DrainLimit;
        }
        Pump(Now);
        if (Finished(Now))
            return ExitCode;

        pollfd Fds[3] = {{Signals.Get(), POLLIN, 0},
                         {Port.Fd(), static_cast<short>(POLLIN | (Out.empty() ? 0 : POLLOUT)), 0},
                         {StdinSource.Ended ? -1 : STDIN_FILENO, POLLIN, 0}};
        if (::poll(Fds, 3, Timeout(Now)) < 0) {
            if (errno == EINTR)
                continue;
            Say(std::string("poll: ") + std::strerror(errno));
            return 1;
        }
        if (Fds[0].revents)
            return ExitCode; // SIGINT, SIGTERM or SIGHUP: leave at once, destructors clean up
        const auto Then = TClock::now();
        if ((Fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && !ReadLine(Then))
            return 1;
        if ((Fds[1].revents & POLLOUT) && !WriteOut())
            return 1;
        if (Fds[2].revents)
            ReadStdin();
    }
}

void TSimulator::RunSource(TSource &Source, TClock::time_point Now) {
    while (!StopBy && !Source.Steps.empty() && !Source.Held(Now)) {
        const TSimStep Step = std::move(Source.Steps.front());
        Source.Steps.pop_front();
        Execute(Step, Source, Now);
    }
}

void TSimulator::Execute(const TSimStep &Step, TSource &Source, TClock::time_point Now) {
    switch (Step.Kind) {
    case skInput:
        Board.SetInput(Step.Number, Step.On);
        break;
    case skTest:
        Board.PressTest(Step.On);
        break;
    case skSend:
        Outbox.push_back(Step.Text);
        break;
    case skState:
        std::printf("%s\n", Board.StateText().c_str());
        std::fflush(stdout);
        break;
    case skWait:
        Source.ResumeAt = Now + Step.Delay;
        break;
    case skAwait:
        Source.Awaiting = Step.Text;
        break;
    case skHelp:
        std::fputs(StepHelp(), stdout);
        std::fflush(stdout);
        break;
    case skQuit:
        StopBy = Now + DrainLimit;
        break;
    case skNothing:
        break;
    }
}

// Moves answers onto the line one at a time, each at least Gap after the one before.
void TSimulator::Pump(TClock::time_point Now) {
    for (auto &Answer : Board.TakeAnswers())
        Outbox.push_back(std::move(Answer));
    while (Out.empty() && !Outbox.empty() && Now >= NextAnswerAt) {
        Out = std::move(Outbox.front());
        Outbox.pop_front();
        NextAnswerAt = Now + Options.Gap;
        if (Options.Verbose)
            Say("-> " + Printable(Out));
        if (!WriteOut()) {
            ExitCode = 1;
            StopBy = Now; // the line is gone: nothing more can be handed over
            Outbox.clear();
            Out.clear();
        }
    }
}

bool TSimulator::WriteOut() {
    while (!Out.empty()) {
        const ssize_t Written = ::write(Port.Fd(), Out.data(), Out.size());
        if (Written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                return true; // the line is full; poll says when it takes more
            Say("writing to " + Port.Path() + ": " + std::strerror(errno));
            return false;
        }
        Out.erase(0, static_cast<std::size_t>(Written));
    }
    return true;
}

bool TSimulator::ReadLine(TClock::time_point Now) {
    char Buffer[256];
    const ssize_t Got = ::read(Port.Fd(), Buffer, sizeof Buffer);
    if (Got < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (Got <= 0) {
        // A pseudo-terminal never gets here (its other side is held open); a device was unplugged.
        Say(Port.Path() + " hung up");
        return false;
    }
    for (const auto &Event : Board.Receive(std::string_view(Buffer, static_cast<std::size_t>(Got)), Now)) {
        if (Options.Verbose)
            Say((Event.Recognised ? "<- " : "ignored ") + Printable(Event.Text));
        for (TSource *Source : {&ScriptSource, &StdinSource})
            if (Source->Awaiting &&
                (Source->Awaiting->empty() ? Event.Recognised : *Source->Awaiting == Event.Text))
                Source->Awaiting.reset();
    }
    return true;
}

void TSimulator::ReadStdin() {
    char Buffer[1024];
    const ssize_t Got = ::read(STDIN_FILENO, Buffer, sizeof Buffer);
    if (Got < 0 && errno == EINTR)
        return;
    if (Got <= 0) {
        if (!StdinBuffer.empty())
            AddStdinLine(std::exchange(StdinBuffer, {}));
        StdinSource.Ended = true;
        return;
    }
    StdinBuffer.append(Buffer, static_cast<std::size_t>(Got));
    for (auto End = StdinBuffer.find('\n'); End != std::string::npos; End = StdinBuffer.find('\n')) {
        AddStdinLine(std::string_view(StdinBuffer).substr(0, End));
        StdinBuffer.erase(0, End + 1);
    }
}

void TSimulator::AddStdinLine(std::string_view Line) {
    std::string Error;
    if (auto Step = ParseStep(Line, Error)) {
        if (Step->Kind != skNothing)
            StdinSource.Steps.push_back(std::move(*Step));
    } else {
        Say(Error);
    }
}

int TSimulator::Timeout(TClock::time_point Now) const {
    std::optional<TClock::time_point> Next = Board.NextDeadline();
    auto Consider = [&Next](TClock::time_point At) {
        if (!Next || At < *Next)
            Next = At;
    };
    for (const TSource *Source : {&ScriptSource, &StdinSource})
        if (Source->ResumeAt && !Source->Awaiting && *Source->ResumeAt > Now)
            Consider(*Source->ResumeAt);
    if (Out.empty() && !Outbox.empty())
        Consider(NextAnswerAt);
    if (StopBy)
        Consider(Out.empty() && Outbox.empty() ? std::min(*StopBy, Now + DrainCheck) : *StopBy);
    if (!Next)
        return -1;
    if (*Next <= Now)
        return 0;
    // Rounded up, so that the loop never wakes just before a deadline and spins until it passes.
    const auto Wait = std::chrono::ceil<std::chrono::milliseconds>(*Next - Now).count();
    return Wait > INT_MAX ? INT_MAX : static_cast<int>(Wait);
}

bool TSimulator::Finished(TClock::time_point Now) const {
    if (!StopBy)
        return false;
    if (Now >= *StopBy)
        return true;
    return Out.empty() && Outbox.empty() && Port.Unread() == 0;
}

bool ParseMilliseconds(std::string_view Text, std::chrono::milliseconds &Result) {
    long Value = 0;
    const auto [End, Ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    if (Ec != std::errc() || End != Text.data() + Text.size() || Value < 0 || Value > 3600000)
        return false;
    Result = std::chrono::milliseconds(Value);
    return true;
}

// Returns the exit code for a bad command line, or -1 when the options are fine.
int ParseOptions(int Argc, char **Argv, TOptions &Options) {
    for (int I = 1; I < Argc; ++I) {
        std::string Arg = Argv[I];
        std::optional<std::string> Value;
        if (const auto Eq = Arg.find('='); Arg.starts_with("--") && Eq != std::string::npos) {
            Value = Arg.substr(Eq + 1);
            Arg.resize(Eq);
        }
        auto Next = [&]() -> std::optional<std::string> {
            if (Value)
                return Value;
            if (I + 1 < Argc)
                return std::string(Argv[++I]);
            return std::nullopt;
        };
        if (Arg == "-h" || Arg == "--help") {
            std::fputs(Usage, stdout);
            std::fputs(StepHelp(), stdout);
            return 0;
        }
        if (Arg == "-v" || Arg == "--verbose") {
            Options.Verbose = true;
            continue;
        }
        std::optional<std::string> Given;
        if (Arg == "--device" || Arg == "--link" || Arg == "--script" || Arg == "--second" || Arg == "--gap")
            Given = Next();
        bool Good = Given && !Given->empty();
        if (Good && Arg == "--device")
            Options.Device = *Given;
        else if (Good && Arg == "--link")
            Options.Link = *Given;
        else if (Good && Arg == "--script")
            Options.Script = *Given;
        else if (Good && Arg == "--second")
            Good = ParseMilliseconds(*Given, Options.Second) && Options.Second.count() > 0;
        else if (Good && Arg == "--gap")
            Good = ParseMilliseconds(*Given, Options.Gap);
        else
            Good = false;
        if (!Good) {
            std::fprintf(stderr, "relaysim: bad option %s (try --help)\n", Argv[I]);
            return 2;
        }
    }
    return -1;
}

// Signals arrive as readable data on a descriptor, so that poll() sees them like any other input.
TFd BlockTerminationSignals() {
    sigset_t Set;
    sigemptyset(&Set);
    for (int Signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&Set, Signal);
    if (sigprocmask(SIG_BLOCK, &Set, nullptr) != 0)
        return TFd();
    return TFd(signalfd(-1, &Set, SFD_CLOEXEC | SFD_NONBLOCK));
}

} // namespace

int main(int Argc, char **Argv) {
    TOptions Options;
    if (const int Code = ParseOptions(Argc, Argv, Options); Code >= 0)
        return Code;
    std::vector<TSimStep> Script;
    if (!Options.Script.empty()) {
        std::string Error;
        auto Loaded = LoadScript(Options.Script, Error);
        if (!Loaded) {
            Say(Error);
            return 2;
        }
        Script = std::move(*Loaded);
    }
    std::signal(SIGPIPE, SIG_IGN); // a closed standard output must not end the board
    TFd Signals = BlockTerminationSignals();
    if (!Signals) {
        Say(std::string("cannot watch for signals: ") + std::strerror(errno));
        return 1;
    }
    try {
        TSimPort Port =
            Options.Device.empty() ? TSimPort::OpenPseudoTerminal() : TSimPort::OpenDevice(Options.Device);
        TSimLink Link = Options.Link.empty() ? TSimLink() : TSimLink(Options.Link, Port.Path());
        std::printf("%s\n", Port.Path().c_str());
        std::fflush(stdout);
        TSimulator Simulator(Options, Port, std::move(Signals), std::move(Script));
        return Simulator.Run();
    } catch (const ESimPort &Error) {
        Say(Error.Message);
        return 1;
    }
}
