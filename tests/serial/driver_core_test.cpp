// The device state machine every driver shares, on a clock of the test's own: the COMMTIMEOUTS
// deadlines are checked here, to the millisecond and without waiting, so the drivers' tests need
// only show that they honour them.
#include "serial/driver/OverlappedDevice.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

using namespace ComApi;

namespace {

using TMs = std::chrono::milliseconds;

// A line that takes up to Room bytes, then nothing.
struct TLine : TOverlappedDevice::TLine {
    std::size_t Room = 1 << 20;
    std::string Sent;
    std::ptrdiff_t Send(const char *Bytes, std::size_t Count) override {
        const std::size_t n = std::min(Room, Count);
        Sent.append(Bytes, n);
        Room -= n;
        return static_cast<std::ptrdiff_t>(n);
    }
};

struct TOp {
    TEvent Event;
    TOverlapped Ov;
    TOp() { Ov.hEvent = &Event; }
    bool Done() const { return Event.IsSet(); }
};

const TOverlappedDevice::TTime T0 = TOverlappedDevice::TTime() + std::chrono::hours(1);

TEST(OverlappedDevice, ReadTimeoutRules) {
    struct {
        const char *What;
        COMMTIMEOUTS T;
        int ArriveAt; // ms after the read started that "ab" arrives; -1: nothing comes
        int EndsAt;   // ms after the start that the read ends; -1: not by itself
        DWORD Got;
    } rows[] = {
        {"total: constant", {0, 0, 30, 0, 0}, -1, 30, 0},
        {"total: multiplier x count + constant", {0, 10, 5, 0, 0}, 3, 85, 2},
        {"interval starts with the first byte", {20, 0, 0, 0, 0}, 5, 25, 2},
        {"interval alone never ends an empty read", {20, 0, 0, 0, 0}, -1, -1, 0},
        {"the earlier of total and interval", {20, 0, 40, 0, 0}, 30, 40, 2},
        {"first bytes or the constant", {MAXDWORD, MAXDWORD, 50, 0, 0}, -1, 50, 0},
        {"first bytes end it at once", {MAXDWORD, MAXDWORD, 50, 0, 0}, 7, 7, 2},
        {"no time-outs", {0, 0, 0, 0, 0}, 5, -1, 2},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.What);
        TOverlappedDevice device;
        TLine line;
        ASSERT_TRUE(device.SetCommTimeouts(row.T));
        char buf[8];
        TOp op;
        ASSERT_FALSE(device.ReadFile(buf, 8, nullptr, &op.Ov, T0, line));
        if (row.ArriveAt >= 0) {
            device.Put("ab");
            device.EndBatch(T0 + TMs(row.ArriveAt));
        }
        const auto end = T0 + TMs(row.EndsAt < 0 ? 100000 : row.EndsAt);
        if (row.EndsAt != row.ArriveAt) {
            EXPECT_EQ(device.NextDeadline(), row.EndsAt < 0 ? TOverlappedDevice::TTime::max() : end);
            device.Expire(end - TMs(1));
            EXPECT_FALSE(op.Done());
            device.Expire(end);
        }
        EXPECT_EQ(op.Done(), row.EndsAt >= 0);
        if (row.EndsAt >= 0) {
            EXPECT_EQ(op.Ov.Internal.load(), 0u) << "a time-out is a success";
            EXPECT_EQ(op.Ov.InternalHigh.load(), row.Got);
        }
        device.Close();
    }
}

TEST(OverlappedDevice, WriteTimeoutEndsWithWhatTheLineTook) {
    TOverlappedDevice device;
    TLine line;
    line.Room = 3;
    ASSERT_TRUE(device.SetCommTimeouts(COMMTIMEOUTS{0, 0, 0, 2, 10})); // 2 x 6 + 10 ms
    TOp first, second;
    ASSERT_FALSE(device.WriteFile("RUN=1s", 6, nullptr, &first.Ov, T0, line));
    line.Room = 100;
    ASSERT_FALSE(device.WriteFile("AB", 2, nullptr, &second.Ov, T0, line))
        << "never ahead of a pending write";
    EXPECT_EQ(line.Sent, "RUN");
    EXPECT_EQ(device.Unsent(), 5u);
    EXPECT_FALSE(device.Expire(T0 + TMs(21)));
    EXPECT_TRUE(device.Expire(T0 + TMs(22))) << "both deadlines passed: no write is left";
    EXPECT_EQ(first.Ov.InternalHigh.load(), 3u);
    EXPECT_EQ(first.Ov.Internal.load(), 0u);
    EXPECT_EQ(second.Ov.InternalHigh.load(), 0u);
}

TEST(OverlappedDevice, ABatchCrossingFourFifthsOfTheQueueIsOneReport) {
    TOverlappedDevice device;
    ASSERT_TRUE(device.SetCommMask(EV_RXCHAR | EV_RX80FULL));
    DWORD mask = 0;
    TOp wait;
    for (const DWORD expected : {EV_RXCHAR, EV_RXCHAR | EV_RX80FULL}) {
        device.Put(std::string(device.QueueSize() * 4 / 10, 'x'));
        device.Put("y");
        device.EndBatch(T0);
        ASSERT_TRUE(device.WaitCommEvent(&mask, &wait.Ov));
        EXPECT_EQ(mask, expected);
    }
}

} // namespace
