// The device watcher over a fake /dev in a temporary folder: a link to /dev/null stands for the
// device (a character device that we may read and write; nothing opens it).
#include "serial/driver/posix/DeviceWatch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TFakeDev {
public:
    TFakeDev() {
        std::string Template = (fs::temp_directory_path() / "watch-dev-XXXXXX").string();
        Root = ::mkdtemp(Template.data());
    }
    ~TFakeDev() {
        std::error_code Ignored;
        fs::remove_all(Root, Ignored);
    }
    fs::path Root;
};

// One change to the tree, and what the watcher says after its notification.
struct TStep {
    const char *Action;
    bool Back;
};

void Apply(const fs::path &Device, const std::string &Action) {
    if (Action == "plug") {
        fs::create_directories(Device.parent_path());
        fs::create_symlink("/dev/null", Device);
    } else if (Action == "unplug") {
        fs::remove(Device);
    } else if (Action == "file") {
        std::ofstream(Device) << "not a device\n";
    } else if (Action == "remove folders") {
        fs::remove_all(Device.parent_path().parent_path());
    } else if (Action == "make folders") {
        fs::create_directories(Device.parent_path());
    }
}

// The watcher's answer once its descriptor is readable; false when it never becomes readable.
bool BackAfterNotice(TDeviceWatcher &Watcher) {
    pollfd Poll{Watcher.Handle(), POLLIN, 0};
    return ::poll(&Poll, 1, 10000) == 1 && Watcher.DeviceBack();
}

TEST(DeviceWatcher, SaysBackOnlyForAUsableDeviceAfterItHasBeenMissing) {
    struct TRow {
        const char *Name;
        const char *Port;    // under the fake /dev
        bool PresentAtStart; // as a node that udev has not yet removed
        std::vector<TStep> Steps;
    };
    const std::vector<TRow> Rows = {
        {"missing, then plugged", "ttyUSB0", false, {{"plug", true}}},
        {"stale node first goes", "ttyUSB0", true, {{"unplug", false}, {"plug", true}}},
        {"a regular file is no device",
         "ttyUSB0",
         false,
         {{"file", false}, {"unplug", false}, {"plug", true}}},
        {"by-id folders go and come back",
         "serial/by-id/usb-FTDI_FT232R_A1-if00-port0",
         true,
         {{"remove folders", false}, {"make folders", false}, {"plug", true}}},
        {"by-id folders come back with the link",
         "serial/by-id/usb-X",
         true,
         {{"remove folders", false}, {"plug", true}}},
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(Row.Name);
        TFakeDev Dev;
        const fs::path Device = ComDevicePath(Row.Port, Dev.Root);
        if (Row.PresentAtStart)
            Apply(Device, "plug");
        TDeviceWatcher Watcher(Device);
        EXPECT_FALSE(Watcher.DeviceBack());
        for (const TStep &Step : Row.Steps) {
            SCOPED_TRACE(Step.Action);
            Apply(Device, Step.Action);
            EXPECT_EQ(BackAfterNotice(Watcher), Step.Back);
        }
        // Back stays back: an owner whose open failed asks again at the next notice.
        EXPECT_TRUE(Watcher.DeviceBack());
    }
}

} // namespace
