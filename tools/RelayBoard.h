// The relay board as the simulator plays it: its state and its side of the text protocol, with no
// I/O and no clock of its own. The caller feeds it the bytes that arrive on the line, the changes of
// its inputs and the current time, and collects the answers it queued; so the same object serves the
// event loop of relaysim and can be reasoned about without a terminal.
//
// Board rules (the panel never waits for answers, so these are the board's choices, kept simple):
//   - Commands that end in "s" start with "R"; "?" and "!" are whole commands of one byte. Bytes that
//     form no command, and line ends, are dropped silently, as a board does.
//   - Relay commands switch silently. A timed one switches the relays now and switches each of them
//     over when its time runs out; a later command for the same relay cancels that timer.
//   - Arming or disarming (by command or by the TEST button) forgets which input raised the alarm.
//   - Every input that goes active while the alarm is armed reports itself; "?" keeps answering with
//     the first one until the alarm is armed or disarmed again.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace relaysim {

using TClock = std::chrono::steady_clock;

inline constexpr int RelayCount = 6;
inline constexpr int InputCount = 6;

// One thing the line brought in: a command the board acted on, or text it dropped.
struct TLineEvent {
    std::string Text;
    bool Recognised = false;
};

class TRelayBoard {
public:
    // SecondLength: how long one second of a timed command lasts (shorter for quick demonstrations).
    explicit TRelayBoard(std::chrono::milliseconds SecondLength = std::chrono::seconds(1));

    // Bytes from the line; returns what they formed, in order of arrival.
    std::vector<TLineEvent> Receive(std::string_view Bytes, TClock::time_point Now);
    // Inputs and the TEST button are numbered from 1. Setting an input to its current state does nothing.
    void SetInput(int Number, bool Active);
    void PressTest(bool Arm);
    // Switches over every relay whose time has run out by Now.
    void Advance(TClock::time_point Now);
    // The earliest running timer, if any.
    std::optional<TClock::time_point> NextDeadline() const;

    // Answers queued since the last call, one text per answer, oldest first.
    std::deque<std::string> TakeAnswers();
    // One line for people and scripts, e.g. "relays=100000 inputs=001000 alarm=armed trigger=3 ...".
    std::string StateText() const;

    bool Relay(int Number) const { return Relays[Number - 1]; }
    bool Input(int Number) const { return Inputs[Number - 1]; }
    bool AlarmArmed() const { return Armed; }

private:
    void Execute(const std::string &Command, TClock::time_point Now, std::vector<TLineEvent> &Events);
    bool ExecuteRelayCommand(const std::string &Command, TClock::time_point Now);
    void DropNoise(std::vector<TLineEvent> &Events);
    void Answer(std::string Text) { Answers.push_back(std::move(Text)); }

    std::chrono::milliseconds SecondLength;
    std::array<bool, RelayCount> Relays{};
    std::array<bool, InputCount> Inputs{};
    std::array<std::optional<TClock::time_point>, RelayCount> Timers{};
    bool Armed = true; // as the panel assumes at start: a board comes up armed
    int Trigger = 0;   // the input that raised the alarm, 0 for none
    bool TimerReports = false;
    bool DeactivationReports = false;
    std::string Pending; // bytes of a command not yet complete
    std::deque<std::string> Answers;
};

} // namespace relaysim
