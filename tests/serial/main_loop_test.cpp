// The poll() main loop for programs without a window: what ends a run, and that queued calls run
// before it ends, whichever thread queued them. Deadlines here are far away unless a row is about
// the deadline, so no row depends on the machine's speed.
#include "serial/driver/posix/MainThreadLoop.h"
#include "serial/port/ComPlatform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

TEST(MainThreadLoop, EndsOnStopDeadlineOrReadableDescriptorAfterRunningQueuedCalls) {
    int Pipe[2];
    ASSERT_EQ(::pipe(Pipe), 0);
    struct TRow {
        const char *Name;
        TMainThreadLoop::TLoopEnd End;
    };
    const TRow Rows[] = {
        {"a queued call stops it", TMainThreadLoop::leStopped},
        {"another thread stops it", TMainThreadLoop::leStopped},
        {"the deadline passes", TMainThreadLoop::leDeadline},
        {"a watched descriptor is readable", TMainThreadLoop::leReadable},
    };
    for (std::size_t I = 0; I < std::size(Rows); ++I) {
        SCOPED_TRACE(Rows[I].Name);
        TMainThreadLoop Loop;
        bool Ran = false;
        std::thread Other([&] {
            QueueMainThreadCall([&] {
                Ran = true;
                if (I == 0)
                    Loop.Stop();
            });
            if (I == 1)
                Loop.Stop();
            if (I == 3) {
                EXPECT_EQ(::write(Pipe[1], "x", 1), 1);
            }
        });
        // The other thread queues its call before it stops the loop or fills the pipe, so the call
        // has run whenever the run ends, also when it ends while the loop sleeps. A deadline that
        // has passed ends the run at once, so there the call is queued first.
        if (I == 2)
            Other.join();
        const int Watched[] = {-1, Pipe[0]};
        std::size_t Ready = 99;
        const auto Deadline = TMainThreadLoop::TClock::now() + (I == 2 ? 0s : 60s);
        EXPECT_EQ(Loop.Run(Deadline, Watched, &Ready), Rows[I].End);
        if (Other.joinable())
            Other.join();
        EXPECT_TRUE(Ran);
        EXPECT_EQ(Ready, I == 3 ? 1U : 99U);
        // Nothing was taken away: a stopped loop stays stopped, the pipe stays readable.
        EXPECT_EQ(Loop.Run(Deadline, Watched), Rows[I].End);
    }
    char Byte;
    EXPECT_EQ(::read(Pipe[0], &Byte, 1), 1);
    ::close(Pipe[0]);
    ::close(Pipe[1]);
}

} // namespace
