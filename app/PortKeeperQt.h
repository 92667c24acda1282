// The panel's driver of the port keeper (relay/PortKeeper.h): a socket notifier on the keeper's
// descriptor and a single-shot timer for its deadline, both set again whenever the keeper changes.
// The keeper's entry points run guarded, like the operator's actions: an error that leaves one
// reaches the application's error display and the panel goes on.
#pragma once

#include <QObject>
#include <QTimer>

class QSocketNotifier;
class TPortKeeper;

class TPortKeeperQt : public QObject {
public:
    // Keeper is borrowed; it must outlive this driver, which takes its OnChange.
    TPortKeeperQt(TPortKeeper &Keeper, QObject *Parent);
    ~TPortKeeperQt() override;
    TPortKeeperQt(const TPortKeeperQt &) = delete;
    TPortKeeperQt &operator=(const TPortKeeperQt &) = delete;

private:
    void Follow();

    TPortKeeper &FKeeper;
    QSocketNotifier *FNotifier = nullptr; // a child, on FFd
    int FFd = -1;
    QTimer FTimer;
};
