// Test doubles for the relay logic's outlets, and the controller's state as one short text.
#pragma once

#include "relay/Console.h"
#include "relay/PlatformHooks.h"
#include "relay/ReleUnit.h"

#include <functional>
#include <string>
#include <vector>

// Keeps each line as "<colour> <text>", colour one of blue, maroon, red or r,g,b.
class TRecordingConsole : public TConsole {
public:
    void InsertFirstLine(const std::string &Line, TColor Colour) override;
    // The lines in the order they were written, oldest first (the screen shows them reversed).
    std::vector<std::string> Written() const { return {Lines.rbegin(), Lines.rend()}; }

    std::vector<std::string> Lines; // newest first
    bool FailWrites = false;        // throw instead of recording
    std::function<void()> OnInsert; // runs as a line goes in, like the window's lamp refresh
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

// "R100000 I000000 A1 T0": relay 1 on, no input active, alarm armed, not triggered.
std::string StateOf(const TRele &Rele);
void SetState(TRele &Rele, const std::string &State);
