// The panel's command line: dudovuz [--port NAME] [--settings FILE] [--help] [--version].
//
// --port chooses the port for this run only (the settings file keeps what the setup dialog chose);
// --settings names the file this window loads its port settings from and saves them to, so that
// one window per board keeps its own. Qt takes its own options (-platform, -style ...) out of the
// command line first; whatever is left must be ours. No Qt here, so the table of uses is tested
// without a window.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct TPanelOptions {
    // What main does with them: start the window, or print Text and end with ExitCode (to the
    // standard output for --help and --version, to the error output for a bad use).
    enum TAction { paRun, paPrint, paRefuse } Action = paRun;
    std::string Text;
    int ExitCode = 0;
    std::optional<std::string> Port;
    std::optional<std::filesystem::path> Settings;
};

// The exit code of a bad use.
inline constexpr int PanelUsageExitCode = 2;

// Arguments without the program's name.
TPanelOptions ParsePanelOptions(const std::vector<std::string> &Arguments);
