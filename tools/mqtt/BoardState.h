// What relaymqtt may publish about the board: only what the board said or what a command sent to
// it implies, as the panel's lamps follow the controller's state model (TRele). The controller
// starts from assumptions (every relay off, the alarm armed); a state the bridge has not seen
// confirmed stays unknown here and has no retained value on the broker.
//
// A relay is known once a command for it went out, and then follows the board's timer reports. The
// inputs are known from the answer to "!" and from deactivation reports; the alarm's arming from
// the answers to RUN and the TEST button, its trigger from the answers to "?" and from alarms;
// arming or disarming clears the trigger, as the board does. The two report modes are known from
// the board's confirmations.
#pragma once

#include "relay/ReleUnit.h"
#include "tools/mqtt/MqttTopics.h"

#include <array>
#include <map>
#include <optional>
#include <string>

namespace mqtt {

class TBoardState {
public:
    // After the controller accepted and sent Cmd (its class Class).
    void Sent(const std::string &Cmd, TCmdClass Class, const TRele &Rele);
    // After the controller interpreted Respond (of kind Kind).
    void Answered(TRespondKind Kind, const std::string &Respond, const TRele &Rele);
    // Bytes went to the line that the controller could not follow: what they did to the relays is
    // not known.
    void ForgetRelays();
    void Forget() { *this = TBoardState(); }

    bool TimerReportsOn() const { return FTimerReports == true; }

    // The retained state of every state topic: its payload, empty (no retained value) when unknown.
    std::map<std::string, std::string> Messages(const TTopics &Topics, int Relays) const;

private:
    std::array<std::optional<bool>, MaxRelays + 1> FRelays;
    std::array<std::optional<bool>, InputCount + 1> FInputs;
    std::optional<bool> FArmed, FTriggered, FTimerReports, FDeactivationReports;
};

} // namespace mqtt
