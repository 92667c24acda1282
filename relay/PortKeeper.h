// The way back to a lost board, shared by every front end (the panel, relayctl, the MQTT bridge).
//
// Told that the device behind the open port has gone (DeviceLost, from the port's error handler),
// the keeper closes the port once no port handler runs any more, says so on the controller's
// console and waits: for a local device until the same name comes back (TDeviceWatcher, inotify),
// for a network port (tcp://, rfc2217://) by trying the far end after a delay that doubles from
// one attempt to the next up to a longest one (TNetProbe, which never blocks), and for a board on
// a broker (mqtt://) the same way, an attempt succeeding once the bridge says the board is online
// (TMqttProbe). Then it opens the
// port again through the controller, as "Otevřít port" would, and says that the device is back.
// A reopen that fails (the controller says why) waits for the next change of the device, or for
// the next attempt at the same delay. The port being opened, closed or renamed by anyone else
// ends the wait at once (Stop), and is noticed on the keeper's next entry point anyway.
//
// The keeper owns no thread and no timer and knows no event loop. Its owner's loop watches one
// descriptor (Handle) and one deadline (Deadline), calls HandleReadable and DeadlineReached when
// they come, and reads both again whenever OnChange runs. The panel does this with a socket
// notifier and a single-shot timer (app/PortKeeperQt.h); programs without Qt use RunKeeping below,
// on the serial layer's poll() loop.
//
// Port handlers may run nested event loops (a message box shown from a handler runs queued calls
// and timers). The port must not be closed from inside one: its close waits for the event thread,
// which waits for that handler. So the front end marks its port handlers with a TPortEvent scope;
// a loss whose time comes meanwhile waits until the last scope has left. A reopen is never
// started from inside another: while one runs, there is no descriptor and no deadline.
//
// Thread safety: none; the keeper and its controller and port belong to the main thread.
#pragma once

#include "serial/driver/posix/MainThreadLoop.h"
#include "serial/driver/posix/NetConnect.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

class TRele;
class TCustomComPort;

class TPortKeeper {
public:
    using TClock = std::chrono::steady_clock;

    // The shape of TDeviceWatcher: readable when something may have changed.
    class TDeviceWait {
    public:
        virtual ~TDeviceWait() = default;
        virtual int Handle() const = 0;
        virtual bool DeviceBack() = 0; // may raise std::system_error: the device cannot be watched
    };
    // The shape of ComApi::TNetProbe: one attempt to reach the far end.
    class TAttempt {
    public:
        virtual ~TAttempt() = default;
        virtual int Handle() const = 0;
        virtual ComApi::TNetProbe::TState Step() = 0;
    };
    // What the keeper takes from the system: the time, device watches and attempts. The default is
    // the real one; tests give a clock and fakes of their own. Both factories may raise
    // std::exception (no descriptor or thread to be had).
    class TSystem {
    public:
        virtual ~TSystem() = default;
        virtual TClock::time_point Now() const;
        virtual std::unique_ptr<TDeviceWait> WatchDevice(const std::filesystem::path &Device);
        virtual std::unique_ptr<TAttempt> Reach(const std::string &PortName);
    };

    // Rele and Port are borrowed and must outlive the keeper; Rele's console hears the keeper.
    TPortKeeper(TRele &Rele, TCustomComPort &Port, std::unique_ptr<TSystem> System = nullptr);
    ~TPortKeeper();
    TPortKeeper(const TPortKeeper &) = delete;
    TPortKeeper &operator=(const TPortKeeper &) = delete;

    // The delays before the attempts to reach a lost network port: First, then twice the one
    // before, never longer than Longest. By default 1 s and 30 s.
    void SetDelays(std::chrono::milliseconds First, std::chrono::milliseconds Longest);

    // The port reported that its device is gone (ceIO). Safe to call from a port handler: the
    // close comes at the deadline this sets, which is now. Ignored while a loss is already in hand.
    void DeviceLost();
    // The operator or the program opened, closed or renamed the port: the wait, or a loss not yet
    // acted on, ends without a word.
    void Stop();
    // A loss in hand, or a wait for the device.
    bool Waiting() const noexcept;

    // The descriptor to watch for reading, -1 for none; and the time DeadlineReached is due.
    int Handle() const noexcept;
    std::optional<TClock::time_point> Deadline() const noexcept;
    void HandleReadable();
    void DeadlineReached();
    // Runs after every change of Handle() or Deadline(), and after the keeper wrote to the console.
    std::function<void()> OnChange;

    // Marks a port handler of the front end (RxChar, Error) for as long as it runs.
    class TPortEvent {
    public:
        explicit TPortEvent(TPortKeeper &Keeper);
        ~TPortEvent();
        TPortEvent(const TPortEvent &) = delete;
        TPortEvent &operator=(const TPortEvent &) = delete;

    private:
        TPortKeeper &FKeeper;
    };

private:
    enum TPhase { kpIdle, kpLost, kpWatching, kpRetrying };

    void CloseLostPort();
    void StartWaiting();
    void DeviceNotice();
    void AttemptNotice();
    void StartAttempt();
    void Reopen();
    bool EndedElsewhere();
    void End() noexcept;
    void SayNextAttempt();
    void Say(const std::string &Text);
    void Changed();

    TRele &FRele;
    TCustomComPort &FPort;
    std::unique_ptr<TSystem> FSystem;
    TPhase FPhase = kpIdle;
    std::string FName; // the port waited for
    std::unique_ptr<TDeviceWait> FWatch;
    std::unique_ptr<TAttempt> FAttempt;
    std::optional<TClock::time_point> FDue;
    std::chrono::milliseconds FFirstDelay = std::chrono::seconds(1);
    std::chrono::milliseconds FLongestDelay = std::chrono::seconds(30);
    std::chrono::milliseconds FDelay = FFirstDelay; // from the attempt under way to the next
    long long FSaidSeconds = -1;                    // the delay the console last heard of
    int FPortEventDepth = 0;
    bool FBusy = false; // closing or reopening: no entry point acts
};

// TMainThreadLoop::Run with Keeper served on the side: its descriptor is watched beside Watched
// and its deadline kept, neither of which ends the run; *Ready indexes Watched alone. Keeper's
// OnChange must call Loop.Wake() (and may do more, such as printing the console's lines), so that
// a loss reported from a port handler is acted on.
TMainThreadLoop::TLoopEnd RunKeeping(TMainThreadLoop &Loop, TPortKeeper &Keeper,
                                     std::optional<TMainThreadLoop::TClock::time_point> Deadline,
                                     std::span<const int> Watched = {}, std::size_t *Ready = nullptr);
