// Modem lines through TIOCMGET, TIOCMBIS/TIOCMBIC, TIOCMIWAIT and TIOCGICOUNT.
#include "serial/driver/posix/ModemLines.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace ComApi {

namespace {

bool NoModemSupport(int Error) {
    return Error == ENOTTY || Error == EINVAL;
}

} // namespace

bool ReadModemStatus(int Fd, DWORD &ModemStat) {
    int bits = 0;
    if (::ioctl(Fd, TIOCMGET, &bits) < 0) {
        if (!NoModemSupport(errno))
            return false;
        bits = 0; // a pseudo-terminal: every line off
    }
    ModemStat = 0;
    if (bits & TIOCM_CTS)
        ModemStat |= MS_CTS_ON;
    if (bits & TIOCM_DSR)
        ModemStat |= MS_DSR_ON;
    if (bits & TIOCM_RNG)
        ModemStat |= MS_RING_ON;
    if (bits & TIOCM_CD)
        ModemStat |= MS_RLSD_ON;
    return true;
}

bool SetModemControl(int Fd, const DCB &Dcb) {
    const DWORD dtr = (Dcb.Flags & DCB_DTR_CONTROL_MASK) >> DCB_DTR_CONTROL_SHIFT;
    const DWORD rts = (Dcb.Flags & DCB_RTS_CONTROL_MASK) >> DCB_RTS_CONTROL_SHIFT;
    int dtrBit = TIOCM_DTR, rtsBit = TIOCM_RTS;
    // Pseudo-terminals have no modem lines to set: ENOTTY or EINVAL there is not a failure.
    if (::ioctl(Fd, dtr == 0 ? TIOCMBIC : TIOCMBIS, &dtrBit) < 0 && !NoModemSupport(errno))
        return false;
    if (::ioctl(Fd, rts == 0 ? TIOCMBIC : TIOCMBIS, &rtsBit) < 0 && !NoModemSupport(errno))
        return false;
    return true;
}

void TModemWatch::Start(int Fd, std::function<void(DWORD Events)> Changed) {
    if (::ioctl(Fd, TIOCMGET, &FBits) < 0)
        return; // no modem lines to watch
    serial_icounter_struct counters{};
    if (::ioctl(Fd, TIOCGICOUNT, &counters) == 0) {
        FCts = counters.cts;
        FDsr = counters.dsr;
        FDcd = counters.dcd;
        FRng = counters.rng;
    }
    FFd = Fd;
    FChanged = std::move(Changed);
    FThread.Start([this] { Run(); });
}

void TModemWatch::Run() {
    while (!FThread.Stopping()) {
        if (::ioctl(FFd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD) < 0) {
            if (errno == EINTR)
                continue; // woken to stop, or by chance: the loop condition tells
            return;       // not supported (cdc-acm and friends), or the device is gone
        }
        if (const DWORD events = Changes())
            FChanged(events);
    }
}

DWORD TModemWatch::Changes() {
    int bits = 0;
    if (::ioctl(FFd, TIOCMGET, &bits) < 0)
        return 0;
    serial_icounter_struct now{};
    const bool counted = ::ioctl(FFd, TIOCGICOUNT, &now) == 0;
    const int changed = bits ^ FBits;
    DWORD events = 0;
    if ((changed & TIOCM_CTS) || (counted && now.cts != FCts))
        events |= EV_CTS;
    if ((changed & TIOCM_DSR) || (counted && now.dsr != FDsr))
        events |= EV_DSR;
    if ((changed & TIOCM_CD) || (counted && now.dcd != FDcd))
        events |= EV_RLSD;
    if ((changed & bits & TIOCM_RNG) || (counted && now.rng != FRng))
        events |= EV_RING;
    if (counted) {
        FCts = now.cts;
        FDsr = now.dsr;
        FDcd = now.dcd;
        FRng = now.rng;
    }
    FBits = bits;
    return events;
}

} // namespace ComApi
