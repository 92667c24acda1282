// The board's commands as relayctl explains them. The controller (relay/ReleUnit.cpp) decides what
// goes out; this only describes it.
#include "CtlCommands.h"

const char *const BoardCommandsText =
    "\n"
    "Board commands (each ends in \"s\" except the two queries):\n"
    "  R1=1s        relay 1 on (0 off); R123=0s switches relays 1, 2 and 3 (relays 1-6)\n"
    "  R2=10,1s     relay 2 on for 10 seconds, then off again (R2=10,0s: off, then on)\n"
    "  RUN=1s       arm the alarm; RUN=0s disarms it\n"
    "  Rcfg1=1s     report each relay whose time ran out; Rcfg1=0s stops the reports\n"
    "  RESET=Ys     report each input that goes inactive; RESET=Ns stops the reports\n"
    "  ?            which input raised the alarm\n"
    "  !            the state of inputs 1-3\n";

std::optional<std::string> UnterminatedCommandHint(const std::string &Command) {
    if (Command.empty() || Command == "?" || Command == "!" || Command.back() == 's')
        return std::nullopt;
    // A capital "S" is the likeliest slip; otherwise the "s" is missing.
    const std::string Meant =
        Command.back() == 'S' ? Command.substr(0, Command.size() - 1) + "s" : Command + "s";
    return "every command but ? and ! ends in a lower-case \"s\": did you mean \"" + Meant + "\"?";
}
