// relaymqtt's bridge: one board on one broker. It runs the panel's own pieces as relayctl does (the
// controller TRele, the answer gatherer, the port component, the keeper of a lost board) on the
// serial layer's poll() loop, which also watches the broker's socket, the keeper's descriptor and
// the signal descriptor, so the program has one thread of its own and no timer wakes it but the
// broker's keep-alive, the input poll, a reconnect and the keeper's retries.
//
// What goes out on the broker is what the board said or what a sent command implies
// (BoardState.h); commands arrive on the topics of MqttTopics.h and go through the controller's
// checks. A message that arrives retained never acts, and a refused or malformed one is an error
// line on the console topic.
#pragma once

#include "relay/AnswerGatherer.h"
#include "relay/PortKeeper.h"
#include "relay/ReleUnit.h"
#include "serial/driver/posix/MainThreadLoop.h"
#include "serial/driver/posix/MqttClient.h"
#include "serial/driver/posix/NetConnect.h"
#include "serial/port/ComPort.h"
#include "tools/CtlOutput.h"
#include "tools/mqtt/BoardState.h"
#include "tools/mqtt/MqttTopics.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace mqtt {

enum TBridgeExit : int { bxSignal = 0, bxBoard = 2, bxUsage = 3, bxBroker = 4 };

struct TBridgeOptions {
    std::string Port;
    TIdentity Identity;
    TMqttClient::TSettings Broker;
    std::chrono::seconds Poll{10}; // 0: never
};

class TBridge : private TMqttClient::THandler {
public:
    using TClock = TMainThreadLoop::TClock;

    // SignalFd: the descriptor of SIGINT and SIGTERM (CtlCommon.h), which end the bridge with 0.
    TBridge(const TBridgeOptions &Options, int SignalFd);
    ~TBridge() override;
    TBridge(const TBridge &) = delete;
    TBridge &operator=(const TBridge &) = delete;

    // Until a signal (0), a board that cannot be opened at start (2) or a broker that refuses this
    // client (4). A board lost later is waited for and opened again (relay/PortKeeper.h).
    int Run();

private:
    // The board.
    void WireEvents();
    bool OpenBoard();
    void AskBoard();
    void BoardBytes(const std::string &Bytes);
    void Send(const std::string &Cmd);
    void Perform(const TRequest &Request);
    void FollowRawCommands(std::string_view Bytes);
    void Error(const std::string &Text);
    void Emit(std::optional<TRespondKind> Answer = std::nullopt);
    // A lost board: offline and its states forgotten, while the keeper waits for it; back: asked
    // again, and online.
    void BoardLost();
    void BoardBack();

    // The broker.
    void TryConnect();
    void StepProbe();
    void Connect();
    void RetryLater(const std::string &Why);
    void Fail(const std::string &Why);
    void ServiceSocket();
    void RunDueTimers();
    std::optional<TClock::time_point> NextDeadline() const;
    void PublishAll();
    void PublishStates(bool All);
    void PublishAvailability();
    void Publish(const std::string &Topic, const std::string &Payload, bool Retain, int Qos = 1);
    void Shutdown();

    // The library's callbacks only note what happened: what it asks for (subscribing, publishing,
    // switching the board) is done after the library's call has returned, outside its locks.
    void TakeUpBrokerEvents();
    void Handle(const std::string &Topic, const std::string &Payload, bool Retained);
    void Connected(int Code) override;
    void Disconnected(int Code) override;
    void Received(std::string_view Topic, std::string_view Payload, bool Retained) override;

    const TBridgeOptions &FOptions;
    const TTopics FTopics;
    int FSignalFd;
    TComPort FPort;
    TCtlConsole FConsole{stdout, false};
    TRele FRele{&FConsole, &FPort};
    TAnswerGatherer FAnswers;
    TBoardState FState;
    TMainThreadLoop FLoop;
    TPortKeeper FKeeper{FRele, FPort};
    TMqttClient FClient;

    bool FBoardOpen = false;
    bool FBoardLost = false;   // the port reported the loss; BoardLost not yet run
    bool FAccepted = false;    // the broker accepted this connection
    bool FSocketReady = false; // a connection is up or being set up
    bool FConnectDue = false;  // accepted, not yet subscribed and published
    std::optional<int> FExit;  // set: the loop ends with it
    struct TInbound {
        std::string Topic, Payload;
        bool Retained = false;
    };
    std::vector<TInbound> FInbox;                  // received, not yet handled
    std::map<std::string, std::string> FPublished; // retained states as last sent
    std::string FAvailability;
    std::chrono::seconds FRetryDelay{1};
    std::unique_ptr<ComApi::TNetProbe> FProbe; // reaching the broker's host before connecting
    std::optional<TClock::time_point> FProbeEnd;
    std::optional<TClock::time_point> FReconnectAt, FMiscAt, FPollAt, FRepublishAt;
    std::minstd_rand FRandom{std::random_device{}()};
};

} // namespace mqtt
