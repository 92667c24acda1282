// relaymqtt: one relay board on an MQTT broker, with Home Assistant's discovery, so that its relays,
// alarm, inputs and report modes appear there by themselves. The options and the configuration file
// are read here; the bridge itself is tools/mqtt/MqttBridge.h.
#include "CtlCommon.h"

#include "relay/PlatformHooks.h"
#include "serial/forms/ComStorage.h"
#include "serial/port/ComPort.h"
#include "tools/mqtt/MqttBridge.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

namespace {

using mqtt::TBridgeOptions;

const char *const Synopsis =
    "Usage: relaymqtt [--port NAME] --broker HOST[:PORT] [--board ID] [--relays 1-6] [--poll SECONDS]\n"
    "                 [--discovery-prefix PREFIX] [--username NAME --password-file FILE] [--cafile FILE]\n"
    "                 [--config FILE]\n";

const char *const UsageText =
    "\n"
    "Puts the relay board on an MQTT broker with Home Assistant discovery. Every console line the\n"
    "panel would show goes to standard output and, as JSON, to dudovuz/ID/console.\n"
    "\n"
    "  --port NAME              the board's port; default: the panel's remembered port\n"
    "  --broker HOST[:PORT]     the broker; port 1883, or 8883 with --cafile\n"
    "  --board ID               the board's id in topics ([A-Za-z0-9_-]); default: from the port's name\n"
    "  --relays N               relays offered (1-6, default 3)\n"
    "  --poll SECONDS           ask the board for its inputs this often (default 10, 0 never)\n"
    "  --discovery-prefix P     Home Assistant's discovery prefix (default homeassistant)\n"
    "  --username NAME          user name at the broker\n"
    "  --password-file FILE     the password, the first line of FILE\n"
    "  --cafile FILE            TLS, trusting the certificate authority in FILE\n"
    "  --config FILE            the same keys (without \"--\") in section [relaymqtt] of an ini file;\n"
    "                           the command line wins\n"
    "  --help                   this text\n"
    "\n"
    "A board that goes away is waited for and opened again, as the panel does.\n"
    "\n"
    "Exit status: 0 ended by SIGINT or SIGTERM, 2 the board's port could not be opened at start,\n"
    "3 usage, 4 the broker refused the connection (credentials, TLS).\n";

const char *const Keys[] = {"port",     "broker",        "board", "relays", "poll", "discovery-prefix",
                            "username", "password-file", "cafile"};

class EUsage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using TValues = std::map<std::string, std::string>;

int ParseInt(const std::string &Name, const std::string &Text, int Low, int High) {
    int Value = 0;
    const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    if (Text.empty() || Error != std::errc() || End != Text.data() + Text.size() || Value < Low ||
        Value > High)
        throw EUsage("--" + Name + " needs a whole number from " + std::to_string(Low) + " to " +
                     std::to_string(High) + ", not \"" + Text + "\"");
    return Value;
}

// The command line's values by key; "help" when asked for.
TValues ParseCommandLine(int argc, char **argv) {
    TValues Values;
    for (int I = 1; I < argc; ++I) {
        std::string Arg = argv[I];
        if (Arg == "--help") {
            Values["help"] = "1";
            continue;
        }
        if (!Arg.starts_with("--"))
            throw EUsage("unexpected argument " + Arg);
        std::string Name = Arg.substr(2), Value;
        if (const auto Equals = Name.find('='); Equals != std::string::npos) {
            Value = Name.substr(Equals + 1);
            Name.erase(Equals);
        } else if (I + 1 < argc) {
            Value = argv[++I];
        } else {
            throw EUsage(Arg + " needs a value");
        }
        if (Name == "password")
            throw EUsage("a password is never taken on the command line: use --password-file");
        if (Name != "config" && std::find(std::begin(Keys), std::end(Keys), Name) == std::end(Keys))
            throw EUsage("unknown option --" + Name);
        Values[Name] = Value;
    }
    return Values;
}

// The configuration file's values under the command line's.
void AddConfigFile(TValues &Values) {
    const auto Config = Values.find("config");
    if (Config == Values.end())
        return;
    std::error_code Error;
    if (!std::filesystem::is_regular_file(Config->second, Error))
        throw EUsage("--config " + Config->second + ": no such file");
    TIniFile Ini;
    try {
        Ini.LoadFromFile(Config->second);
    } catch (const EIniFileError &Failure) {
        throw EUsage("--config " + Config->second + ": " + Failure.what());
    }
    for (const char *Key : Keys)
        if (!Values.contains(Key) && Ini.ValueExists("relaymqtt", Key))
            Values[Key] = Ini.ReadString("relaymqtt", Key, "");
}

std::string ReadPassword(const std::string &Path) {
    std::ifstream File(Path);
    std::string Line;
    if (!File || !std::getline(File, Line))
        throw EUsage("--password-file " + Path + ": cannot be read");
    if (!Line.empty() && Line.back() == '\r')
        Line.pop_back();
    return Line;
}

// HOST, HOST:PORT, [IPV6] or [IPV6]:PORT.
void ParseBroker(const std::string &Text, mqtt::TMqttClient::TSettings &Broker) {
    std::string Host = Text, Port;
    if (Text.starts_with("[")) {
        const auto Close = Text.find(']');
        if (Close == std::string::npos || (Close + 1 < Text.size() && Text[Close + 1] != ':'))
            throw EUsage("--broker: bad address \"" + Text + "\"");
        Host = Text.substr(1, Close - 1);
        Port = Close + 1 < Text.size() ? Text.substr(Close + 2) : "";
    } else if (const auto Colon = Text.rfind(':'); Colon != std::string::npos) {
        Host = Text.substr(0, Colon);
        Port = Text.substr(Colon + 1);
    }
    if (Host.empty())
        throw EUsage("--broker needs a host");
    Broker.Host = Host;
    if (!Port.empty())
        Broker.Port = ParseInt("broker", Port, 1, 65535);
}

TBridgeOptions MakeOptions(TValues &Values, TCustomComPort &PanelPort) {
    TBridgeOptions Options;
    Options.Identity.Version = DUD_VERSION;
    if (Values.contains("port"))
        Options.Port = Values["port"];
    else if (const auto Remembered = LoadRememberedSettings(PanelPort, "relaymqtt"))
        Options.Port = *Remembered;
    else
        throw EUsage("no port remembered by the panel: name one with --port NAME");
    if (!Values.contains("broker"))
        throw EUsage("--broker is required");
    Options.Broker.CaFile = Values["cafile"];
    Options.Broker.Port = Options.Broker.CaFile.empty() ? 1883 : 8883;
    ParseBroker(Values["broker"], Options.Broker);
    Options.Identity.Board = Values.contains("board") ? Values["board"] : mqtt::BoardIdFromPort(Options.Port);
    if (!mqtt::IsValidId(Options.Identity.Board))
        throw EUsage("--board needs letters, digits, \"_\" or \"-\", not \"" + Options.Identity.Board + "\"");
    if (Values.contains("relays"))
        Options.Identity.Relays = ParseInt("relays", Values["relays"], 1, mqtt::MaxRelays);
    if (Values.contains("poll"))
        Options.Poll = std::chrono::seconds(ParseInt("poll", Values["poll"], 0, 86400));
    if (Values.contains("discovery-prefix"))
        Options.Identity.Prefix = Values["discovery-prefix"];
    if (Options.Identity.Prefix.empty() || Options.Identity.Prefix.find_first_of("#+") != std::string::npos)
        throw EUsage("--discovery-prefix needs a topic without wildcards");
    Options.Broker.Username = Values["username"];
    if (Values.contains("password-file")) {
        if (Options.Broker.Username.empty())
            throw EUsage("--password-file needs --username");
        Options.Broker.Password = ReadPassword(Values["password-file"]);
    }
    Options.Broker.ClientId = "relaymqtt-" + Options.Identity.Board;
    return Options;
}

} // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    SetBeepHook([] {});
    try {
        TSignalFd Signals; // before any thread starts, so that every thread inherits the mask
        TValues Values = ParseCommandLine(argc, argv);
        if (Values.contains("help")) {
            std::fputs(Synopsis, stdout);
            std::fputs(UsageText, stdout);
            return 0;
        }
        AddConfigFile(Values);
        TComPort PanelPort; // only to read the panel's settings
        const TBridgeOptions Options = MakeOptions(Values, PanelPort);
        // Standard output is a log: a line at a time, also into a pipe.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        mqtt::TMosquittoLibrary Library;
        mqtt::TBridge Bridge(Options, Signals.Fd());
        return Bridge.Run();
    } catch (const EUsage &Error) {
        std::fprintf(stderr, "relaymqtt: %s\n%sTry 'relaymqtt --help' for more.\n", Error.what(), Synopsis);
        return mqtt::bxUsage;
    } catch (const std::exception &Error) {
        std::fprintf(stderr, "relaymqtt: %s\n", Error.what());
        return mqtt::bxBoard;
    }
}
