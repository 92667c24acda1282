// Test doubles for the relay logic's outlets: a console that keeps its lines newest first, and
// a scope that records message boxes and beeps instead of showing them.
#pragma once

#include "relay/Console.h"
#include "relay/PlatformHooks.h"
#include "relay/ReleUnit.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

struct TConsoleLine {
    std::string Text;
    TColor Colour;

    bool operator==(const TConsoleLine &) const = default;
};

// Readable failure messages: the enums are one byte and would print as characters.
void PrintTo(const TConsoleLine &Line, std::ostream *Os);
void PrintTo(TCmdClass Class, std::ostream *Os);
void PrintTo(TRespondKind Kind, std::ostream *Os);

class TRecordingConsole : public TConsole {
public:
    void InsertFirstLine(const std::string &Line, TColor Colour) override;

    std::vector<TConsoleLine> Lines; // Lines[0] is the newest, as on screen
    bool FailWrites = false;         // throw instead of recording
    std::function<void()> OnInsert;  // runs as a line goes in, like the window's lamp refresh

    // The lines in the order they were written, oldest first.
    std::vector<TConsoleLine> Written() const { return {Lines.rbegin(), Lines.rend()}; }
};

// Installs recording hooks for its lifetime and puts the previous ones back afterwards.
class TRecordedPlatform {
public:
    TRecordedPlatform();
    ~TRecordedPlatform();
    TRecordedPlatform(const TRecordedPlatform &) = delete;
    TRecordedPlatform &operator=(const TRecordedPlatform &) = delete;

    std::vector<std::string> Messages;
    int Beeps = 0;

private:
    TMessageBoxHook FPrevMessageBox;
    TBeepHook FPrevBeep;
};
