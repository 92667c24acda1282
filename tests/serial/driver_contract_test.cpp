// The driver contract of the seam (ComDriver.h), once, against every driver: the POSIX driver on a
// pseudo-terminal pair, the network driver on a loopback connection, the MQTT driver on a board that
// relaymqtt serves and the scriptable driver. What only one
// driver does is tested beside it.
#include "driver_fixture.h"

#include "serial/driver/OverlappedDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace {

struct DriverContract : TDriverFixture, ::testing::WithParamInterface<const char *> {
    void SetUp() override { Open(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Drivers, DriverContract, ::testing::Values("posix", "tcp", "mqtt", "script"),
                         [](const auto &Info) { return std::string(Info.param); });

TEST_P(DriverContract, OpensExclusivelyAndNeverReusesAHandle) {
    // A server, not the driver, decides on a second client; a broker takes any number.
    const std::string kind = GetParam();
    const std::vector<std::pair<std::string, DWORD>> rows =
        kind == "tcp" ? std::vector<std::pair<std::string, DWORD>>{{"tcp://127.0.0.1:0", EINVAL},
                                                                   {"tcp://127.0.0.1", EINVAL}}
        : kind == "mqtt"
            ? std::vector<std::pair<std::string, DWORD>>{{"mqtt://127.0.0.1:1883", EINVAL},
                                                         {"mqtt://127.0.0.1:" +
                                                              std::to_string(TTcpListener().Port()) + "/b1",
                                                          ECONNREFUSED}}
            : std::vector<std::pair<std::string, DWORD>>{{"ttyDoesNotExist9", ENOENT}, {Far->Port(), EBUSY}};
    for (const auto &[name, error] : rows) {
        EXPECT_EQ(Driver->CreateFile(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), error) << name;
    }
    ASSERT_TRUE(Driver->CloseHandle(H));
    DWORD stat;
    EXPECT_FALSE(Driver->GetCommModemStatus(H, &stat));
    EXPECT_EQ(GetLastError(), DWORD(EBADF));
    const HANDLE old = std::exchange(H, Driver->CreateFile(Far->Port()));
    EXPECT_NE(H, INVALID_HANDLE_VALUE) << "closing released the device";
    EXPECT_NE(H, old) << "a stale handle must not reach the new open";
}

TEST_P(DriverContract, ReadTimeoutModes) {
    struct {
        const char *What;
        COMMTIMEOUTS T;
        const char *Before, *After; // sent before the read starts, and after
        bool AtOnce;
        const char *Expected;
    } rows[] = {
        {"immediate, nothing queued", {MAXDWORD, 0, 0, 0, 0}, "", "", true, ""},
        {"immediate takes what is queued", {MAXDWORD, 0, 0, 0, 0}, "abcd", "", true, "abcd"},
        {"first bytes end the read", {MAXDWORD, MAXDWORD, 5000, 0, 0}, "", "xy", false, "xy"},
        {"first bytes already queued", {MAXDWORD, MAXDWORD, 5000, 0, 0}, "q", "", true, "q"},
        {"no time-outs: until Count", {0, 0, 0, 0, 0}, "1234", "5678", false, "12345678"},
        {"a time-out ends a read with what it has", {0, 1, 300, 0, 0}, "", "abc", false, "abc"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.What);
        ASSERT_TRUE(Far->Send(row.Before));
        ASSERT_TRUE(Queued(DWORD(std::string(row.Before).size())));
        ASSERT_TRUE(Driver->SetCommTimeouts(H, row.T));
        char buf[16] = {};
        TOp op;
        EXPECT_EQ(Read(buf, 8, op), row.AtOnce);
        ASSERT_TRUE(Far->Send(row.After));
        Far->LetTimePass();
        const auto [error, n] = Result(op);
        EXPECT_EQ(error, 0u);
        EXPECT_EQ(std::string(buf, n), row.Expected);
    }
}

TEST_P(DriverContract, EventsHonourTheMaskAndAreRemembered) {
    DWORD mask = 0, n = 0, more = 0;
    TOp wait, write;
    DCB dcb;
    dcb.BaudRate = 4800;
    dcb.ByteSize = 8;
    dcb.EvtChar = '*';
    ASSERT_TRUE(Driver->SetCommState(H, dcb));
    ASSERT_TRUE(Driver->SetCommMask(H, EV_TXEMPTY | EV_RXCHAR));
    ASSERT_TRUE(Driver->WriteFile(H, "x", 1, &n, &write.Ov)); // drained at once: EV_TXEMPTY
    EXPECT_TRUE(Driver->WaitCommEvent(H, &mask, &wait.Ov)) << "a remembered event completes the next wait";
    EXPECT_EQ(mask, EV_TXEMPTY);

    ASSERT_TRUE(Driver->WriteFile(H, "x", 1, &n, &write.Ov));
    ASSERT_TRUE(Driver->SetCommMask(H, EV_RXCHAR | EV_RXFLAG)) << "a new mask forgets what was remembered";
    EXPECT_FALSE(Driver->WaitCommEvent(H, &mask, &wait.Ov));
    EXPECT_FALSE(Driver->WaitCommEvent(H, &mask, &write.Ov)) << "one wait at a time";
    EXPECT_EQ(GetLastError(), DWORD(EINVAL));
    ASSERT_TRUE(Driver->WriteFile(H, "x", 1, &n, &write.Ov));
    EXPECT_FALSE(wait.Done()) << "EV_TXEMPTY is outside the mask";
    ASSERT_TRUE(Far->Send("a*"));
    EXPECT_EQ(Result(wait), std::make_pair(0u, 0u));
    // The bytes may have come in one read or in two, and so the events.
    if (mask != (EV_RXCHAR | EV_RXFLAG) && Driver->WaitCommEvent(H, &more, &wait.Ov))
        mask |= more;
    EXPECT_EQ(mask, EV_RXCHAR | EV_RXFLAG) << "the event character raises EV_RXFLAG";

    EXPECT_FALSE(Driver->WaitCommEvent(H, &mask, &wait.Ov));
    ASSERT_TRUE(Driver->SetCommMask(H, 0));
    EXPECT_EQ(Result(wait), std::make_pair(0u, 0u));
    EXPECT_EQ(mask, 0u) << "SetCommMask ends a pending wait with mask 0";
}

// A port sets its mask only after its line has started to fill: what came before, a few bytes or
// a queue full enough to stop the line, must raise the first wait and then be read to the end.
TEST_P(DriverContract, BytesQueuedBeforeTheMaskRaiseTheFirstWait) {
    Timeouts(MAXDWORD, 0, 0);
    for (const std::size_t count : {std::size_t(3), TOverlappedDevice::MinQueue + 1000}) {
        SCOPED_TRACE(count);
        ASSERT_TRUE(Driver->SetCommMask(H, 0));
        ASSERT_TRUE(Far->Send(std::string(count, 'x')));
        const std::size_t first = std::min(count, TOverlappedDevice::MinQueue);
        COMSTAT stat{};
        for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Bound);
             stat.cbInQue < first && std::chrono::steady_clock::now() < end;)
            ASSERT_TRUE(Driver->ClearCommError(H, nullptr, &stat));
        ASSERT_GE(stat.cbInQue, first); // a scripted line has no flow control to stop it
        ASSERT_TRUE(Driver->SetCommMask(H, EV_RXCHAR));
        for (std::size_t received = 0; received < count;) {
            DWORD mask = 0, n = 0;
            TOp wait, read;
            if (!Driver->WaitCommEvent(H, &mask, &wait.Ov)) {
                ASSERT_EQ(Result(wait).first, 0u) << "no event for what was queued after " << received;
            }
            ASSERT_EQ(mask, DWORD(EV_RXCHAR));
            char buf[1024];
            while (Driver->ReadFile(H, buf, sizeof buf, &n, &read.Ov) && n > 0)
                received += n;
        }
    }
}

TEST_P(DriverContract, WritesReachTheFarEndInOrder) {
    TOp first, second;
    DWORD n = 0;
    Driver->WriteFile(H, "RUN=1s", 6, &n, &first.Ov);
    Driver->WriteFile(H, "AB", 2, &n, &second.Ov);
    EXPECT_EQ(Result(first), std::make_pair(0u, 6u));
    EXPECT_EQ(Result(second), std::make_pair(0u, 2u));
    EXPECT_EQ(Far->Receive(8), "RUN=1sAB");
    COMSTAT stat{1, 1};
    ASSERT_TRUE(Driver->ClearCommError(H, nullptr, &stat));
    EXPECT_EQ(stat.cbOutQue, 0u);
}

TEST_P(DriverContract, AbortsAndCloseEndPendingOperations) {
    Timeouts(0, 0, 0);
    char buf[8];
    TOp read, wait;
    DWORD mask = 0;
    ASSERT_TRUE(Driver->SetCommMask(H, EV_RXCHAR));
    ASSERT_FALSE(Read(buf, 8, read));
    ASSERT_FALSE(Driver->WaitCommEvent(H, &mask, &wait.Ov));
    ASSERT_TRUE(Driver->PurgeComm(H, PURGE_RXABORT));
    EXPECT_EQ(Result(read).first, DWORD(ECANCELED));
    EXPECT_EQ(Result(wait).first, DWORD(ECANCELED));

    TOp late;
    ASSERT_FALSE(Read(buf, 8, late));
    ASSERT_TRUE(Driver->CloseHandle(std::exchange(H, INVALID_HANDLE_VALUE)));
    EXPECT_TRUE(late.Done()) << "closing ends what is pending before it returns";
    EXPECT_EQ(late.Ov.Internal.load(), DWORD(ECANCELED));
}

TEST_P(DriverContract, HangUpEndsPendingWorkAndLaterTransfersWithEio) {
    Timeouts(0, 0, 0);
    ASSERT_TRUE(Far->Send("ab"));
    ASSERT_TRUE(Queued(2));
    char buf[8];
    TOp read, wait, op;
    DWORD mask = 0, n = 0;
    ASSERT_FALSE(Read(buf, 4, read)); // takes "ab", wants more
    ASSERT_TRUE(Driver->SetCommMask(H, EV_ERR));
    ASSERT_FALSE(Driver->WaitCommEvent(H, &mask, &wait.Ov));
    Far->HangUp();
    EXPECT_EQ(Result(read), std::make_pair(DWORD(EIO), 2u)) << "the read keeps what it had";
    EXPECT_EQ(Result(wait).first, 0u);
    EXPECT_EQ(mask, EV_ERR) << "the port hears of the hang-up as a line error";
    DWORD errors = 0;
    ASSERT_TRUE(Driver->ClearCommError(H, &errors, nullptr));
    EXPECT_EQ(errors, CE_IOE);
    ASSERT_TRUE(Driver->ClearCommError(H, &errors, nullptr));
    EXPECT_EQ(errors, 0u) << "reported once";

    EXPECT_FALSE(Driver->ReadFile(H, buf, 8, &n, &op.Ov));
    EXPECT_EQ(GetLastError(), DWORD(EIO));
    EXPECT_FALSE(Driver->WriteFile(H, "x", 1, &n, &op.Ov));
    EXPECT_EQ(GetLastError(), DWORD(EIO));
    EXPECT_FALSE(Driver->WaitCommEvent(H, &mask, &op.Ov));
    EXPECT_EQ(GetLastError(), DWORD(EIO));
    EXPECT_FALSE(Driver->SetCommTimeouts(H, COMMTIMEOUTS{}));
    EXPECT_EQ(GetLastError(), DWORD(EIO));
    // Closing in the port's usual order must still work.
    EXPECT_TRUE(Driver->SetCommMask(H, 0));
    EXPECT_TRUE(Driver->PurgeComm(H, PURGE_TXABORT | PURGE_RXABORT | PURGE_RXCLEAR));
    EXPECT_TRUE(Driver->CloseHandle(std::exchange(H, INVALID_HANDLE_VALUE)));
}

// The event thread waits while another thread feeds the line: run under tsan this catches races.
// Between two waits nobody may be watching the line for a report: bytes must still reach a read
// pending meanwhile, and those that come before the next wait must still raise it.
TEST_P(DriverContract, BytesBetweenWaitsReachAPendingReadAndTheNextWait) {
    ASSERT_TRUE(Driver->SetCommMask(H, EV_RXCHAR));
    DWORD mask = 0;
    TOp wait, read;
    EXPECT_FALSE(Driver->WaitCommEvent(H, &mask, &wait.Ov));
    ASSERT_TRUE(Far->Send("a"));
    ASSERT_EQ(Result(wait).first, 0u);
    Timeouts(0, 0, 0);
    char buf[8] = {};
    EXPECT_FALSE(Read(buf, 3, read));
    ASSERT_TRUE(Far->Send("bc"));
    EXPECT_EQ(Result(read), std::make_pair(0u, 3u));
    EXPECT_EQ(std::string(buf, 3), "abc");

    EXPECT_TRUE(Driver->WaitCommEvent(H, &mask, &wait.Ov)) << "the read's bytes raised an event meanwhile";
    ASSERT_TRUE(Far->Send("d"));
    mask = 0;
    if (!Driver->WaitCommEvent(H, &mask, &wait.Ov)) {
        ASSERT_EQ(Result(wait).first, 0u);
    }
    EXPECT_EQ(mask, DWORD(EV_RXCHAR));
}

TEST_P(DriverContract, WaiterOnAnotherThreadSeesEveryByte) {
    ASSERT_TRUE(Driver->SetCommMask(H, EV_RXCHAR));
    Timeouts(MAXDWORD, 0, 0);
    std::size_t received = 0;
    std::thread waiter([&] {
        DWORD mask = 0, n = 0;
        char buf[64];
        while (received < 1000) {
            TOp wait, read;
            if (!Driver->WaitCommEvent(H, &mask, &wait.Ov) && !wait.Wait())
                return;
            if (!Driver->GetOverlappedResult(H, &wait.Ov, &n, false) || mask == 0)
                return;
            do // an event promises bytes, not how many: drain the queue
                n = Driver->ReadFile(H, buf, sizeof buf, &n, &read.Ov) ? n : 0;
            while (n > 0 && (received += n) < 1000);
        }
    });
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(Far->Send("x"));
    waiter.join();
    EXPECT_EQ(received, 1000u);
}

} // namespace
