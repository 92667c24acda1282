// The ports a settings file has been opened with, so that the setup dialog can offer them again: a
// network port (tcp://, rfc2217://) or a path that the system's list does not show stays on offer
// once it has been opened, without EXTRA_SERIAL_PORTS.
//
// They are kept in the panel's settings file (relay/PanelSettings.h), section [RecentPorts], keys
// Port1 (the newest) to Port8; every other section stays as it is. A pseudo-terminal's name is never
// kept: next time its number belongs to another terminal. Nothing here throws.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

// How many ports the list keeps.
inline constexpr std::size_t MaxRecentPorts = 8;

// The file's list, newest first; empty for a missing or unreadable file.
std::vector<std::string> RecentPorts(const std::filesystem::path &File);

// Puts Port at the head of the file's list, drops an earlier mention of it and whatever falls
// beyond the bound. Writes only when the list changes. Empty on success, else why it failed.
std::string RememberOpenedPort(const std::string &Port, const std::filesystem::path &File);

// What the setup dialog offers beside the system's ports: First (the port chosen now, may be empty),
// the port that the file's [ComPort] section names (not a pseudo-terminal's), then the file's list; each name
// once.
std::vector<std::string> OfferedPorts(const std::string &First, const std::filesystem::path &File);
