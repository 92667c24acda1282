#include "serial/driver/posix/NetComDriver.h"

#include "base/Fd.h"
#include "serial/driver/LockedDevice.h"
#include "serial/driver/TelnetCodec.h"
#include "serial/driver/posix/NetConnect.h"
#include "serial/driver/posix/PosixEvent.h"
#include "serial/driver/posix/QuietThread.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace ComApi {

namespace {

using TClock = TOverlappedDevice::TClock;
using TTime = TOverlappedDevice::TTime;

// Encoded bytes held for the socket beyond what it took: the writes wait while this much is held.
constexpr std::size_t MaxOutput = 64 * 1024;

} // namespace

bool IsNetworkPortName(const std::string &Name) {
    return Name.starts_with("tcp://") || Name.starts_with("rfc2217://");
}

// ---- The device

class TNetComDriver::TDevice : public TLockedDevice, private TTelnetDecoder::TSink {
public:
    TDevice(TFd Fd, bool Telnet) : FFd(std::move(Fd)), FTelnet(Telnet) {}
    ~TDevice() override { Close(); }

    void Start();

    // TTableDevice, beyond TLockedDevice
    void Close() override;
    bool SetCommState(const DCB &Dcb) override;
    bool ClearCommError(DWORD *Errors, COMSTAT *Stat) override;
    bool GetCommModemStatus(DWORD *ModemStat) override;
    bool PurgeComm(DWORD Flags) override;
    bool WriteFile(const void *Buffer, DWORD Count, DWORD *Written, TOverlapped *Ov) override;

private:
    // TOverlappedDevice::TLine (FMutex held).
    std::ptrdiff_t Send(const char *Bytes, std::size_t Count) override;
    void Fetch(TTime Now) override { Receive(Now); }
    void Changed() override { Wake(); }

    // TTelnetDecoder::TSink (FMutex held).
    void Data(std::string_view Run) override { FDevice.Put(Run); }
    void Negotiate(std::uint8_t Verb, std::uint8_t Option) override;
    void ComPort(std::uint8_t Command, std::string_view Value) override;
    void Malformed(const char *) override { FBroken = true; }

    void Run();
    void Receive(TTime Now);
    bool Flush(); // hands held output to the socket; false when the connection is gone
    void Transmit(TTime Now);
    void CheckDrained();
    void HangUp();

    TFd FFd;
    const bool FTelnet;
    std::condition_variable FStarted;
    bool FRunning = false;

    std::string FOut;      // encoded bytes the socket has not taken yet
    bool FTxCheck = false; // written: report EV_TXEMPTY once the output is out
    TTelnetDecoder FDecoder;
    bool FBroken = false;      // the peer's Telnet could not be decoded
    std::bitset<256> FRefused; // options we answered WONT or DONT to, once each
    std::optional<DCB> FSent;  // the line settings last sent to the server
    std::uint8_t FModem = 0;   // the server's modem state
};

void TNetComDriver::TDevice::Start() {
    if (FTelnet) {
        using namespace Telnet;
        TelnetEncode::Negotiate(FOut, WILL, COM_PORT_OPTION);
        TelnetEncode::Negotiate(FOut, WILL, BINARY);
        TelnetEncode::Negotiate(FOut, DO, BINARY);
        TelnetEncode::Negotiate(FOut, WILL, SGA);
        TelnetEncode::Negotiate(FOut, DO, SGA);
        TelnetEncode::ComPort(FOut, SET_LINESTATE_MASK,
                              std::uint8_t(LS_BREAK | LS_FRAME | LS_PARITY | LS_OVERRUN));
        TelnetEncode::ComPort(FOut, SET_MODEMSTATE_MASK, std::uint8_t(255));
    }
    std::unique_lock lock(FMutex);
    FThread = StartQuietThread([this] { Run(); });
    FStarted.wait(lock, [this] { return FRunning; });
}

void TNetComDriver::TDevice::Close() {
    if (!CloseAndJoin())
        return;
    FFd.Close();
}

void TNetComDriver::TDevice::Run() {
    std::unique_lock lock(FMutex);
    FRunning = true;
    FStarted.notify_all();
    while (!FStopping) {
        short events = 0;
        if (FDevice.Room() > 0)
            events |= POLLIN; // a full queue stops reading: TCP's window then holds the sender back
        if (!FOut.empty() || FDevice.PendingWrites() > 0)
            events |= POLLOUT;
        pollfd fds[2] = {{TEventNative::Fd(FControl), POLLIN, 0},
                         {FDevice.HungUp() ? -1 : FFd.Get(), events, 0}};
        const int timeout = NextTimeout(TClock::now());
        lock.unlock();
        const int n = ::poll(fds, 2, timeout);
        lock.lock();
        if (n < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN)
            FControl.Reset();
        if (FStopping)
            break;
        const auto now = TClock::now();
        const short socket = fds[1].revents;
        if (socket & (POLLIN | POLLHUP | POLLERR))
            Receive(now); // an end of the connection shows as a read of nothing
        if (socket & POLLOUT)
            Transmit(now);
        if ((socket & (POLLERR | POLLNVAL)) && !FDevice.HungUp())
            HangUp();
        FDevice.Expire(now);
        FDevice.ServeReads(now);
        CheckDrained();
    }
}

void TNetComDriver::TDevice::Receive(TTime Now) {
    if (FDevice.HungUp())
        return;
    char raw[16384];
    bool gone = false;
    while (FDevice.Room() > 0 && !FBroken) {
        // Telnet decoding never grows the input, so what fits raw fits decoded.
        const ssize_t n = ::recv(FFd.Get(), raw, std::min(sizeof raw, FDevice.Room()), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            gone = true; // closed by the peer (0) or reset
            break;
        }
        const std::string_view input(raw, static_cast<std::size_t>(n));
        if (FTelnet)
            FDecoder.Decode(input, *this);
        else
            FDevice.Put(input);
    }
    FDevice.EndBatch(Now);
    if (!FOut.empty())
        Flush(); // answers to the server's negotiation
    if (gone || FBroken)
        HangUp();
}

bool TNetComDriver::TDevice::Flush() {
    while (!FOut.empty()) {
        const ssize_t n = ::send(FFd.Get(), FOut.data(), FOut.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        FOut.erase(0, static_cast<std::size_t>(n));
    }
    return true;
}

std::ptrdiff_t TNetComDriver::TDevice::Send(const char *Bytes, std::size_t Count) {
    if (!Flush())
        return -1;
    if (FOut.size() >= MaxOutput)
        return 0;
    const std::size_t take = std::min(Count, MaxOutput - FOut.size());
    if (FTelnet)
        TelnetEncode::Data(FOut, std::string_view(Bytes, take));
    else
        FOut.append(Bytes, take);
    FTxCheck = true;
    return Flush() ? static_cast<std::ptrdiff_t>(take) : -1;
}

void TNetComDriver::TDevice::Transmit(TTime) {
    if (!Flush())
        return HangUp();
    FDevice.SendPending(*this);
    if (FDevice.HungUp())
        HangUp();
}

void TNetComDriver::TDevice::CheckDrained() {
    if (FTxCheck && FOut.empty() && FDevice.PendingWrites() == 0 && !FDevice.HungUp()) {
        FTxCheck = false;
        FDevice.Report(EV_TXEMPTY);
    }
}

void TNetComDriver::TDevice::HangUp() {
    FTxCheck = false;
    FOut.clear();
    FDevice.HangUp(FBroken ? EPROTO : EIO);
}

void TNetComDriver::TDevice::Negotiate(std::uint8_t Verb, std::uint8_t Option) {
    using namespace Telnet;
    const bool ours = Option == BINARY || Option == SGA || (Option == COM_PORT_OPTION && Verb == DO);
    if (ours || (Verb != DO && Verb != WILL) || FRefused[Option])
        return; // asked for already, or nothing to answer
    FRefused[Option] = true;
    TelnetEncode::Negotiate(FOut, Verb == DO ? WONT : DONT, Option);
}

void TNetComDriver::TDevice::ComPort(std::uint8_t Command, std::string_view Value) {
    using namespace Telnet;
    const auto value = static_cast<std::uint8_t>(Value.empty() ? 0 : Value[0]);
    if (Command == NOTIFY_MODEMSTATE) {
        const std::uint8_t changed = (value ^ FModem) & 0xF0;
        DWORD events = 0;
        if ((changed & MS_CTS) || (value & MS_DELTA_CTS))
            events |= EV_CTS;
        if ((changed & MS_DSR) || (value & MS_DELTA_DSR))
            events |= EV_DSR;
        if ((changed & MS_CD) || (value & MS_DELTA_CD))
            events |= EV_RLSD;
        if (value & MS_RI_TRAILING)
            events |= EV_RING;
        FModem = value & 0xF0;
        if (events)
            FDevice.Report(events);
    } else if (Command == NOTIFY_LINESTATE) {
        DWORD errors = 0;
        if (value & LS_FRAME)
            errors |= CE_FRAME;
        if (value & LS_PARITY)
            errors |= CE_RXPARITY;
        if (value & LS_OVERRUN)
            errors |= CE_OVERRUN;
        if (value & LS_BREAK)
            errors |= CE_BREAK;
        if (errors) {
            FDevice.AddErrors(errors);
            FDevice.Report(EV_ERR | (value & LS_BREAK ? EV_BREAK : 0));
        }
    }
    // The other answers confirm what we set; the settings we keep are those we asked for.
}

// -- Operations

bool TNetComDriver::TDevice::SetCommState(const DCB &Dcb) {
    std::lock_guard lock(FMutex);
    if (!FDevice.Usable() || !CheckDcb(Dcb))
        return false;
    if (FTelnet) {
        using namespace Telnet;
        const DWORD rts = (Dcb.Flags & DCB_RTS_CONTROL_MASK) >> DCB_RTS_CONTROL_SHIFT;
        const bool hardware = (Dcb.Flags & DCB_OUTX_CTS_FLOW) || rts == 2;
        const bool xonxoff = Dcb.Flags & (DCB_OUTX | DCB_INX);
        const bool dtr = (Dcb.Flags & DCB_DTR_CONTROL_MASK) != 0;
        const bool all = !FSent;
        const DCB old = FSent.value_or(DCB{});
        if (all || old.BaudRate != Dcb.BaudRate)
            TelnetEncode::ComPortBaud(FOut, Dcb.BaudRate);
        if (all || old.ByteSize != Dcb.ByteSize)
            TelnetEncode::ComPort(FOut, SET_DATASIZE, Dcb.ByteSize);
        if (all || old.Parity != Dcb.Parity)
            TelnetEncode::ComPort(FOut, SET_PARITY, std::uint8_t(Dcb.Parity + 1));
        if (all || old.StopBits != Dcb.StopBits)
            TelnetEncode::ComPort(FOut, SET_STOPSIZE,
                                  std::uint8_t(Dcb.StopBits == ONESTOPBIT    ? 1
                                               : Dcb.StopBits == TWOSTOPBITS ? 2
                                                                             : 3));
        if (all || old.Flags != Dcb.Flags) {
            TelnetEncode::ComPort(FOut, SET_CONTROL, std::uint8_t(hardware ? 3 : xonxoff ? 2 : 1));
            TelnetEncode::ComPort(FOut, SET_CONTROL, std::uint8_t(dtr ? 8 : 9));
            if (!hardware)
                TelnetEncode::ComPort(FOut, SET_CONTROL, std::uint8_t(rts ? 11 : 12));
        }
        FSent = Dcb;
        if (!Flush()) {
            HangUp();
            return FailWith(EIO);
        }
        if (!FOut.empty())
            Wake();
    }
    return FDevice.SetCommState(Dcb);
}

bool TNetComDriver::TDevice::ClearCommError(DWORD *Errors, COMSTAT *Stat) {
    std::lock_guard lock(FMutex);
    if (!FDevice.ClearCommError(Errors, Stat))
        return false;
    if (Stat)
        Stat->cbOutQue += static_cast<DWORD>(FOut.size());
    return true;
}

bool TNetComDriver::TDevice::GetCommModemStatus(DWORD *ModemStat) {
    std::lock_guard lock(FMutex);
    if (!FDevice.Usable())
        return false;
    if (ModemStat) // the modem-state bits share their places with the MS_ bits
        *ModemStat = FModem & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    return true;
}

bool TNetComDriver::TDevice::PurgeComm(DWORD Flags) {
    std::lock_guard lock(FMutex);
    if (!FDevice.PurgeComm(Flags, *this))
        return false;
    const std::uint8_t which = (Flags & PURGE_RXCLEAR ? 1 : 0) | (Flags & PURGE_TXCLEAR ? 2 : 0);
    if (FTelnet && which && !FDevice.HungUp()) {
        TelnetEncode::ComPort(FOut, Telnet::PURGE_DATA, which);
        if (Flush() && !FOut.empty())
            Wake();
    }
    return true;
}

bool TNetComDriver::TDevice::WriteFile(const void *Buffer, DWORD Count, DWORD *Written, TOverlapped *Ov) {
    std::lock_guard lock(FMutex);
    const bool done = FDevice.WriteFile(Buffer, Count, Written, Ov, TClock::now(), *this);
    if (FDevice.HungUp())
        HangUp();
    else if (done)
        CheckDrained();
    if (!FOut.empty() || FDevice.PendingWrites() > 0)
        Wake();
    return done;
}

// ---- The driver

TNetComDriver::TNetComDriver(std::chrono::milliseconds ConnectTimeout, TResolver Resolve)
    : TDeviceTable(FirstHandle),
      FConnectTimeout(ConnectTimeout),
      FResolve(std::move(Resolve)) {}

TNetComDriver::~TNetComDriver() = default;

HANDLE TNetComDriver::CreateFile(const std::string &Name) {
    const auto address = ParseNetName(Name);
    if (!address)
        return SetLastError(EINVAL), INVALID_HANDLE_VALUE;
    try {
        TFd fd = TakeNetConnection(Name); // made ahead by a probe
        if (!fd)
            fd = ConnectNet(*address, TClock::now() + FConnectTimeout, FResolve);
        if (!fd)
            return INVALID_HANDLE_VALUE;
        auto device = std::make_shared<TDevice>(std::move(fd), address->Telnet);
        device->Start();
        return Add(std::move(device));
    } catch (const std::system_error &e) {
        SetLastError(static_cast<DWORD>(e.code().value()));
    } catch (const std::bad_alloc &) {
        SetLastError(ENOMEM);
    }
    return INVALID_HANDLE_VALUE;
}

} // namespace ComApi
