// The panel's command line, read into what main needs.
#include "PanelOptions.h"

namespace {

const char *const Synopsis = "Usage: dudovuz [--port NAME] [--settings FILE] [--help] [--version]\n";

const char *const HelpText =
    "\n"
    "The control panel of the DUD Ovuz relay board on a serial line.\n"
    "\n"
    "  --port NAME      the port for this run (ttyUSB0, /dev/pts/3, tcp://HOST:PORT,\n"
    "                   rfc2217://HOST:PORT, mqtt://HOST[:PORT]/BOARD); \"Otevřít port\"\n"
    "                   opens it\n"
    "  --settings FILE  the settings file this window loads and saves (default:\n"
    "                   $XDG_CONFIG_HOME/dudovuz/panel.ini); one file per board lets each\n"
    "                   window keep its own port\n"
    "  --help           this text\n"
    "  --version        the program's version\n"
    "\n"
    "Qt's own options (-platform, -style ...) are taken as well. 'man dudovuz' says more.\n";

TPanelOptions Refuse(const std::string &Why) {
    TPanelOptions Options;
    Options.Action = TPanelOptions::paRefuse;
    Options.Text = "dudovuz: " + Why + "\n" + Synopsis + "Try 'dudovuz --help' for more.\n";
    Options.ExitCode = PanelUsageExitCode;
    return Options;
}

TPanelOptions Print(std::string Text) {
    TPanelOptions Options;
    Options.Action = TPanelOptions::paPrint;
    Options.Text = std::move(Text);
    return Options;
}

} // namespace

TPanelOptions ParsePanelOptions(const std::vector<std::string> &Arguments) {
    TPanelOptions Options;
    for (std::size_t I = 0; I < Arguments.size(); ++I) {
        const std::string &Arg = Arguments[I];
        if (Arg == "--help")
            return Print(std::string(Synopsis) + HelpText);
        if (Arg == "--version")
            return Print("dudovuz " DUD_VERSION "\n");
        // "--port NAME" or "--port=NAME", and the same for --settings.
        const auto Equals = Arg.find('=');
        const std::string Name = Arg.substr(0, Equals);
        if (Name != "--port" && Name != "--settings")
            return Refuse(Arg.starts_with("-") ? "unknown option " + Arg
                                               : "unexpected argument \"" + Arg + "\"");
        if (Equals == std::string::npos && I + 1 >= Arguments.size())
            return Refuse(Name + " needs a value");
        const std::string Value = Equals == std::string::npos ? Arguments[++I] : Arg.substr(Equals + 1);
        const bool IsPort = Name == "--port";
        if (IsPort ? Options.Port.has_value() : Options.Settings.has_value())
            return Refuse(Name + " given twice");
        if (Value.empty())
            return Refuse(IsPort ? "--port needs a port name" : "--settings needs a file name");
        if (IsPort)
            Options.Port = Value;
        else
            Options.Settings = std::filesystem::path(Value);
    }
    return Options;
}
