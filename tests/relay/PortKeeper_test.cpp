// The keeper's policy, on a clock of the test's own with a fake device watch and fake attempts; the
// port is the real component on the scriptable driver. The panel's replug tests and relayctl's
// --follow test run the same keeper on real devices and loops.
#include "relay/PortKeeper.h"
#include "relay/ReleUnit.h"
#include "serial/port/ComPort.h"
#include "serial/testing/ScriptComDriver.h"
#include "support/Recorders.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <functional>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {

const std::string Device = "ttyA";
const std::string Far = "tcp://127.0.0.1:4001";
const int WatchFd = 70, AttemptFd = 71;

// What the fakes share with the test.
struct TWorld {
    TPortKeeper::TClock::time_point Now{};
    bool Back = false;
    bool WatchFails = false, BackFails = false;
    std::deque<ComApi::TNetProbe::TState> Steps; // each attempt's first step; pending when empty
    ComApi::TNetProbe::TState Later = ComApi::TNetProbe::npPending; // a step once readable
    int Attempts = 0, LiveAttempts = 0;
};

class TFakeWait : public TPortKeeper::TDeviceWait {
public:
    explicit TFakeWait(TWorld &World) : FWorld(World) {}
    int Handle() const override { return WatchFd; }
    bool DeviceBack() override {
        if (FWorld.BackFails)
            throw std::runtime_error("watch lost");
        return FWorld.Back;
    }

private:
    TWorld &FWorld;
};

class TFakeAttempt : public TPortKeeper::TAttempt {
public:
    explicit TFakeAttempt(TWorld &World) : FWorld(World) { ++FWorld.LiveAttempts; }
    ~TFakeAttempt() override { --FWorld.LiveAttempts; }
    int Handle() const override { return AttemptFd; }
    ComApi::TNetProbe::TState Step() override {
        if (FFirst && !FWorld.Steps.empty()) {
            FFirst = false;
            const auto State = FWorld.Steps.front();
            FWorld.Steps.pop_front();
            return State;
        }
        FFirst = false;
        return FWorld.Later;
    }

private:
    TWorld &FWorld;
    bool FFirst = true;
};

class TFakeSystem : public TPortKeeper::TSystem {
public:
    explicit TFakeSystem(TWorld &World) : FWorld(World) {}
    TPortKeeper::TClock::time_point Now() const override { return FWorld.Now; }
    std::unique_ptr<TPortKeeper::TDeviceWait> WatchDevice(const std::filesystem::path &Path) override {
        if (FWorld.WatchFails || Path != "/dev/" + Device)
            throw std::runtime_error("no watch");
        return std::make_unique<TFakeWait>(FWorld);
    }
    std::unique_ptr<TPortKeeper::TAttempt> Reach(const std::string &Name) override {
        EXPECT_EQ(Name, Far);
        ++FWorld.Attempts;
        return std::make_unique<TFakeAttempt>(FWorld);
    }

private:
    TWorld &FWorld;
};

class PortKeeper : public testing::Test {
protected:
    PortKeeper() {
        Driver.AddDevice(Device);
        Driver.AddDevice(Far);
        Port.SetEvents({});
        Keeper.SetDelays(1s, 4s);
        Keeper.OnChange = [this] { ++Changes; };
    }

    // The port opened on Name, then lost and closed by the keeper; the console starts empty.
    void OpenAndLose(const std::string &Name) {
        Rele.OpenComPort(Name);
        ASSERT_TRUE(Port.Connected());
        Keeper.DeviceLost();
        ASSERT_EQ(Keeper.Deadline(), World.Now);
        Keeper.DeadlineReached();
        ASSERT_FALSE(Port.Connected());
    }
    std::vector<std::string> Said() {
        std::vector<std::string> Lines = Console.Written();
        Console.Lines.clear();
        return Lines;
    }
    int Opens() const { return static_cast<int>(Driver.CallsOf("CreateFile").size()); }

    TWorld World;
    ComApi::TScriptComDriver Driver;
    TComPort Port{Driver};
    TRecordingConsole Console;
    TRecordedPlatform Platform;
    TRele Rele{&Console, &Port};
    TPortKeeper Keeper{Rele, Port, std::make_unique<TFakeSystem>(World)};
    int Changes = 0;
};

TEST_F(PortKeeper, LostDeviceIsClosedWaitedForAndOpenedAgain) {
    OpenAndLose(Device);
    EXPECT_EQ(Said(), (std::vector<std::string>{"0,0,0 COM > Zařízení bylo odpojeno.",
                                                "0,0,0 COM > Čekám na návrat zařízení /dev/ttyA."}));
    EXPECT_TRUE(Keeper.Waiting());
    EXPECT_EQ(Keeper.Handle(), WatchFd);
    EXPECT_EQ(Keeper.Deadline(), std::nullopt);
    Keeper.HandleReadable(); // a change that is not the device's return
    EXPECT_FALSE(Port.Connected());
    World.Back = true;
    Keeper.HandleReadable();
    EXPECT_TRUE(Port.Connected());
    EXPECT_EQ(Port.Port(), Device);
    EXPECT_EQ(Said(), std::vector<std::string>{"0,0,0 COM > Zařízení je zpět, port je znovu otevřen."});
    EXPECT_FALSE(Keeper.Waiting());
    EXPECT_EQ(Keeper.Handle(), -1);
    EXPECT_GT(Changes, 0);
}

// Attempts 1 s after the loss, then 2 s and 4 s apart, and 4 s from then on; the console hears of
// each new pace once. An attempt still pending when the next is due is given up.
TEST_F(PortKeeper, NetworkPortIsTriedAtADoublingPaceUntilTheFarEndAccepts) {
    const auto Lost = World.Now;
    OpenAndLose(Far);
    EXPECT_EQ(Keeper.Handle(), -1);
    const std::pair<std::chrono::seconds, ComApi::TNetProbe::TState> Attempts[] = {
        {1s, ComApi::TNetProbe::npFailed},
        {3s, ComApi::TNetProbe::npPending},
        {7s, ComApi::TNetProbe::npFailed},
        {11s, ComApi::TNetProbe::npFailed},
        {15s, ComApi::TNetProbe::npPending}};
    for (const auto &[At, Outcome] : Attempts) {
        ASSERT_EQ(Keeper.Deadline(), Lost + At);
        World.Now = Lost + At;
        World.Steps.push_back(Outcome);
        Keeper.DeadlineReached();
        EXPECT_EQ(World.LiveAttempts, Outcome == ComApi::TNetProbe::npPending ? 1 : 0);
        EXPECT_EQ(Keeper.Handle(), Outcome == ComApi::TNetProbe::npPending ? AttemptFd : -1);
    }
    EXPECT_EQ(Said(),
              (std::vector<std::string>{"0,0,0 COM > Zařízení bylo odpojeno.",
                                        "0,0,0 COM > Čekám na spojení s " + Far + ", další pokus za 1 s.",
                                        "0,0,0 COM > Čekám na spojení s " + Far + ", další pokus za 2 s.",
                                        "0,0,0 COM > Čekám na spojení s " + Far + ", další pokus za 4 s."}));
    World.Later = ComApi::TNetProbe::npConnected;
    Keeper.HandleReadable();
    EXPECT_TRUE(Port.Connected());
    EXPECT_EQ(Said(), std::vector<std::string>{"0,0,0 COM > Zařízení je zpět, port je znovu otevřen."});
    EXPECT_EQ(World.LiveAttempts, 0);
    EXPECT_EQ(Keeper.Deadline(), std::nullopt);
}

// Opening the port by any other way, closing it by hand or naming another port ends the wait,
// silently, for a device and for a network port alike; a loss not yet acted on as well.
TEST_F(PortKeeper, OperatorsChoiceEndsTheWait) {
    struct TRow {
        const char *Name;
        bool Told; // the front end calls Stop; else the keeper finds out at its next entry point
        std::function<void()> Act;
    };
    const TRow Rows[] = {
        {"opened by hand", true, [this] { Rele.OpenComPort(Port.Port()); }},
        {"opened, keeper not told", false, [this] { Rele.OpenComPort(Port.Port()); }},
        {"another port named", false, [this] { Port.SetPort("ttyB"); }},
        {"stopped", true, [] {}},
    };
    for (const std::string &Name : {Device, Far}) {
        for (const TRow &Row : Rows) {
            SCOPED_TRACE(Name + ": " + Row.Name);
            Port.SetPort(Name);
            OpenAndLose(Name);
            Said();
            Row.Act();
            if (Row.Told)
                Keeper.Stop();
            World.Back = true;
            World.Steps.push_back(ComApi::TNetProbe::npConnected);
            const int OpensBefore = Opens();
            Keeper.HandleReadable();
            World.Now += 10s;
            Keeper.DeadlineReached();
            EXPECT_FALSE(Keeper.Waiting());
            EXPECT_EQ(Keeper.Handle(), -1);
            EXPECT_EQ(Keeper.Deadline(), std::nullopt);
            EXPECT_EQ(Opens(), OpensBefore);
            EXPECT_EQ(World.LiveAttempts, 0);
            EXPECT_TRUE(Said().empty());
            World = TWorld{};
            Port.ClosePort();
        }
    }
    // Closed by hand between the loss and its deadline: nothing to close, nothing to wait for.
    Rele.OpenComPort(Device);
    Keeper.DeviceLost();
    Port.ClosePort();
    Keeper.DeadlineReached();
    EXPECT_FALSE(Keeper.Waiting());
    EXPECT_TRUE(Said().empty());
}

TEST_F(PortKeeper, FailedReopenKeepsWaiting) {
    OpenAndLose(Device);
    World.Back = true;
    Driver.FailNext("CreateFile", EACCES);
    Keeper.HandleReadable();
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Said().at(2), "red ERR >CHYBA při otvírání portu.");
    EXPECT_EQ(Keeper.Handle(), WatchFd); // the next change of the device tries again
    Keeper.HandleReadable();
    EXPECT_TRUE(Port.Connected());

    Port.ClosePort();
    OpenAndLose(Far);
    Said();
    World.Now += 1s;
    World.Steps.push_back(ComApi::TNetProbe::npConnected);
    Driver.FailNext("CreateFile", EACCES);
    Keeper.DeadlineReached();
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Keeper.Deadline(), World.Now + 2s); // at the pace it had
    EXPECT_EQ(Keeper.Handle(), -1);
    EXPECT_TRUE(Keeper.Waiting());
}

TEST_F(PortKeeper, DeviceThatCannotBeWatchedIsLeftToTheOperator) {
    for (const bool AtStart : {true, false}) {
        SCOPED_TRACE(AtStart ? "no watch at all" : "watch lost later");
        World = TWorld{};
        World.WatchFails = AtStart;
        OpenAndLose(Device);
        World.BackFails = true;
        Keeper.HandleReadable();
        EXPECT_EQ(Said().back(), "0,0,0 COM > Návrat zařízení nelze sledovat, port otevřete ručně.");
        EXPECT_FALSE(Keeper.Waiting());
        EXPECT_EQ(Keeper.Handle(), -1);
    }
}

// A message box shown from a port handler runs the loop's timers and notifiers in its own event
// loop. The port is closed only once the last handler has left, and no attempt starts inside the
// event loop of the reopen's own error line.
TEST_F(PortKeeper, NothingHappensInsideNestedEventLoops) {
    Rele.OpenComPort(Device);
    {
        const TPortKeeper::TPortEvent Outer(Keeper);
        {
            const TPortKeeper::TPortEvent Inner(Keeper);
            Keeper.DeviceLost();
            Keeper.DeadlineReached();
        }
        Keeper.DeviceLost(); // the same loss again
        EXPECT_TRUE(Port.Connected());
        EXPECT_EQ(Keeper.Deadline(), std::nullopt);
    }
    ASSERT_EQ(Keeper.Deadline(), World.Now);
    Keeper.DeadlineReached();
    EXPECT_FALSE(Port.Connected());
    Said();

    World.Back = true;
    int Nested = 0;
    Console.OnInsert = [&] {
        ++Nested;
        EXPECT_EQ(Keeper.Handle(), -1);
        EXPECT_EQ(Keeper.Deadline(), std::nullopt);
        Keeper.HandleReadable();
        Keeper.DeadlineReached();
    };
    Driver.FailNext("CreateFile", EACCES);
    const int OpensBefore = Opens();
    Keeper.HandleReadable();
    Console.OnInsert = nullptr;
    EXPECT_EQ(Opens(), OpensBefore + 1);
    EXPECT_GT(Nested, 0);
    EXPECT_EQ(Keeper.Handle(), WatchFd);
}

} // namespace
