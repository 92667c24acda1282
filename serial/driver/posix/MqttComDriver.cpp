#include "serial/driver/posix/MqttComDriver.h"

#include "serial/driver/LockedDevice.h"
#include "serial/driver/posix/MqttClient.h"
#include "serial/driver/posix/NetConnect.h"
#include "serial/driver/posix/PosixEvent.h"
#include "serial/driver/posix/QuietThread.h"
#include "serial/forms/ComStorage.h"

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace ComApi {

namespace {

using TClock = TOverlappedDevice::TClock;
using TTime = TOverlappedDevice::TTime;
using namespace std::chrono_literals;

constexpr std::string_view Scheme = "mqtt://";
// The broker drops a client silent for 1.5 keep-alives; Misc, a third of one apart, pings in time.
// An idle port wakes its thread only for that; a broker gone without a reset is noticed within
// about two keep-alives.
constexpr int KeepAlive = 30;
constexpr auto MiscEvery = 10s;
// The bridge takes no longer raw payload than this (MqttTopics.h): longer writes go in pieces.
constexpr std::size_t MaxPublish = 1024;
// What the bridge publishes on its availability topic.
constexpr std::string_view Online = "online", Offline = "offline";

bool IsIdChar(char C) {
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '_' || C == '-';
}

std::string NextClientId() {
    static std::atomic<unsigned> Count{0};
    return "dudovuz-port-" + std::to_string(::getpid()) + "-" + std::to_string(++Count);
}

} // namespace

std::optional<TMqttAddress> ParseMqttName(std::string_view Name) {
    if (!Name.starts_with(Scheme))
        return std::nullopt;
    Name.remove_prefix(Scheme.size());
    const std::size_t Slash = Name.find('/');
    if (Slash == std::string_view::npos)
        return std::nullopt;
    std::string_view Authority = Name.substr(0, Slash), Port;
    TMqttAddress Address;
    Address.Board = std::string(Name.substr(Slash + 1));
    if (Authority.starts_with("[")) {
        const std::size_t Close = Authority.find(']');
        if (Close == std::string_view::npos || (Close + 1 < Authority.size() && Authority[Close + 1] != ':'))
            return std::nullopt;
        Address.Host = std::string(Authority.substr(1, Close - 1));
        Port = Authority.substr(std::min(Authority.size(), Close + 2));
        if (Close + 1 < Authority.size() && Port.empty())
            return std::nullopt;
    } else {
        const std::size_t Colon = Authority.find(':');
        Address.Host = std::string(Authority.substr(0, Colon));
        if (Colon != std::string_view::npos && (Port = Authority.substr(Colon + 1)).empty())
            return std::nullopt;
    }
    if ((Address.PortGiven = !Port.empty())) {
        const auto [End, Error] = std::from_chars(Port.data(), Port.data() + Port.size(), Address.Port);
        if (Error != std::errc() || End != Port.data() + Port.size() || Address.Port < 1 ||
            Address.Port > 65535)
            return std::nullopt;
    }
    if (Address.Host.empty() || Address.Board.empty() ||
        !std::all_of(Address.Board.begin(), Address.Board.end(), IsIdChar))
        return std::nullopt;
    return Address;
}

// ---- The device

class TMqttComDriver::TDevice : public TLockedDevice, private mqtt::TMqttClient::THandler {
public:
    TDevice(const TMqttAddress &Address, const mqtt::TMqttClient::TSettings &Settings)
        : FAddress(Address),
          FRawRx("dudovuz/" + Address.Board + "/raw/rx"),
          FRawTx("dudovuz/" + Address.Board + "/raw/tx"),
          FAvailability("dudovuz/" + Address.Board + "/availability"),
          FTls(!Settings.CaFile.empty()),
          FClient(Settings, *this) {}
    ~TDevice() override { Close(); }

    // Starts the device's thread, which looks the host up, connects and subscribes; the settled
    // event is set once the board is online or the open has failed.
    void Start();
    const TEvent &Settled() const { return FSettledEvent; }
    // 0 once the board is online; else why the open failed, or has not succeeded yet.
    DWORD Outcome();
    // Start, then waits until the open has settled or Deadline has come: 0, or why it failed.
    DWORD Open(TTime Deadline);

    // TTableDevice, beyond TLockedDevice
    void Close() override;
    bool SetCommState(const DCB &Dcb) override;
    bool WriteFile(const void *Buffer, DWORD Count, DWORD *Written, TOverlapped *Ov) override;

private:
    enum TState { msConnecting, msOnline, msFailed };

    // TOverlappedDevice::TLine (FMutex held).
    std::ptrdiff_t Send(const char *Bytes, std::size_t Count) override;
    void Changed() override { Wake(); }

    // mqtt::TMqttClient::THandler: inside the client's calls, so with FMutex held.
    void Connected(int Code) override;
    void Disconnected(int Code) override;
    void Received(std::string_view Topic, std::string_view Payload, bool Retained) override;

    void Run();
    bool LookUp(std::unique_lock<std::mutex> &Lock);
    DWORD OutcomeLocked() const;
    void Service(short Revents, TTime Now);
    void Fail(DWORD Error);
    void Lost();
    void CheckDrained();

    const TMqttAddress FAddress;
    const std::string FRawRx, FRawTx, FAvailability;
    const bool FTls;
    TEvent FSettledEvent;
    std::condition_variable FSettled; // the open's outcome is known
    TState FState = msConnecting;
    bool FAccepted = false;  // the broker took this client
    bool FSubscribe = false; // accepted: subscribe once the library's call has returned
    DWORD FError = 0;        // why the open failed

    mqtt::TMqttClient FClient;
    bool FTxCheck = false; // published: report EV_TXEMPTY once the client has sent it all
};

void TMqttComDriver::TDevice::Start() {
    std::lock_guard lock(FMutex);
    FThread = StartQuietThread([this] { Run(); });
}

DWORD TMqttComDriver::TDevice::Outcome() {
    std::lock_guard lock(FMutex);
    return OutcomeLocked();
}

DWORD TMqttComDriver::TDevice::OutcomeLocked() const {
    if (FState == msConnecting)
        return FAccepted ? ENOENT : ETIMEDOUT; // no bridge said anything yet, or no broker answered
    return FState == msOnline ? 0 : FError;
}

DWORD TMqttComDriver::TDevice::Open(TTime Deadline) {
    Start();
    std::unique_lock lock(FMutex);
    FSettled.wait_until(lock, Deadline, [this] { return FState != msConnecting; });
    return OutcomeLocked();
}

void TMqttComDriver::TDevice::Close() {
    if (!CloseAndJoin())
        return;
    // The thread has ended: the client is this thread's alone. A clean end, no Will to send.
    if (FAccepted && FClient.Socket() >= 0) {
        FClient.Disconnect();
        FClient.Write();
    }
}

// The host's name on a thread of its own (NetConnect.h), so that a close never waits for the
// resolver; the client then looks it up again, at once. False when the device is closing.
bool TMqttComDriver::TDevice::LookUp(std::unique_lock<std::mutex> &Lock) {
    try {
        TNetLookup Lookup(TNetAddress{false, FAddress.Host, std::to_string(FAddress.Port)});
        while (!Lookup.Done() && !FStopping) {
            pollfd Fds[2] = {{TEventNative::Fd(FControl), POLLIN, 0}, {Lookup.Handle(), POLLIN, 0}};
            Lock.unlock();
            ::poll(Fds, 2, -1);
            Lock.lock();
            if (Fds[0].revents & POLLIN)
                FControl.Reset();
        }
        if (!FStopping && !Lookup.Result())
            Fail(EHOSTUNREACH);
    } catch (const std::system_error &Error) {
        Fail(static_cast<DWORD>(Error.code().value()));
    }
    return !FStopping;
}

void TMqttComDriver::TDevice::Run() {
    std::unique_lock lock(FMutex);
    if (!LookUp(lock))
        return;
    if (FState == msConnecting) { // else the lookup failed, and the thread waits for the close
        if (const int Code = FClient.ConnectAsync(); Code == MOSQ_ERR_TLS)
            Fail(EKEYREJECTED); // the CA file holds no certificate
        else if (Code != MOSQ_ERR_SUCCESS)
            Fail(Code == MOSQ_ERR_ERRNO && errno != 0 ? DWORD(errno) : DWORD(ECONNREFUSED));
    }
    TTime Misc = TClock::now() + MiscEvery;
    while (!FStopping) {
        const int Socket = FState == msFailed || FDevice.HungUp() ? -1 : FClient.Socket();
        pollfd Fds[2] = {{TEventNative::Fd(FControl), POLLIN, 0},
                         {Socket, static_cast<short>(POLLIN | (FClient.WantWrite() ? POLLOUT : 0)), 0}};
        const int Timeout = NextTimeout(TClock::now(), Misc);
        lock.unlock();
        const int N = ::poll(Fds, 2, Timeout);
        lock.lock();
        if (N < 0 && errno != EINTR)
            break;
        if (Fds[0].revents & POLLIN)
            FControl.Reset();
        if (FStopping)
            break;
        const TTime Now = TClock::now();
        if (Now >= Misc) {
            Misc = Now + MiscEvery;
            if (Socket >= 0)
                FClient.Misc();
        }
        if (Socket >= 0)
            Service(Fds[1].revents, Now);
        FDevice.Expire(Now);
        FDevice.ServeReads(Now);
        CheckDrained();
    }
}

void TMqttComDriver::TDevice::Service(short Revents, TTime Now) {
    if (Revents & (POLLIN | POLLHUP | POLLERR))
        FClient.Read(); // the board's bytes arrive in Received, a lost connection in Disconnected
    if ((Revents & (POLLHUP | POLLERR)) && FState == msConnecting && !FAccepted && FClient.Socket() >= 0) {
        // The connection refused, or cut by the broker during the TLS handshake (no TLS on that
        // port): the library would go on with the handshake on the dead socket. A refused connect
        // sent nothing; its error may have gone to the handshake's failed write.
        int Error = 0;
        socklen_t Size = sizeof Error;
        ::getsockopt(FClient.Socket(), SOL_SOCKET, SO_ERROR, &Error, &Size);
        Fail(FClient.HandshakeSent() ? DWORD(EKEYREJECTED) : Error != 0 ? DWORD(Error) : DWORD(ECONNREFUSED));
    }
    if (std::exchange(FSubscribe, false)) {
        // Outside the library's callback, whose locks it would take in another order. The broker's
        // retained availability follows the acknowledgement.
        FClient.Subscribe(FRawRx);
        FClient.Subscribe(FAvailability);
    }
    if (FClient.Socket() >= 0 && FClient.WantWrite() && (Revents & POLLOUT))
        FClient.Write();
    FDevice.EndBatch(Now);
    FDevice.SendPending(*this); // writes that the client could not take before
    // The library closes a socket it finds broken; it need not say so through the callback.
    if (FClient.Socket() < 0 && FState != msFailed && !FDevice.HungUp())
        Disconnected(MOSQ_ERR_CONN_LOST);
}

void TMqttComDriver::TDevice::Fail(DWORD Error) {
    if (FState != msConnecting)
        return;
    FState = msFailed;
    FError = Error;
    FSettled.notify_all();
    FSettledEvent.Set();
}

void TMqttComDriver::TDevice::Lost() {
    FTxCheck = false;
    FDevice.HangUp();
}

void TMqttComDriver::TDevice::Connected(int Code) {
    if (Code != 0)
        return Fail(ECONNREFUSED); // credentials, or not this client: EACCES would blame the tty's group
    FAccepted = true;
    FSubscribe = true;
}

void TMqttComDriver::TDevice::Disconnected(int) {
    // Before the broker's answer, a TLS connection ends only for its handshake (the broker's
    // certificate not trusted, or no TLS on that port).
    if (FState == msConnecting)
        return Fail(FAccepted ? ECONNRESET : FTls ? EKEYREJECTED : ECONNREFUSED);
    if (FState == msOnline && !FDevice.HungUp())
        Lost();
}

void TMqttComDriver::TDevice::Received(std::string_view Topic, std::string_view Payload, bool) {
    if (Topic == FAvailability) {
        if (FState == msConnecting && Payload == Online) {
            FState = msOnline;
            FSettled.notify_all();
            FSettledEvent.Set();
        } else if (FState == msConnecting && Payload == Offline) {
            Fail(ENOENT);
        } else if (FState == msOnline && Payload != Online && !FDevice.HungUp()) {
            Lost();
        }
    } else if (Topic == FRawRx && FState == msOnline && !FDevice.HungUp()) {
        FDevice.Put(Payload); // raised by EndBatch once the client's read has ended
    }
}

std::ptrdiff_t TMqttComDriver::TDevice::Send(const char *Bytes, std::size_t Count) {
    if (FState != msOnline || FClient.Socket() < 0)
        return -1;
    const std::size_t Take = std::min(Count, MaxPublish);
    if (FClient.Publish(FRawTx, std::string_view(Bytes, Take), false, 1) != MOSQ_ERR_SUCCESS)
        return -1;
    FTxCheck = true;
    if (FClient.WantWrite())
        Wake(); // the rest goes out when the socket takes it
    return static_cast<std::ptrdiff_t>(Take);
}

void TMqttComDriver::TDevice::CheckDrained() {
    if (FTxCheck && !FClient.WantWrite() && FDevice.PendingWrites() == 0 && !FDevice.HungUp()) {
        FTxCheck = false;
        FDevice.Report(EV_TXEMPTY);
    }
}

// -- Operations

bool TMqttComDriver::TDevice::SetCommState(const DCB &Dcb) {
    std::lock_guard lock(FMutex);
    return FDevice.Usable() && CheckDcb(Dcb) && FDevice.SetCommState(Dcb);
}

bool TMqttComDriver::TDevice::WriteFile(const void *Buffer, DWORD Count, DWORD *Written, TOverlapped *Ov) {
    std::lock_guard lock(FMutex);
    const bool Done = FDevice.WriteFile(Buffer, Count, Written, Ov, TClock::now(), *this);
    if (FDevice.HungUp())
        Lost();
    else if (Done)
        CheckDrained();
    if (FClient.WantWrite() || FDevice.PendingWrites() > 0)
        Wake();
    return Done;
}

// ---- Devices opened ahead by a probe, one per port name

namespace {

struct TParked {
    std::uint64_t Ticket;
    std::shared_ptr<TMqttComDriver::TDevice> Device;
};
std::mutex ParkedLock;
std::map<std::string, TParked> ParkedDevices;
std::uint64_t LastTicket = 0;

// A file that mqtt.ini names; raises std::system_error with ENOKEY when it cannot be read.
std::ifstream OpenNamedFile(const std::string &Path) {
    std::ifstream File(Path);
    if (!File)
        throw std::system_error(ENOKEY, std::generic_category(), Path);
    return File;
}

// The user name, password and TLS for the broker, as relaymqtt's settings file gives them: section
// [HOST:PORT] for a name with its port, else [HOST], of SettingsFolder()/mqtt.ini, keys username,
// password-file (the password is that file's first line) and cafile; the port, when the name has
// none, is 8883 with cafile. Raises std::system_error with ENOKEY when a file named there cannot be
// read.
void AddBrokerSettings(const TMqttAddress &Address, mqtt::TMqttClient::TSettings &Settings) {
    const std::filesystem::path Folder = SettingsFolder();
    if (Folder.empty())
        return;
    TIniFile Ini;
    try {
        Ini.LoadFromFile(Folder / "mqtt.ini");
    } catch (const EIniFileError &) {
        throw std::system_error(ENOKEY, std::generic_category(), "mqtt.ini");
    }
    std::string Section = Address.Host + ":" + std::to_string(Address.Port);
    if (!Address.PortGiven || !Ini.SectionExists(Section))
        Section = Address.Host;
    Settings.Username = Ini.ReadString(Section, "username", "");
    Settings.CaFile = Ini.ReadString(Section, "cafile", "");
    if (!Settings.CaFile.empty()) {
        OpenNamedFile(Settings.CaFile);
        if (!Address.PortGiven)
            Settings.Port = 8883;
    }
    const std::string PasswordFile = Ini.ReadString(Section, "password-file", "");
    if (PasswordFile.empty())
        return;
    std::ifstream File = OpenNamedFile(PasswordFile);
    if (!std::getline(File, Settings.Password))
        throw std::system_error(ENOKEY, std::generic_category(), PasswordFile);
    if (!Settings.Password.empty() && Settings.Password.back() == '\r')
        Settings.Password.pop_back();
}

std::shared_ptr<TMqttComDriver::TDevice> MakeDevice(const TMqttAddress &Address) {
    mqtt::TMqttClient::TSettings Settings;
    Settings.Host = Address.Host;
    Settings.Port = Address.Port;
    AddBrokerSettings(Address, Settings);
    Settings.ClientId = NextClientId();
    Settings.KeepAlive = KeepAlive;
    return std::make_shared<TMqttComDriver::TDevice>(Address, Settings);
}

std::uint64_t Park(const std::string &Name, std::shared_ptr<TMqttComDriver::TDevice> Device) {
    TParked Old;
    std::lock_guard lock(ParkedLock);
    Old = std::exchange(ParkedDevices[Name], TParked{++LastTicket, std::move(Device)});
    return LastTicket; // Old closes as it goes, after the lock
}

std::shared_ptr<TMqttComDriver::TDevice> TakeParked(const std::string &Name) {
    std::lock_guard lock(ParkedLock);
    const auto Found = ParkedDevices.find(Name);
    if (Found == ParkedDevices.end())
        return nullptr;
    auto Device = std::move(Found->second.Device);
    ParkedDevices.erase(Found);
    return Device;
}

void Unpark(const std::string &Name, std::uint64_t Ticket) noexcept {
    std::shared_ptr<TMqttComDriver::TDevice> Device; // closed after the lock
    std::lock_guard lock(ParkedLock);
    const auto Found = ParkedDevices.find(Name);
    if (Found != ParkedDevices.end() && Found->second.Ticket == Ticket) {
        Device = std::move(Found->second.Device);
        ParkedDevices.erase(Found);
    }
}

} // namespace

// ---- The driver

TMqttComDriver::TMqttComDriver(std::chrono::milliseconds ConnectTimeout)
    : TDeviceTable(FirstHandle),
      FConnectTimeout(ConnectTimeout) {}

TMqttComDriver::~TMqttComDriver() = default;

HANDLE TMqttComDriver::CreateFile(const std::string &Name) {
    const auto Address = ParseMqttName(Name);
    if (!Address)
        return SetLastError(EINVAL), INVALID_HANDLE_VALUE;
    try {
        if (auto Parked = TakeParked(Name)) // opened ahead by a probe
            return Add(std::move(Parked));
        auto Device = MakeDevice(*Address);
        if (const DWORD Error = Device->Open(TClock::now() + FConnectTimeout))
            return SetLastError(Error), INVALID_HANDLE_VALUE; // the device closes as it goes
        return Add(std::move(Device));
    } catch (const std::system_error &e) {
        SetLastError(static_cast<DWORD>(e.code().value()));
    } catch (const std::bad_alloc &) {
        SetLastError(ENOMEM);
    } catch (const std::runtime_error &) {
        SetLastError(ENOMEM); // the library could not make a client
    }
    return INVALID_HANDLE_VALUE;
}

// ---- The probe

TMqttProbe::TMqttProbe(std::string PortName) : FName(std::move(PortName)) {
    const auto Address = ParseMqttName(FName);
    if (!Address) {
        FState = TNetProbe::npFailed;
        return;
    }
    try {
        FDevice = MakeDevice(*Address);
    } catch (const std::system_error &) {
        throw;
    } catch (const std::runtime_error &) {
        throw std::system_error(ENOMEM, std::generic_category(), "mosquitto_new");
    }
    FDevice->Start();
}

TMqttProbe::~TMqttProbe() {
    if (FTicket)
        Unpark(FName, FTicket);
}

int TMqttProbe::Handle() const noexcept {
    return FDevice ? TEventNative::Fd(FDevice->Settled()) : -1;
}

TNetProbe::TState TMqttProbe::Step() {
    if (FState != TNetProbe::npPending || !FDevice->Settled().IsSet())
        return FState;
    if (FDevice->Outcome() != 0) {
        FDevice.reset();
        return FState = TNetProbe::npFailed;
    }
    FTicket = Park(FName, std::move(FDevice));
    return FState = TNetProbe::npConnected;
}

} // namespace ComApi
