// What only the network driver does: connecting (refused, unanswered, malformed names), Telnet's
// framing and the COM-PORT-OPTION against a server played by the test over loopback. The reads,
// writes, waits and hang-ups it shares with the other drivers run in the contract suite.
#include "driver_fixture.h"

#include "serial/driver/TelnetCodec.h"
#include "serial/driver/posix/NetConnect.h"
#include "tests/support/Leaks.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

TEST(NetOpen, FailuresCarryTheSystemsCode) {
    TNetComDriver net(300ms);
    TTcpListener full(0); // loopback drops connects beyond a full backlog: they are never answered
    std::vector<TTcpPeer> filling;
    for (int i = 0; i < 2; ++i) {
        filling.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(full.Port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(filling.back().Fd(), reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    int closedPort = 0;
    {
        TTcpListener gone;
        closedPort = gone.Port();
    }
    const struct {
        std::string Name;
        DWORD Error;
    } rows[] = {
        {"tcp://127.0.0.1:" + std::to_string(closedPort), ECONNREFUSED},
        {"rfc2217://127.0.0.1:" + std::to_string(full.Port()), ETIMEDOUT},
        {"tcp://127.0.0.1:99999", EINVAL},
        {"tcp://:80", EINVAL},
        {"tcp://[::1:80", EINVAL},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(net.CreateFile(row.Name), INVALID_HANDLE_VALUE) << row.Name;
        EXPECT_EQ(GetLastError(), row.Error) << row.Name;
    }
}

// Host names go to a resolver of the test: one that knows "board.test" as the loopback address, one
// that does not know the name, one that answers only after the open has given up.
TEST(NetOpen, HostNameLookupStaysInsideTheOpenBound) {
    TTcpListener server;
    const std::string port = std::to_string(server.Port());
    // On the heap and shared: the thread of the lookup given up may leave after this test.
    struct TGate {
        std::mutex Mutex;
        std::condition_variable Released;
        bool Release = false;
        int Calls = 0;
    };
    const auto gate = std::make_shared<TGate>();
    const TResolver resolve = [gate](const char *Host, const char *Port, const addrinfo *Hints,
                                     addrinfo **Found) {
        std::unique_lock lock(gate->Mutex);
        ++gate->Calls;
        if (std::string_view(Host) == "slow.test")
            gate->Released.wait(lock, [&] { return gate->Release; });
        if (std::string_view(Host) != "board.test")
            return EAI_NONAME;
        return ::getaddrinfo("127.0.0.1", Port, Hints, Found);
    };
    const TLeakBaseline baseline;
    {
        TNetComDriver net(300ms, resolve);
        for (const auto &[host, error] : {std::pair{"unknown.test", ENXIO}, {"slow.test", ETIMEDOUT}}) {
            EXPECT_EQ(net.CreateFile("tcp://"s + host + ":" + port), INVALID_HANDLE_VALUE) << host;
            EXPECT_EQ(GetLastError(), DWORD(error)) << host;
        }
        // A probe looks the name up and connects without blocking; the open then uses its connection.
        TNetProbe probe("tcp://board.test:" + port, resolve);
        TNetProbe::TState state = probe.Step();
        for (int i = 0; i < 100 && state == TNetProbe::npPending; ++i) {
            pollfd p{probe.Handle(), POLLIN, 0};
            ::poll(&p, 1, 100);
            state = probe.Step();
        }
        ASSERT_EQ(state, TNetProbe::npConnected);
        const HANDLE h = net.CreateFile("tcp://board.test:" + port);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_TRUE(server.Accept().Ok());
        EXPECT_FALSE(server.Accept(0).Ok()) << "the open dialled a second connection";
        const HANDLE numeric = net.CreateFile("tcp://127.0.0.1:" + port);
        EXPECT_NE(numeric, INVALID_HANDLE_VALUE) << GetLastError();
        std::lock_guard lock(gate->Mutex);
        EXPECT_EQ(gate->Calls, 3) << "a numeric address never reaches the resolver";
    }
    {
        std::lock_guard lock(gate->Mutex);
        gate->Release = true;
    }
    gate->Released.notify_all();
    EXPECT_TRUE(baseline.NothingLeftBehind()); // the lookup given up has ended with its resolver
}

TEST(NetOpen, PlatformDriverSendsNetworkNamesToTheNetworkDriver) {
    TTcpListener server;
    TComDriver &platform = PlatformComDriver();
    const HANDLE h = platform.CreateFile("tcp://127.0.0.1:" + std::to_string(server.Port()));
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    TTcpPeer peer = server.Accept();
    TOp op;
    DWORD n = 0;
    EXPECT_TRUE(platform.WriteFile(h, "RUN=1s", 6, &n, &op.Ov));
    EXPECT_EQ(peer.Receive(6), "RUN=1s");
    EXPECT_TRUE(platform.CloseHandle(h));
    EXPECT_EQ(platform.CreateFile("ttyDoesNotExist9"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ENOENT)) << "other names still go to the POSIX driver";
}

struct TRecorder : TTelnetDecoder::TSink {
    std::string Log;
    void Data(std::string_view Run) override { Log += "D(" + std::string(Run) + ")"; }
    void Negotiate(std::uint8_t Verb, std::uint8_t Option) override {
        Log += "N" + std::to_string(Verb) + "/" + std::to_string(Option);
    }
    void ComPort(std::uint8_t Command, std::string_view Value) override {
        Log += "C" + std::to_string(Command) + "(" + std::string(Value) + ")";
    }
    void Malformed(const char *) override { Log += "!"; }
};

TEST(TelnetDecoder, DecodesTheSameInOnePieceOrByteByByte) {
    const struct {
        std::string In, Expected;
    } rows[] = {
        {"ab\xff\xff"
         "c",
         "D(ab)D(\xff)D(c)"},
        {"\xff\xfb\x2c"
         "x",
         "N251/44D(x)"},
        {"\xff\xf1"
         "y",
         "D(y)"}, // NOP
        {"\xff\xfa\x2c\x6b\x10\xff\xf0", "C7(\x10)"},
        {"\xff\xfa\x2c\x6a\xff\xff\xff\xf0", "C6(\xff)"},
        {"\xff\xfa\x18\x01\xff\xf0z", "D(z)"},     // an option never agreed to
        {"\xff\x10q", "!"},                        // no such command
        {"\xff\xfa\x2c\x6b\xff\x41", "!"},         // not ended by IAC SE
        {"\xff\xfa\x2c\x65\x01\xff\xf0", "!"},     // a baud rate is four bytes
        {"\xff\xfa\xff\xf0", "!"},                 // empty
        {"\xff\xfa" + std::string(300, 'x'), "!"}, // never ends
    };
    for (const auto &row : rows) {
        TRecorder whole, bytes;
        TTelnetDecoder a, b;
        a.Decode(row.In, whole);
        for (char c : row.In)
            b.Decode(std::string_view(&c, 1), bytes);
        EXPECT_EQ(whole.Log, row.Expected) << row.In;
        // Byte by byte, data runs are split too: compare without the run boundaries.
        auto merged = [](std::string s) {
            for (std::size_t at; (at = s.find(")D(")) != std::string::npos;)
                s.erase(at, 3);
            return s;
        };
        EXPECT_EQ(merged(bytes.Log), merged(whole.Log)) << row.In;
    }
}

// An rfc2217:// device on a server played by the test.
struct Rfc2217 : TDriverFixture {
    TTcpListener Server;
    TTcpPeer Peer;
    TNetComDriver Net;
    void SetUp() override {
        Driver = &Net;
        H = Net.CreateFile("rfc2217://127.0.0.1:" + std::to_string(Server.Port()));
        ASSERT_NE(H, INVALID_HANDLE_VALUE) << GetLastError();
        Peer = Server.Accept();
        const std::string opening =
            Peer.Receive(30); // five negotiations and the two state masks (the 255 doubled)
        ASSERT_EQ(opening.substr(0, 3), "\xff\xfb\x2c") << "the client offers the COM-PORT-OPTION first";
    }
};

TEST_F(Rfc2217, SetCommStateSendsTheLineSettings) {
    DCB dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.Flags = DCB_BINARY | (1u << DCB_DTR_CONTROL_SHIFT);
    ASSERT_TRUE(Driver->SetCommState(H, dcb));
    const std::string expected = "\xff\xfa\x2c\x01\x00\x00\x25\x80\xff\xf0"s // 9600 baud
                                 "\xff\xfa\x2c\x02\x07\xff\xf0"s             // 7 data bits
                                 "\xff\xfa\x2c\x03\x03\xff\xf0"s             // even parity
                                 "\xff\xfa\x2c\x04\x02\xff\xf0"s             // two stop bits
                                 "\xff\xfa\x2c\x05\x01\xff\xf0"s             // no flow control
                                 "\xff\xfa\x2c\x05\x08\xff\xf0"s             // DTR on
                                 "\xff\xfa\x2c\x05\x0c\xff\xf0"s;            // RTS off
    EXPECT_EQ(Peer.Receive(expected.size()), expected);
    dcb.BaudRate = 4800;
    ASSERT_TRUE(Driver->SetCommState(H, dcb));
    EXPECT_EQ(Peer.Receive(10), "\xff\xfa\x2c\x01\x00\x00\x12\xc0\xff\xf0"s) << "only what changed";
    dcb.ByteSize = 9;
    EXPECT_FALSE(Driver->SetCommState(H, dcb));
    EXPECT_EQ(GetLastError(), DWORD(EINVAL));
    ASSERT_TRUE(Driver->PurgeComm(H, PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_EQ(Peer.Receive(7), "\xff\xfa\x2c\x0c\x03\xff\xf0"s);
}

TEST_F(Rfc2217, DataDoublesIacBothWays) {
    TOp op;
    DWORD n = 0;
    ASSERT_TRUE(Driver->WriteFile(H,
                                  "a\xff"
                                  "b",
                                  3, &n, &op.Ov));
    EXPECT_EQ(Peer.Receive(4), "a\xff\xff"
                               "b");
    ASSERT_TRUE(Peer.Send("c\xff\xff"
                          "d"));
    ASSERT_TRUE(Queued(3));
    char buf[8];
    Timeouts(MAXDWORD, 0, 0);
    ASSERT_TRUE(Driver->ReadFile(H, buf, 8, &n, &op.Ov));
    EXPECT_EQ(std::string(buf, n), "c\xff"
                                   "d");
}

TEST_F(Rfc2217, NotificationsBecomeEventsAndErrors) {
    const struct {
        std::string Sent;
        DWORD Mask, Event, Errors, Modem;
    } rows[] = {
        {"\xff\xfa\x2c\x6b\x11\xff\xf0"s, EV_CTS | EV_DSR, EV_CTS, 0, MS_CTS_ON},
        {"\xff\xfa\x2c\x6b\xb2\xff\xf0"s, EV_DSR | EV_RLSD, EV_DSR | EV_RLSD, 0,
         MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON},
        {"\xff\xfa\x2c\x6b\x04\xff\xf0"s, EV_RING, EV_RING, 0, 0},
        {"\xff\xfa\x2c\x6a\x0c\xff\xf0"s, EV_ERR, EV_ERR, CE_FRAME | CE_RXPARITY, 0},
        {"\xff\xfa\x2c\x6a\x12\xff\xf0"s, EV_BREAK, EV_BREAK, CE_BREAK | CE_OVERRUN, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.Sent));
        ASSERT_TRUE(Driver->SetCommMask(H, row.Mask));
        DWORD got = 0, errors = 0, modem = 0;
        TOp wait;
        const bool atOnce = Driver->WaitCommEvent(H, &got, &wait.Ov);
        ASSERT_TRUE(Peer.Send(row.Sent));
        EXPECT_TRUE(atOnce || wait.Wait());
        Driver->GetOverlappedResult(H, &wait.Ov, nullptr, false); // the record's user always asks
        EXPECT_EQ(got, row.Event);
        ASSERT_TRUE(Driver->ClearCommError(H, &errors, nullptr));
        EXPECT_EQ(errors, row.Errors);
        ASSERT_TRUE(Driver->GetCommModemStatus(H, &modem));
        EXPECT_EQ(modem, row.Modem);
    }
}

TEST_F(Rfc2217, MalformedTelnetIsAHangUpThatSaysSo) {
    ASSERT_TRUE(Driver->SetCommMask(H, EV_ERR));
    DWORD got = 0, errors = 0;
    TOp wait;
    ASSERT_FALSE(Driver->WaitCommEvent(H, &got, &wait.Ov));
    ASSERT_TRUE(Peer.Send("\xff\xfa\x2c\x6b\xff\x41"s));
    ASSERT_TRUE(wait.Wait());
    Driver->GetOverlappedResult(H, &wait.Ov, nullptr, false);
    EXPECT_EQ(got, EV_ERR);
    ASSERT_TRUE(Driver->ClearCommError(H, &errors, nullptr));
    EXPECT_EQ(errors, CE_IOE);
    TOp op;
    DWORD n = 0;
    EXPECT_FALSE(Driver->WriteFile(H, "x", 1, &n, &op.Ov));
    EXPECT_EQ(GetLastError(), DWORD(EPROTO)) << "the operator learns that the server broke Telnet";
}

} // namespace
