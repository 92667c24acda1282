// The DCB onto termios2. This file isolates the kernel's termios2 declarations (<asm/termbits.h>),
// which clash with the C library's <termios.h>.
#include "serial/driver/posix/LineFlags.h"

#include <asm/termbits.h>

namespace ComApi {

bool DcbToLineFlags(const DCB &Dcb, TLineFlags &Flags) {
    if (Dcb.BaudRate == 0 || Dcb.ByteSize < 5 || Dcb.ByteSize > 8 || Dcb.Parity > SPACEPARITY ||
        Dcb.StopBits > TWOSTOPBITS)
        return false;
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    Flags = TLineFlags{};
    Flags.Cflag = BOTHER | sizes[Dcb.ByteSize - 5]; // BOTHER: the rate as a number, any rate
    Flags.Speed = Dcb.BaudRate;
    // CSTOPB gives 1.5 stop bits with 5 data bits and 2 otherwise: the nearest to either request.
    if (Dcb.StopBits != ONESTOPBIT)
        Flags.Cflag |= CSTOPB;
    if (Dcb.Parity != NOPARITY)
        Flags.Cflag |= PARENB;
    if (Dcb.Parity == ODDPARITY || Dcb.Parity == MARKPARITY)
        Flags.Cflag |= PARODD;
    if (Dcb.Parity == MARKPARITY || Dcb.Parity == SPACEPARITY)
        Flags.Cflag |= CMSPAR;
    const DWORD rts = (Dcb.Flags & DCB_RTS_CONTROL_MASK) >> DCB_RTS_CONTROL_SHIFT;
    if ((Dcb.Flags & DCB_OUTX_CTS_FLOW) || rts == 2)
        Flags.Cflag |= CRTSCTS; // Linux has one switch for both directions
    if (Dcb.Flags & DCB_OUTX)
        Flags.Iflag |= IXON;
    if (Dcb.Flags & DCB_INX)
        Flags.Iflag |= IXOFF;
    Flags.Start = static_cast<std::uint8_t>(Dcb.XonChar);
    Flags.Stop = static_cast<std::uint8_t>(Dcb.XoffChar);
    return true;
}

} // namespace ComApi
