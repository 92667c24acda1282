// The ports a settings file has been opened with.
#include "relay/PortHistory.h"

#include "relay/PanelSettings.h"
#include "serial/forms/ComStorage.h"

#include <algorithm>
#include <exception>

namespace {

const char *const Section = "RecentPorts";

std::string Key(std::size_t Index) {
    return "Port" + std::to_string(Index + 1);
}

std::vector<std::string> ReadList(const TIniFile &Ini) {
    std::vector<std::string> Ports;
    for (std::size_t Index = 0; Index < MaxRecentPorts; ++Index) {
        std::string Port = Ini.ReadString(Section, Key(Index), "");
        if (!Port.empty() && std::find(Ports.begin(), Ports.end(), Port) == Ports.end())
            Ports.push_back(std::move(Port));
    }
    return Ports;
}

void AddOnce(std::vector<std::string> &Ports, const std::string &Port) {
    if (!Port.empty() && std::find(Ports.begin(), Ports.end(), Port) == Ports.end())
        Ports.push_back(Port);
}

} // namespace

std::vector<std::string> RecentPorts(const std::filesystem::path &File) {
    TIniFile Ini;
    try {
        Ini.LoadFromFile(File);
    } catch (const std::exception &) {
        return {}; // the settings' own loading says what is wrong with the file
    }
    return ReadList(Ini);
}

std::string RememberOpenedPort(const std::string &Port, const std::filesystem::path &File) {
    if (!ReopenablePortName(Port) || File.empty())
        return {};
    try {
        TIniFile Ini;
        Ini.LoadFromFile(File);
        std::vector<std::string> Ports = ReadList(Ini);
        if (!Ports.empty() && Ports.front() == Port)
            return {};
        std::erase(Ports, Port);
        Ports.insert(Ports.begin(), Port);
        Ports.resize(std::min(Ports.size(), MaxRecentPorts));
        for (std::size_t Index = 0; Index < Ports.size(); ++Index)
            Ini.WriteString(Section, Key(Index), Ports[Index]);
        std::filesystem::create_directories(File.parent_path());
        Ini.SaveToFile(File);
        return {};
    } catch (const std::exception &E) {
        return E.what();
    }
}

std::vector<std::string> OfferedPorts(const std::string &First, const std::filesystem::path &File) {
    std::vector<std::string> Ports;
    AddOnce(Ports, First);
    if (File.empty())
        return Ports; // a window without a settings file
    TIniFile Ini;
    try {
        Ini.LoadFromFile(File);
    } catch (const std::exception &) {
        return Ports;
    }
    if (std::string Remembered = Ini.ReadString("ComPort", "Port", ""); ReopenablePortName(Remembered))
        AddOnce(Ports, Remembered);
    for (const std::string &Port : ReadList(Ini))
        AddOnce(Ports, Port);
    return Ports;
}
