// What relayctl tells about the board's commands: the list that --help ends with, and a hint for a
// command that the controller refused because it does not end in "s".
#pragma once

#include <optional>
#include <string>

// The board's commands, one example each, for --help.
extern const char *const BoardCommandsText;

// A hint for a command that lacks the final "s" every command but "?" and "!" ends in, naming the
// command as it should have been; none for other commands.
std::optional<std::string> UnterminatedCommandHint(const std::string &Command);
