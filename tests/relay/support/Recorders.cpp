#include "support/Recorders.h"

#include <stdexcept>

void PrintTo(const TConsoleLine &Line, std::ostream *Os) {
    *Os << '"' << Line.Text << "\" rgb(" << int{Line.Colour.R} << ',' << int{Line.Colour.G} << ','
        << int{Line.Colour.B} << ')';
}

void PrintTo(TCmdClass Class, std::ostream *Os) {
    *Os << "TCmdClass " << int{Class};
}

void PrintTo(TRespondKind Kind, std::ostream *Os) {
    *Os << "TRespondKind " << int{Kind};
}

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
