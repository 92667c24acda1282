#include "SimPort.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace relaysim {

namespace {

[[noreturn]] void Fail(const std::string &What) {
    throw ESimPort{What + ": " + std::strerror(errno)};
}

void SetBoardLine(int Fd, const std::string &Path) {
    termios Settings{};
    if (tcgetattr(Fd, &Settings) != 0)
        Fail(Path + ": not a terminal");
    cfmakeraw(&Settings);
    Settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    Settings.c_cflag |= CS8 | CLOCAL | CREAD;
    Settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    Settings.c_cc[VMIN] = 1;
    Settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&Settings, B4800) != 0 || cfsetospeed(&Settings, B4800) != 0 ||
        tcsetattr(Fd, TCSANOW, &Settings) != 0)
        Fail(Path + ": cannot set 4800 8N1");
}

} // namespace

int TSimPort::Unread() const {
    int Count = 0;
    // On the pseudo-terminal's own side the bytes wait in its input queue; on a device, in our output.
    // Written bytes reach that input queue a moment after write() returns, through the kernel's
    // buffer work; a poll on the queue's side finishes that work first, so the count includes them.
    if (Keeper) {
        pollfd Poll{Keeper.Get(), POLLIN, 0};
        ::poll(&Poll, 1, 0);
    }
    const bool Ok =
        Keeper ? ioctl(Keeper.Get(), FIONREAD, &Count) == 0 : ioctl(Line.Get(), TIOCOUTQ, &Count) == 0;
    return Ok ? Count : 0;
}

TSimPort TSimPort::OpenPseudoTerminal() {
    TFd Master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!Master)
        Fail("cannot create a pseudo-terminal");
    char Name[PATH_MAX];
    if (grantpt(Master.Get()) != 0 || unlockpt(Master.Get()) != 0 ||
        ptsname_r(Master.Get(), Name, sizeof Name) != 0)
        Fail("cannot unlock the pseudo-terminal");
    TFd Slave(::open(Name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!Slave)
        Fail(std::string("cannot open ") + Name);
    // The panel sets its own line settings when it opens the port; these are what it finds before.
    SetBoardLine(Slave.Get(), Name);
    if (fcntl(Master.Get(), F_SETFL, O_NONBLOCK) != 0)
        Fail("cannot make the pseudo-terminal non-blocking");
    return TSimPort(std::move(Master), std::move(Slave), Name);
}

TSimPort TSimPort::OpenDevice(const std::string &Path) {
    TFd Device(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!Device)
        Fail("cannot open " + Path);
    if (!isatty(Device.Get()))
        throw ESimPort{Path + ": not a terminal"}; // never play the board into a regular file
    // The same exclusive use that the panel asks for, so two programs never share one line.
    if (flock(Device.Get(), LOCK_EX | LOCK_NB) != 0)
        Fail(Path + " is in use");
    if (ioctl(Device.Get(), TIOCEXCL) != 0)
        Fail(Path + ": cannot get exclusive use");
    SetBoardLine(Device.Get(), Path);
    return TSimPort(std::move(Device), TFd(), Path);
}

TSimLink::TSimLink(const std::string &LinkPath, const std::string &Target) : Target(Target) {
    if (::symlink(Target.c_str(), LinkPath.c_str()) != 0)
        Fail("cannot create the link " + LinkPath);
    this->LinkPath = LinkPath;
}

TSimLink::~TSimLink() {
    if (LinkPath.empty())
        return;
    char Buffer[PATH_MAX];
    const ssize_t Length = ::readlink(LinkPath.c_str(), Buffer, sizeof Buffer - 1);
    if (Length >= 0 && std::string(Buffer, static_cast<std::size_t>(Length)) == Target)
        ::unlink(LinkPath.c_str());
}

} // namespace relaysim
