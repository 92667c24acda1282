// Waiting for a serial device that has gone away to come back, without polling on a timer.
//
// One inotify descriptor watches the folder that holds the device's name (/dev for ttyUSB0,
// /dev/serial/by-id for a stable name). While that folder is gone too - udev removes
// /dev/serial/by-id with the last adapter - it watches the nearest folder above it that exists,
// and steps down again as the folders come back. The descriptor becomes readable whenever a name
// there is created, removed, renamed or changes its owner or mode; the owner keeps the descriptor
// in its event loop and calls DeviceBack() when it is readable.
//
// "Back" means two things. The name has been missing at some time since the watch began, so a node
// that udev has not yet removed after the unplug never counts as returned. And the name is now a
// character device that this process may read and write: a new node first appears as root's
// alone, and udev gives it its group and mode a moment later, which is one more notification.
//
// Nothing is opened but the inotify descriptor, and no thread is started. Thread safety: none; a
// watcher belongs to the thread that uses it.
#pragma once

#include "base/Fd.h"

#include <filesystem>
#include <string>

// The device path of a port name as the port opens it: "ttyUSB0" and "serial/by-id/usb-..." are
// names under DevRoot, a name that starts with '/' is a path as it stands.
std::filesystem::path ComDevicePath(const std::string &Port, const std::filesystem::path &DevRoot = "/dev");

class TDeviceWatcher {
public:
    // Device: an absolute path. Raises std::system_error when the kernel gives no inotify
    // instance or no watch (the per-user limits).
    explicit TDeviceWatcher(std::filesystem::path Device);
    ~TDeviceWatcher();
    TDeviceWatcher(const TDeviceWatcher &) = delete;
    TDeviceWatcher &operator=(const TDeviceWatcher &) = delete;

    // Readable when something may have changed; never blocks a read.
    int Handle() const noexcept { return FFd.Get(); }
    const std::filesystem::path &Device() const noexcept { return FDevice; }

    // Takes the pending notifications, follows the folders, and tells whether the device is back
    // (see above). True again on a later call while it stays back, so an owner whose open failed
    // tries again at the next notification. Raises std::system_error when no watch can be had.
    bool DeviceBack();

private:
    void Follow();
    void Drain() noexcept;

    std::filesystem::path FDevice;
    TFd FFd;
    int FWatch = -1;
    bool FSeenMissing = false;
};
