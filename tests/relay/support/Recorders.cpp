#include "support/Recorders.h"

#include <stdexcept>

void TRecordingConsole::InsertFirstLine(const std::string &Line, TColor Colour) {
    if (FailWrites)
        throw std::runtime_error("console gone");
    std::string Name =
        std::to_string(Colour.R) + "," + std::to_string(Colour.G) + "," + std::to_string(Colour.B);
    Name = Name == "0,0,255" ? "blue" : Name == "128,0,0" ? "maroon" : Name == "255,0,0" ? "red" : Name;
    Lines.insert(Lines.begin(), Name + " " + Line);
    if (OnInsert)
        OnInsert();
}

TRecordedPlatform::TRecordedPlatform()
    : FPrevMessageBox(SetMessageBoxHook([this](const std::string &Text) { Messages.push_back(Text); })),
      FPrevBeep(SetBeepHook([this] { ++Beeps; })) {}

TRecordedPlatform::~TRecordedPlatform() {
    SetMessageBoxHook(std::move(FPrevMessageBox));
    SetBeepHook(std::move(FPrevBeep));
}

std::string StateOf(const TRele &Rele) {
    std::string R, I;
    for (int N = TBoardFlags::First; N <= TBoardFlags::Last; ++N)
        R += Rele.Relays[N] ? '1' : '0', I += Rele.Inputs[N] ? '1' : '0';
    return "R" + R + " I" + I + " A" + (Rele.AlarmActive ? "1" : "0") + " T" +
           (Rele.AlarmTriggered ? "1" : "0");
}

void SetState(TRele &Rele, const std::string &State) {
    for (int N = TBoardFlags::First; N <= TBoardFlags::Last; ++N)
        Rele.Relays[N] = State.at(N) == '1', Rele.Inputs[N] = State.at(N + 8) == '1';
    Rele.AlarmActive = State.at(17) == '1';
    Rele.AlarmTriggered = State.at(20) == '1';
}
