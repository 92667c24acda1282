// The list of serial ports that the system knows, for the port choice of the setup dialog.
//
// The ports are the entries of the kernel's tty class (<SysfsRoot>/class/tty) that a device driver
// has bound, except the 8250 ports whose UART type is unknown (0): a PC kernel registers 32 ttyS
// ports whether or not the hardware exists, and only the probed ones have a type. Virtual ports
// that no driver owns (a simulator's pseudo-terminal, socat) are added from the environment
// variable EXTRA_SERIAL_PORTS, a list of paths and network names ("tcp://HOST:PORT") separated by
// colons, semicolons or white space (a network name keeps its own colon). Every USB adapter is
// offered a second time by the name that udev gives it under <DevRoot>/serial/by-id, which stays the
// same whichever ttyUSB number the adapter gets when it is plugged in again ("serial/by-id/usb-FTDI_...").
//
// Every name is one that TCustomComPort::SetPort takes: "ttyUSB0" for /dev/ttyUSB0, a path outside
// /dev as it stands. Nothing is opened or probed.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Replaces Ports with the port names, sorted by text without regard to ASCII letter case (so COM10
// comes before COM2; names that differ only in case come in no fixed order), duplicates kept.
// When the tty class cannot be read, raises EComPort 23 with the system's error code and leaves
// Ports as it was. A stable name is listed only when it leads to a port of the tty class. SysfsRoot
// and DevRoot let tests walk trees of their own.
void ListComPorts(std::vector<std::string> &Ports, const std::filesystem::path &SysfsRoot = "/sys",
                  const std::filesystem::path &DevRoot = "/dev");

// The USB adapter behind a port name, as sysfs describes it: maker and product, then the serial
// number in brackets ("FTDI FT232R USB UART (A50285BI)"). Empty for a port that is no USB device
// or cannot be traced. Never throws.
std::string UsbDeviceDescription(const std::string &Port, const std::filesystem::path &SysfsRoot = "/sys",
                                 const std::filesystem::path &DevRoot = "/dev");
