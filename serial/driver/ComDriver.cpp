// The last-error value and the choice of driver, shared by every serial driver and platform.
#include "serial/driver/ComDriver.h"

namespace ComApi {

namespace {
thread_local DWORD LastError = 0;
std::atomic<TComDriver *> Replacement{nullptr};
} // namespace

DWORD GetLastError() noexcept {
    return LastError;
}
void SetLastError(DWORD code) noexcept {
    LastError = code;
}

TComDriver &DefaultComDriver() {
    TComDriver *replacement = Replacement.load();
    return replacement ? *replacement : PlatformComDriver();
}

void SetDefaultComDriver(TComDriver *Driver) noexcept {
    Replacement.store(Driver);
}

} // namespace ComApi
