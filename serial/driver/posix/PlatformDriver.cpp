// On Linux, new ports use the POSIX driver, except for network names ("tcp://HOST:PORT",
// "rfc2217://HOST:PORT"), which go to the network driver, and boards on a broker
// ("mqtt://HOST[:PORT]/BOARD"), which go to the MQTT driver where libmosquitto is built in (else
// they fail with EINVAL). The drivers' handles never overlap, so every later call finds its driver
// by the handle.
#include "serial/driver/posix/NetComDriver.h"
#include "serial/driver/posix/PosixComDriver.h"
#ifdef DUD_WITH_MQTT
#include "serial/driver/posix/MqttComDriver.h"
#endif

#include <cerrno>

namespace ComApi {

namespace {

class TPlatformDriver : public TComDriver {
public:
    HANDLE CreateFile(const std::string &Name) override {
        if (Name.starts_with("mqtt://"))
#ifdef DUD_WITH_MQTT
            return FMqtt.CreateFile(Name);
#else
            return SetLastError(EINVAL), INVALID_HANDLE_VALUE;
#endif
        return IsNetworkPortName(Name) ? FNet.CreateFile(Name) : FPosix.CreateFile(Name);
    }
    bool CloseHandle(HANDLE H) override {
        return For(H).CloseHandle(H);
    }
    bool SetupComm(HANDLE H, DWORD In, DWORD Out) override {
        return For(H).SetupComm(H, In, Out);
    }
    bool SetCommState(HANDLE H, const DCB &Dcb) override {
        return For(H).SetCommState(H, Dcb);
    }
    bool SetCommTimeouts(HANDLE H, const COMMTIMEOUTS &T) override {
        return For(H).SetCommTimeouts(H, T);
    }
    bool ClearCommError(HANDLE H, DWORD *Errors, COMSTAT *Stat) override {
        return For(H).ClearCommError(H, Errors, Stat);
    }
    bool GetCommModemStatus(HANDLE H, DWORD *Stat) override {
        return For(H).GetCommModemStatus(H, Stat);
    }
    bool PurgeComm(HANDLE H, DWORD Flags) override {
        return For(H).PurgeComm(H, Flags);
    }
    bool ReadFile(HANDLE H, void *Buffer, DWORD Count, DWORD *Read, TOverlapped *Ov) override {
        return For(H).ReadFile(H, Buffer, Count, Read, Ov);
    }
    bool WriteFile(HANDLE H, const void *Buffer, DWORD Count, DWORD *Written, TOverlapped *Ov) override {
        return For(H).WriteFile(H, Buffer, Count, Written, Ov);
    }
    bool GetOverlappedResult(HANDLE H, TOverlapped *Ov, DWORD *Transferred, bool Wait) override {
        return For(H).GetOverlappedResult(H, Ov, Transferred, Wait);
    }
    bool SetCommMask(HANDLE H, DWORD Mask) override {
        return For(H).SetCommMask(H, Mask);
    }
    bool WaitCommEvent(HANDLE H, DWORD *Mask, TOverlapped *Ov) override {
        return For(H).WaitCommEvent(H, Mask, Ov);
    }

private:
    TComDriver &For(HANDLE H) {
#ifdef DUD_WITH_MQTT
        if (H >= TMqttComDriver::FirstHandle)
            return FMqtt;
#endif
        return H >= TNetComDriver::FirstHandle ? static_cast<TComDriver &>(FNet) : FPosix;
    }

    TPosixComDriver FPosix;
    TNetComDriver FNet;
#ifdef DUD_WITH_MQTT
    TMqttComDriver FMqtt;
#endif
};

} // namespace

TComDriver &PlatformComDriver() {
    static TPlatformDriver Platform;
    return Platform;
}

} // namespace ComApi
