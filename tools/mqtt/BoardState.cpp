// The bridge's view of the board (BoardState.h).
#include "tools/mqtt/BoardState.h"

namespace mqtt {

namespace {

const char *OnOff(bool On) {
    return On ? "ON" : "OFF";
}

// The answers that confirm a setting, and what they confirm.
std::optional<bool> Confirmed(const std::string &Respond, const char *On, const char *Off) {
    if (Respond == On)
        return true;
    if (Respond == Off)
        return false;
    return std::nullopt;
}

} // namespace

void TBoardState::Sent(const std::string &Cmd, TCmdClass Class, const TRele &Rele) {
    if (Class != ccRelay && Class != ccRelayTimed)
        return;
    // The relays are the digits between "R" and "="; the controller has set them already.
    for (std::size_t I = 1; I < Cmd.size() && Cmd[I] != '='; ++I)
        if (Cmd[I] >= '1' && Cmd[I] <= '6')
            FRelays[static_cast<std::size_t>(Cmd[I] - '0')] = Rele.Relays[Cmd[I] - '0'];
}

void TBoardState::Answered(TRespondKind Kind, const std::string &Respond, const TRele &Rele) {
    switch (Kind) {
    case rkInputs:
        if (Respond.size() == 5)
            for (int N = 1; N <= InputCount; ++N)
                if (Respond[static_cast<std::size_t>(N)] == '0' ||
                    Respond[static_cast<std::size_t>(N)] == '1')
                    FInputs[static_cast<std::size_t>(N)] = Rele.Inputs[N];
        return;
    case rkInputOff:
        if (const int N = Respond[0] - 'A' + 1; N >= 1 && N <= InputCount && Respond.size() == 2)
            FInputs[static_cast<std::size_t>(N)] = false;
        return;
    case rkRun:
    case rkStop:
    case rkPushBtn:
        if (const auto Armed = Respond == "running*" || Respond == "TEST=Y*" ? std::optional(true)
                               : Respond == "stop*" || Respond == "TEST=N*"  ? std::optional(false)
                                                                             : std::nullopt) {
            FArmed = Armed;
            FTriggered = false;
        }
        return;
    case rkTimer:
        if (const int N = Respond[1] - '0'; N >= 1 && N <= MaxRelays && FRelays[static_cast<std::size_t>(N)])
            FRelays[static_cast<std::size_t>(N)] = Rele.Relays[N];
        return;
    case rkNoAlert:
        if (Respond == "*")
            FTriggered = false;
        return;
    case rkAlert:
        // The board raises the alarm only while it is armed.
        if (Rele.AlarmTriggered)
            FTriggered = FArmed = true;
        return;
    case rkRespondMode:
        if (const auto On = Confirmed(Respond, "C1=1*", "C1=0*"))
            FTimerReports = On;
        return;
    case rkResetMode:
        if (const auto On = Confirmed(Respond, "L=Y*", "L=N*"))
            FDeactivationReports = On;
        return;
    case rkUnknown:
        return;
    }
}

void TBoardState::ForgetRelays() {
    FRelays = {};
}

std::map<std::string, std::string> TBoardState::Messages(const TTopics &Topics, int Relays) const {
    const auto Payload = [](const std::optional<bool> &Flag) { return Flag ? OnOff(*Flag) : ""; };
    std::map<std::string, std::string> Out;
    for (int N = 1; N <= Relays; ++N)
        Out[Topics.Relay(N)] = Payload(FRelays[static_cast<std::size_t>(N)]);
    for (int N = 1; N <= InputCount; ++N)
        Out[Topics.Input(N)] = Payload(FInputs[static_cast<std::size_t>(N)]);
    Out[Topics.State("alarm")] = FTriggered == true ? "triggered"
                                 : FArmed           ? (*FArmed ? "armed_away" : "disarmed")
                                                    : "";
    Out[Topics.State("report_timer")] = Payload(FTimerReports);
    Out[Topics.State("report_deactivation")] = Payload(FDeactivationReports);
    return Out;
}

} // namespace mqtt
