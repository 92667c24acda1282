#include "SimProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace simtest {

namespace {

using TClock = std::chrono::steady_clock;

int MillisecondsLeft(TClock::time_point End) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(End - TClock::now()).count();
    return Left > 0 ? static_cast<int>(Left) : 0;
}

// Reads what is there within the bound; false when nothing more will come (or came in time).
bool ReadSome(int Fd, std::string &Into, TClock::time_point End) {
    pollfd Poll{Fd, POLLIN, 0};
    if (::poll(&Poll, 1, MillisecondsLeft(End)) <= 0)
        return false;
    char Buffer[512];
    const ssize_t Got = ::read(Fd, Buffer, sizeof Buffer);
    if (Got <= 0)
        return false;
    Into.append(Buffer, static_cast<std::size_t>(Got));
    return true;
}

void CloseFd(int &Fd) {
    if (Fd >= 0)
        ::close(Fd);
    Fd = -1;
}

} // namespace

TSimProcess::TSimProcess(std::vector<std::string> Args, bool Connect, std::string Program) {
    int InPipe[2], OutPipe[2], ErrPipe[2];
    if (pipe2(InPipe, O_CLOEXEC) != 0 || pipe2(OutPipe, O_CLOEXEC) != 0 || pipe2(ErrPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    Args.insert(Args.begin(), std::move(Program));
    std::vector<char *> Argv;
    for (auto &Arg : Args)
        Argv.push_back(Arg.data());
    Argv.push_back(nullptr);
    Pid = fork();
    if (Pid == 0) {
        dup2(InPipe[0], STDIN_FILENO);
        dup2(OutPipe[1], STDOUT_FILENO);
        dup2(ErrPipe[1], STDERR_FILENO);
        // As from a terminal: a shell cannot trap a signal that was ignored when it started.
        std::signal(SIGINT, SIG_DFL);
        execv(Argv[0], Argv.data());
        _exit(127);
    }
    ::close(InPipe[0]);
    ::close(OutPipe[1]);
    ::close(ErrPipe[1]);
    In = InPipe[1];
    Out = OutPipe[0];
    Err = ErrPipe[0];
    PidFd = static_cast<int>(syscall(SYS_pidfd_open, Pid, 0));
    if (!Connect)
        return;
    Path = ReadOutputLine();
    Line = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Line < 0)
        throw std::runtime_error("cannot open the simulator's port \"" + Path + "\"");
    termios Settings{};
    tcgetattr(Line, &Settings);
    cfmakeraw(&Settings);
    tcsetattr(Line, TCSANOW, &Settings);
}

TSimProcess::~TSimProcess() {
    CloseFd(In);
    if (Wait() == -1 && ExitCode == -2) {
        ::kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
    }
    for (int *Fd : {&Out, &Err, &Line, &PidFd})
        CloseFd(*Fd);
}

void TSimProcess::Send(const std::string &Bytes) {
    if (::write(Line, Bytes.data(), Bytes.size()) != static_cast<ssize_t>(Bytes.size()))
        throw std::runtime_error("write to the port failed");
}

std::string TSimProcess::Receive(std::size_t Count) {
    const auto End = TClock::now() + Bound;
    std::string Got;
    while (Got.size() < Count && ReadSome(Line, Got, End)) {
    }
    return Got;
}

void TSimProcess::Feed(const std::string &Text) {
    if (::write(In, Text.data(), Text.size()) != static_cast<ssize_t>(Text.size()))
        throw std::runtime_error("write to the simulator's input failed");
}

std::string TSimProcess::Control(const std::string &Line) {
    Feed(Line == "state" ? "state\n" : Line + "\nstate\n");
    return ReadOutputLine();
}

std::string TSimProcess::ReadOutputLine() {
    const auto End = TClock::now() + Bound;
    for (;;) {
        if (const auto Eol = OutBuffer.find('\n'); Eol != std::string::npos) {
            std::string Result = OutBuffer.substr(0, Eol);
            OutBuffer.erase(0, Eol + 1);
            return Result;
        }
        if (!ReadSome(Out, OutBuffer, End))
            return {};
    }
}

void TSimProcess::CloseInput() {
    CloseFd(In);
}

void TSimProcess::Signal(int Number) {
    ::kill(Pid, Number);
}

int TSimProcess::Wait() {
    if (ExitCode != -2)
        return ExitCode;
    pollfd Poll{PidFd, POLLIN, 0};
    if (PidFd >= 0 && ::poll(&Poll, 1, static_cast<int>(std::chrono::milliseconds(Bound).count())) <= 0)
        return -1;
    int Status = 0;
    if (waitpid(Pid, &Status, 0) != Pid)
        return -1;
    ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    return ExitCode;
}

std::string TSimProcess::Errors() {
    const auto End = TClock::now() + Bound;
    std::string Text;
    while (ReadSome(Err, Text, End)) {
    }
    return Text;
}

} // namespace simtest
