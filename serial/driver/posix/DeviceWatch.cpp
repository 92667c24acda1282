// The device watcher: one inotify descriptor with one watch, moved between folders as they come
// and go.
#include "serial/driver/posix/DeviceWatch.h"

#include <cerrno>
#include <cstdint>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace {

// Names that appear, vanish or change hands; the folder itself going away.
constexpr std::uint32_t WatchMask = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB |
                                    IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool Usable(const fs::path &Device) {
    struct stat Info {};
    return ::stat(Device.c_str(), &Info) == 0 && S_ISCHR(Info.st_mode) &&
           ::access(Device.c_str(), R_OK | W_OK) == 0;
}

} // namespace

fs::path ComDevicePath(const std::string &Port, const fs::path &DevRoot) {
    if (!Port.empty() && Port.front() == '/')
        return Port;
    return DevRoot / Port;
}

TDeviceWatcher::TDeviceWatcher(fs::path Device) : FDevice(std::move(Device)) {
    FFd = TFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!FFd)
        throw std::system_error(errno, std::generic_category(), "inotify_init1");
    Follow(); // on a throw the descriptor closes with the member
    FSeenMissing = !Usable(FDevice);
}

TDeviceWatcher::~TDeviceWatcher() = default; // closing the descriptor takes the watch with it

// Points the watch at the deepest folder on the device's path that exists now. Adding a watch for
// the folder already watched gives the same watch back, so an unchanged folder costs nothing.
void TDeviceWatcher::Follow() {
    for (fs::path Folder = FDevice.parent_path();; Folder = Folder.parent_path()) {
        const int Watch = ::inotify_add_watch(FFd.Get(), Folder.c_str(), WatchMask);
        if (Watch >= 0) {
            if (FWatch >= 0 && FWatch != Watch)
                ::inotify_rm_watch(FFd.Get(), FWatch); // may be gone with its folder already: no matter
            FWatch = Watch;
            return;
        }
        const bool Climb = (errno == ENOENT || errno == ENOTDIR) && Folder != Folder.root_path();
        if (!Climb)
            throw std::system_error(errno, std::generic_category(), "inotify_add_watch " + Folder.string());
    }
}

void TDeviceWatcher::Drain() noexcept {
    alignas(inotify_event) char Buffer[4096];
    while (::read(FFd.Get(), Buffer, sizeof Buffer) > 0) {
    }
}

bool TDeviceWatcher::DeviceBack() {
    Drain();
    // Follow before looking: a name created between the look and a later watch would be missed.
    Follow();
    if (!Usable(FDevice)) {
        FSeenMissing = true;
        return false;
    }
    return FSeenMissing;
}
