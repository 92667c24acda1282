// Topic map, discovery documents and command payloads (MqttTopics.h).
#include "tools/mqtt/MqttTopics.h"

#include "relay/CodePage1250.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

namespace mqtt {

namespace {

using TJson = nlohmann::ordered_json;

bool IsIdChar(char C) {
    return std::isalnum(static_cast<unsigned char>(C)) || C == '_' || C == '-';
}

// A payload as a JSON string, quotes and escapes included, so that any bytes read safely in a line.
std::string Quote(std::string_view Payload) {
    return TJson(std::string(Payload)).dump(-1, ' ', false, TJson::error_handler_t::replace);
}

// A relay number from "relay/N/set", 0 when Object is not one.
int RelayOf(std::string_view Object, int Relays) {
    if (Object.size() != 7 || !Object.starts_with("relay/"))
        return 0;
    const int N = Object[6] - '0';
    return N >= 1 && N <= Relays ? N : 0;
}

std::optional<TRequest> Switch(std::string_view Payload, const char *On, const char *Off,
                               std::string &Error) {
    if (Payload == "ON")
        return TRequest{TRequest::rqCommand, On};
    if (Payload == "OFF")
        return TRequest{TRequest::rqCommand, Off};
    Error = "unknown payload " + Quote(Payload) + " (ON or OFF)";
    return std::nullopt;
}

std::optional<TRequest> TimedRelay(int N, std::string_view Payload, std::string &Error) {
    const TJson Json = TJson::parse(Payload, nullptr, false);
    if (Json.is_discarded() || !Json.is_object()) {
        Error = "bad JSON " + Quote(Payload);
        return std::nullopt;
    }
    const auto State = Json.find("state");
    const auto Seconds = Json.find("seconds");
    const bool StateOk = State != Json.end() && (*State == "ON" || *State == "OFF");
    const bool SecondsOk =
        Seconds != Json.end() && Seconds->is_number_integer() && *Seconds >= 1 && *Seconds <= MaxSeconds;
    if (!StateOk || !SecondsOk || Json.size() != 2) {
        Error = "timed switch needs {\"state\":\"ON\"|\"OFF\",\"seconds\":1-999999}, not " + Quote(Payload);
        return std::nullopt;
    }
    const std::string Digit = *State == "ON" ? "1" : "0";
    return TRequest{TRequest::rqTimedRelay,
                    "R" + std::to_string(N) + "=" + std::to_string(Seconds->get<long>()) + "," + Digit + "s"};
}

std::optional<TRequest> Relay(int N, std::string_view Payload, std::string &Error) {
    const std::string Name = "R" + std::to_string(N);
    if (Payload.starts_with("{"))
        return TimedRelay(N, Payload, Error);
    return Switch(Payload, (Name + "=1s").c_str(), (Name + "=0s").c_str(), Error);
}

std::optional<TRequest> Fixed(std::string_view Payload,
                              std::initializer_list<std::pair<const char *, const char *>> Rows,
                              std::string &Error) {
    std::string Known;
    for (const auto &[Word, Command] : Rows) {
        if (Payload == Word)
            return TRequest{TRequest::rqCommand, Command};
        Known += (Known.empty() ? "" : " or ") + std::string(Word);
    }
    Error = "unknown payload " + Quote(Payload) + " (" + Known + ")";
    return std::nullopt;
}

std::optional<TRequest> ByObject(std::string_view Object, int Relays, std::string_view Payload,
                                 std::string &Error) {
    if (const int N = RelayOf(Object, Relays))
        return Relay(N, Payload, Error);
    if (Object == "alarm")
        return Fixed(Payload, {{"ARM_AWAY", "RUN=1s"}, {"DISARM", "RUN=0s"}}, Error);
    if (Object == "report_timer")
        return Switch(Payload, "Rcfg1=1s", "Rcfg1=0s", Error);
    if (Object == "report_deactivation")
        return Switch(Payload, "RESET=Ys", "RESET=Ns", Error);
    if (Object == "query_inputs")
        return Fixed(Payload, {{"PRESS", "!"}}, Error);
    if (Object == "query_alarm")
        return Fixed(Payload, {{"PRESS", "?"}}, Error);
    return std::nullopt;
}

TJson Device(const TIdentity &Identity) {
    return {{"identifiers", TJson::array({"dudovuz_" + Identity.Board})},
            {"name", "Relay board " + Identity.Board},
            {"model", "DUD Ovuz relay board"},
            {"sw_version", Identity.Version}};
}

struct TEntity {
    const char *Component;
    std::string Object, Name;
    TJson Keys;
};

std::vector<TEntity> Entities(int Relays) {
    std::vector<TEntity> List;
    for (int N = 1; N <= Relays; ++N)
        List.push_back({"switch",
                        "relay" + std::to_string(N),
                        "Relay " + std::to_string(N),
                        {{"state_topic", "~/relay/" + std::to_string(N)},
                         {"command_topic", "~/relay/" + std::to_string(N) + "/set"}}});
    List.push_back({"alarm_control_panel",
                    "alarm",
                    "Alarm",
                    {{"state_topic", "~/alarm"},
                     {"command_topic", "~/alarm/set"},
                     {"supported_features", {"arm_away"}},
                     {"code_arm_required", false},
                     {"code_disarm_required", false}}});
    for (int N = 1; N <= InputCount; ++N)
        List.push_back({"binary_sensor",
                        "input" + std::to_string(N),
                        "Input " + std::to_string(N),
                        {{"state_topic", "~/input/" + std::to_string(N)}}});
    for (const char *Report : {"report_timer", "report_deactivation"})
        List.push_back({"switch",
                        Report,
                        Report == std::string("report_timer") ? "Timer reports" : "Deactivation reports",
                        {{"state_topic", std::string("~/") + Report},
                         {"command_topic", std::string("~/") + Report + "/set"},
                         {"entity_category", "config"}}});
    List.push_back({"button", "query_inputs", "Query inputs", {{"command_topic", "~/query_inputs/set"}}});
    List.push_back({"button", "query_alarm", "Query alarm", {{"command_topic", "~/query_alarm/set"}}});
    return List;
}

} // namespace

bool IsValidId(std::string_view Id) {
    return !Id.empty() && std::all_of(Id.begin(), Id.end(), IsIdChar);
}

std::string BoardIdFromPort(std::string_view Port) {
    if (Port.starts_with("/dev/"))
        Port.remove_prefix(5);
    std::string Id;
    std::copy_if(Port.begin(), Port.end(), std::back_inserter(Id), IsIdChar);
    return Id;
}

std::vector<std::string> TTopics::Subscriptions() const {
    return {FBase + "/+/set", FBase + "/relay/+/set", Command(), RawTx()};
}

std::vector<std::pair<std::string, std::string>> DiscoveryDocuments(const TIdentity &Identity) {
    std::vector<std::pair<std::string, std::string>> Documents;
    const auto Topic = [&](const std::string &Component, const std::string &Object) {
        return Identity.Prefix + "/" + Component + "/" + Identity.Board + "/" + Object + "/config";
    };
    for (const TEntity &Entity : Entities(Identity.Relays)) {
        TJson Document = {{"~", TTopics(Identity.Board).Base()},
                          {"name", Entity.Name},
                          {"unique_id", "dudovuz_" + Identity.Board + "_" + Entity.Object},
                          {"object_id", Identity.Board + "_" + Entity.Object},
                          {"availability_topic", "~/availability"},
                          {"device", Device(Identity)},
                          {"origin", {{"name", "relaymqtt"}, {"sw_version", Identity.Version}}}};
        Document.update(Entity.Keys);
        Documents.emplace_back(Topic(Entity.Component, Entity.Object), Document.dump());
    }
    for (int N = Identity.Relays + 1; N <= MaxRelays; ++N)
        Documents.emplace_back(Topic("switch", "relay" + std::to_string(N)), "");
    return Documents;
}

std::optional<TRequest> ParseRequest(const TTopics &Topics, int Relays, std::string_view Topic,
                                     std::string_view Payload, std::string &Error) {
    const std::string Base = Topics.Base() + "/";
    if (!Topic.starts_with(Base))
        return std::nullopt;
    const bool IsCommand = Topic == Topics.Command() || Topic == Topics.RawTx();
    const bool IsSet = Topic.ends_with("/set");
    if (!IsCommand && !IsSet)
        return std::nullopt;
    if (Payload.size() > MaxPayload) {
        Error = std::string(Topic) + ": payload of " + std::to_string(Payload.size()) + " bytes, more than " +
                std::to_string(MaxPayload);
        return std::nullopt;
    }
    if (Topic == Topics.RawTx())
        return TRequest{TRequest::rqRaw, std::string(Payload)};
    if (Topic == Topics.Command())
        return TRequest{TRequest::rqCommand, Utf8ToCp1250(std::string(Payload))};
    std::string_view Object = Topic.substr(Base.size());
    Object.remove_suffix(4);
    std::optional<TRequest> Request = ByObject(Object, Relays, Payload, Error);
    if (!Request && Error.empty())
        Error = "unknown command topic " + std::string(Topic);
    else if (!Error.empty())
        Error = std::string(Topic) + ": " + Error;
    return Request;
}

} // namespace mqtt
