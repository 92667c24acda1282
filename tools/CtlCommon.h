// What the command-line front ends on the panel's core (relayctl, relaymqtt) share: the port the
// panel remembered and SIGINT/SIGTERM as a descriptor for the poll() loop.
#pragma once

#include <functional>
#include <optional>
#include <string>

class TCustomComPort;
class TPortKeeper;

// Loads the settings the panel remembered, when there are any, and returns the port they name. A
// file that cannot be used is reported on standard error, after Program and a colon, and ignored.
std::optional<std::string> LoadRememberedSettings(TCustomComPort &Port, const char *Program);

// Sets Port up as the front ends read the board: receive and error events, run on the main thread,
// each marked for Keeper as a port handler. Bytes gets what arrived; Lost runs when the device went
// away (both drivers report that as ceIO). Neither may close the port: it must not be closed from
// its own handler (the keeper closes it later, or the front end once the loop has ended).
void WireBoardEvents(TCustomComPort &Port, TPortKeeper &Keeper,
                     std::function<void(const std::string &Bytes)> Bytes, std::function<void()> Lost);

// SIGINT and SIGTERM as a descriptor the loop watches. Made before any thread starts, so every
// thread inherits the blocked mask and only the descriptor sees them.
class TSignalFd {
public:
    TSignalFd();
    ~TSignalFd();
    TSignalFd(const TSignalFd &) = delete;
    TSignalFd &operator=(const TSignalFd &) = delete;
    int Fd() const noexcept { return FFd; }
    // The number of the signal that came, SIGTERM when it cannot be read.
    int Take() const;

private:
    int FFd = -1;
};
