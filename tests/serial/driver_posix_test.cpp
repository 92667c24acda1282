// What only the POSIX driver does, against pseudo-terminal pairs: the test plays the far end of the
// line on the master side while the driver owns the slave. The contract it shares with the
// scriptable driver is tested once for both, in driver_contract_test.cpp.
#include "driver_fixture.h"
#include "serial/driver/posix/ParmrkDecoder.h"
#include "serial/driver/posix/QuietThread.h"
#include "tests/support/Leaks.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

struct TPosixDriverTest : TDriverFixture {
    TPtyPair *Pty = nullptr;
    void SetUp() override {
        Open("posix");
        if (Far)
            Pty = &static_cast<TPtyEnd &>(*Far).Pty;
    }
};

TEST(PosixDriverOpen, RefusesAPlainFile) {
    char file[] = "/tmp/driver_posix_XXXXXX";
    const int fd = ::mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    TPosixComDriver driver;
    EXPECT_EQ(driver.CreateFile(file), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ENOTTY)) << "never write into a plain file";
    ::unlink(file);
}

TEST_F(TPosixDriverTest, InputDropsNulsAndKeepsMarkerLikeBytes) {
    // fNull drops NULs; 0xFF bytes, which look like the start of an error marker, arrive unchanged.
    DCB dcb;
    dcb.BaudRate = 4800;
    dcb.ByteSize = 8;
    dcb.Flags = DCB_BINARY | DCB_NULL;
    ASSERT_TRUE(Driver->SetCommState(H, dcb));
    Timeouts(0, 0, 0);
    char buf[16];
    TOp read;
    ASSERT_FALSE(Read(buf, 6, read));
    ASSERT_TRUE(Pty->Send(std::string("a\0b\377\377\0\377*", 8)));
    const auto [error, n] = Result(read);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(std::string(buf, n), "ab\377\377\377*");
}

TEST_F(TPosixDriverTest, WriteDrainedSlowlyCompletesWhole) {
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    ASSERT_TRUE(Driver->SetCommMask(H, EV_TXEMPTY));
    TOp write, wait;
    DWORD n = 0, mask = 0;
    ASSERT_FALSE(Driver->WriteFile(H, data.data(), DWORD(data.size()), &n, &write.Ov))
        << "a pseudo-terminal takes far less than 1 MiB at once";
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_FALSE(Driver->WaitCommEvent(H, &mask, &wait.Ov));
    std::string got;
    while (got.size() < data.size() && !HasFailure()) {
        const std::string chunk = Pty->Receive(std::min<std::size_t>(4000, data.size() - got.size()));
        ASSERT_FALSE(chunk.empty());
        got += chunk;
    }
    ASSERT_TRUE(write.Wait());
    ASSERT_TRUE(Driver->GetOverlappedResult(H, &write.Ov, &n, false));
    EXPECT_EQ(n, data.size());
    EXPECT_TRUE(got == data) << "bytes lost or reordered on the way out";
    ASSERT_TRUE(wait.Wait());
    ASSERT_TRUE(Driver->GetOverlappedResult(H, &wait.Ov, &n, false));
    EXPECT_EQ(mask, EV_TXEMPTY);
}

TEST_F(TPosixDriverTest, SlowReaderLosesNoByte) {
    // 1 MiB through a 4 KiB queue: the driver must stop reading while full, never drop.
    ASSERT_TRUE(Driver->SetupComm(H, 4096, 4096));
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 131) ^ (i >> 9));
    bool sent = false;
    std::thread farEnd([&] { sent = Pty->Send(data, 60000); });
    Timeouts(0, 0, 0);
    std::string got;
    std::vector<char> buf(1000);
    while (got.size() < data.size()) {
        TOp op;
        const DWORD want = DWORD(std::min<std::size_t>(buf.size(), data.size() - got.size()));
        if (!Read(buf.data(), want, op) && !op.Wait())
            break;
        DWORD n = 0;
        if (!Driver->GetOverlappedResult(H, &op.Ov, &n, false))
            break;
        got.append(buf.data(), n);
    }
    farEnd.join();
    EXPECT_TRUE(sent);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes lost or reordered on the way in";
    DWORD errors = 1;
    ASSERT_TRUE(Driver->ClearCommError(H, &errors, nullptr));
    EXPECT_EQ(errors, 0u) << "a full queue is back-pressure, not an overrun";
}

TEST_F(TPosixDriverTest, PseudoTerminalHasNoModemLinesAndThatIsFine) {
    DWORD stat = 77;
    ASSERT_TRUE(Driver->GetCommModemStatus(H, &stat));
    EXPECT_EQ(stat, 0u);
    DCB dcb;
    dcb.BaudRate = 250000;
    dcb.ByteSize = 8;
    dcb.Flags = DCB_BINARY | (1u << DCB_DTR_CONTROL_SHIFT) | (1u << DCB_RTS_CONTROL_SHIFT);
    EXPECT_TRUE(Driver->SetCommState(H, dcb)) << "raising DTR and RTS on a line without them is no failure";
}

TEST(PosixDriverLifecycle, OpenCloseCyclesLeaveNothingBehind) {
    TPtyPair pty;
    if (!pty.Ok())
        GTEST_SKIP() << "no pseudo-terminal support";
    TPosixComDriver driver;
    const TLeakBaseline baseline;
    for (int i = 0; i < 200; ++i) {
        const HANDLE h = driver.CreateFile(pty.SlavePath());
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "cycle " << i << ": " << GetLastError();
        TOp op;
        DWORD mask = 0;
        driver.SetCommMask(h, EV_RXCHAR);
        driver.WaitCommEvent(h, &mask, &op.Ov); // pending at close: must end, not dangle
        ASSERT_TRUE(driver.CloseHandle(h));
        ASSERT_TRUE(op.Done());
        EXPECT_EQ(op.Ov.Internal.load(), DWORD(ECANCELED));
    }
    EXPECT_TRUE(baseline.NothingLeftBehind());
}

// The modem-line helper blocks in TIOCMIWAIT, which pseudo-terminals lack; a read on an empty pipe
// blocks the same way, with nothing but a signal to end it. Many rounds, so that the signal also
// lands before the body has entered its call.
TEST(InterruptibleThread, StopsABodyBlockedInASystemCall) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const TLeakBaseline baseline;
    for (int round = 0; round < 50; ++round) {
        TInterruptibleThread helper;
        helper.Start([&] {
            char c;
            while (!helper.Stopping())
                (void)::read(pipeFds[0], &c, 1);
        });
        EXPECT_TRUE(helper.Running());
        helper.Stop();
        EXPECT_FALSE(helper.Running());
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    EXPECT_TRUE(baseline.NothingLeftBehind());
}

// Markers that a pseudo-terminal never produces, fed straight to the decoder.
TEST(ParmrkDecoder, MarkersSplitAnywhere) {
    struct TLog : TParmrkDecoder::TSink {
        std::string Out;
        void Data(std::string_view Run) override { Out += Run; }
        void Break() override { Out += "<B>"; }
        void ErrorByte(std::uint8_t Value) override { Out += "<E" + std::string(1, char(Value)) + ">"; }
    };
    struct {
        std::string In, Out;
    } rows[] = {
        {"plain", "plain"},
        {std::string("a\377\377b", 4), "a\377b"},
        {std::string("a\377\0\0b", 5), "a<B>b"},
        {std::string("a\377\0xb", 5), "a<Ex>b"},
        {std::string("\377\0\377", 3), "<E\377>"},
    };
    for (const auto &row : rows)
        for (std::size_t split = 0; split <= row.In.size(); ++split) {
            TParmrkDecoder decoder;
            TLog log;
            decoder.Decode(std::string_view(row.In).substr(0, split), log);
            decoder.Decode(std::string_view(row.In).substr(split), log);
            EXPECT_EQ(log.Out, row.Out) << "split at " << split;
        }
}

} // namespace
