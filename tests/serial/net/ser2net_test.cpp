// The network driver against Debian's ser2net: the test writes its configuration, starts it on a
// free loopback port in front of a pseudo-terminal, and plays the board on the terminal's far end.
#include "serial/driver/posix/NetComDriver.h"
#include "tests/support/Pty.h"
#include "tests/support/Tcp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

extern char **environ;

namespace {

using namespace ComApi;
namespace fs = std::filesystem;

constexpr DWORD Bound = 10000;

struct TOp {
    TEvent Event{true};
    TOverlapped Ov;
    TOp() { Ov.hEvent = &Event; }
};

const char *Ser2netPath() {
    for (const char *path : {"/usr/sbin/ser2net", "/usr/bin/ser2net"})
        if (::access(path, X_OK) == 0)
            return path;
    return nullptr;
}

// ser2net in front of a pseudo-terminal, on 127.0.0.1:Port() with the given accepter.
class TSer2net {
public:
    TSer2net(const std::string &Accepter, const std::string &Device) {
        Dir = fs::temp_directory_path() / ("dud-ser2net." + std::to_string(::getpid()));
        fs::create_directories(Dir);
        {
            TTcpListener probe; // a port that is free now
            Port = probe.Port();
        }
        const fs::path config = Dir / "ser2net.yaml";
        std::ofstream(config) << "%YAML 1.1\n---\nconnection: &line\n  accepter: " << Accepter
                              << ",127.0.0.1," << Port << "\n  connector: serialdev," << Device
                              << ",4800n81,local\n  options:\n    kickolduser: true\n";
        const std::string configArg = config.string(), pidArg = (Dir / "pid").string();
        const char *argv[] = {Ser2netPath(),     "-n", "-u",           "-c",
                              configArg.c_str(), "-P", pidArg.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (::posix_spawn(&Pid, argv[0], &actions, nullptr, const_cast<char **>(argv), environ) != 0)
            Pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        PidFd = Pid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, Pid, 0)) : -1;
    }
    ~TSer2net() {
        Kill();
        if (PidFd >= 0)
            ::close(PidFd);
        std::error_code ignored;
        fs::remove_all(Dir, ignored);
    }
    std::string Name(const char *Scheme) const {
        return std::string(Scheme) + "://127.0.0.1:" + std::to_string(Port);
    }
    // Opens Name once the server listens: each refused try waits (bounded) on the server's end.
    HANDLE Open(TComDriver &Driver, const char *Scheme) {
        for (int attempt = 0; attempt < 250 && PidFd >= 0; ++attempt) {
            const HANDLE h = Driver.CreateFile(Name(Scheme));
            if (h != INVALID_HANDLE_VALUE || GetLastError() != ECONNREFUSED)
                return h;
            pollfd p{PidFd, POLLIN, 0};
            if (::poll(&p, 1, 20) != 0)
                break; // the server has ended
        }
        return INVALID_HANDLE_VALUE;
    }
    void Kill() {
        if (Pid > 0) {
            ::kill(Pid, SIGKILL);
            ::waitpid(Pid, nullptr, 0);
            Pid = -1;
        }
    }

    fs::path Dir;
    int Port = 0;
    pid_t Pid = -1;
    int PidFd = -1;
};

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
        Server = std::make_unique<TSer2net>(telnet ? "telnet(rfc2217),tcp" : "tcp", Pty.SlavePath());
        H = Server->Open(Net, GetParam());
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

} // namespace
