// relaymqtt as a home automation system meets it: a real mosquitto on a free loopback port, the
// simulator on its pseudo-terminal, the bridge as a child process, and the broker's traffic read
// through mosquitto_sub. Every wait is for a message, a line or the end of a process, with a bound.
#include "mqtt/Broker.h"
#include "support/SimProcess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>

using mqtttest::TBroker;
using mqtttest::TScratch;
using mqtttest::TWatcher;
using simtest::TSimProcess;
using testing::HasSubstr;

namespace {

// A bridge still running at the end of a test is stopped as the service manager would.
struct TStopFirst {
    void operator()(TSimProcess *Process) const {
        Process->Signal(SIGTERM);
        delete Process;
    }
};
using TBridge = std::unique_ptr<TSimProcess, TStopFirst>;

class RelayMqtt : public testing::Test {
protected:
    void SetUp() override {
        std::string Missing;
        if (!mqtttest::ToolsPresent(Missing))
            GTEST_SKIP() << Missing;
        setenv("XDG_CONFIG_HOME", Scratch.Path().c_str(), 1);
    }

    void StartBroker(std::string Extra = "allow_anonymous true\n",
                     std::vector<std::string> ClientExtra = {}) {
        Broker = std::make_unique<TBroker>(Scratch, std::move(Extra), std::move(ClientExtra));
        Watch = std::make_unique<TWatcher>(*Broker);
    }

    // The bridge for board Board on the simulator's port; online once it says so.
    TBridge StartBridge(const std::string &Board = "b1", std::vector<std::string> Args = {},
                        const std::string &SimPort = {}) {
        std::vector<std::string> All{"--port",   SimPort.empty() ? Port : SimPort,
                                     "--broker", "127.0.0.1:" + std::to_string(Broker->Port()),
                                     "--board",  Board,
                                     "--poll",   "0"};
        All.insert(All.end(), Args.begin(), Args.end());
        return TBridge(new TSimProcess(RELAYMQTT_PATH, All));
    }

    TBridge StartOnline(const std::string &Board = "b1") {
        auto Bridge = StartBridge(Board);
        const std::string Availability = "dudovuz/" + Board + "/availability";
        EXPECT_EQ(Watch->SeenExactly(Availability, "online").Topic, Availability);
        return Bridge;
    }

    void Send(const std::string &Topic, const std::string &Payload, bool Retain = false) {
        mqtttest::Publish(*Broker, "dudovuz/b1/" + Topic, Payload, Retain);
    }

    TScratch Scratch;
    // A second of the board's timers lasts 50 ms, so a timed relay runs out within the test.
    TSimProcess Sim{{"--gap", "0", "--second", "50"}, false};
    const std::string Port = Sim.ReadOutputLine();
    std::unique_ptr<TBroker> Broker;
    std::unique_ptr<TWatcher> Watch;
};

TEST_F(RelayMqtt, SwitchesTheBoardAndPublishesWhatItSays) {
    StartBroker();
    auto Bridge = StartOnline();
    // At open: timer reports on, inputs and alarm asked; the alarm's arming is not known yet.
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/report_timer", "ON").Topic, "dudovuz/b1/report_timer");
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/input/1", "OFF").Topic, "dudovuz/b1/input/1");

    struct TRow {
        std::string Topic, Payload; // empty topic: Payload is a command for the simulator
        std::string AtBoard;        // the command the board must get, and its state after it
        std::string BoardState, StateTopic, State;
    };
    const TRow Rows[] = {
        {"relay/1/set", "ON", "R1=1s", "relays=100000", "relay/1", "ON"},
        {"relay/3/set", "ON", "R3=1s", "relays=101000", "relay/3", "ON"},
        {"relay/1/set", "OFF", "R1=0s", "relays=001000", "relay/1", "OFF"},
        {"alarm/set", "ARM_AWAY", "RUN=1s", "alarm=armed", "alarm", "armed_away"},
        {"", "input 2 on", "", "trigger=2", "alarm", "triggered"},
        {"alarm/set", "DISARM", "RUN=0s", "alarm=disarmed", "alarm", "disarmed"},
        {"query_inputs/set", "PRESS", "!", "inputs=010000", "input/2", "ON"},
        {"report_deactivation/set", "ON", "RESET=Ys", "deactivation-reports=on", "report_deactivation", "ON"},
        {"", "input 2 off", "", "inputs=000000", "input/2", "OFF"},
        {"command", "R5=1s", "R5=1s", "relays=001010", "", ""},
        {"raw/tx", "R2=1s!", "!", "relays=011010", "raw/rx", "&000*"},
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(Row.Topic + " " + Row.Payload);
        Watch->Mark();
        if (Row.Topic.empty()) {
            EXPECT_THAT(Sim.Control(Row.Payload), HasSubstr(Row.BoardState));
        } else {
            Sim.Feed("await " + Row.AtBoard + "\nstate\n");
            Send(Row.Topic, Row.Payload);
            EXPECT_THAT(Sim.ReadOutputLine(), HasSubstr(Row.BoardState));
        }
        if (!Row.StateTopic.empty()) {
            EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/" + Row.StateTopic, Row.State).Topic,
                      "dudovuz/b1/" + Row.StateTopic);
        }
    }
    // A command past the controller (the last row's) implies its state all the same; bytes that end
    // in no command leave the relays unknown, and their states go.
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/relay/2", "ON").Topic, "dudovuz/b1/relay/2");
    Send("raw/tx", "R3=0");
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/relay/3", "").Topic, "dudovuz/b1/relay/3");
}

TEST_F(RelayMqtt, TimedRelayFollowsTheBoardsTimer) {
    StartBroker();
    auto Bridge = StartOnline();
    Watch->Mark();
    Send("relay/2/set", R"({"state":"ON","seconds":2})");
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/relay/2", "ON").Topic, "dudovuz/b1/relay/2");
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/relay/2", "OFF").Topic, "dudovuz/b1/relay/2");
    EXPECT_THAT(Sim.Control("state"), HasSubstr("relays=000000"));
}

TEST_F(RelayMqtt, RetainedCommandSwitchesNothing) {
    StartBroker();
    Send("relay/1/set", "ON", true);
    auto Bridge = StartOnline();
    EXPECT_THAT(Watch->Seen("dudovuz/b1/console", "retained").Payload, HasSubstr(R"("kind":"err")"));
    // A live command after it reaches the board alone.
    Sim.Feed("await R2=1s\nstate\n");
    Send("relay/2/set", "ON");
    EXPECT_THAT(Sim.ReadOutputLine(), HasSubstr("relays=010000"));
}

TEST_F(RelayMqtt, MalformedPayloadsGetAnErrorLineAndTheBridgeGoesOn) {
    StartBroker();
    auto Bridge = StartOnline();
    const struct {
        std::string Topic, Payload, Error;
    } Rows[] = {
        {"relay/1/set", std::string(1025, 'x'), "1025 bytes"},
        {"relay/1/set", "on", "unknown payload"},
        {"relay/1/set", "{\"state\":", "bad JSON"},
        {"relay/1/set", R"({"state":"ON","seconds":0})", "timed switch needs"},
        {"relay/4/set", "ON", "unknown command topic"},
        {"alarm/set", "ARM_HOME", "unknown payload"},
        {"query_alarm/set", "", "unknown payload"},
        {"command", "R9=1s", "Unknown Command"},
    };
    for (const auto &Row : Rows) {
        SCOPED_TRACE(Row.Topic + " " + Row.Payload.substr(0, 20));
        Watch->Mark();
        Send(Row.Topic, Row.Payload);
        EXPECT_THAT(Watch->Seen("dudovuz/b1/console", R"("kind":"err")").Payload, HasSubstr(Row.Error));
    }
    Sim.Feed("await R1=1s\nstate\n");
    Send("relay/1/set", "ON");
    EXPECT_THAT(Sim.ReadOutputLine(), HasSubstr("relays=100000"));
}

TEST_F(RelayMqtt, AvailabilityFollowsTheBridgeAndTheBoard) {
    StartBroker();
    {
        auto Bridge = StartOnline();
        Bridge->Signal(SIGKILL); // the broker's Will speaks for it
        EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/availability", "offline").Topic, "dudovuz/b1/availability");
    }
    {
        Watch->Mark();
        auto Bridge = StartOnline();
        Bridge->Signal(SIGTERM);
        EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/availability", "offline").Topic, "dudovuz/b1/availability");
        EXPECT_EQ(Bridge->Wait(), 0);
    }
    // A board that goes away and comes back under the same name: offline, its states gone, then
    // online and asked again.
    const std::string Link = (Scratch.Path() / "board").string();
    auto Board = std::make_unique<TSimProcess>(std::vector<std::string>{"--gap", "0", "--link", Link}, false);
    Board->ReadOutputLine();
    Watch->Mark();
    auto Bridge = StartBridge("b1", {}, Link);
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/report_timer", "ON").Topic, "dudovuz/b1/report_timer");
    Watch->Mark();
    Board->Signal(SIGTERM);
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/availability", "offline").Topic, "dudovuz/b1/availability");
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/report_timer", "").Topic, "dudovuz/b1/report_timer");
    Board.reset();
    Watch->Mark();
    TSimProcess Again({"--gap", "0", "--link", Link}, false);
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/availability", "online").Topic, "dudovuz/b1/availability");
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/report_timer", "ON").Topic, "dudovuz/b1/report_timer");
    Bridge->Signal(SIGTERM);
    EXPECT_EQ(Bridge->Wait(), 0);
}

// relayctl on the bridge's raw topics (mqtt://): its command reaches the board, the board's answer
// comes back, and a bridge stopped and started again is waited for and reopened (--follow). Lines
// are read until the expected one: the board also answers what the bridge asks it at open.
TEST_F(RelayMqtt, RelayctlOnTheBoardsTopicsFollowsTheBridge) {
    StartBroker();
    auto Bridge = StartOnline();
    const std::string Url = "mqtt://127.0.0.1:" + std::to_string(Broker->Port()) + "/b1";
    const auto Comes = [](TSimProcess &Ctl, const std::string &Expected) {
        for (std::string Line = Ctl.ReadOutputLine(); !Line.empty(); Line = Ctl.ReadOutputLine())
            if (Line == Expected)
                return Expected;
        return std::string("(not before the output ended)");
    };
    Sim.Feed("await R1=1s\nstate\n");
    TSimProcess Ctl(RELAYCTL_PATH, {"--port", Url, "--listen", "--follow", "R1=1s"});
    EXPECT_THAT(Sim.ReadOutputLine(), HasSubstr("relays=100000"));
    Sim.Feed("send stop*\n");
    EXPECT_EQ(Comes(Ctl, "IO  >Alarm byl vypnut.(stop*)"), "IO  >Alarm byl vypnut.(stop*)");

    Bridge.reset();
    EXPECT_EQ(Comes(Ctl, "COM > Zařízení bylo odpojeno."), "COM > Zařízení bylo odpojeno.");
    Bridge = StartOnline();
    EXPECT_EQ(Comes(Ctl, "COM > Zařízení je zpět, port je znovu otevřen."),
              "COM > Zařízení je zpět, port je znovu otevřen.");
    Sim.Feed("send stop*\n");
    EXPECT_EQ(Comes(Ctl, "IO  >Alarm byl vypnut.(stop*)"), "IO  >Alarm byl vypnut.(stop*)");
    Ctl.Signal(SIGTERM);
    EXPECT_EQ(Ctl.Wait(), 0);
}

TEST_F(RelayMqtt, DiscoveryAndStatesComeBackAfterBrokerOrHomeAssistantRestart) {
    StartBroker();
    auto Bridge = StartOnline();
    Sim.Feed("await R1=1s\nstate\n");
    Send("relay/1/set", "ON");
    Sim.ReadOutputLine();
    // Home Assistant came up: everything again, after a short pause.
    Watch->Mark();
    mqtttest::Publish(*Broker, "homeassistant/status", "online");
    EXPECT_THAT(Watch->Seen("homeassistant/switch/b1/relay1/config").Payload, HasSubstr("dudovuz_b1_relay1"));
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/relay/1", "ON").Topic, "dudovuz/b1/relay/1");
    // The broker restarted without persistence: it forgot everything, the bridge tells it again.
    Watch.reset();
    Broker->Restart();
    Watch = std::make_unique<TWatcher>(*Broker);
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/availability", "online").Topic, "dudovuz/b1/availability");
    EXPECT_THAT(Watch->Seen("homeassistant/alarm_control_panel/b1/alarm/config").Payload,
                HasSubstr("arm_away"));
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/relay/1", "ON").Topic, "dudovuz/b1/relay/1");
    // And it still switches.
    Sim.Feed("await R1=0s\nstate\n");
    Send("relay/1/set", "OFF");
    EXPECT_THAT(Sim.ReadOutputLine(), HasSubstr("relays=000000"));
}

TEST_F(RelayMqtt, TwoBoardsOnOneBrokerShareNothing) {
    StartBroker();
    TSimProcess Sim2{{"--gap", "0"}, false};
    const std::string Port2 = Sim2.ReadOutputLine();
    auto Bridge1 = StartOnline("b1");
    // The second from a configuration file, as the service runs it.
    const std::string Config =
        Scratch.Write("b2.ini", "[relaymqtt]\nport=" + Port2 + "\nboard=b2\nbroker=127.0.0.1:" +
                                    std::to_string(Broker->Port()) + "\npoll=0\n");
    TBridge Bridge2(new TSimProcess(RELAYMQTT_PATH, {"--config", Config}));
    EXPECT_EQ(Watch->SeenExactly("dudovuz/b2/availability", "online").Topic, "dudovuz/b2/availability");
    EXPECT_THAT(
        Watch->Seen("homeassistant/switch/b2/relay1/config").Payload,
        testing::AllOf(HasSubstr(R"("unique_id":"dudovuz_b2_relay1")"), HasSubstr(R"(["dudovuz_b2"])")));
    Sim2.Feed("await R1=1s\nstate\n");
    mqtttest::Publish(*Broker, "dudovuz/b2/relay/1/set", "ON");
    EXPECT_THAT(Sim2.ReadOutputLine(), HasSubstr("relays=100000"));
    EXPECT_THAT(Sim.Control("state"), HasSubstr("relays=000000"));
}

TEST_F(RelayMqtt, UsageErrorsEndWithThreeAndSayWhy) {
    const struct {
        std::vector<std::string> Args;
        std::string Error;
    } Rows[] = {
        {{"--port", Port}, "--broker is required"},
        {{"--port", Port, "--broker", "h", "--password", "x"}, "never taken on the command line"},
        {{"--port", Port, "--broker", "h", "--board", "a/b"}, "--board needs"},
        {{"--port", Port, "--broker", "h", "--relays", "7"}, "--relays needs"},
        {{"--port", Port, "--broker", "h:0"}, "--broker needs"},
        {{"--port", Port, "--broker", "h", "--password-file", "/nonexistent", "--username", "u"},
         "cannot be read"},
        {{"--config", "/nonexistent.ini"}, "no such file"},
        {{"--port", Port, "--broker", "h", "--bogus", "1"}, "unknown option --bogus"},
    };
    for (const auto &Row : Rows) {
        TSimProcess Bridge(RELAYMQTT_PATH, Row.Args);
        EXPECT_EQ(Bridge.Wait(), 3) << Row.Error;
        EXPECT_THAT(Bridge.Errors(), HasSubstr(Row.Error));
    }
}

using mqtttest::Shell;

TEST_F(RelayMqtt, UserAndPasswordRightConnectsWrongEndsWithAReason) {
    ASSERT_TRUE(Shell(Scratch, mqtttest::Tool("mosquitto_passwd") + " -b -c passwd board s3cret"));
    const std::string Passwd = (Scratch.Path() / "passwd").string();
    const std::string Right = Scratch.Write("right", "s3cret\n"), Wrong = Scratch.Write("wrong", "guess\n");
    StartBroker("allow_anonymous false\npassword_file " + Passwd + "\n", {"-u", "board", "-P", "s3cret"});
    {
        auto Bridge = StartBridge("b1", {"--username", "board", "--password-file", Right});
        EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/availability", "online").Topic, "dudovuz/b1/availability");
        Bridge->Signal(SIGTERM);
        EXPECT_EQ(Bridge->Wait(), 0);
    }
    for (const auto &Args : {std::vector<std::string>{"--username", "board", "--password-file", Wrong},
                             std::vector<std::string>{}}) {
        auto Bridge = StartBridge("b1", Args);
        EXPECT_EQ(Bridge->Wait(), 4);
        EXPECT_THAT(Bridge->Errors(), HasSubstr("refused the connection"));
    }
}

TEST_F(RelayMqtt, TlsWithTheRightCaConnectsWithAnotherEndsWithAReason) {
    ASSERT_TRUE(mqtttest::MakeCertificates(Scratch));
    const auto In = [&](const char *Name) { return (Scratch.Path() / Name).string(); };
    StartBroker("allow_anonymous true\n" + mqtttest::TlsListener(Scratch), {"--cafile", In("ca.pem")});
    {
        auto Bridge = StartBridge("b1", {"--cafile", In("ca.pem")});
        EXPECT_EQ(Watch->SeenExactly("dudovuz/b1/availability", "online").Topic, "dudovuz/b1/availability");
        Bridge->Signal(SIGTERM);
        EXPECT_EQ(Bridge->Wait(), 0);
    }
    auto Bridge = StartBridge("b1", {"--cafile", In("other.pem")});
    EXPECT_EQ(Bridge->Wait(), 4);
    EXPECT_THAT(Bridge->Errors(), HasSubstr("TLS"));
}

} // namespace
