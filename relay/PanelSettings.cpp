// The panel's settings file: where it lives, and loading it only when all of it makes sense.
#include "relay/PanelSettings.h"

#include "serial/forms/ComStorage.h"
#include "serial/forms/ComText.h"
#include "serial/port/ComPort.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string_view Trim(std::string_view S) {
    const auto First = S.find_first_not_of(" \t");
    if (First == std::string_view::npos)
        return {};
    return S.substr(First, S.find_last_not_of(" \t") - First + 1);
}

// A line that the initialisation file format has a meaning for: blank, comment, section header
// or an entry with a key.
bool WellFormedLine(std::string_view Line) {
    Line = Trim(Line);
    if (Line.empty() || Line.front() == ';' || Line.front() == '#')
        return true;
    if (Line.front() == '[')
        return Line.find(']') != std::string_view::npos;
    const auto Equals = Line.find('=');
    return Equals != std::string_view::npos && !Trim(Line.substr(0, Equals)).empty();
}

// The number of the first line that is not well formed, 0 when every line is.
std::size_t FirstBadLine(std::string_view Text) {
    if (Text.starts_with("\xEF\xBB\xBF"))
        Text.remove_prefix(3); // the byte order mark that the reader keeps
    for (std::size_t Number = 1; !Text.empty(); ++Number) {
        const auto End = Text.find('\n');
        std::string_view Line = Text.substr(0, End);
        if (!Line.empty() && Line.back() == '\r')
            Line.remove_suffix(1);
        // A NUL or a carriage return inside a line could not be written back.
        if (Line.find_first_of(std::string_view("\0\r", 2)) != std::string_view::npos ||
            !WellFormedLine(Line))
            return Number;
        Text = End == std::string_view::npos ? std::string_view() : Text.substr(End + 1);
    }
    return 0;
}

// A text that its setting's text form knows: parsing would otherwise quietly turn it into the
// fall-back value (9600 baud for a typing error).
template <typename TParse, typename TPrint> bool Known(const std::string &Text, TParse Parse, TPrint Print) {
    return SameAsciiText(Print(Parse(Text)), Text);
}

// The first key of the port's section whose value the settings do not know; empty when none.
std::string FirstUnknownValue(const TIniFile &Ini, const std::string &Section) {
    for (const std::string &Key : Ini.ReadSection(Section)) {
        const std::string Value = Ini.ReadString(Section, Key, "");
        bool Ok = true;
        if (SameAsciiText(Key, "BaudRate"))
            Ok = Known(Value, TextToBaudRate, BaudRateToText);
        else if (SameAsciiText(Key, "StopBits"))
            Ok = Known(Value, TextToStopBits, StopBitsToText);
        else if (SameAsciiText(Key, "DataBits"))
            Ok = Known(Value, TextToDataBits, DataBitsToText);
        else if (SameAsciiText(Key, "Parity"))
            Ok = Known(Value, TextToParity, ParityToText);
        else if (SameAsciiText(Key, "FlowControl"))
            Ok = Known(Value, TextToFlowControl, FlowControlToText);
        else if (SameAsciiText(Key, "CustomBaudRate"))
            Ok = Ini.ReadInteger(Section, Key, 0) == Ini.ReadInteger(Section, Key, 1);
        if (!Ok)
            return Key + "=" + Value;
    }
    return {};
}

} // namespace

bool ReopenablePortName(const std::string &Port) {
    return !Port.empty() && !Port.starts_with("pts/") && !Port.starts_with("/dev/pts/");
}

void ApplyPanelPortDefaults(TCustomComPort &Port) {
    Port.SetName("ComPort");
    Port.SetBaudRate(br4800);
    Port.Parity().SetBits(prNone);
    Port.SetStopBits(sbOneStopBit);
    Port.SetDataBits(dbEight);
    Port.SetDiscardNull(true);
    Port.FlowControl().SetOutCTSFlow(false);
    Port.FlowControl().SetOutDSRFlow(false);
    Port.FlowControl().SetControlDTR(dtrEnable);
    Port.FlowControl().SetControlRTS(rtsDisable);
    Port.FlowControl().SetXonXoffOut(false);
    Port.FlowControl().SetXonXoffIn(false);
}

fs::path PanelSettingsPath() {
    const fs::path Folder = SettingsFolder();
    return Folder.empty() ? Folder : Folder / "panel.ini";
}

TSettingsLoad LoadPortSettings(TCustomComPort &Port, const fs::path &File) {
    std::error_code Error;
    if (!fs::exists(File, Error) && !Error)
        return {soMissing, {}, false};
    TIniFile Ini;
    try {
        Ini.LoadFromFile(File);
    } catch (const EIniFileError &E) {
        return {soUnreadable, E.what(), false};
    }
    if (const std::size_t Bad = FirstBadLine(Ini.Text()))
        return {soMalformed, "line " + std::to_string(Bad), false};
    if (std::string Unknown = FirstUnknownValue(Ini, Port.Name()); !Unknown.empty())
        return {soMalformed, Unknown, false};
    try {
        Port.LoadFromIniFile(Ini);
    } catch (const std::exception &E) {
        return {soUnreadable, E.what(), false};
    }
    return {soLoaded, {}, Ini.ValueExists(Port.Name(), "Port") && ReopenablePortName(Port.Port())};
}

std::string SavePortSettings(TCustomComPort &Port, const fs::path &File) {
    try {
        std::error_code Error;
        fs::create_directories(File.parent_path(), Error);
        if (Error)
            return "Cannot create folder \"" + File.parent_path().string() + "\": " + Error.message();
        // Whatever else the file holds stays; an unreadable file is not overwritten blindly.
        TIniFile Ini;
        Ini.LoadFromFile(File);
        Port.SaveToIniFile(Ini);
        Ini.SaveToFile(File);
        return {};
    } catch (const std::exception &E) {
        return E.what();
    }
}
