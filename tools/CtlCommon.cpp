// Shared pieces of the command-line front ends (CtlCommon.h).
#include "CtlCommon.h"

#include "relay/PanelSettings.h"
#include "relay/PortKeeper.h"
#include "serial/port/ComPort.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <sys/signalfd.h>
#include <unistd.h>

std::optional<std::string> LoadRememberedSettings(TCustomComPort &Port, const char *Program) {
    const std::filesystem::path Path = PanelSettingsPath();
    if (Path.empty())
        return std::nullopt;
    Port.SetPort(""); // so that a port name afterwards is the file's own
    const TSettingsLoad Load = LoadPortSettings(Port, Path);
    if (Load.Outcome == soUnreadable || Load.Outcome == soMalformed) {
        // The settings are a convenience: say why they were not used and go on without them.
        std::fprintf(stderr, "%s: %s: %s\n", Program, Path.c_str(), Load.Detail.c_str());
        return std::nullopt;
    }
    // Unlike the panel, which only offers to open a remembered port, a remembered pseudo-terminal is
    // taken too: the operator asked for a command to go out, and a script may name its own pty.
    if (Load.Outcome != soLoaded || Port.Port().empty())
        return std::nullopt;
    return Port.Port();
}

void WireBoardEvents(TCustomComPort &Port, TPortKeeper &Keeper,
                     std::function<void(const std::string &)> Bytes, std::function<void()> Lost) {
    Port.SetEvents({evRxChar, evError});
    Port.SetSyncMethod(smThreadSync);
    Port.SetOnRxChar([&Keeper, Bytes = std::move(Bytes)](TCustomComPort &Sender, std::int32_t Count) {
        const TPortKeeper::TPortEvent Scope(Keeper);
        std::string Received;
        Sender.ReadText(Received, Count);
        Bytes(Received);
    });
    Port.SetOnError([&Keeper, Lost = std::move(Lost)](TCustomComPort &, TComErrors Errors) {
        const TPortKeeper::TPortEvent Scope(Keeper);
        if (Errors.Contains(ceIO))
            Lost();
    });
}

TSignalFd::TSignalFd() {
    sigset_t Signals;
    sigemptyset(&Signals);
    sigaddset(&Signals, SIGINT);
    sigaddset(&Signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &Signals, nullptr) != 0 ||
        (FFd = signalfd(-1, &Signals, SFD_CLOEXEC | SFD_NONBLOCK)) < 0)
        throw std::runtime_error("signalfd failed");
}

TSignalFd::~TSignalFd() {
    ::close(FFd);
}

int TSignalFd::Take() const {
    signalfd_siginfo Signal{};
    const bool Read = ::read(FFd, &Signal, sizeof Signal) == sizeof Signal;
    return Read ? static_cast<int>(Signal.ssi_signo) : SIGTERM;
}
