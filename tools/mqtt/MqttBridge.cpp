// The board on the broker (MqttBridge.h).
#include "tools/mqtt/MqttBridge.h"

#include "relay/ComPortLink.h"
#include "relay/PanelSettings.h"
#include "serial/port/ComError.h"
#include "tools/CtlCommon.h"

#include <mosquitto.h>

#include <algorithm>
#include <cstdio>
#include <poll.h>
#include <utility>

namespace mqtt {

namespace {

using namespace std::chrono_literals;

// libmosquitto pings when nothing went out for KeepAlive; Misc must run well within it for that,
// and the broker drops a client that stays silent for one and a half times it.
constexpr auto MiscEvery = 15s;
constexpr auto MaxRetryDelay = 30s;
// How long reaching the broker's host may take, name lookup included.
constexpr auto ProbeLimit = 10s;
// How long a stopping bridge waits for its last messages to leave.
constexpr auto FlushLimit = 500ms;

} // namespace

TBridge::TBridge(const TBridgeOptions &Options, int SignalFd)
    : FOptions(Options),
      FTopics(Options.Identity.Board),
      FSignalFd(SignalFd),
      FClient(
          [&] {
              TMqttClient::TSettings Settings = Options.Broker;
              Settings.WillTopic = TTopics(Options.Identity.Board).Availability();
              Settings.WillPayload = "offline";
              return Settings;
          }(),
          *this) {
    ApplyPanelPortDefaults(FPort);
    FConsole.SetMirror([this](const std::string &Json) { Publish(FTopics.Console(), Json, false, 0); });
    // The keeper's lines go out as they come; its new descriptor or deadline ends the loop's sleep.
    FKeeper.OnChange = [this] {
        Emit();
        FLoop.Wake();
    };
}

TBridge::~TBridge() {
    try {
        FPort.ClosePort();
    } catch (const std::exception &Error) {
        std::fprintf(stderr, "relaymqtt: %s\n", Error.what());
    }
}

void TBridge::WireEvents() {
    WireBoardEvents(
        FPort, FKeeper, [this](const std::string &Received) { BoardBytes(Received); },
        [this] {
            // The keeper closes the port once this handler has left, and waits for the device.
            FRele.WriteComMsg("Chyba v komunikaci na COM portu.");
            FKeeper.DeviceLost();
            FBoardLost = true;
            FLoop.Wake();
        });
}

bool TBridge::OpenBoard() {
    WireEvents();
    FRele.OpenComPort(FOptions.Port);
    Emit();
    FBoardOpen = FPort.Connected();
    if (FBoardOpen)
        AskBoard();
    return FBoardOpen;
}

void TBridge::AskBoard() {
    // Timer reports on, so that a timed relay's state follows the board's timer; then what the board
    // can tell of itself.
    for (const char *Cmd : {"Rcfg1=1s", "!", "?"})
        Send(Cmd);
    if (FOptions.Poll.count() > 0)
        FPollAt = TClock::now() + FOptions.Poll;
    PublishAvailability();
}

void TBridge::BoardBytes(const std::string &Bytes) {
    Publish(FTopics.RawRx(), Bytes, false, 0);
    FAnswers.Append(Bytes);
    while (const std::optional<std::string> Respond = FAnswers.NextAnswer()) {
        const TRespondKind Kind = FRele.ProcessRespond(*Respond);
        FState.Answered(Kind, *Respond, FRele);
        Emit(Kind);
    }
    PublishStates(false);
}

void TBridge::Send(const std::string &Cmd) {
    try {
        const TCmdClass Class = FRele.SendCmd(Cmd);
        if (Class != ccRejected)
            FState.Sent(Cmd, Class, FRele);
    } catch (const EComPort &Failure) {
        FRele.WriteMsg(Failure.what(), mkErr);
    }
    Emit();
    PublishStates(false);
}

void TBridge::Perform(const TRequest &Request) {
    if (!FBoardOpen)
        return Error("the board's port is not open: nothing sent");
    if (Request.Kind == TRequest::rqRaw) {
        try {
            PortWriteText(FPort, Request.Bytes);
        } catch (const EComPort &Failure) {
            return Error(Failure.what());
        }
        FollowRawCommands(Request.Bytes);
        Emit();
        return PublishStates(false);
    }
    if (Request.Kind == TRequest::rqTimedRelay && !FState.TimerReportsOn())
        Send("Rcfg1=1s");
    Send(Request.Bytes);
}

// The board acts on every complete command among bytes written past the controller (a panel or
// relayctl on the board's mqtt:// port writes its commands so), so they imply states as the
// bridge's own commands do: the controller describes each one, without sending it again, and the
// states follow. A command it does not know, or bytes left without their end, may have switched
// relays unseen: those are then unknown.
void TBridge::FollowRawCommands(std::string_view Bytes) {
    TCustomComPort *const Port = std::exchange(FRele.ComPort, nullptr);
    bool Known = true;
    try {
        while (!Bytes.empty() && Known) {
            // The queries are one character; every other command ends with its "s".
            const std::size_t End = Bytes.front() == '?' || Bytes.front() == '!' ? 1 : Bytes.find('s') + 1;
            const std::string Cmd(Bytes.substr(0, End == 0 ? Bytes.size() : End));
            const TCmdClass Class = End == 0 ? ccRejected : FRele.SendCmd(Cmd);
            Known = Class != ccRejected;
            if (Known)
                FState.Sent(Cmd, Class, FRele);
            Bytes.remove_prefix(Cmd.size());
        }
    } catch (...) {
        FRele.ComPort = Port;
        throw;
    }
    FRele.ComPort = Port;
    if (!Known)
        FState.ForgetRelays();
}

void TBridge::Error(const std::string &Text) {
    FRele.WriteMsg("MQTT: " + Text, mkErr);
    Emit();
}

void TBridge::Emit(std::optional<TRespondKind> Answer) {
    // Standard output is the service's log; a log that went away stops nothing.
    FConsole.Emit(FRele, Answer);
}

void TBridge::BoardLost() {
    FBoardLost = false;
    FBoardOpen = false;
    FPollAt.reset();
    FAnswers.Clear();
    // Whatever happens to the board meanwhile (a timer running out, an input) goes unheard.
    FState.Forget();
    PublishStates(false);
    PublishAvailability();
}

void TBridge::BoardBack() {
    FBoardOpen = true;
    FAnswers.Clear();
    AskBoard();
}

void TBridge::TryConnect() {
    // libmosquitto's connect blocks on the name lookup and the TCP handshake. The far end is reached
    // first without blocking (the serial layer's probe, its lookup on a thread of its own), within
    // ProbeLimit, so that a silent host or a slow name server never holds the loop up; the library's
    // connect then finds a host that answers at once.
    FReconnectAt.reset();
    const std::string &Host = FOptions.Broker.Host;
    const std::string Name = "tcp://" + (Host.find(':') != std::string::npos ? "[" + Host + "]" : Host) +
                             ":" + std::to_string(FOptions.Broker.Port);
    try {
        FProbe = std::make_unique<ComApi::TNetProbe>(Name);
    } catch (const std::exception &Failure) {
        return RetryLater(Failure.what());
    }
    FProbeEnd = TClock::now() + ProbeLimit;
    StepProbe();
}

void TBridge::StepProbe() {
    const ComApi::TNetProbe::TState State = FProbe->Step();
    if (State == ComApi::TNetProbe::npPending)
        return;
    FProbe.reset(); // closes the probe's own connection
    FProbeEnd.reset();
    if (State == ComApi::TNetProbe::npFailed)
        return RetryLater("cannot be reached");
    Connect();
}

void TBridge::Connect() {
    const int Code = FClient.Connect();
    if (Code == MOSQ_ERR_SUCCESS) {
        FSocketReady = true;
        FMiscAt = TClock::now() + MiscEvery;
    } else if (Code == MOSQ_ERR_TLS) {
        Fail("TLS with the broker failed: " + TMqttClient::Text(Code) +
             " (check --cafile and the broker's certificate)");
    } else {
        RetryLater(TMqttClient::Text(Code));
    }
}

void TBridge::RetryLater(const std::string &Why) {
    FSocketReady = false;
    FAccepted = false;
    FMiscAt.reset();
    std::fprintf(stderr, "relaymqtt: broker %s:%d: %s; trying again in %lld s\n",
                 FOptions.Broker.Host.c_str(), FOptions.Broker.Port, Why.c_str(),
                 static_cast<long long>(FRetryDelay.count()));
    FReconnectAt = TClock::now() + FRetryDelay;
    FRetryDelay = std::min<std::chrono::seconds>(FRetryDelay * 2, MaxRetryDelay);
}

void TBridge::Fail(const std::string &Why) {
    std::fprintf(stderr, "relaymqtt: broker %s:%d: %s\n", FOptions.Broker.Host.c_str(), FOptions.Broker.Port,
                 Why.c_str());
    FExit = bxBroker;
}

void TBridge::Connected(int Code) {
    if (Code != 0) {
        // Wrong credentials or a client the broker will not have: trying again cannot help.
        Fail(std::string("the broker refused the connection: ") + mosquitto_connack_string(Code) +
             (Code == 4 || Code == 5 ? " (check --username and the password file)" : ""));
        return;
    }
    FConnectDue = true;
}

void TBridge::TakeUpBrokerEvents() {
    if (std::exchange(FConnectDue, false)) {
        FAccepted = true;
        FRetryDelay = 1s;
        for (const std::string &Filter : FTopics.Subscriptions())
            FClient.Subscribe(Filter);
        FClient.Subscribe(FOptions.Identity.Prefix + "/status");
        PublishAll();
    }
    for (const TInbound &Message : std::exchange(FInbox, {}))
        Handle(Message.Topic, Message.Payload, Message.Retained);
}

void TBridge::Disconnected(int Code) {
    const bool WasAccepted = FAccepted;
    FAccepted = false;
    FConnectDue = false;
    FSocketReady = false;
    FAvailability.clear();
    if (FExit)
        return;
    if (Code == MOSQ_ERR_TLS && !WasAccepted)
        return Fail("TLS with the broker failed (check --cafile and the broker's certificate)");
    RetryLater(Code == 0 ? "disconnected" : "connection lost (" + TMqttClient::Text(Code) + ")");
}

void TBridge::Received(std::string_view Topic, std::string_view Payload, bool Retained) {
    FInbox.push_back({std::string(Topic), std::string(Payload), Retained});
}

void TBridge::Handle(const std::string &Topic, const std::string &Payload, bool Retained) {
    if (Topic == FOptions.Identity.Prefix + "/status") {
        // Home Assistant started: everything again, after a pause that spreads many devices out.
        if (Payload == "online" && !Retained)
            FRepublishAt = TClock::now() +
                           std::chrono::milliseconds(std::uniform_int_distribution<int>(100, 2000)(FRandom));
        return;
    }
    std::string Why;
    const std::optional<TRequest> Request =
        ParseRequest(FTopics, FOptions.Identity.Relays, Topic, Payload, Why);
    if (!Request && Why.empty())
        return;
    if (Retained)
        return Error(Topic + ": a retained command is never carried out");
    if (!Request)
        return Error(Why);
    Perform(*Request);
}

void TBridge::Publish(const std::string &Topic, const std::string &Payload, bool Retain, int Qos) {
    if (FAccepted)
        FClient.Publish(Topic, Payload, Retain, Qos);
}

void TBridge::PublishAll() {
    for (const auto &[Topic, Document] : DiscoveryDocuments(FOptions.Identity))
        Publish(Topic, Document, true);
    PublishStates(true);
    FAvailability.clear();
    PublishAvailability();
}

void TBridge::PublishStates(bool All) {
    if (!FAccepted)
        return;
    std::map<std::string, std::string> States = FState.Messages(FTopics, FOptions.Identity.Relays);
    for (const auto &[Topic, Payload] : States) {
        const auto Before = FPublished.find(Topic);
        // At most once: a state lost with the connection is published again after the reconnect,
        // and no acknowledgement from the broker sits unanswered on the line (with the broker's
        // Nagle, a command behind it would wait for the delayed acknowledgement, about 40 ms).
        if (All || Before == FPublished.end() || Before->second != Payload)
            Publish(Topic, Payload, true, 0);
    }
    FPublished = std::move(States);
}

void TBridge::PublishAvailability() {
    const std::string Now = FBoardOpen ? "online" : "offline";
    if (!FAccepted || Now == FAvailability)
        return;
    Publish(FTopics.Availability(), Now, true);
    FAvailability = Now;
}

void TBridge::ServiceSocket() {
    int Code = FClient.Read();
    if (Code == MOSQ_ERR_SUCCESS && FClient.WantWrite())
        Code = FClient.Write();
    if (Code != MOSQ_ERR_SUCCESS && FClient.Socket() < 0 && FSocketReady && !FExit)
        Disconnected(Code); // the library closed the socket without telling
}

std::optional<TBridge::TClock::time_point> TBridge::NextDeadline() const {
    std::optional<TClock::time_point> Next;
    for (const auto &At : {FReconnectAt, FProbeEnd, FMiscAt, FPollAt, FRepublishAt, FKeeper.Deadline()})
        if (At && (!Next || *At < *Next))
            Next = At;
    return Next;
}

void TBridge::RunDueTimers() {
    const TClock::time_point Now = TClock::now();
    if (FReconnectAt && *FReconnectAt <= Now)
        TryConnect();
    if (FProbeEnd && *FProbeEnd <= Now) {
        FProbe.reset();
        FProbeEnd.reset();
        RetryLater("no answer");
    }
    if (FMiscAt && *FMiscAt <= Now) {
        FMiscAt = Now + MiscEvery;
        FClient.Misc();
    }
    if (FPollAt && *FPollAt <= Now) {
        FPollAt = Now + FOptions.Poll;
        Send("!");
    }
    if (FRepublishAt && *FRepublishAt <= Now) {
        FRepublishAt.reset();
        PublishAll();
    }
}

int TBridge::Run() {
    if (!OpenBoard())
        return bxBoard;
    TryConnect();
    while (!FExit) {
        // The signals, the keeper's descriptor (when it waits for a device), the probe of the broker's
        // host (while it is being reached) and the broker's socket; -1 is not watched.
        const std::vector<TMainThreadLoop::TWatch> Watches{
            {FSignalFd, POLLIN},
            {FKeeper.Handle(), POLLIN},
            {FProbe ? FProbe->Handle() : -1, POLLIN},
            {FClient.Socket(), static_cast<short>(POLLIN | (FClient.WantWrite() ? POLLOUT : 0))}};
        std::size_t Ready = 0;
        const TMainThreadLoop::TLoopEnd End = FLoop.RunWatching(NextDeadline(), Watches, &Ready);
        if (End == TMainThreadLoop::leFailed || End == TMainThreadLoop::leStopped)
            return bxBoard; // poll() itself failed: nothing more can be heard
        if (End == TMainThreadLoop::leReadable && Ready == 0)
            FExit = bxSignal;
        else if (End == TMainThreadLoop::leReadable && Ready == 1)
            FKeeper.HandleReadable();
        else if (End == TMainThreadLoop::leReadable && Ready == 2)
            StepProbe();
        else if (End == TMainThreadLoop::leReadable)
            ServiceSocket();
        if (const auto Due = FKeeper.Deadline(); Due && *Due <= TClock::now())
            FKeeper.DeadlineReached();
        if (FBoardLost)
            BoardLost();
        else if (!FBoardOpen && FPort.Connected())
            BoardBack(); // the keeper opened it again
        RunDueTimers();
        TakeUpBrokerEvents();
    }
    // Whatever ends the bridge, the last states and the availability go out before it does.
    Shutdown();
    return *FExit;
}

void TBridge::Shutdown() {
    FBoardOpen = false;
    PublishAvailability();
    FKeeper.Stop();
    try {
        FPort.ClosePort();
    } catch (const std::exception &Failure) {
        std::fprintf(stderr, "relaymqtt: %s\n", Failure.what());
    }
    if (!FAccepted)
        return;
    FClient.Disconnect();
    // The messages above normally left at once; a full socket buffer gets a short while.
    const auto End = TClock::now() + FlushLimit;
    while (FClient.Socket() >= 0 && FClient.WantWrite() && TClock::now() < End) {
        pollfd Poll{FClient.Socket(), POLLOUT, 0};
        ::poll(&Poll, 1, 50);
        FClient.Write();
    }
}

} // namespace mqtt
