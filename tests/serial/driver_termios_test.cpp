// How the POSIX driver maps the DCB onto the line: read back from the pseudo-terminal with the
// kernel's termios2 (a file of its own, since those declarations clash with <termios.h>).
#include "serial/driver/posix/LineFlags.h"
#include "serial/driver/posix/PosixComDriver.h"
#include "tests/support/Pty.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <cerrno>

using namespace ComApi;

namespace {

DCB Line(DWORD Rate, std::uint8_t Bits, std::uint8_t Parity, std::uint8_t Stop, DWORD Flags = DCB_BINARY) {
    DCB dcb;
    dcb.BaudRate = Rate;
    dcb.ByteSize = Bits;
    dcb.Parity = Parity;
    dcb.StopBits = Stop;
    dcb.Flags = Flags;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    return dcb;
}

TEST(PosixDriverTermios, DcbMapsOntoTheLine) {
    TPtyPair pty;
    if (!pty.Ok())
        GTEST_SKIP() << "no pseudo-terminal support";
    TPosixComDriver driver;
    const HANDLE h = driver.CreateFile(pty.SlavePath());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    const DWORD rtsHandshake = 2u << DCB_RTS_CONTROL_SHIFT;
    struct {
        const char *What;
        DCB Dcb;
        tcflag_t Cflag; // of CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS
        tcflag_t Iflag; // of IXON | IXOFF
    } rows[] = {
        {"4800 8N1", Line(4800, 8, NOPARITY, ONESTOPBIT), CS8, 0},
        {"any rate, 7E2", Line(250000, 7, EVENPARITY, TWOSTOPBITS), CS7 | CSTOPB | PARENB, 0},
        {"5O1.5", Line(9600, 5, ODDPARITY, ONE5STOPBITS), CS5 | CSTOPB | PARENB | PARODD, 0},
        {"mark", Line(9600, 6, MARKPARITY, ONESTOPBIT), CS6 | PARENB | PARODD | CMSPAR, 0},
        {"space", Line(9600, 8, SPACEPARITY, ONESTOPBIT), CS8 | PARENB | CMSPAR, 0},
        {"CTS flow", Line(9600, 8, NOPARITY, ONESTOPBIT, DCB_BINARY | DCB_OUTX_CTS_FLOW), CS8 | CRTSCTS, 0},
        {"RTS handshake", Line(9600, 8, NOPARITY, ONESTOPBIT, DCB_BINARY | rtsHandshake), CS8 | CRTSCTS, 0},
        {"XON/XOFF", Line(9600, 8, NOPARITY, ONESTOPBIT, DCB_BINARY | DCB_OUTX | DCB_INX), CS8, IXON | IXOFF},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.What);
        TLineFlags flags;
        ASSERT_TRUE(DcbToLineFlags(row.Dcb, flags));
        EXPECT_EQ(flags.Cflag, row.Cflag | BOTHER);
        EXPECT_EQ(flags.Iflag, row.Iflag);
        // On the line itself: a pseudo-terminal forces CS8 and clears PARENB, so those two are
        // checked above only.
        ASSERT_TRUE(driver.SetCommState(h, row.Dcb)) << GetLastError();
        termios2 tio{};
        ASSERT_EQ(::ioctl(pty.SlaveFd(), TCGETS2, &tio), 0);
        const tcflag_t kept = CSTOPB | PARODD | CMSPAR | CRTSCTS;
        EXPECT_EQ(tio.c_cflag & kept, row.Cflag & kept);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), row.Iflag);
        EXPECT_EQ(tio.c_ospeed, row.Dcb.BaudRate);
        EXPECT_EQ(tio.c_cc[VSTART], 17);
        EXPECT_EQ(tio.c_cc[VSTOP], 19);
        // Raw whatever the settings: no echo, no line editing, no output processing, nothing
        // stripped or translated (and no error markers on a line that cannot have errors).
        EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_iflag & (PARMRK | INPCK | IGNPAR | ISTRIP | BRKINT | ICRNL | INLCR | IGNCR), 0u);
    }

    const DCB bad[] = {Line(9600, 9, NOPARITY, ONESTOPBIT), Line(9600, 4, NOPARITY, ONESTOPBIT),
                       Line(9600, 8, 5, ONESTOPBIT), Line(9600, 8, NOPARITY, 3),
                       Line(0, 8, NOPARITY, ONESTOPBIT)};
    for (const DCB &dcb : bad) {
        EXPECT_FALSE(driver.SetCommState(h, dcb));
        EXPECT_EQ(GetLastError(), DWORD(EINVAL));
    }
    termios2 tio{};
    ASSERT_EQ(::ioctl(pty.SlaveFd(), TCGETS2, &tio), 0);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF)) << "a refused DCB changes nothing";
    EXPECT_TRUE(driver.CloseHandle(h));
}

} // namespace
