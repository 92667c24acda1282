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
#include <functional>
#include <stdexcept>

using namespace std::chrono_literals;
using ComApi::TNetProbe;

namespace {

const std::string Device = "ttyA";
const std::string Far = "tcp://127.0.0.1:4001";
const int WatchFd = 70, AttemptFd = 71;

// What the fakes show the keeper; every step of every attempt gives Step.
struct TWorld {
    TPortKeeper::TClock::time_point Now{};
    bool Back = false, WatchFails = false, BackFails = false;
    TNetProbe::TState Step = TNetProbe::npPending;
    int LiveAttempts = 0;
};

// A device watch or a network attempt, told apart by its descriptor.
class TFake : public TPortKeeper::TDeviceWait, public TPortKeeper::TAttempt {
public:
    TFake(TWorld &World, int Fd) : FWorld(World), FFd(Fd) { FWorld.LiveAttempts += Fd == AttemptFd; }
    ~TFake() override { FWorld.LiveAttempts -= FFd == AttemptFd; }
    int Handle() const override { return FFd; }
    bool DeviceBack() override { return FWorld.BackFails ? throw std::runtime_error("gone") : FWorld.Back; }
    TNetProbe::TState Step() override { return FWorld.Step; }

private:
    TWorld &FWorld;
    int FFd;
};

class TFakeSystem : public TPortKeeper::TSystem {
public:
    explicit TFakeSystem(TWorld &World) : FWorld(World) {}
    TPortKeeper::TClock::time_point Now() const override { return FWorld.Now; }
    std::unique_ptr<TPortKeeper::TDeviceWait> WatchDevice(const std::filesystem::path &Path) override {
        if (FWorld.WatchFails || Path != "/dev/" + Device)
            throw std::runtime_error("no watch");
        return std::make_unique<TFake>(FWorld, WatchFd);
    }
    std::unique_ptr<TPortKeeper::TAttempt> Reach(const std::string &Name) override {
        EXPECT_EQ(Name, Far);
        return std::make_unique<TFake>(FWorld, AttemptFd);
    }

private:
    TWorld &FWorld;
};

std::string Com(const std::string &Text) {
    return "0,0,0 COM > " + Text;
}

class PortKeeper : public testing::Test {
protected:
    PortKeeper() {
        Driver.AddDevice(Device);
        Driver.AddDevice(Far);
        Port.SetEvents({});
        Keeper.SetDelays(1s, 4s);
    }

    // The port opened on Name, then lost and closed by the keeper.
    void OpenAndLose(const std::string &Name) {
        Rele.OpenComPort(Name);
        ASSERT_TRUE(Port.Connected());
        Keeper.DeviceLost();
        ASSERT_EQ(Keeper.Deadline(), World.Now);
        Keeper.DeadlineReached();
        ASSERT_FALSE(Port.Connected());
    }
    // The console's lines since the last call, oldest first.
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
};

TEST_F(PortKeeper, LostDeviceIsClosedWaitedForAndOpenedAgain) {
    OpenAndLose(Device);
    EXPECT_EQ(Said(),
              (std::vector{Com("Zařízení bylo odpojeno."), Com("Čekám na návrat zařízení /dev/ttyA.")}));
    EXPECT_TRUE(Keeper.Waiting());
    EXPECT_EQ(Keeper.Handle(), WatchFd);
    EXPECT_EQ(Keeper.Deadline(), std::nullopt);
    Keeper.HandleReadable(); // a change that is not the device's return
    EXPECT_FALSE(Port.Connected());
    World.Back = true;
    Keeper.HandleReadable();
    EXPECT_TRUE(Port.Connected());
    EXPECT_EQ(Said(), std::vector{Com("Zařízení je zpět, port je znovu otevřen.")});
    EXPECT_FALSE(Keeper.Waiting());
    EXPECT_EQ(Keeper.Handle(), -1);
}

// Attempts 1 s after the loss, then 2 s and 4 s apart, and 4 s from then on; the console hears of
// each new pace once. An attempt still pending when the next is due is given up.
TEST_F(PortKeeper, NetworkPortIsTriedAtADoublingPaceUntilTheFarEndAccepts) {
    const auto Lost = World.Now;
    OpenAndLose(Far);
    const std::pair<std::chrono::seconds, TNetProbe::TState> Attempts[] = {{1s, TNetProbe::npFailed},
                                                                           {3s, TNetProbe::npPending},
                                                                           {7s, TNetProbe::npFailed},
                                                                           {11s, TNetProbe::npFailed},
                                                                           {15s, TNetProbe::npPending}};
    for (const auto &[At, Outcome] : Attempts) {
        ASSERT_EQ(Keeper.Deadline(), Lost + At);
        World.Now = Lost + At;
        World.Step = Outcome;
        Keeper.DeadlineReached();
        EXPECT_EQ(World.LiveAttempts, Outcome == TNetProbe::npPending ? 1 : 0);
        EXPECT_EQ(Keeper.Handle(), Outcome == TNetProbe::npPending ? AttemptFd : -1);
    }
    const std::string Waiting = "Čekám na spojení s " + Far + ", další pokus za ";
    EXPECT_EQ(Said(), (std::vector{Com("Zařízení bylo odpojeno."), Com(Waiting + "1 s."),
                                   Com(Waiting + "2 s."), Com(Waiting + "4 s.")}));
    World.Step = TNetProbe::npConnected;
    Keeper.HandleReadable();
    EXPECT_TRUE(Port.Connected());
    EXPECT_EQ(Said(), std::vector{Com("Zařízení je zpět, port je znovu otevřen.")});
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
            OpenAndLose(Name);
            Said();
            Row.Act();
            if (Row.Told)
                Keeper.Stop();
            World.Back = true;
            World.Step = TNetProbe::npConnected;
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

// The controller says why; a device is tried again at its next change, a network port at the pace
// it had. A device that cannot be watched is left to the operator.
TEST_F(PortKeeper, FailedReopenKeepsWaitingAndAFailedWatchGivesUp) {
    OpenAndLose(Device);
    World.Back = true;
    Driver.FailNext("CreateFile", EACCES);
    Keeper.HandleReadable();
    EXPECT_EQ(Said().at(2), "red ERR >CHYBA při otvírání portu.");
    EXPECT_EQ(Keeper.Handle(), WatchFd);
    Keeper.HandleReadable();
    EXPECT_TRUE(Port.Connected());

    Port.ClosePort();
    OpenAndLose(Far);
    World.Now += 1s;
    World.Step = TNetProbe::npConnected;
    Driver.FailNext("CreateFile", EACCES);
    Keeper.DeadlineReached();
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Keeper.Deadline(), World.Now + 2s);
    EXPECT_TRUE(Keeper.Waiting());

    for (const bool AtStart : {true, false}) {
        SCOPED_TRACE(AtStart ? "no watch at all" : "watch lost later");
        World = TWorld{.WatchFails = AtStart, .BackFails = true};
        OpenAndLose(Device);
        Keeper.HandleReadable();
        EXPECT_EQ(Said().back(), Com("Návrat zařízení nelze sledovat, port otevřete ručně."));
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
