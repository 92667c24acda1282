// relaymqtt without a broker: what a command topic's payload asks of the board, the discovery
// documents Home Assistant reads, and which states the bridge may publish after which event.
#include "tools/mqtt/BoardState.h"
#include "tools/mqtt/MqttTopics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <set>

using namespace mqtt;
using testing::HasSubstr;

namespace {

TEST(MqttRequest, PayloadsByTopic) {
    const TTopics Topics("b1");
    const struct {
        std::string Topic, Payload;
        std::optional<std::string> Bytes; // the request's bytes, or nothing
        std::string Error;                // a piece of the error, empty for none
        TRequest::TKind Kind = TRequest::rqCommand;
    } Rows[] = {
        {"dudovuz/b1/relay/1/set", "ON", "R1=1s", ""},
        {"dudovuz/b1/relay/3/set", "OFF", "R3=0s", ""},
        {"dudovuz/b1/relay/2/set", R"({"state":"ON","seconds":10})", "R2=10,1s", "", TRequest::rqTimedRelay},
        {"dudovuz/b1/relay/2/set", R"({"seconds":999999,"state":"OFF"})", "R2=999999,0s", "",
         TRequest::rqTimedRelay},
        {"dudovuz/b1/alarm/set", "ARM_AWAY", "RUN=1s", ""},
        {"dudovuz/b1/alarm/set", "DISARM", "RUN=0s", ""},
        {"dudovuz/b1/report_timer/set", "OFF", "Rcfg1=0s", ""},
        {"dudovuz/b1/report_deactivation/set", "ON", "RESET=Ys", ""},
        {"dudovuz/b1/query_inputs/set", "PRESS", "!", ""},
        {"dudovuz/b1/query_alarm/set", "PRESS", "?", ""},
        {"dudovuz/b1/command", "Ř1=1s",
         "\xD8"
         "1=1s",
         ""},
        {"dudovuz/b1/raw/tx", "Ř\r\n", "Ř\r\n", "", TRequest::rqRaw},
        // Refused, each with its reason.
        {"dudovuz/b1/relay/1/set", "on", std::nullopt, "unknown payload \"on\""},
        {"dudovuz/b1/relay/1/set", "{\"state\":\"ON\"", std::nullopt, "bad JSON"},
        {"dudovuz/b1/relay/1/set", R"({"state":"ON","seconds":1000000})", std::nullopt, "timed switch"},
        {"dudovuz/b1/relay/1/set", R"({"state":"ON","seconds":1.5})", std::nullopt, "timed switch"},
        {"dudovuz/b1/relay/1/set", R"({"state":"ON"})", std::nullopt, "timed switch"},
        {"dudovuz/b1/relay/1/set", R"({"state":"ON","seconds":5,"x":1})", std::nullopt, "timed switch"},
        {"dudovuz/b1/relay/4/set", "ON", std::nullopt, "unknown command topic"},
        {"dudovuz/b1/alarm/set", "ARM_HOME", std::nullopt, "ARM_AWAY or DISARM"},
        {"dudovuz/b1/query_inputs/set", "", std::nullopt, "PRESS"},
        {"dudovuz/b1/command", std::string(1025, 'R'), std::nullopt, "1025 bytes"},
        {"dudovuz/b1/raw/tx", std::string(1025, 'R'), std::nullopt, "1025 bytes"},
        // Not a command: states, another board's topics.
        {"dudovuz/b1/relay/1", "ON", std::nullopt, ""},
        {"dudovuz/b2/relay/1/set", "ON", std::nullopt, ""},
    };
    for (const auto &Row : Rows) {
        SCOPED_TRACE(Row.Topic + " " + Row.Payload.substr(0, 40));
        std::string Error;
        const std::optional<TRequest> Request = ParseRequest(Topics, 3, Row.Topic, Row.Payload, Error);
        EXPECT_EQ(Request ? std::optional(Request->Bytes) : std::nullopt, Row.Bytes);
        if (Request) {
            EXPECT_EQ(Request->Kind, Row.Kind);
        }
        if (Row.Error.empty())
            EXPECT_EQ(Error, "");
        else
            EXPECT_THAT(Error, HasSubstr(Row.Error));
    }
}

TEST(MqttDiscovery, DocumentsForTwoBoardsAreValidAndShareNoIds) {
    std::set<std::string> UniqueIds, Topics;
    for (const std::string Board : {"b1", "garage-2"}) {
        const auto Documents = DiscoveryDocuments({Board, "ha", 4, "0.1.0"});
        std::size_t Removed = 0;
        for (const auto &[Topic, Document] : Documents) {
            SCOPED_TRACE(Topic);
            EXPECT_TRUE(Topics.insert(Topic).second);
            EXPECT_THAT(Topic, testing::MatchesRegex("ha/[a-z_]+/" + Board + "/[a-z0-9_]+/config"));
            if (Document.empty()) { // relays 5 and 6 are removed, not announced
                ++Removed;
                continue;
            }
            const auto Json = nlohmann::json::parse(Document, nullptr, false);
            ASSERT_FALSE(Json.is_discarded());
            const std::string Id = Json.value("unique_id", "");
            EXPECT_THAT(Id, HasSubstr(Board));
            EXPECT_TRUE(UniqueIds.insert(Id).second) << Id;
            EXPECT_EQ(Json["device"]["identifiers"], nlohmann::json::array({"dudovuz_" + Board}));
            EXPECT_EQ(Json["availability_topic"], "~/availability");
            EXPECT_EQ(Json["~"], "dudovuz/" + Board);
            EXPECT_EQ(Json["origin"]["name"], "relaymqtt");
            EXPECT_TRUE(Json.contains("state_topic") || Json.contains("command_topic"));
        }
        EXPECT_EQ(Removed, 2u);
    }
    // Four relays, the alarm, three inputs, two report switches, two buttons.
    EXPECT_EQ(UniqueIds.size(), 2u * 12u);
}

TEST(MqttBoardId, FromThePortName) {
    EXPECT_EQ(BoardIdFromPort("ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(BoardIdFromPort("/dev/serial/by-id/usb-FTDI_A50-if00"), "serialby-idusb-FTDI_A50-if00");
    EXPECT_EQ(BoardIdFromPort("tcp://10.0.0.5:4001"), "tcp100054001");
    EXPECT_FALSE(IsValidId(""));
    EXPECT_FALSE(IsValidId("a/b"));
}

// The controller with no console and no port: commands are only classified, answers interpreted.
class MqttBoardState : public testing::Test {
protected:
    void Sent(const std::string &Cmd) { State.Sent(Cmd, Rele.SendCmd(Cmd), Rele); }
    void Answered(const std::string &Respond) { State.Answered(Rele.ProcessRespond(Respond), Respond, Rele); }
    std::string Get(const std::string &Object) { return State.Messages(Topics, 3)[Topics.State(Object)]; }

    TRele Rele{nullptr};
    TBoardState State;
    const TTopics Topics{"b1"};
};

TEST_F(MqttBoardState, NothingIsKnownBeforeTheBoardSaysIt) {
    const auto Messages = State.Messages(Topics, 3);
    EXPECT_EQ(Messages.size(), 3u + 3u + 3u); // relays, inputs, alarm and the two report modes
    for (const auto &[Topic, Payload] : Messages)
        EXPECT_EQ(Payload, "") << Topic;
}

TEST_F(MqttBoardState, FollowsCommandsAndAnswers) {
    const struct {
        const char *Event; // a command when it does not end in "*"
        const char *Object, *Payload;
    } Steps[] = {
        {"R12=1s", "relay/1", "ON"},
        {"R12=1s", "relay/2", "ON"},
        {"T2*", "relay/2", "OFF"}, // the board's timer switched it over
        {"T3*", "relay/3", ""},    // over from what? still unknown
        {"R3=5,1s", "relay/3", "ON"},
        {"R7=1s", "relay/3", "ON"}, // refused by the controller: nothing changes
        {"&101*", "input/1", "ON"},
        {"&101*", "input/2", "OFF"},
        {"&x01*", "input/1", "ON"}, // an unreadable digit keeps what was known
        {"A*", "input/1", "OFF"},
        {"*", "alarm", ""}, // not triggered, but armed or not is unknown
        {"3*", "alarm", "triggered"},
        {"stop*", "alarm", "disarmed"},
        {"TEST=Y*", "alarm", "armed_away"},
        {"stopp*", "alarm", "armed_away"}, // malformed
        {"C1=1*", "report_timer", "ON"},
        {"L=N*", "report_deactivation", "OFF"},
        {"L=X*", "report_deactivation", "OFF"},
    };
    for (const auto &Step : Steps) {
        const std::string Event = Step.Event;
        if (Event.ends_with("*"))
            Answered(Event);
        else
            Sent(Event);
        EXPECT_EQ(Get(Step.Object), Step.Payload) << Event << " " << Step.Object;
    }
    EXPECT_TRUE(State.TimerReportsOn());
    State.ForgetRelays();
    EXPECT_EQ(Get("relay/1"), "");
    EXPECT_EQ(Get("input/1"), "OFF");
}

} // namespace
