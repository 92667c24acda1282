#include "support/Recorders.h"

#include <stdexcept>

void TRecordingConsole::InsertFirstLine(const std::string &Line, TColor Colour) {
    if (FailWrites)
        throw std::runtime_error("console gone");
    Lines.insert(Lines.begin(), {Line, Colour});
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
