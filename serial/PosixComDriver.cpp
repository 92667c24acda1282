// The POSIX serial driver (first cut: the default-driver switch; the device code follows).
#include "PosixComDriver.h"

#include <atomic>
#include <cerrno>

namespace {
std::atomic<TComDriver *> Replacement{nullptr};

bool Unsupported() {
    SetLastError(ENOSYS);
    return false;
}
} // namespace

TComDriver &DefaultComDriver() {
    static TPosixComDriver Posix;
    TComDriver *replacement = Replacement.load();
    return replacement ? *replacement : Posix;
}

void SetDefaultComDriver(TComDriver *Driver) noexcept {
    Replacement.store(Driver);
}

class TPosixComDriver::TDevice {};

TPosixComDriver::TPosixComDriver() = default;
TPosixComDriver::~TPosixComDriver() = default;

HANDLE TPosixComDriver::CreateFile(const std::string &) {
    SetLastError(ENOSYS);
    return INVALID_HANDLE_VALUE;
}
bool TPosixComDriver::CloseHandle(HANDLE) {
    return Unsupported();
}
bool TPosixComDriver::SetupComm(HANDLE, DWORD, DWORD) {
    return Unsupported();
}
bool TPosixComDriver::SetCommState(HANDLE, const DCB &) {
    return Unsupported();
}
bool TPosixComDriver::SetCommTimeouts(HANDLE, const COMMTIMEOUTS &) {
    return Unsupported();
}
bool TPosixComDriver::ClearCommError(HANDLE, DWORD *, COMSTAT *) {
    return Unsupported();
}
bool TPosixComDriver::GetCommModemStatus(HANDLE, DWORD *) {
    return Unsupported();
}
bool TPosixComDriver::PurgeComm(HANDLE, DWORD) {
    return Unsupported();
}
bool TPosixComDriver::ReadFile(HANDLE, void *, DWORD, DWORD *, TOverlapped *) {
    return Unsupported();
}
bool TPosixComDriver::WriteFile(HANDLE, const void *, DWORD, DWORD *, TOverlapped *) {
    return Unsupported();
}
bool TPosixComDriver::GetOverlappedResult(HANDLE, TOverlapped *, DWORD *, bool) {
    return Unsupported();
}
bool TPosixComDriver::SetCommMask(HANDLE, DWORD) {
    return Unsupported();
}
bool TPosixComDriver::WaitCommEvent(HANDLE, DWORD *, TOverlapped *) {
    return Unsupported();
}
std::vector<int> TPosixComDriver::ThreadIds(HANDLE) {
    return {};
}
std::shared_ptr<TPosixComDriver::TDevice> TPosixComDriver::Find(HANDLE) {
    return nullptr;
}
void TParmrkDecoder::Decode(std::string_view, TSink &) {}
