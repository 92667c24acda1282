// The port keeper on Qt's event loop (PortKeeperQt.h).
#include "PortKeeperQt.h"

#include "AppPlatform.h"
#include "relay/PortKeeper.h"

#include <QSocketNotifier>

#include <algorithm>
#include <chrono>

TPortKeeperQt::TPortKeeperQt(TPortKeeper &Keeper, QObject *Parent) : QObject(Parent), FKeeper(Keeper) {
    FTimer.setSingleShot(true);
    // A coarse timer may fire a little early; the keeper takes the call as the deadline reached.
    FTimer.setTimerType(Qt::PreciseTimer);
    connect(&FTimer, &QTimer::timeout, this, [this] { RunGuarded([this] { FKeeper.DeadlineReached(); }); });
    FKeeper.OnChange = [this] { Follow(); };
    Follow();
}

TPortKeeperQt::~TPortKeeperQt() {
    FKeeper.OnChange = nullptr;
}

void TPortKeeperQt::Follow() {
    if (const int Fd = FKeeper.Handle(); Fd != FFd) {
        // Called from the notifier's own handler too: the old one goes once that has returned.
        if (FNotifier) {
            FNotifier->setEnabled(false);
            FNotifier->deleteLater();
            FNotifier = nullptr;
        }
        FFd = Fd;
        if (Fd >= 0) {
            FNotifier = new QSocketNotifier(Fd, QSocketNotifier::Read, this);
            connect(FNotifier, &QSocketNotifier::activated, this,
                    [this] { RunGuarded([this] { FKeeper.HandleReadable(); }); });
        }
    }
    const std::optional<TPortKeeper::TClock::time_point> Due = FKeeper.Deadline();
    if (!Due)
        return FTimer.stop();
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(*Due - TPortKeeper::TClock::now());
    FTimer.start(std::max(Left, std::chrono::milliseconds(0)));
}
