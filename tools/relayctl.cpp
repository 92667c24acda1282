// relayctl: the relay board from the command line and from scripts. It runs the panel's own core
// (the relay controller, the answer gatherer, the port component) without a window: the main
// thread sleeps in the serial layer's poll() loop, which runs the port's events and also watches a
// signalfd (SIGINT, SIGTERM) and, for "-", standard input. With --follow the listening keeps a
// board that goes away as the panel does, through the panel's own keeper (relay/PortKeeper.h) on
// the same loop, and prints the keeper's console lines.
#include "CtlCommands.h"
#include "CtlCommon.h"
#include "CtlOutput.h"

#include "i18n/SystemText.h"
#include "i18n/gnugettext.h"
#include "relay/AnswerGatherer.h"
#include "relay/CodePage1250.h"
#include "relay/PanelSettings.h"
#include "relay/PlatformHooks.h"
#include "relay/PortKeeper.h"
#include "relay/ReleUnit.h"
#include "serial/driver/posix/MainThreadLoop.h"
#include "serial/port/ComPort.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

enum TExitCode : int { exSent = 0, exRefused = 1, exPortFailed = 2, exUsage = 3 };

const char *const Synopsis = "Usage: relayctl [--port NAME] [--wait SECONDS] [--json] COMMAND...\n"
                             "       relayctl [--port NAME] [--json] --listen [--follow] [COMMAND...]\n";

const char *const UsageText =
    "\n"
    "Sends each COMMAND to the relay board in order and prints every console line the panel would\n"
    "show, oldest first. COMMAND \"-\" reads commands from standard input, one per line.\n"
    "\n"
    "  --port NAME      the board's port (ttyUSB0, /dev/pts/3, tcp://HOST:PORT, mqtt://HOST/BOARD);\n"
    "                   default: the panel's remembered port\n"
    "  --wait SECONDS   how long to listen for answers after the last command (default 1)\n"
    "  --listen         after the commands, print every answer as it comes until SIGINT or SIGTERM\n"
    "  --follow         with --listen: a board that goes away is waited for and opened again, as the\n"
    "                   panel does (a device until it is back, a network port every 1-30 s)\n"
    "  --json           one JSON object per line: time, kind, text; answers add respond and state\n"
    "  --help           this text\n"
    "\n"
    "Exit status: 0 all commands sent, 1 a command refused, 2 the port could not be opened or\n"
    "failed, 3 usage, 128 + N signal N before every command was sent.\n";

class EUsage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TOptions {
    std::optional<std::string> Port;
    std::chrono::duration<double> Wait{1.0};
    bool WaitGiven = false;
    bool Json = false;
    bool Listen = false;
    bool Follow = false;
    bool Help = false;
    std::vector<std::string> Commands;
};

std::chrono::duration<double> ParseSeconds(const std::string &Text) {
    errno = 0;
    char *End = nullptr;
    const double Value = std::strtod(Text.c_str(), &End);
    // Up to a year: enough for any rig, and far inside what the clock can add.
    if (Text.empty() || *End != '\0' || errno != 0 || !std::isfinite(Value) || Value < 0 || Value > 31.6e6)
        throw EUsage("--wait needs a number of seconds, not \"" + Text + "\"");
    return std::chrono::duration<double>(Value);
}

TOptions ParseOptions(int argc, char **argv) {
    TOptions Options;
    const auto ValueOf = [&](int &I, const std::string &Name) -> std::string {
        if (I + 1 >= argc)
            throw EUsage(Name + " needs a value");
        return argv[++I];
    };
    bool OptionsEnded = false;
    for (int I = 1; I < argc; ++I) {
        const std::string Arg = argv[I];
        if (OptionsEnded || Arg == "-" || !Arg.starts_with("--"))
            Options.Commands.push_back(Arg);
        else if (Arg == "--")
            OptionsEnded = true;
        else if (Arg == "--port")
            Options.Port = ValueOf(I, Arg);
        else if (Arg.starts_with("--port="))
            Options.Port = Arg.substr(7);
        else if (Arg == "--wait" || Arg.starts_with("--wait=")) {
            Options.Wait = ParseSeconds(Arg == "--wait" ? ValueOf(I, Arg) : Arg.substr(7));
            Options.WaitGiven = true;
        } else if (Arg == "--json")
            Options.Json = true;
        else if (Arg == "--listen")
            Options.Listen = true;
        else if (Arg == "--follow")
            Options.Follow = true;
        else if (Arg == "--help")
            Options.Help = true;
        else
            throw EUsage("unknown option " + Arg);
    }
    if (Options.Port && Options.Port->empty())
        throw EUsage("--port needs a port name");
    if (Options.Listen && Options.WaitGiven)
        throw EUsage("--wait and --listen exclude each other");
    if (Options.Follow && !Options.Listen)
        throw EUsage("--follow needs --listen");
    if (!Options.Help && !Options.Listen && Options.Commands.empty())
        throw EUsage("no command given");
    return Options;
}

class TSession {
public:
    explicit TSession(const TOptions &Options)
        : FOptions(Options),
          FConsole(stdout, Options.Json),
          FRele(&FConsole, &FPort) {
        ApplyPanelPortDefaults(FPort);
        // The keeper's lines are printed as they come; its new descriptor or deadline ends the
        // loop's sleep, so that RunKeeping takes them up.
        FKeeper.OnChange = [this] {
            Emit();
            FLoop.Wake();
        };
    }
    ~TSession();
    TSession(const TSession &) = delete;
    TSession &operator=(const TSession &) = delete;

    int Run();

private:
    bool Open();
    void WireEvents();
    void Send(const std::string &Utf8Command);
    // Each returns how the loop ended: leDeadline when the session may go on, leReadable for a
    // signal, leStopped when the port failed or the output went away.
    TMainThreadLoop::TLoopEnd SendStandardInput();
    // The loop, with the keeper served when following the board.
    TMainThreadLoop::TLoopEnd RunLoop(std::optional<TMainThreadLoop::TClock::time_point> Deadline,
                                      std::span<const int> Watched, std::size_t *Ready = nullptr);
    // Shows the answers that came meanwhile, before the next command goes out; signals wait.
    TMainThreadLoop::TLoopEnd Drain();
    TMainThreadLoop::TLoopEnd Listen(std::optional<TMainThreadLoop::TClock::time_point> Deadline);
    // The exit code for a signal that came before every command was sent.
    int Interrupted();
    void Emit(std::optional<TRespondKind> Answer = std::nullopt);
    void Note(int ExitCode);

    const TOptions &FOptions;
    TSignalFd FSignals;
    TComPort FPort;
    TCtlConsole FConsole;
    TRele FRele;
    TAnswerGatherer FAnswers;
    TMainThreadLoop FLoop;
    TPortKeeper FKeeper{FRele, FPort};
    int FExitCode = exSent;
    bool FCommandsSent = false;
    bool FOutputGone = false;
};

TSession::~TSession() {
    try {
        FPort.ClosePort();
    } catch (const std::exception &Error) {
        std::fprintf(stderr, "relayctl: %s\n", Error.what());
    }
}

void TSession::Note(int ExitCode) {
    // A failed port outweighs a refused command; the first refusal is enough to tell.
    if (FExitCode == exSent || ExitCode == exPortFailed)
        FExitCode = ExitCode;
}

void TSession::Emit(std::optional<TRespondKind> Answer) {
    // A reader that went away (relayctl --listen | head -1) ends the listening, but the commands
    // still go out: a script that only wanted the first line still switches every relay.
    if (FConsole.Emit(FRele, Answer))
        return;
    FOutputGone = true;
    if (FCommandsSent)
        FLoop.Stop();
}

void TSession::WireEvents() {
    WireBoardEvents(
        FPort, FKeeper,
        [this](const std::string &Received) {
            FAnswers.Append(Received);
            while (const std::optional<std::string> Respond = FAnswers.NextAnswer()) {
                const TRespondKind Kind = FRele.ProcessRespond(*Respond);
                Emit(Kind);
            }
        },
        [this] {
            // The loop ends and the session closes the port, or the keeper does.
            if (FOptions.Follow) {
                FRele.WriteComMsg("Chyba v komunikaci na COM portu.");
                return FKeeper.DeviceLost();
            }
            std::fprintf(stderr, "COM > Chyba v komunikaci na COM portu.\nCOM > Zařízení bylo odpojeno.\n");
            Note(exPortFailed);
            FLoop.Stop();
        });
}

bool TSession::Open() {
    std::optional<std::string> Name = LoadRememberedSettings(FPort, "relayctl");
    if (FOptions.Port)
        Name = FOptions.Port;
    if (!Name)
        throw EUsage("no port remembered by the panel: name one with --port NAME");
    WireEvents();
    FRele.OpenComPort(*Name);
    Emit();
    return FPort.Connected();
}

void TSession::Send(const std::string &Utf8Command) {
    try {
        const bool Refused = FRele.SendCmd(Utf8ToCp1250(Utf8Command)) == ccRejected;
        if (Refused)
            Note(exRefused);
        Emit();
        if (const auto Hint = UnterminatedCommandHint(Utf8Command); Refused && Hint)
            std::fprintf(stderr, "relayctl: %s\n", Hint->c_str());
    } catch (const EComPort &Error) {
        // The description went out before the write failed; the failure ends the session.
        Emit();
        std::fprintf(stderr, "relayctl: %s\n", Error.what());
        Note(exPortFailed);
        FLoop.Stop();
    }
}

TMainThreadLoop::TLoopEnd TSession::SendStandardInput() {
    const int Watched[] = {FSignals.Fd(), STDIN_FILENO};
    std::string Pending;
    for (;;) {
        std::size_t Ready = 0;
        const TMainThreadLoop::TLoopEnd End = RunLoop(std::nullopt, Watched, &Ready);
        if (End != TMainThreadLoop::leReadable || Ready == 0)
            return End;
        char Buffer[4096];
        const ssize_t Got = ::read(STDIN_FILENO, Buffer, sizeof Buffer);
        if (Got < 0 && errno == EINTR)
            continue;
        if (Got > 0)
            Pending.append(Buffer, static_cast<std::size_t>(Got));
        else
            Pending += '\n'; // the end of input (or a read error) ends the last line too
        for (std::size_t Eol; !FLoop.Stopped() && (Eol = Pending.find('\n')) != std::string::npos;) {
            std::string Line = Pending.substr(0, Eol);
            Pending.erase(0, Eol + 1);
            if (!Line.empty() && Line.back() == '\r')
                Line.pop_back();
            if (!Line.empty())
                Send(Line);
        }
        if (Got <= 0)
            return Drain();
    }
}

TMainThreadLoop::TLoopEnd TSession::RunLoop(std::optional<TMainThreadLoop::TClock::time_point> Deadline,
                                            std::span<const int> Watched, std::size_t *Ready) {
    if (FOptions.Follow)
        return RunKeeping(FLoop, FKeeper, Deadline, Watched, Ready);
    return FLoop.Run(Deadline, Watched, Ready);
}

TMainThreadLoop::TLoopEnd TSession::Drain() {
    const TMainThreadLoop::TLoopEnd End = FLoop.Run(TMainThreadLoop::TClock::now());
    if (End == TMainThreadLoop::leFailed)
        Note(exPortFailed);
    return End;
}

TMainThreadLoop::TLoopEnd TSession::Listen(std::optional<TMainThreadLoop::TClock::time_point> Deadline) {
    const int Watched[] = {FSignals.Fd()};
    const TMainThreadLoop::TLoopEnd End = RunLoop(Deadline, Watched);
    if (End == TMainThreadLoop::leFailed)
        Note(exPortFailed); // poll() itself failed: nothing more can be heard
    return End;
}

int TSession::Interrupted() {
    return 128 + FSignals.Take();
}

int TSession::Run() {
    if (!Open())
        return exPortFailed;
    for (const std::string &Command : FOptions.Commands) {
        TMainThreadLoop::TLoopEnd End = TMainThreadLoop::leDeadline;
        if (Command == "-") {
            End = SendStandardInput();
        } else {
            Send(Command);
            End = Drain();
        }
        // Only the wait for standard input watches for signals: there a signal means commands that
        // never went out, which is no success (the shell's code for it). Any other signal waits
        // for the listening after the last command, which it ends as usual.
        if (End == TMainThreadLoop::leReadable)
            return Interrupted();
        if (End != TMainThreadLoop::leDeadline)
            return FExitCode;
    }
    // From here a signal is the normal end of listening, and a reader that went away ends it too.
    FCommandsSent = true;
    if (FOutputGone)
        return FExitCode;
    const auto Wait = std::chrono::duration_cast<TMainThreadLoop::TClock::duration>(FOptions.Wait);
    Listen(FOptions.Listen ? std::nullopt : std::optional(TMainThreadLoop::TClock::now() + Wait));
    return FExitCode;
}

} // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    // A script needs no bell for an alarm; the line says what happened.
    SetBeepHook([] {});
    // The system's reason for a failed open in the operator's language, as the panel gives it.
    TGnuGettextSession Gettext;
    BindSystemCatalogues();
    try {
        const TOptions Options = ParseOptions(argc, argv);
        if (Options.Help) {
            std::fputs(Synopsis, stdout);
            std::fputs(UsageText, stdout);
            std::fputs(BoardCommandsText, stdout);
            return exSent;
        }
        TSession Session(Options);
        return Session.Run();
    } catch (const EUsage &Error) {
        std::fprintf(stderr, "relayctl: %s\n%sTry 'relayctl --help' for more.\n", Error.what(), Synopsis);
        return exUsage;
    } catch (const std::exception &Error) {
        std::fprintf(stderr, "relayctl: %s\n", Error.what());
        return exPortFailed;
    }
}
