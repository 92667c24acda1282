// The text tables of the port settings and their parsing.
#include "serial/forms/ComText.h"

#include <array>
#include <charconv>
#include <cstdint>

namespace {

constexpr std::array<std::string_view, 16> BaudRateTexts = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<std::string_view, 3> StopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<std::string_view, 4> DataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<std::string_view, 5> ParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<std::string_view, 4> FlowControlTexts = {"Hardware", "Software", "None", "Custom"};
constexpr std::array<std::string_view, 3> DTRTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<std::string_view, 4> RTSTexts = {"Disable", "Enable", "Handshake", "Toggle"};

char AsciiUpper(char C) {
    return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 'a' + 'A') : C;
}

// An ordinal out of range cannot come from a well-typed caller, but a value cast from a stored byte
// can; it gets an empty text rather than a read past the table.
template <std::size_t N> std::string ToText(const std::array<std::string_view, N> &Table, unsigned Ordinal) {
    return Ordinal < N ? std::string(Table[Ordinal]) : std::string();
}

template <typename E, std::size_t N>
E FromText(const std::array<std::string_view, N> &Table, std::string_view Text, E Fallback) {
    for (std::size_t i = 0; i < N; ++i)
        if (SameAsciiText(Table[i], Text))
            return static_cast<E>(i);
    return Fallback;
}

} // namespace

bool SameAsciiText(std::string_view A, std::string_view B) {
    if (A.size() != B.size())
        return false;
    for (std::size_t i = 0; i < A.size(); ++i)
        if (AsciiUpper(A[i]) != AsciiUpper(B[i]))
            return false;
    return true;
}

std::string BaudRateToText(TBaudRate Value) {
    return ToText(BaudRateTexts, Value);
}
std::string StopBitsToText(TStopBits Value) {
    return ToText(StopBitsTexts, Value);
}
std::string DataBitsToText(TDataBits Value) {
    return ToText(DataBitsTexts, Value);
}
std::string ParityToText(TParityBits Value) {
    return ToText(ParityTexts, Value);
}
std::string FlowControlToText(TFlowControl Value) {
    return ToText(FlowControlTexts, Value);
}
std::string DTRToText(TDTRFlowControl Value) {
    return ToText(DTRTexts, Value);
}
std::string RTSToText(TRTSFlowControl Value) {
    return ToText(RTSTexts, Value);
}
std::string BoolToText(bool Value) {
    return Value ? "Yes" : "No";
}

TBaudRate TextToBaudRate(std::string_view Text) {
    return FromText(BaudRateTexts, Text, br9600);
}
TStopBits TextToStopBits(std::string_view Text) {
    return FromText(StopBitsTexts, Text, sbOneStopBit);
}
TDataBits TextToDataBits(std::string_view Text) {
    return FromText(DataBitsTexts, Text, dbEight);
}
TParityBits TextToParity(std::string_view Text) {
    return FromText(ParityTexts, Text, prNone);
}
TFlowControl TextToFlowControl(std::string_view Text) {
    return FromText(FlowControlTexts, Text, fcCustom);
}
TDTRFlowControl TextToDTR(std::string_view Text) {
    return FromText(DTRTexts, Text, dtrDisable);
}
TRTSFlowControl TextToRTS(std::string_view Text) {
    return FromText(RTSTexts, Text, rtsDisable);
}
bool TextToBool(std::string_view Text) {
    return SameAsciiText(Text, "YES");
}

std::string CharToText(char Value) {
    const auto Code = static_cast<unsigned char>(Value);
    if (Code >= 33 && Code <= 127)
        return std::string(1, Value);
    return "#" + std::to_string(Code);
}

char TextToChar(std::string_view Text) {
    if (Text.empty())
        return 0;
    if (Text.front() != '#' || Text.size() < 2)
        return Text.front();
    std::string_view Number = Text.substr(1);
    // from_chars takes a minus but not a plus; a plus followed by another sign is not a number.
    if (Number.front() == '+') {
        Number.remove_prefix(1);
        if (Number.empty() || Number.front() == '-')
            return 0;
    }
    std::int32_t Value = 0;
    auto [End, Err] = std::from_chars(Number.data(), Number.data() + Number.size(), Value);
    if (Err != std::errc() || End != Number.data() + Number.size())
        return 0;
    return static_cast<char>(static_cast<std::uint32_t>(Value) & 0xFFu);
}
