// The keeper of a lost board (PortKeeper.h): closing the lost port, the wait for a device or for a
// network port's far end, and the reopen.
#include "relay/PortKeeper.h"

#include "relay/ReleUnit.h"
#include "serial/driver/posix/DeviceWatch.h"
#include "serial/driver/posix/MqttComDriver.h"
#include "serial/driver/posix/NetComDriver.h"
#include "serial/port/ComPort.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

namespace {

const char *const DeviceLostText = "Zařízení bylo odpojeno.";
const char *const DeviceBackText = "Zařízení je zpět, port je znovu otevřen.";
const char *const WatchFailedText = "Návrat zařízení nelze sledovat, port otevřete ručně.";

class TRealDeviceWait : public TPortKeeper::TDeviceWait {
public:
    explicit TRealDeviceWait(const std::filesystem::path &Device) : FWatcher(Device) {}
    int Handle() const override { return FWatcher.Handle(); }
    bool DeviceBack() override { return FWatcher.DeviceBack(); }

private:
    TDeviceWatcher FWatcher;
};

// TProbe: ComApi::TNetProbe for tcp:// and rfc2217://, ComApi::TMqttProbe for mqtt://.
template <class TProbe> class TRealAttempt : public TPortKeeper::TAttempt {
public:
    explicit TRealAttempt(const std::string &PortName) : FProbe(PortName) {}
    int Handle() const override { return FProbe.Handle(); }
    ComApi::TNetProbe::TState Step() override { return FProbe.Step(); }

private:
    TProbe FProbe;
};

} // namespace

TPortKeeper::TClock::time_point TPortKeeper::TSystem::Now() const {
    return TClock::now();
}

std::unique_ptr<TPortKeeper::TDeviceWait>
TPortKeeper::TSystem::WatchDevice(const std::filesystem::path &Device) {
    return std::make_unique<TRealDeviceWait>(Device);
}

std::unique_ptr<TPortKeeper::TAttempt> TPortKeeper::TSystem::Reach(const std::string &PortName) {
#ifdef DUD_WITH_MQTT
    if (ComApi::IsMqttPortName(PortName))
        return std::make_unique<TRealAttempt<ComApi::TMqttProbe>>(PortName);
#endif
    return std::make_unique<TRealAttempt<ComApi::TNetProbe>>(PortName);
}

TPortKeeper::TPortKeeper(TRele &Rele, TCustomComPort &Port, std::unique_ptr<TSystem> System)
    : FRele(Rele),
      FPort(Port),
      FSystem(System ? std::move(System) : std::make_unique<TSystem>()) {}

TPortKeeper::~TPortKeeper() = default;

void TPortKeeper::SetDelays(std::chrono::milliseconds First, std::chrono::milliseconds Longest) {
    FFirstDelay = First;
    FLongestDelay = std::max(First, Longest);
}

void TPortKeeper::DeviceLost() {
    // A second report of the same loss, or one that the close itself delivers, finds it in hand.
    // Any other phase has the port closed, but for a reopen under way: the new port went too.
    if (FPhase == kpLost)
        return;
    End();
    FPhase = kpLost;
    FDue = FSystem->Now();
    Changed();
}

void TPortKeeper::Stop() {
    if (FPhase == kpIdle)
        return;
    End();
    Changed();
}

bool TPortKeeper::Waiting() const noexcept {
    return FPhase != kpIdle;
}

int TPortKeeper::Handle() const noexcept {
    if (FBusy)
        return -1;
    if (FPhase == kpWatching && FWatch)
        return FWatch->Handle();
    if (FPhase == kpRetrying && FAttempt)
        return FAttempt->Handle();
    return -1;
}

std::optional<TPortKeeper::TClock::time_point> TPortKeeper::Deadline() const noexcept {
    if (FBusy)
        return std::nullopt;
    return FDue;
}

void TPortKeeper::HandleReadable() {
    if (FBusy || EndedElsewhere())
        return;
    if (FPhase == kpWatching)
        DeviceNotice();
    else if (FPhase == kpRetrying && FAttempt)
        AttemptNotice();
}

void TPortKeeper::DeadlineReached() {
    if (FBusy || !FDue)
        return;
    if (FPhase == kpLost) {
        if (FPortEventDepth == 0)
            return CloseLostPort();
        // The last port handler to leave sets the deadline again.
        FDue.reset();
        return Changed();
    }
    if (!EndedElsewhere() && FPhase == kpRetrying)
        StartAttempt();
}

// Someone else opened the port or named another one: the wait is over without a word.
bool TPortKeeper::EndedElsewhere() {
    if (FPhase == kpIdle || FPhase == kpLost)
        return false;
    if (!FPort.Connected() && FPort.Port() == FName)
        return false;
    End();
    Changed();
    return true;
}

void TPortKeeper::End() noexcept {
    FPhase = kpIdle;
    FWatch.reset();
    FAttempt.reset();
    FDue.reset();
}

void TPortKeeper::CloseLostPort() {
    FDue.reset();
    // Closed by hand meanwhile: nothing is lost.
    if (!FPort.Connected()) {
        FPhase = kpIdle;
        return Changed();
    }
    FBusy = true;
    try {
        FPort.ClosePort();
    } catch (const std::exception &Error) {
        // The port's own message; the device is gone either way.
        FRele.WriteMsg(Error.what(), mkErr);
    }
    FBusy = false;
    Say(DeviceLostText);
    if (FPort.Connected()) {
        FPhase = kpIdle;
        return Changed();
    }
    StartWaiting();
}

void TPortKeeper::StartWaiting() {
    FName = FPort.Port();
    if (ComApi::IsNetworkPortName(FName) || ComApi::IsMqttPortName(FName)) {
        FPhase = kpRetrying;
        FDelay = FFirstDelay;
        FSaidSeconds = -1;
        FDue = FSystem->Now() + FDelay;
        SayNextAttempt();
        return Changed();
    }
    const std::filesystem::path Device = ComDevicePath(FName);
    try {
        FWatch = FSystem->WatchDevice(Device);
    } catch (const std::exception &) {
        FPhase = kpIdle;
        Say(WatchFailedText);
        return Changed();
    }
    FPhase = kpWatching;
    Say("Čekám na návrat zařízení " + Device.string() + ".");
    Changed();
}

void TPortKeeper::DeviceNotice() {
    bool Back = false;
    try {
        Back = FWatch->DeviceBack();
    } catch (const std::exception &) {
        End();
        Say(WatchFailedText);
        return Changed();
    }
    if (Back)
        Reopen();
}

// The next attempt is due; one still under way has had its time (a host that does not answer).
void TPortKeeper::StartAttempt() {
    FAttempt.reset();
    FDelay = std::min(FDelay * 2, FLongestDelay);
    FDue = FSystem->Now() + FDelay;
    SayNextAttempt();
    try {
        FAttempt = FSystem->Reach(FName);
    } catch (const std::exception &) {
        return Changed(); // no descriptor or thread to be had now: the next attempt asks again
    }
    AttemptNotice(); // an address that refuses at once is known now
}

void TPortKeeper::AttemptNotice() {
    switch (FAttempt->Step()) {
    case ComApi::TNetProbe::npPending:
        return Changed();
    case ComApi::TNetProbe::npFailed:
        FAttempt.reset(); // the deadline brings the next attempt
        return Changed();
    case ComApi::TNetProbe::npConnected:
        return Reopen(); // the open takes the attempt's connection
    }
}

void TPortKeeper::Reopen() {
    // An error line of the open may run an event loop of its own: no second attempt from there.
    FBusy = true;
    Changed();
    try {
        FRele.OpenComPort(FName);
    } catch (...) {
        FBusy = false;
        throw; // the controller reports its own failures; anything else is the loop's to report
    }
    FBusy = false;
    if (FPort.Connected()) {
        if (FPhase != kpLost) // lost again while it opened: that loss is in hand
            End();
        Say(DeviceBackText);
    } else if (FPhase == kpRetrying) {
        // The controller said why; unless the wait ended meanwhile, it goes on at the same pace.
        FAttempt.reset();
        FDue = FSystem->Now() + FDelay;
    }
    Changed();
}

void TPortKeeper::SayNextAttempt() {
    // Whole seconds, rounded up; said again only when the pace changes.
    const long long Seconds = std::max<long long>(1, (FDelay.count() + 999) / 1000);
    if (Seconds == FSaidSeconds)
        return;
    FSaidSeconds = Seconds;
    Say("Čekám na spojení s " + FName + ", další pokus za " + std::to_string(Seconds) + " s.");
}

void TPortKeeper::Say(const std::string &Text) {
    FRele.WriteComMsg(Text);
}

void TPortKeeper::Changed() {
    if (OnChange)
        OnChange();
}

TPortKeeper::TPortEvent::TPortEvent(TPortKeeper &Keeper) : FKeeper(Keeper) {
    ++FKeeper.FPortEventDepth;
}

TPortKeeper::TPortEvent::~TPortEvent() {
    if (--FKeeper.FPortEventDepth == 0 && FKeeper.FPhase == kpLost && !FKeeper.FDue) {
        FKeeper.FDue = FKeeper.FSystem->Now();
        FKeeper.Changed();
    }
}

TMainThreadLoop::TLoopEnd RunKeeping(TMainThreadLoop &Loop, TPortKeeper &Keeper,
                                     std::optional<TMainThreadLoop::TClock::time_point> Deadline,
                                     std::span<const int> Watched, std::size_t *Ready) {
    std::vector<int> Fds(Watched.begin(), Watched.end());
    for (;;) {
        const int KeeperFd = Keeper.Handle();
        Fds.resize(Watched.size());
        if (KeeperFd >= 0)
            Fds.push_back(KeeperFd);
        std::optional<TMainThreadLoop::TClock::time_point> Until = Deadline;
        if (const auto Due = Keeper.Deadline(); Due && (!Until || *Due < *Until))
            Until = Due;
        std::size_t Index = 0;
        const TMainThreadLoop::TLoopEnd End = Loop.Run(Until, Fds, &Index);
        if (End == TMainThreadLoop::leReadable && Index == Watched.size()) {
            Keeper.HandleReadable();
            continue;
        }
        if (End == TMainThreadLoop::leReadable && Ready)
            *Ready = Index;
        if (End != TMainThreadLoop::leDeadline)
            return End;
        const auto Now = TMainThreadLoop::TClock::now();
        if (Deadline && Now >= *Deadline)
            return End;
        if (const auto Due = Keeper.Deadline(); Due && Now >= *Due)
            Keeper.DeadlineReached();
    }
}
