// The termios2 fields that SetCommState derives from a DCB, as plain numbers so that the kernel's
// declarations stay inside the driver. Cflag and Iflag hold only the bits the DCB decides
// (CBAUD/BOTHER, CSIZE, CSTOPB, PARENB, PARODD, CMSPAR, CRTSCTS; IXON, IXOFF); the rest of the
// line's flags stay as the open set them. Apart for tests: a pseudo-terminal forces 8 data bits and
// no parity, so the full mapping can only be checked here.
//
// Mapping (what Linux cannot express is accepted and approximated):
//   - BaudRate: any rate through BOTHER. ByteSize 5-8: CS5-CS8. StopBits: ONESTOPBIT, else CSTOPB
//     (the UART sends 1.5 stop bits for CSTOPB with 5 data bits, 2 otherwise; 1.5 with 6-8 data
//     bits therefore becomes 2). Parity: PARENB, PARODD, CMSPAR for mark and space.
//   - fOutxCtsFlow or fRtsControl handshake: CRTSCTS, which governs both directions at once.
//   - fOutX/fInX: IXON/IXOFF with VSTART/VSTOP from XonChar/XoffChar.
//   - DTR and RTS are modem lines, not flags (ModemLines.h).
//   - Not expressible, accepted and ignored: fOutxDsrFlow, fDsrSensitivity, fTXContinueOnXoff,
//     XonLim/XoffLim (the kernel has fixed thresholds), fAbortOnError, EofChar.
#pragma once

#include "serial/driver/ComDriver.h"

#include <cstdint>

namespace ComApi {

struct TLineFlags {
    std::uint32_t Cflag = 0, Iflag = 0, Speed = 0;
    std::uint8_t Start = 0, Stop = 0;
};
// False for a DCB no line can take (ByteSize outside 5-8, Parity or StopBits out of range, rate 0).
bool DcbToLineFlags(const DCB &Dcb, TLineFlags &Flags);

} // namespace ComApi
