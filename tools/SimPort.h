// The simulator's end of the serial line: a new pseudo-terminal, or a device it is given, set to the
// board's line settings (4800 baud, 8 data bits, no parity, one stop bit, raw). Everything it opens
// or creates is released by destructors, so every way out of relaysim leaves nothing behind.
#pragma once

#include "base/Fd.h"

#include <string>
#include <utility>

namespace relaysim {

// Thrown with a message fit for the user when the port cannot be set up.
struct ESimPort {
    std::string Message;
};

class TSimPort {
public:
    // A new pseudo-terminal; the board answers on its master side, the panel opens Path().
    static TSimPort OpenPseudoTerminal();
    // An existing terminal device (a USB adapter wired to a real panel, one end of a null modem).
    static TSimPort OpenDevice(const std::string &Path);

    int Fd() const { return Line.Get(); }
    // Bytes written but not yet taken by the other side. Closing a pseudo-terminal's master throws
    // away what its reader has not read, so a simulator that stops on its own waits for this to be 0.
    int Unread() const;
    const std::string &Path() const { return DevicePath; }

private:
    TSimPort(TFd Line, TFd Keeper, std::string Path)
        : Line(std::move(Line)),
          Keeper(std::move(Keeper)),
          DevicePath(std::move(Path)) {}

    TFd Line;
    // The pseudo-terminal's other side, held open so that the master never reads as hung up (and
    // poll never spins) while no panel has the port open.
    TFd Keeper;
    std::string DevicePath;
};

// A symbolic link made at start and removed at exit, but only while it still points where we made
// it point: a link that someone replaced in the meantime is theirs.
class TSimLink {
public:
    TSimLink() = default;
    TSimLink(const std::string &LinkPath, const std::string &Target); // throws ESimPort
    TSimLink(TSimLink &&Other) noexcept
        : LinkPath(std::exchange(Other.LinkPath, {})),
          Target(std::move(Other.Target)) {}
    TSimLink &operator=(TSimLink &&) = delete;
    TSimLink(const TSimLink &) = delete;
    ~TSimLink();

private:
    std::string LinkPath;
    std::string Target;
};

} // namespace relaysim
