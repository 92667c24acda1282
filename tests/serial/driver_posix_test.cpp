// The POSIX driver against pseudo-terminal pairs: the test plays the far end of the line on the
// master side while the driver owns the slave.
#include "serial/PosixComDriver.h"
#include "tests/support/Leaks.h"
#include "tests/support/Pty.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr DWORD Bound = 10000; // generous upper bound for anything the test waits for

struct TOp {
    TEvent Event{true};
    TOverlapped Ov;
    TOp() { Ov.hEvent = &Event; }
    bool Done() const { return Event.IsSet(); }
    bool Wait() { return WaitForSingleObject(Event, Bound) == WAIT_OBJECT_0; }
};

struct TPosixDriverTest : ::testing::Test {
    TPtyPair Pty;
    TPosixComDriver Driver;
    HANDLE H = INVALID_HANDLE_VALUE;

    void SetUp() override {
        if (!Pty.Ok())
            GTEST_SKIP() << "no pseudo-terminal support";
        H = Driver.CreateFile(Pty.SlavePath());
        ASSERT_NE(H, INVALID_HANDLE_VALUE) << GetLastError();
        DCB dcb;
        dcb.BaudRate = 4800;
        dcb.ByteSize = 8;
        dcb.Flags = DCB_BINARY;
        ASSERT_TRUE(Driver.SetCommState(H, dcb));
    }
    void TearDown() override {
        if (H != INVALID_HANDLE_VALUE)
            Driver.CloseHandle(H);
    }
    void Timeouts(DWORD Interval, DWORD Multiplier, DWORD Constant, DWORD WriteMultiplier = 0,
                  DWORD WriteConstant = 0) {
        ASSERT_TRUE(Driver.SetCommTimeouts(
            H, COMMTIMEOUTS{Interval, Multiplier, Constant, WriteMultiplier, WriteConstant}));
    }
    // Starts a read; true when it finished at once.
    bool Read(char *Buffer, DWORD Count, TOp &Op) {
        DWORD n = 0;
        if (Driver.ReadFile(H, Buffer, Count, &n, &Op.Ov))
            return true;
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        return false;
    }
    // Waits for the device's input queue to hold Count bytes (sets the mask to EV_RXCHAR).
    bool Queued(DWORD Count) {
        if (!Driver.SetCommMask(H, EV_RXCHAR))
            return false;
        for (;;) {
            COMSTAT stat;
            if (!Driver.ClearCommError(H, nullptr, &stat))
                return false;
            if (stat.cbInQue >= Count)
                return true;
            DWORD mask = 0;
            TOp wait;
            if (!Driver.WaitCommEvent(H, &mask, &wait.Ov) && !wait.Wait())
                return false;
            Driver.GetOverlappedResult(H, &wait.Ov, nullptr, false); // the record's user always asks
        }
    }
};

TEST(PosixDriverOpen, RefusesWhatIsNotAFreeTerminal) {
    TPosixComDriver driver;
    char file[] = "/tmp/driver_posix_XXXXXX";
    const int fd = ::mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    TPtyPair pty;
    if (!pty.Ok())
        GTEST_SKIP() << "no pseudo-terminal support";
    const HANDLE first = driver.CreateFile(pty.SlavePath());
    ASSERT_NE(first, INVALID_HANDLE_VALUE);

    struct {
        std::string Name;
        DWORD Error;
    } rows[] = {
        {"ttyDoesNotExist9", ENOENT}, // a missing device is reported as 2
        {file, ENOTTY},               // never write into a plain file
        {pty.SlavePath(), EBUSY},     // exclusive, even for root
    };
    for (const auto &row : rows) {
        EXPECT_EQ(driver.CreateFile(row.Name), INVALID_HANDLE_VALUE) << row.Name;
        EXPECT_EQ(GetLastError(), row.Error) << row.Name;
    }
    ::unlink(file);

    EXPECT_TRUE(driver.CloseHandle(first));
    DWORD stat;
    EXPECT_FALSE(driver.GetCommModemStatus(first, &stat));
    EXPECT_EQ(GetLastError(), DWORD(EBADF));
    const HANDLE again = driver.CreateFile(pty.SlavePath());
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "closing released the lock";
    EXPECT_NE(again, first);
    EXPECT_TRUE(driver.CloseHandle(again));
}

TEST_F(TPosixDriverTest, ReadTimeoutRules) {
    struct Row {
        const char *What;
        COMMTIMEOUTS T;
        const char *Sent; // sent after the read has started
        DWORD Count;
        const char *Expected;
    } rows[] = {
        {"immediate, nothing queued", {MAXDWORD, 0, 0, 0, 0}, "", 8, ""},
        {"total time-out, nothing comes", {0, 0, 30, 0, 0}, "", 8, ""},
        {"total time-out ends a partial read", {0, 1, 500, 0, 0}, "abc", 8, "abc"},
        {"interval ends a read after the first bytes", {20, 0, 0, 0, 0}, "abcd", 8, "abcd"},
        {"first bytes end the read", {MAXDWORD, MAXDWORD, 5000, 0, 0}, "xy", 8, "xy"},
        {"no time-outs: until Count", {0, 0, 0, 0, 0}, "12345678", 8, "12345678"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.What);
        ASSERT_TRUE(Driver.SetCommTimeouts(H, row.T));
        char buf[16] = {};
        TOp op;
        const bool atOnce = Read(buf, row.Count, op);
        if (std::string(row.Sent).empty() && row.T.ReadIntervalTimeout == MAXDWORD) {
            EXPECT_TRUE(atOnce);
        }
        if (!atOnce) {
            if (*row.Sent) { // a row without bytes may end by its time-out before this looks
                EXPECT_FALSE(op.Done());
            }
            ASSERT_TRUE(Pty.Send(row.Sent));
            ASSERT_TRUE(op.Wait());
        }
        DWORD n = 0;
        ASSERT_TRUE(Driver.GetOverlappedResult(H, &op.Ov, &n, false)) << GetLastError();
        EXPECT_EQ(std::string(buf, n), row.Expected);
    }
}

TEST_F(TPosixDriverTest, ImmediateReadTakesOnlyWhatIsQueued) {
    Timeouts(MAXDWORD, 0, 0);
    ASSERT_TRUE(Pty.Send("abcd"));
    ASSERT_TRUE(Queued(4));
    char buf[10];
    TOp op;
    ASSERT_TRUE(Read(buf, 10, op));
    DWORD n = 0;
    ASSERT_TRUE(Driver.GetOverlappedResult(H, &op.Ov, &n, false));
    EXPECT_EQ(std::string(buf, n), "abcd");
}

TEST_F(TPosixDriverTest, PurgeAndMaskEndPendingOperations) {
    Timeouts(0, 0, 0);
    char buf[8];
    TOp read, wait;
    DWORD mask = 99, n = 0;
    ASSERT_TRUE(Driver.SetCommMask(H, EV_RXCHAR));
    ASSERT_FALSE(Read(buf, 8, read));
    ASSERT_FALSE(Driver.WaitCommEvent(H, &mask, &wait.Ov));

    ASSERT_TRUE(Driver.SetCommMask(H, 0));
    ASSERT_TRUE(wait.Wait());
    EXPECT_TRUE(Driver.GetOverlappedResult(H, &wait.Ov, &n, false));
    EXPECT_EQ(mask, 0u) << "SetCommMask(0) ends the wait with mask 0";
    EXPECT_FALSE(read.Done()) << "the read is not touched by the mask";

    ASSERT_TRUE(Driver.PurgeComm(H, PURGE_TXABORT | PURGE_RXABORT));
    ASSERT_TRUE(read.Wait());
    EXPECT_FALSE(Driver.GetOverlappedResult(H, &read.Ov, &n, false));
    EXPECT_EQ(GetLastError(), DWORD(ECANCELED));
}

TEST_F(TPosixDriverTest, InputFiltersAndEvents) {
    // fNull drops NULs; the event character raises EV_RXFLAG; 0xFF bytes, which look like the
    // start of an error marker, arrive unchanged.
    DCB dcb;
    dcb.BaudRate = 4800;
    dcb.ByteSize = 8;
    dcb.Flags = DCB_BINARY | DCB_NULL;
    dcb.EvtChar = '*';
    ASSERT_TRUE(Driver.SetCommState(H, dcb));
    Timeouts(0, 0, 0);
    ASSERT_TRUE(Driver.SetCommMask(H, EV_RXCHAR | EV_RXFLAG));
    DWORD mask = 0;
    TOp wait, read;
    ASSERT_FALSE(Driver.WaitCommEvent(H, &mask, &wait.Ov));
    char buf[16];
    ASSERT_FALSE(Read(buf, 6, read));
    ASSERT_TRUE(Pty.Send(std::string("a\0b\377\377\0\377*", 8)));
    ASSERT_TRUE(read.Wait());
    ASSERT_TRUE(wait.Wait());
    DWORD n = 0, more = 0;
    ASSERT_TRUE(Driver.GetOverlappedResult(H, &wait.Ov, &n, false));
    ASSERT_TRUE(Driver.GetOverlappedResult(H, &read.Ov, &n, false));
    EXPECT_EQ(std::string(buf, n), "ab\377\377\377*");
    // Both events may have come in one report or in two.
    if (!(mask & EV_RXFLAG) && Driver.WaitCommEvent(H, &more, &wait.Ov))
        mask |= more;
    EXPECT_EQ(mask & EV_RXFLAG, EV_RXFLAG);
    EXPECT_EQ(mask & EV_RXCHAR, EV_RXCHAR);
}

TEST_F(TPosixDriverTest, WriteDrainedSlowlyCompletesWhole) {
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    ASSERT_TRUE(Driver.SetCommMask(H, EV_TXEMPTY));
    TOp write, wait;
    DWORD n = 0, mask = 0;
    ASSERT_FALSE(Driver.WriteFile(H, data.data(), DWORD(data.size()), &n, &write.Ov))
        << "a pseudo-terminal takes far less than 1 MiB at once";
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_FALSE(Driver.WaitCommEvent(H, &mask, &wait.Ov));
    std::string got;
    while (got.size() < data.size() && !HasFailure()) {
        const std::string chunk = Pty.Receive(std::min<std::size_t>(4000, data.size() - got.size()));
        ASSERT_FALSE(chunk.empty());
        got += chunk;
    }
    ASSERT_TRUE(write.Wait());
    ASSERT_TRUE(Driver.GetOverlappedResult(H, &write.Ov, &n, false));
    EXPECT_EQ(n, data.size());
    EXPECT_TRUE(got == data) << "bytes lost or reordered on the way out";
    ASSERT_TRUE(wait.Wait());
    ASSERT_TRUE(Driver.GetOverlappedResult(H, &wait.Ov, &n, false));
    EXPECT_EQ(mask, EV_TXEMPTY);
}

TEST_F(TPosixDriverTest, WriteTimeoutEndsWithTheBytesWrittenSoFar) {
    Timeouts(0, 0, 0, 0, 50);
    const std::string data(1 << 20, 'w');
    TOp write;
    DWORD n = 0;
    ASSERT_FALSE(Driver.WriteFile(H, data.data(), DWORD(data.size()), &n, &write.Ov));
    ASSERT_TRUE(write.Wait());
    ASSERT_TRUE(Driver.GetOverlappedResult(H, &write.Ov, &n, false)) << "a write time-out is not an error";
    EXPECT_GT(n, 0u);
    EXPECT_LT(n, data.size());
}

TEST_F(TPosixDriverTest, SlowReaderLosesNoByte) {
    // 1 MiB through a 4 KiB queue: the driver must stop reading while full, never drop.
    ASSERT_TRUE(Driver.SetupComm(H, 4096, 4096));
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 131) ^ (i >> 9));
    bool sent = false;
    std::thread farEnd([&] { sent = Pty.Send(data, 60000); });
    Timeouts(0, 0, 0);
    std::string got;
    std::vector<char> buf(1000);
    while (got.size() < data.size()) {
        TOp op;
        const DWORD want = DWORD(std::min<std::size_t>(buf.size(), data.size() - got.size()));
        if (!Read(buf.data(), want, op) && !op.Wait())
            break;
        DWORD n = 0;
        if (!Driver.GetOverlappedResult(H, &op.Ov, &n, false))
            break;
        got.append(buf.data(), n);
    }
    farEnd.join();
    EXPECT_TRUE(sent);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes lost or reordered on the way in";
    DWORD errors = 1;
    ASSERT_TRUE(Driver.ClearCommError(H, &errors, nullptr));
    EXPECT_EQ(errors, 0u) << "a full queue is back-pressure, not an overrun";
}

TEST_F(TPosixDriverTest, HangUpIsReportedAtOnce) {
    Timeouts(0, 0, 0);
    ASSERT_TRUE(Driver.SetCommMask(H, EV_RXCHAR | EV_ERR));
    char buf[8];
    TOp read, wait;
    DWORD mask = 0, n = 0;
    ASSERT_FALSE(Read(buf, 8, read));
    ASSERT_FALSE(Driver.WaitCommEvent(H, &mask, &wait.Ov));
    Pty.CloseMaster();
    ASSERT_TRUE(read.Wait());
    EXPECT_FALSE(Driver.GetOverlappedResult(H, &read.Ov, &n, false));
    EXPECT_EQ(GetLastError(), DWORD(EIO));
    ASSERT_TRUE(wait.Wait());
    ASSERT_TRUE(Driver.GetOverlappedResult(H, &wait.Ov, &n, false));
    EXPECT_EQ(mask, EV_ERR) << "the port hears of the hang-up as a line error";
    DWORD errors = 0;
    ASSERT_TRUE(Driver.ClearCommError(H, &errors, nullptr));
    EXPECT_EQ(errors, CE_IOE);

    // Every later transfer fails the same way, at once.
    for (int i = 0; i < 3; ++i) {
        TOp op;
        EXPECT_FALSE(Driver.ReadFile(H, buf, 8, &n, &op.Ov));
        EXPECT_EQ(GetLastError(), DWORD(EIO));
        EXPECT_FALSE(Driver.WriteFile(H, "x", 1, &n, &op.Ov));
        EXPECT_EQ(GetLastError(), DWORD(EIO));
        EXPECT_FALSE(Driver.WaitCommEvent(H, &mask, &op.Ov));
        EXPECT_EQ(GetLastError(), DWORD(EIO));
    }
    EXPECT_TRUE(Driver.PurgeComm(H, PURGE_TXABORT | PURGE_RXABORT)) << "closing must still be possible";
}

TEST_F(TPosixDriverTest, PseudoTerminalHasNoModemLinesAndThatIsFine) {
    DWORD stat = 77;
    ASSERT_TRUE(Driver.GetCommModemStatus(H, &stat));
    EXPECT_EQ(stat, 0u);
    DCB dcb;
    dcb.BaudRate = 250000;
    dcb.ByteSize = 8;
    dcb.Flags = DCB_BINARY | (1u << DCB_DTR_CONTROL_SHIFT) | (1u << DCB_RTS_CONTROL_SHIFT);
    EXPECT_TRUE(Driver.SetCommState(H, dcb)) << "raising DTR and RTS on a line without them is no failure";
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
