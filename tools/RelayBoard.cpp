#include "RelayBoard.h"

#include <algorithm>
#include <utility>

namespace relaysim {

namespace {

// Longer than any command the board knows ("R123456=999999,1s" is 17 bytes) yet short enough that a
// stream of noise with no "s" in it cannot grow the buffer.
constexpr std::size_t MaxCommandLength = 64;
constexpr long MaxDuration = 999999;

bool IsRelayDigit(char C) {
    return C >= '1' && C <= '6';
}
bool IsDigit(char C) {
    return C >= '0' && C <= '9';
}

// Parses "R<relays>=[<seconds>,]<0|1>s". Seconds is 0 when the command is not timed.
struct TRelayCommand {
    std::string Relays;
    long Seconds = 0;
    bool On = false;
};

std::optional<TRelayCommand> ParseRelayCommand(std::string_view Text) {
    if (Text.size() < 5 || Text.front() != 'R' || Text.back() != 's')
        return std::nullopt;
    const auto Equals = Text.find('=');
    if (Equals == std::string_view::npos || Equals < 2)
        return std::nullopt;
    TRelayCommand Result;
    Result.Relays = std::string(Text.substr(1, Equals - 1));
    if (!std::all_of(Result.Relays.begin(), Result.Relays.end(), IsRelayDigit))
        return std::nullopt;
    std::string_view Rest = Text.substr(Equals + 1, Text.size() - Equals - 2); // between "=" and "s"
    if (Rest.size() != 1) {
        const auto Comma = Rest.find(',');
        if (Comma == std::string_view::npos || Comma == 0 || Comma > 6 || Rest.size() != Comma + 2)
            return std::nullopt;
        for (char C : Rest.substr(0, Comma)) {
            if (!IsDigit(C))
                return std::nullopt;
            Result.Seconds = Result.Seconds * 10 + (C - '0');
        }
        if (Result.Seconds < 1 || Result.Seconds > MaxDuration)
            return std::nullopt;
        Rest = Rest.substr(Comma + 1);
    }
    if (Rest != "0" && Rest != "1")
        return std::nullopt;
    Result.On = Rest == "1";
    return Result;
}

} // namespace

TRelayBoard::TRelayBoard(std::chrono::milliseconds SecondLength) : SecondLength(SecondLength) {}

std::vector<TLineEvent> TRelayBoard::Receive(std::string_view Bytes, TClock::time_point Now) {
    std::vector<TLineEvent> Events;
    for (char C : Bytes) {
        if (C == '?' || C == '!') {
            DropNoise(Events);
            Execute(std::string(1, C), Now, Events);
        } else if (C == '\r' || C == '\n') {
            DropNoise(Events);
        } else if (C == 'R') {
            // Every command that ends in "s" starts with "R": whatever came before it was noise.
            DropNoise(Events);
            Pending = "R";
        } else {
            Pending += C;
            if (C == 's') {
                std::string Command = std::move(Pending);
                Pending.clear();
                Execute(Command, Now, Events);
            } else if (Pending.size() > MaxCommandLength) {
                DropNoise(Events);
            }
        }
    }
    return Events;
}

void TRelayBoard::DropNoise(std::vector<TLineEvent> &Events) {
    if (!Pending.empty())
        Events.push_back({std::move(Pending), false});
    Pending.clear();
}

void TRelayBoard::Execute(const std::string &Command, TClock::time_point Now,
                          std::vector<TLineEvent> &Events) {
    bool Known = true;
    if (Command == "RUN=1s" || Command == "RUN=0s") {
        Armed = Command == "RUN=1s";
        Trigger = 0;
        Answer(Armed ? "running*" : "stop*");
    } else if (Command == "Rcfg1=1s" || Command == "Rcfg1=0s") {
        TimerReports = Command == "Rcfg1=1s";
        Answer(TimerReports ? "C1=1*" : "C1=0*");
    } else if (Command == "RESET=Ys" || Command == "RESET=Ns") {
        DeactivationReports = Command == "RESET=Ys";
        Answer(DeactivationReports ? "L=Y*" : "L=N*");
    } else if (Command == "?") {
        Answer(Trigger ? std::to_string(Trigger) + "*" : "*");
    } else if (Command == "!") {
        std::string State = "&";
        for (int I = 0; I < 3; ++I)
            State += Inputs[I] ? '1' : '0';
        Answer(State + "*");
    } else {
        Known = ExecuteRelayCommand(Command, Now);
    }
    Events.push_back({Command, Known});
}

bool TRelayBoard::ExecuteRelayCommand(const std::string &Command, TClock::time_point Now) {
    const auto Parsed = ParseRelayCommand(Command);
    if (!Parsed)
        return false;
    for (char C : Parsed->Relays) {
        const int Index = C - '1';
        Relays[Index] = Parsed->On;
        if (Parsed->Seconds > 0)
            Timers[Index] = Now + Parsed->Seconds * SecondLength;
        else
            Timers[Index].reset();
    }
    return true;
}

void TRelayBoard::SetInput(int Number, bool Active) {
    bool &Input = Inputs[Number - 1];
    if (Input == Active)
        return;
    Input = Active;
    if (Active && Armed) {
        if (Trigger == 0)
            Trigger = Number;
        Answer(std::to_string(Number) + "*");
    } else if (!Active && DeactivationReports) {
        Answer(std::string(1, static_cast<char>('A' + Number - 1)) + "*");
    }
}

void TRelayBoard::PressTest(bool Arm) {
    Armed = Arm;
    Trigger = 0;
    Answer(Arm ? "TEST=Y*" : "TEST=N*");
}

void TRelayBoard::Advance(TClock::time_point Now) {
    // Expire in order of deadline so that the reports come out in the order the timers ran out.
    for (;;) {
        int Earliest = -1;
        for (int I = 0; I < RelayCount; ++I)
            if (Timers[I] && *Timers[I] <= Now && (Earliest < 0 || *Timers[I] < *Timers[Earliest]))
                Earliest = I;
        if (Earliest < 0)
            return;
        Timers[Earliest].reset();
        Relays[Earliest] = !Relays[Earliest];
        if (TimerReports)
            Answer("T" + std::to_string(Earliest + 1) + "*");
    }
}

std::optional<TClock::time_point> TRelayBoard::NextDeadline() const {
    std::optional<TClock::time_point> Next;
    for (const auto &Timer : Timers)
        if (Timer && (!Next || *Timer < *Next))
            Next = Timer;
    return Next;
}

std::deque<std::string> TRelayBoard::TakeAnswers() {
    return std::exchange(Answers, {});
}

std::string TRelayBoard::StateText() const {
    auto Bits = [](const auto &Flags) {
        std::string Text;
        for (bool Flag : Flags)
            Text += Flag ? '1' : '0';
        return Text;
    };
    auto OnOff = [](bool Flag) { return Flag ? "on" : "off"; };
    std::string Text = "relays=" + Bits(Relays) + " inputs=" + Bits(Inputs);
    Text += std::string(" alarm=") + (Armed ? "armed" : "disarmed");
    Text += " trigger=" + std::to_string(Trigger);
    Text += std::string(" timer-reports=") + OnOff(TimerReports);
    Text += std::string(" deactivation-reports=") + OnOff(DeactivationReports);
    Text += " timers=";
    bool Any = false;
    for (int I = 0; I < RelayCount; ++I)
        if (Timers[I]) {
            Text += std::to_string(I + 1);
            Any = true;
        }
    if (!Any)
        Text += '-';
    return Text;
}

} // namespace relaysim
