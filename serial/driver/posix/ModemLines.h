// A tty's modem lines: their state as the seam's MS_ bits, DTR and RTS as a DCB asks for them, and a
// helper thread that reports their changes. Pseudo-terminals have no modem lines: they read as all
// off, take DTR and RTS without complaint and report no changes. That is not a failure.
#pragma once

#include "serial/driver/ComDriver.h"
#include "serial/driver/posix/QuietThread.h"

#include <functional>

namespace ComApi {

// GetCommModemStatus's word; false with errno for a failure other than "no modem lines".
bool ReadModemStatus(int Fd, DWORD &ModemStat);
// Raises or lowers DTR and RTS as fDtrControl and fRtsControl ask (DTR handshake keeps DTR raised,
// RTS toggle keeps RTS raised); false with errno.
bool SetModemControl(int Fd, const DCB &Dcb);

// Watches the lines from a helper thread that blocks in TIOCMIWAIT, where the device supports it
// (8250 UARTs, most USB adapters; not cdc-acm's CTS, not pseudo-terminals), and passes each change on
// as EV_CTS, EV_DSR, EV_RLSD and EV_RING bits. The kernel's counters catch a pulse that is over
// before the lines are read.
class TModemWatch {
public:
    // Starts the helper if the tty has modem lines; Changed runs on the helper thread. The tty must
    // stay open until Stop.
    void Start(int Fd, std::function<void(DWORD Events)> Changed);
    void Stop() { FThread.Stop(); }
    bool Running() const { return FThread.Running(); }
    int Tid() const { return FThread.Tid(); }

private:
    void Run();
    DWORD Changes();

    int FFd = -1;
    std::function<void(DWORD)> FChanged;
    int FBits = 0;
    int FCts = 0, FDsr = 0, FDcd = 0, FRng = 0; // the kernel's counters when last looked at
    TInterruptibleThread FThread;
};

} // namespace ComApi
