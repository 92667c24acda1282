// relaymqtt's side of MQTT that needs no broker: the topic map of one board, Home Assistant's
// discovery documents for it, and what a message on a command topic asks the board to do. Pure
// functions of their arguments, so they are tested without a broker.
//
// Topics of board B (all under the base dudovuz/B):
//   availability                       online / offline (retained; the Will says offline)
//   relay/N, relay/N/set               ON / OFF; the set topic also takes {"state":"ON","seconds":10}
//   alarm, alarm/set                   disarmed / armed_away / triggered; ARM_AWAY / DISARM
//   input/N                            ON / OFF (inputs 1 to 3)
//   report_timer, report_timer/set     ON / OFF: the board's timer reports
//   report_deactivation, .../set       ON / OFF: the board's input deactivation reports
//   query_inputs/set, query_alarm/set  PRESS: ask the board
//   command                            a command as typed into the panel's manual field (UTF-8)
//   console                            every console line as JSON (not retained)
//   raw/rx                             the board's bytes as received (not retained)
//   raw/tx                             bytes to write to the board as they stand
// States are retained, commands are never acted on when they arrive retained.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mqtt {

// The most relays the board has; --relays chooses how many are offered.
inline constexpr int MaxRelays = 6;
inline constexpr int InputCount = 3;
// A payload longer than this is refused unread.
inline constexpr std::size_t MaxPayload = 1024;
// The longest timed switch the board takes.
inline constexpr long MaxSeconds = 999999;

// Characters a board id and a Home Assistant object id may hold.
bool IsValidId(std::string_view Id);
// The default board id: the port's name without "/dev/", reduced to [A-Za-z0-9_-].
std::string BoardIdFromPort(std::string_view Port);

struct TIdentity {
    std::string Board;
    std::string Prefix = "homeassistant";
    int Relays = 3;
    std::string Version;
};

class TTopics {
public:
    explicit TTopics(const std::string &Board) : FBase("dudovuz/" + Board) {}

    const std::string &Base() const { return FBase; }
    std::string State(std::string_view Object) const { return FBase + "/" + std::string(Object); }
    std::string Set(std::string_view Object) const { return State(Object) + "/set"; }
    std::string Availability() const { return State("availability"); }
    std::string Relay(int N) const { return State("relay/" + std::to_string(N)); }
    std::string Input(int N) const { return State("input/" + std::to_string(N)); }
    std::string Command() const { return State("command"); }
    std::string Console() const { return State("console"); }
    std::string RawRx() const { return State("raw/rx"); }
    std::string RawTx() const { return State("raw/tx"); }
    // The filters the bridge subscribes to, for its own board.
    std::vector<std::string> Subscriptions() const;

private:
    std::string FBase;
};

// Retained discovery documents, topic and JSON, one per entity; relays beyond Identity.Relays get
// an empty payload, which removes an entity a bridge with more relays once announced.
std::vector<std::pair<std::string, std::string>> DiscoveryDocuments(const TIdentity &Identity);

// What a message asks of the board.
struct TRequest {
    enum TKind : std::uint8_t {
        rqCommand,   // Bytes is a board command for the controller (Windows-1250)
        rqRaw,       // Bytes go to the line as they stand, past the controller
        rqTimedRelay // a board command for a timed switch: the timer reports must be on for it
    };
    TKind Kind = rqCommand;
    std::string Bytes;
};

// The request on a command topic of Topics, or why there is none (Error). Nothing and no error:
// not a command topic of this board.
std::optional<TRequest> ParseRequest(const TTopics &Topics, int Relays, std::string_view Topic,
                                     std::string_view Payload, std::string &Error);

} // namespace mqtt
