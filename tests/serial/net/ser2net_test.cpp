// The network driver against Debian's ser2net: the test writes its configuration, starts it on a
// free loopback port in front of a pseudo-terminal, and plays the board on the terminal's far end.
#include "serial/driver/posix/NetComDriver.h"
#include "tests/support/Pty.h"
#include "tests/support/Ser2net.h"
#include "tests/support/Tcp.h"

#include <gtest/gtest.h>

#include <termios.h>

#include <memory>
#include <string>

namespace {

using namespace ComApi;

constexpr DWORD Bound = 10000;

struct TOp {
    TEvent Event{true};
    TOverlapped Ov;
    TOp() { Ov.hEvent = &Event; }
};

// Opens Name once the server listens: each refused try waits (bounded) on the server's end.
HANDLE Open(TSer2net &Server, TComDriver &Driver, const char *Scheme) {
    for (int attempt = 0; attempt < 250 && Server.Started(); ++attempt) {
        const HANDLE h = Driver.CreateFile(Server.Name(Scheme));
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ECONNREFUSED)
            return h;
        if (Server.Ended(20))
            break;
    }
    return INVALID_HANDLE_VALUE;
}

struct Ser2net : ::testing::TestWithParam<const char *> {
    TPtyPair Pty;
    TNetComDriver Net;
    std::unique_ptr<TSer2net> Server;
    HANDLE H = INVALID_HANDLE_VALUE;

    void SetUp() override {
        if (!Ser2netPath())
            GTEST_SKIP() << "ser2net is not installed";
        if (!Pty.Ok())
            GTEST_SKIP() << "no pseudo-terminal support";
        const bool telnet = std::string(GetParam()) == "rfc2217";
        Server = std::make_unique<TSer2net>(telnet ? "telnet(rfc2217),tcp" : "tcp",
                                            SerialConnector(Pty.SlavePath()));
        H = Open(*Server, Net, GetParam());
        ASSERT_NE(H, INVALID_HANDLE_VALUE) << GetLastError();
        COMMTIMEOUTS t{MAXDWORD, MAXDWORD, Bound, 0, 0};
        ASSERT_TRUE(Net.SetCommTimeouts(H, t));
    }
    void TearDown() override {
        if (H != INVALID_HANDLE_VALUE)
            Net.CloseHandle(H);
    }
    void Write(const std::string &Bytes) {
        TOp op;
        DWORD n = 0;
        ASSERT_TRUE(Net.WriteFile(H, Bytes.data(), DWORD(Bytes.size()), &n, &op.Ov) ||
                    Net.GetOverlappedResult(H, &op.Ov, &n, true));
    }
    std::string Read(std::size_t Count) {
        std::string got;
        for (int i = 0; i < 100 && got.size() < Count; ++i) { // each read ends with the first bytes
            char buf[64];
            TOp op;
            DWORD n = 0;
            if (!Net.ReadFile(H, buf, DWORD(std::min(sizeof buf, Count - got.size())), &n, &op.Ov) &&
                !Net.GetOverlappedResult(H, &op.Ov, &n, true))
                break;
            if (n == 0)
                break;
            got.append(buf, n);
        }
        return got;
    }
};

INSTANTIATE_TEST_SUITE_P(Accepters, Ser2net, ::testing::Values("tcp", "rfc2217"),
                         [](const auto &Info) { return std::string(Info.param); });

TEST_P(Ser2net, CommandsOutAnswersInThenAHangUpWhenTheServerDies) {
    Write("RUN=1s\xff");
    EXPECT_EQ(Pty.Receive(7), "RUN=1s\xff");
    ASSERT_TRUE(Pty.Send("R1*\xff"));
    EXPECT_EQ(Read(4), "R1*\xff");

    ASSERT_TRUE(Net.SetCommMask(H, EV_ERR));
    DWORD mask = 0, errors = 0;
    TOp wait;
    const bool atOnce = Net.WaitCommEvent(H, &mask, &wait.Ov);
    Server->Kill();
    ASSERT_TRUE(atOnce || WaitForSingleObject(wait.Event, Bound) == WAIT_OBJECT_0);
    Net.GetOverlappedResult(H, &wait.Ov, nullptr, false); // the record's user always asks
    EXPECT_EQ(mask, EV_ERR);
    ASSERT_TRUE(Net.ClearCommError(H, &errors, nullptr));
    EXPECT_EQ(errors, CE_IOE);
}

TEST_P(Ser2net, BaudRateReachesTheTerminalOnlyThroughRfc2217) {
    DCB dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Flags = DCB_BINARY;
    ASSERT_TRUE(Net.SetCommState(H, dcb));
    Write("x"); // the server handles the connection in order: once this is out, the baud rate is set
    ASSERT_EQ(Pty.Receive(1), "x");
    termios tio{};
    ASSERT_EQ(::tcgetattr(Pty.SlaveFd(), &tio), 0);
    const bool telnet = std::string(GetParam()) == "rfc2217";
    EXPECT_EQ(::cfgetospeed(&tio), telnet ? B9600 : B4800);
}

// A pseudo-terminal has no modem lines (TIOCMGET fails), so ser2net in front of one reports all of
// them off once and never a change. In front of another RFC 2217 server, played by the test as the
// board's converter, it passes that server's modem-state reports on.
TEST(Ser2netRelay, ModemLineChangeOfTheFarServerBecomesAnEvent) {
    if (!Ser2netPath())
        GTEST_SKIP() << "ser2net is not installed";
    TTcpListener converter;
    TSer2net server("telnet(rfc2217),tcp",
                    "telnet(rfc2217),tcp,127.0.0.1," + std::to_string(converter.Port()));
    TNetComDriver net;
    const HANDLE h = Open(server, net, "rfc2217");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    TTcpPeer board = converter.Accept();
    ASSERT_TRUE(board.Ok());
    // As a converter does, it takes the COM-PORT-OPTION that ser2net offers: until it has an answer
    // (or gives up after some seconds), ser2net serves its own client nothing.
    ASSERT_EQ(board.Receive(3), "\xff\xfb\x2c"); // WILL COM-PORT-OPTION
    ASSERT_TRUE(board.Send("\xff\xfd\x2c"));     // DO COM-PORT-OPTION
    ASSERT_TRUE(net.SetCommMask(h, EV_CTS | EV_DSR | EV_RLSD));
    DWORD mask = 0, lines = 0;
    TOp wait;
    const bool atOnce = net.WaitCommEvent(h, &mask, &wait.Ov);
    ASSERT_TRUE(board.Send("\xff\xfa\x2c\x6b\x11\xff\xf0")); // NOTIFY-MODEMSTATE: CTS on, CTS changed
    ASSERT_TRUE(atOnce || WaitForSingleObject(wait.Event, Bound) == WAIT_OBJECT_0);
    net.GetOverlappedResult(h, &wait.Ov, nullptr, false);
    EXPECT_EQ(mask, EV_CTS);
    ASSERT_TRUE(net.GetCommModemStatus(h, &lines));
    EXPECT_EQ(lines, MS_CTS_ON);
    net.CloseHandle(h);
}

} // namespace
