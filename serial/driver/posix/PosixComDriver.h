// The POSIX serial driver: the TComDriver for real terminals on Linux (8250 UARTs, USB adapters,
// pseudo-terminals).
//
// Linux offers a file descriptor with termios settings; the port component expects a device with
// its own input queue, overlapped operations, read time-outs and line events. That device is
// TOverlappedDevice (OverlappedDevice.h, which also states the time-out, event and hang-up rules);
// this driver gives it a tty:
//   - CreateFile opens "/dev/" + name (a name starting with '/' as it stands) non-blocking, takes
//     flock(LOCK_EX | LOCK_NB) and TIOCEXCL (root ignores TIOCEXCL, so the lock is what refuses a
//     second open, with EBUSY), refuses anything that is not a terminal with ENOTTY and puts the line
//     in raw mode.
//   - One driver thread per open device sleeps in poll() on the tty and a control event. It moves
//     received bytes into the input queue (SetupComm's input size, at least 4 KiB; while the queue
//     is full it stops reading, so the kernel's flow control holds the sender back and nothing is
//     dropped), finishes pending reads and writes, and raises the line events. It wakes only for
//     bytes, for a call that needs it, or for the deadline of a pending operation: an idle open port
//     costs no wake-ups. A read that finds the queue short first fetches what the kernel already
//     holds on the caller's thread.
//   - While a WaitCommEvent is pending, its record's event carries the tty (TEventSource,
//     PosixEvent.h): the thread that waits for that event polls the tty in the same poll() and reads
//     it into the queue itself, so a received byte wakes the event thread alone. Between two waits
//     input stays in the kernel for the next wait (a read, ClearCommError or a cleared mask fetch
//     it); the driver thread reads the tty again for a pending read, a full queue, a wait without
//     an event or a mask of 0, and it always keeps writes, deadlines, the drain check and hang-ups.
//   - The modem lines are watched by a helper thread where the device supports it (ModemLines.h).
//   - SetCommState maps the DCB onto termios2 (LineFlags.h) and DTR/RTS (ModemLines.h). Line errors
//     arrive as PARMRK markers (INPCK, PARMRK, no IGNPAR, no BRKINT, no ISTRIP; ParmrkDecoder.h);
//     where TIOCGICOUNT works its counters tell a parity error from a framing error and add
//     CE_OVERRUN. Without counters (some USB adapters) a marked byte counts as a parity error when
//     fParity is set and as a framing error otherwise. A parity error with fParity clear is plain
//     data. fNull discards received NULs; fErrorChar replaces bytes with parity errors.
//   - EV_TXEMPTY means the kernel's output queue is empty (TIOCOUTQ); while it is not, the driver
//     looks again when the bytes should be out at the line's rate, at most ten times a second.
//   - Pseudo-terminals have no modem lines, no error counters and no line errors: their lines read
//     as all off, they raise no line-change events and report no errors. That is not a failure.
//     They also go without PARMRK, which would force the kernel's per-character input path (about
//     ten times slower on a stream) for markers that never come.
//
// A device that goes away (USB adapter pulled, far side of a pseudo-terminal closed) shows as
// POLLHUP/POLLERR for good. The driver then stops watching the descriptor and hangs the device up.
// CloseHandle still works, and a new open of the same name works once the device is back.
//
// Thread safety: as the seam promises; each device has one mutex, taken briefly by every call.
// Whoever waits on a record's event calls GetOverlappedResult before closing that event: the call
// passes through the device's mutex, which orders the driver's last touch of the event before the
// close (the thread sanitizer sees no other order, since the event is signalled through the kernel).
#pragma once

#include "serial/driver/DeviceTable.h"

#include <string>
#include <vector>

namespace ComApi {

class TPosixComDriver : public TDeviceTable {
public:
    TPosixComDriver();
    // Closes every device still open.
    ~TPosixComDriver() override;
    TPosixComDriver(const TPosixComDriver &) = delete;
    TPosixComDriver &operator=(const TPosixComDriver &) = delete;

    HANDLE CreateFile(const std::string &Name) override;

    // Thread ids (as in /proc/self/task) of the driver's threads for an open handle, for the
    // benchmark that counts their wake-ups; empty for an unknown handle.
    std::vector<int> ThreadIds(HANDLE Handle);

    class TDevice;
};

} // namespace ComApi
