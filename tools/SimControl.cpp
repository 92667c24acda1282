#include "SimControl.h"

#include <charconv>
#include <cmath>
#include <fstream>

namespace relaysim {

namespace {

std::string_view Trim(std::string_view Text) {
    const auto First = Text.find_first_not_of(" \t\r\n");
    if (First == std::string_view::npos)
        return {};
    const auto Last = Text.find_last_not_of(" \t\r\n");
    return Text.substr(First, Last - First + 1);
}

// Splits off the first word; Rest keeps the remainder, trimmed.
std::string_view NextWord(std::string_view &Rest) {
    const auto End = Rest.find_first_of(" \t");
    const std::string_view Word = Rest.substr(0, End);
    Rest = End == std::string_view::npos ? std::string_view{} : Trim(Rest.substr(End));
    return Word;
}

std::optional<bool> ParseOnOff(std::string_view Word) {
    if (Word == "on" || Word == "1")
        return true;
    if (Word == "off" || Word == "0")
        return false;
    return std::nullopt;
}

std::optional<std::chrono::milliseconds> ParseSeconds(std::string_view Word) {
    double Seconds = 0;
    const auto [End, Ec] = std::from_chars(Word.data(), Word.data() + Word.size(), Seconds);
    // A million seconds is more than any demonstration needs and keeps the sum with "now" in range.
    if (Ec != std::errc() || End != Word.data() + Word.size() || !(Seconds >= 0 && Seconds <= 1e6))
        return std::nullopt;
    return std::chrono::milliseconds(std::llround(Seconds * 1000));
}

} // namespace

std::optional<TSimStep> ParseStep(std::string_view Line, std::string &Error) {
    std::string_view Rest = Trim(Line);
    TSimStep Step;
    if (Rest.empty() || Rest.front() == '#')
        return Step;
    const std::string_view Word = NextWord(Rest);
    if (Word == "input" || Word == "in") {
        const std::string_view Number = NextWord(Rest);
        const auto On = ParseOnOff(NextWord(Rest));
        if (Number.size() != 1 || Number[0] < '1' || Number[0] > '6' || !On || !Rest.empty()) {
            Error = "usage: input 1-6 on|off";
            return std::nullopt;
        }
        Step.Kind = skInput;
        Step.Number = Number[0] - '0';
        Step.On = *On;
    } else if (Word == "test") {
        const auto On = ParseOnOff(NextWord(Rest));
        if (!On || !Rest.empty()) {
            Error = "usage: test on|off";
            return std::nullopt;
        }
        Step.Kind = skTest;
        Step.On = *On;
    } else if (Word == "send") {
        if (Rest.empty()) {
            Error = "usage: send TEXT";
            return std::nullopt;
        }
        Step.Kind = skSend;
        Step.Text = Rest;
    } else if (Word == "wait") {
        const auto Delay = ParseSeconds(NextWord(Rest));
        if (!Delay || !Rest.empty()) {
            Error = "usage: wait SECONDS (0 to 1000000, fractions allowed)";
            return std::nullopt;
        }
        Step.Kind = skWait;
        Step.Delay = *Delay;
    } else if (Word == "await") {
        Step.Kind = skAwait;
        Step.Text = Rest;
    } else if ((Word == "state" || Word == "help" || Word == "quit") && Rest.empty()) {
        Step.Kind = Word == "state" ? skState : Word == "help" ? skHelp : skQuit;
    } else {
        Error = "unknown command \"" + std::string(Word) + "\" (try help)";
        return std::nullopt;
    }
    return Step;
}

std::optional<std::vector<TSimStep>> LoadScript(const std::string &Path, std::string &Error) {
    std::ifstream File(Path);
    if (!File) {
        Error = Path + ": cannot be read";
        return std::nullopt;
    }
    std::vector<TSimStep> Steps;
    std::string Line;
    for (int Number = 1; std::getline(File, Line); ++Number) {
        std::string Why;
        auto Step = ParseStep(Line, Why);
        if (!Step) {
            Error = Path + ":" + std::to_string(Number) + ": " + Why;
            return std::nullopt;
        }
        if (Step->Kind != skNothing)
            Steps.push_back(std::move(*Step));
    }
    if (File.bad()) {
        Error = Path + ": read error";
        return std::nullopt;
    }
    return Steps;
}

const char *StepHelp() {
    return "Commands (standard input or script, one per line):\n"
           "  input N on|off   input N (1-6) goes active or inactive\n"
           "  test on|off      press the TEST button: arm or disarm the alarm by hand\n"
           "  send TEXT        put TEXT on the line as it stands\n"
           "  state            print the board's state\n"
           "  wait SECONDS     hold back the following commands (fractions allowed)\n"
           "  await [COMMAND]  hold back the following commands until the line brings COMMAND\n"
           "                   (any command when none is given)\n"
           "  help             this text\n"
           "  quit             stop the simulator\n"
           "  # ...            a comment\n";
}

} // namespace relaysim
