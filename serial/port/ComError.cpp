// The port error texts and the composition of EComPort messages.
#include "serial/port/ComError.h"

#include "i18n/gnugettext.h"

const std::array<const char *, PortErrorCount + 1> PortErrorTexts = {
    "",
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

namespace {
std::array<std::string, PortErrorCount + 1> EnglishMessages() {
    std::array<std::string, PortErrorCount + 1> Result;
    for (std::size_t i = 0; i < Result.size(); ++i)
        Result[i] = PortErrorTexts[i];
    return Result;
}
} // namespace

std::array<std::string, PortErrorCount + 1> PortErrorMessages = EnglishMessages();

void LoadPortErrorMessages() {
    AddResourceTextDomain("cport");
    for (std::int32_t n = 1; n <= PortErrorCount; ++n)
        PortErrorMessages[n] = TranslateText(PortErrorTexts[n]);
}

std::string ComposePortErrorMessage(std::int32_t ErrorNumber, std::int32_t SystemErrorNumber) {
    // A number outside the table has no text of its own; say which number it was rather than fail.
    std::string Message = ErrorNumber >= 1 && ErrorNumber <= PortErrorCount
                              ? PortErrorMessages[ErrorNumber]
                              : "Port error " + std::to_string(ErrorNumber);
    if (SystemErrorNumber == -1)
        return Message;
    // Translated at each error, so a language chosen after start-up still applies.
    std::string Suffix = TranslateText(" (win error code: %d)");
    const auto At = Suffix.find("%d");
    if (At != std::string::npos)
        Suffix.replace(At, 2, std::to_string(SystemErrorNumber));
    return Message + Suffix;
}

EComPort::EComPort(std::int32_t ErrorNumber) : EComPort(ErrorNumber, -1) {}

EComPort::EComPort(std::int32_t ErrorNumber, std::int32_t SystemErrorNumber)
    : std::runtime_error(ComposePortErrorMessage(ErrorNumber, SystemErrorNumber)),
      FSystemErrorNumber(SystemErrorNumber),
      FErrorNumber(ErrorNumber) {}
