// Port enumeration from sysfs and the environment.
#include "serial/driver/ComEnum.h"

#include "serial/port/ComError.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace {

char AsciiLower(char C) {
    return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}

bool LessIgnoringCase(const std::string &A, const std::string &B) {
    return std::lexicographical_compare(A.begin(), A.end(), B.begin(), B.end(),
                                        [](char X, char Y) { return AsciiLower(X) < AsciiLower(Y); });
}

// The name of the driver bound to a tty's device; empty when there is none (virtual consoles,
// pseudo-terminals and the like have no device at all).
std::string DriverName(const fs::path &Entry) {
    std::error_code Error;
    const fs::path Driver = Entry / "device" / "driver";
    if (!fs::exists(Driver, Error))
        return {};
    const fs::path Target = fs::canonical(Driver, Error);
    return Error ? std::string("?") : Target.filename().string();
}

// The UART type that the serial core publishes; an unreadable one counts as unknown (0).
bool HasKnownUartType(const fs::path &Entry) {
    std::ifstream File(Entry / "type");
    long Type = 0;
    return static_cast<bool>(File >> Type) && Type != 0;
}

bool IsPresentPort(const fs::path &Entry) {
    const std::string Driver = DriverName(Entry);
    if (Driver.empty())
        return false;
    return Driver != "serial8250" || HasKnownUartType(Entry);
}

// sysfs spells a '/' in a device name as '!' (a tty under a subfolder of /dev).
std::string PortNameOfEntry(std::string Name) {
    std::replace(Name.begin(), Name.end(), '!', '/');
    return Name;
}

std::string PortNameOfPath(std::string_view Path) {
    constexpr std::string_view Dev = "/dev/";
    if (Path.size() > Dev.size() && Path.starts_with(Dev))
        Path.remove_prefix(Dev.size());
    return std::string(Path);
}

bool IsSeparator(char C) {
    return C == ':' || C == ';' || C == ' ' || C == '\t' || C == '\n';
}

// The length of a "scheme://HOST:PORT" or "scheme://HOST[:PORT]/PATH" entry at the start of Rest
// ("[v6]" hosts too), else 0.
std::size_t NetworkEntryLength(std::string_view Rest) {
    const auto scheme = Rest.find("://");
    if (scheme == 0 || scheme == std::string_view::npos ||
        !std::all_of(Rest.begin(), Rest.begin() + scheme,
                     [](char C) { return std::isalnum(static_cast<unsigned char>(C)); }))
        return 0;
    std::size_t at = scheme + 3;
    if (at < Rest.size() && Rest[at] == '[') {
        const auto close = Rest.find(']', at);
        if (close == std::string_view::npos)
            return 0;
        at = close + 1;
    } else {
        while (at < Rest.size() && !IsSeparator(Rest[at]) && Rest[at] != '/')
            ++at;
    }
    const std::size_t host = at;
    if (at < Rest.size() && Rest[at] == ':') {
        ++at;
        while (at < Rest.size() && std::isdigit(static_cast<unsigned char>(Rest[at])))
            ++at;
    }
    if (at < Rest.size() && Rest[at] == '/') // an mqtt:// board
        while (at < Rest.size() && !IsSeparator(Rest[at]))
            ++at;
    return at == host ? 0 : at;
}

// Entries are separated by colons, semicolons or white space; a colon inside a network entry
// ("tcp://HOST:PORT", "mqtt://HOST:PORT/BOARD") belongs to it.
void AddExtraPorts(std::vector<std::string> &Names) {
    const char *Extra = std::getenv("EXTRA_SERIAL_PORTS");
    std::string_view Rest = Extra ? Extra : "";
    while (!Rest.empty()) {
        std::size_t length = NetworkEntryLength(Rest);
        if (length == 0)
            length = std::min(
                Rest.size(),
                static_cast<std::size_t>(std::find_if(Rest.begin(), Rest.end(), IsSeparator) - Rest.begin()));
        const std::string_view Item = Rest.substr(0, length);
        Rest.remove_prefix(std::min(Rest.size(), length + 1));
        if (!Item.empty())
            Names.push_back(PortNameOfPath(Item));
    }
}

// The tty class entry of a port name: the device it leads to, relative to DevRoot, in sysfs's
// spelling. Empty when it leads nowhere or outside DevRoot.
std::string TtyEntryOfPort(const std::string &Port, const fs::path &DevRoot) {
    std::error_code Error;
    const fs::path Device =
        fs::canonical(!Port.empty() && Port.front() == '/' ? fs::path(Port) : DevRoot / Port, Error);
    const fs::path Root = Error ? fs::path() : fs::canonical(DevRoot, Error);
    if (Error)
        return {};
    std::string Entry = Device.lexically_relative(Root).string();
    if (Entry.empty() || Entry.starts_with(".."))
        return {};
    std::replace(Entry.begin(), Entry.end(), '/', '!');
    return Entry;
}

// The stable names of the listed ttys. A missing by-id folder is the usual case: no adapter.
void AddStableNames(std::vector<std::string> &Names, const std::vector<std::string> &Entries,
                    const fs::path &DevRoot) {
    std::error_code Error;
    fs::directory_iterator It(DevRoot / "serial" / "by-id", Error);
    for (; !Error && It != fs::directory_iterator(); It.increment(Error)) {
        const std::string Name = "serial/by-id/" + It->path().filename().string();
        const std::string Entry = TtyEntryOfPort(Name, DevRoot);
        if (!Entry.empty() && std::find(Entries.begin(), Entries.end(), Entry) != Entries.end())
            Names.push_back(Name);
    }
}

std::string FirstLineOf(const fs::path &File) {
    std::ifstream In(File);
    std::string Line;
    std::getline(In, Line);
    return Line;
}

} // namespace

void ListComPorts(std::vector<std::string> &Ports, const fs::path &SysfsRoot, const fs::path &DevRoot) {
    std::vector<std::string> Names, Entries;
    std::error_code Error;
    fs::directory_iterator It(SysfsRoot / "class" / "tty", Error);
    for (; !Error && It != fs::directory_iterator(); It.increment(Error))
        if (IsPresentPort(It->path()))
            Entries.push_back(It->path().filename().string());
    if (Error)
        throw EComPort(peRegistry, Error.value());
    for (const std::string &Entry : Entries)
        Names.push_back(PortNameOfEntry(Entry));
    AddStableNames(Names, Entries, DevRoot);
    AddExtraPorts(Names);
    std::sort(Names.begin(), Names.end(), LessIgnoringCase);
    Ports = std::move(Names);
}

std::string UsbDeviceDescription(const std::string &Port, const fs::path &SysfsRoot,
                                 const fs::path &DevRoot) {
    const std::string Entry = TtyEntryOfPort(Port, DevRoot);
    std::error_code Error;
    const fs::path Root = fs::canonical(SysfsRoot, Error);
    fs::path Device =
        Entry.empty() || Error ? fs::path() : fs::canonical(Root / "class" / "tty" / Entry / "device", Error);
    if (Error)
        return {};
    // The interface that the tty hangs from sits below the USB device, which has the descriptors.
    for (; !Device.empty() && Device != Root && Device != Device.root_path(); Device = Device.parent_path()) {
        if (!fs::exists(Device / "idVendor", Error))
            continue;
        std::string Text = FirstLineOf(Device / "manufacturer");
        const std::string Product = FirstLineOf(Device / "product"), Serial = FirstLineOf(Device / "serial");
        if (!Product.empty())
            Text += (Text.empty() ? "" : " ") + Product;
        if (!Serial.empty())
            Text += (Text.empty() ? "(" : " (") + Serial + ")";
        return Text;
    }
    return {};
}
