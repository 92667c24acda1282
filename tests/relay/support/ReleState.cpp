#include "support/ReleState.h"

#include <stdexcept>

namespace {

std::string FlagsText(const TBoardFlags &Flags) {
    std::string Text;
    for (int N = TBoardFlags::First; N <= TBoardFlags::Last; ++N)
        Text += Flags[N] ? '1' : '0';
    return Text;
}

void ReadFlags(TBoardFlags &Flags, const std::string &Text) {
    for (int N = TBoardFlags::First; N <= TBoardFlags::Last; ++N)
        Flags[N] = Text.at(static_cast<std::size_t>(N - 1)) == '1';
}

} // namespace

std::string StateOf(const TRele &Rele) {
    return "R" + FlagsText(Rele.Relays) + " I" + FlagsText(Rele.Inputs) + " A" +
           (Rele.AlarmActive ? "1" : "0") + " T" + (Rele.AlarmTriggered ? "1" : "0");
}

void SetState(TRele &Rele, const std::string &State) {
    if (State.size() != 21)
        throw std::invalid_argument("state text: " + State);
    ReadFlags(Rele.Relays, State.substr(1, 6));
    ReadFlags(Rele.Inputs, State.substr(9, 6));
    Rele.AlarmActive = State[17] == '1';
    Rele.AlarmTriggered = State[20] == '1';
}
