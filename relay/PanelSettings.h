// The port settings that the panel keeps between runs, and where it keeps them.
//
// The file is an initialisation file that the port component writes and reads itself
// (TCustomComPort::SaveToIniFile, LoadFromIniFile: a section named after the port, [ComPort] for
// the panel's). Every front end that wants the operator's port - the panel, relayctl - finds the
// file through PanelSettingsPath, so they agree on it.
//
// Loading is careful because the file is the operator's to edit: a file that is not an
// initialisation file at all, or whose port section names a value that the settings do not know,
// is left alone as a whole rather than loaded half, and nothing throws. A missing file is the
// first run, not a problem.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

class TCustomComPort;

// The line the board speaks, as the panel sets its port up before any remembered settings are
// loaded: 4800 baud, 8 data bits, no parity, one stop bit, received NULs discarded, DTR on, RTS
// off, no flow control (TRele::OpenComPort sets the line again when it opens). Also names the port
// "ComPort", the section its settings are kept in. Every front end starts from it, so that both
// store and load the same settings.
void ApplyPanelPortDefaults(TCustomComPort &Port);

// $XDG_CONFIG_HOME/dudovuz/panel.ini; ~/.config in place of an unset, empty or relative
// XDG_CONFIG_HOME, as the XDG base directory rules say. Empty when there is no home either.
std::filesystem::path PanelSettingsPath();

// A port name worth opening in another session: not empty and not a pseudo-terminal's (pts/N),
// whose number names another terminal next time.
bool ReopenablePortName(const std::string &Port);

enum TSettingsOutcome : std::uint8_t {
    soLoaded,     // the file's settings are in the port
    soMissing,    // no file: the port is as it was
    soUnreadable, // the file is there but cannot be read: Detail says why
    soMalformed,  // not used: Detail names the first line that is wrong
};

struct TSettingsLoad {
    TSettingsOutcome Outcome = soMissing;
    std::string Detail;
    // The file named a port worth opening again: a non-empty "Port" in the port's section that is
    // not a pseudo-terminal's number (pts/N), which names another terminal in the next session.
    bool PortNamed = false;
};

// Loads Port's section of the file into Port. Never throws.
TSettingsLoad LoadPortSettings(TCustomComPort &Port, const std::filesystem::path &File);

// Saves Port's settings into its section of the file, keeping everything else the file holds,
// and creates the file's folder when needed. Empty on success, else why it failed. Never throws.
std::string SavePortSettings(TCustomComPort &Port, const std::filesystem::path &File);
