// The simulator's own commands: what a person types on its standard input or writes in a script
// file to move the board's inputs, press its TEST button or pace a demonstration. One command per
// line; blank lines and lines starting with "#" are nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace relaysim {

enum TStepKind : std::uint8_t {
    skNothing, // blank line or comment
    skInput,   // input N on|off
    skTest,    // test on|off: the board's manual TEST button
    skSend,    // send TEXT: put TEXT on the line as it stands
    skState,   // print the board's state on standard output
    skWait,    // wait SECONDS: hold back the following steps
    skAwait,   // await [COMMAND]: hold back the following steps until the line brings that command
    skHelp,
    skQuit
};

struct TSimStep {
    TStepKind Kind = skNothing;
    int Number = 0;                     // skInput
    bool On = false;                    // skInput, skTest
    std::string Text;                   // skSend, skAwait (empty: any command)
    std::chrono::milliseconds Delay{0}; // skWait
};

// Parses one line. On failure returns nothing and says why in Error.
std::optional<TSimStep> ParseStep(std::string_view Line, std::string &Error);

// Parses a whole script; on failure Error names the line ("script.txt:3: ...").
std::optional<std::vector<TSimStep>> LoadScript(const std::string &Path, std::string &Error);

// The commands, for --help and the "help" command.
const char *StepHelp();

} // namespace relaysim
