// Text forms of the port settings: the exact tables, and the parsing cases that a sloppy
// comparison (trimming, locale case folding, prefix matches, lax number parsing) would get wrong.
#include "serial/ComText.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

struct TTable {
    const char *Type;
    std::vector<std::string> Texts; // in ordinal order
    std::function<std::string(int)> ToText;
    std::function<int(std::string_view)> FromText;
};

template <typename E> std::function<std::string(int)> Out(std::string (*F)(E)) {
    return [F](int V) { return F(static_cast<E>(V)); };
}
template <typename E> std::function<int(std::string_view)> In(E (*F)(std::string_view)) {
    return [F](std::string_view T) { return static_cast<int>(F(T)); };
}

const std::vector<TTable> &Tables() {
    static const std::vector<TTable> T = {
        {"TBaudRate",
         {"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000",
          "57600", "115200", "128000", "256000"},
         Out(BaudRateToText),
         In(TextToBaudRate)},
        {"TStopBits", {"1", "1.5", "2"}, Out(StopBitsToText), In(TextToStopBits)},
        {"TDataBits", {"5", "6", "7", "8"}, Out(DataBitsToText), In(TextToDataBits)},
        {"TParityBits", {"None", "Odd", "Even", "Mark", "Space"}, Out(ParityToText), In(TextToParity)},
        {"TFlowControl",
         {"Hardware", "Software", "None", "Custom"},
         Out(FlowControlToText),
         In(TextToFlowControl)},
        {"TDTRFlowControl", {"Disable", "Enable", "Handshake"}, Out(DTRToText), In(TextToDTR)},
        {"TRTSFlowControl", {"Disable", "Enable", "Handshake", "Toggle"}, Out(RTSToText), In(TextToRTS)},
    };
    return T;
}

TEST(SettingsText, EveryTableValueHasItsTextAndParsesBack) {
    for (const TTable &Table : Tables())
        for (int V = 0; V < static_cast<int>(Table.Texts.size()); ++V) {
            SCOPED_TRACE(std::string(Table.Type) + " " + std::to_string(V));
            EXPECT_EQ(Table.ToText(V), Table.Texts[V]);
            EXPECT_EQ(Table.FromText(Table.Texts[V]), V);
        }
    EXPECT_EQ(BoolToText(true), "Yes");
    EXPECT_EQ(BoolToText(false), "No");
    EXPECT_TRUE(TextToBool(BoolToText(true)));
    EXPECT_FALSE(TextToBool(BoolToText(false)));
}

TEST(SettingsText, ParsingFoldsAsciiCaseOnlyAndFallsBack) {
    EXPECT_EQ(TextToFlowControl("hardware"), fcHardware);
    EXPECT_EQ(TextToFlowControl("SOFTWARE"), fcSoftware);
    EXPECT_EQ(TextToRTS("toggle"), rtsToggle);
    EXPECT_EQ(TextToDTR("Toggle"), dtrDisable); // a word of the other table
    EXPECT_EQ(TextToParity("sPaCe"), prSpace);
    EXPECT_EQ(TextToBaudRate("custom"), brCustom);

    // No trimming, no number parsing, no prefix matches, no locale folding.
    EXPECT_EQ(TextToBaudRate(" 115200"), br9600);
    EXPECT_EQ(TextToBaudRate("115200 "), br9600);
    EXPECT_EQ(TextToBaudRate("0115200"), br9600);
    EXPECT_EQ(TextToBaudRate("11"), br9600);
    EXPECT_EQ(TextToBaudRate(""), br9600);
    EXPECT_EQ(TextToStopBits("1,5"), sbOneStopBit);
    EXPECT_EQ(TextToStopBits("2.0"), sbOneStopBit);
    EXPECT_EQ(TextToDataBits("9"), dbEight);
    EXPECT_EQ(TextToParity("Evenx"), prNone);
    EXPECT_EQ(TextToFlowControl(std::string("None\0", 5)), fcCustom);
}

TEST(SettingsText, OnlyYesIsTrue) {
    for (const char *Yes : {"YES", "Yes", "yes", "yEs"})
        EXPECT_TRUE(TextToBool(Yes)) << Yes;
    for (const char *No : {"Y", "True", "true", "1", "", " yes", "yes ", "No", "yess"})
        EXPECT_FALSE(TextToBool(No)) << '"' << No << '"';
}

TEST(SettingsText, CharacterTexts) {
    struct {
        int Code;
        std::string Text;
    } const Out[] = {{0, "#0"}, {17, "#17"},   {32, "#32"},   {33, "!"},
                     {65, "A"}, {127, "\x7F"}, {128, "#128"}, {255, "#255"}};
    for (const auto &C : Out)
        EXPECT_EQ(CharToText(static_cast<char>(C.Code)), C.Text) << C.Code;

    struct {
        std::string Text;
        int Code;
    } const In[] = {
        {"", 0},
        {"#17", 17},
        {"#300", 44},
        {"#-1", 255},
        {"#+65", 65},
        {"#0", 0},
        {"#1x", 0},
        {"# 1", 0},
        {"#1 ", 0},
        {"#-", 0},
        {"#+", 0},
        {"#+-1", 0},
        {"#0x41", 0},
        {"#2147483647", 255},
        {"#2147483648", 0},
        {"#-2147483648", 0},
        {"#99999999999", 0},
        {"#", '#'},
        {"abc", 'a'},
        {"##", 0},
        {" #17", ' '},
        {"\xE9", 0xE9},
    };
    for (const auto &C : In)
        EXPECT_EQ(static_cast<unsigned char>(TextToChar(C.Text)), C.Code) << '"' << C.Text << '"';

    for (int Code = 0; Code < 256; ++Code)
        EXPECT_EQ(static_cast<unsigned char>(TextToChar(CharToText(static_cast<char>(Code)))), Code) << Code;
}

} // namespace
