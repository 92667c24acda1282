// Text forms of the port settings: the exact tables, and the parsing cases that a sloppy
// comparison (trimming, locale case folding, prefix matches, lax number parsing) would get wrong.
#include "serial/forms/ComText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The texts of every value joined by commas, checking on the way that each parses back to its value.
template <typename E>
std::string Texts(std::string (*ToText)(E), E (*FromText)(std::string_view), int Count) {
    std::string Joined;
    for (int V = 0; V < Count; ++V) {
        const std::string Text = ToText(static_cast<E>(V));
        EXPECT_EQ(FromText(Text), static_cast<E>(V)) << Text;
        Joined += (V ? "," : "") + Text;
    }
    return Joined;
}

TEST(SettingsText, EveryTableValueHasItsTextAndParsesBack) {
    EXPECT_EQ(Texts(BaudRateToText, TextToBaudRate, 16),
              "Custom,110,300,600,1200,2400,4800,9600,14400,19200,38400,56000,57600,115200,128000,256000");
    EXPECT_EQ(Texts(StopBitsToText, TextToStopBits, 3), "1,1.5,2");
    EXPECT_EQ(Texts(DataBitsToText, TextToDataBits, 4), "5,6,7,8");
    EXPECT_EQ(Texts(ParityToText, TextToParity, 5), "None,Odd,Even,Mark,Space");
    EXPECT_EQ(Texts(FlowControlToText, TextToFlowControl, 4), "Hardware,Software,None,Custom");
    EXPECT_EQ(Texts(DTRToText, TextToDTR, 3), "Disable,Enable,Handshake");
    EXPECT_EQ(Texts(RTSToText, TextToRTS, 4), "Disable,Enable,Handshake,Toggle");
    EXPECT_EQ(BoolToText(true) + BoolToText(false), "YesNo");
}

TEST(SettingsText, ParsingFoldsAsciiCaseOnlyAndFallsBack) {
    EXPECT_EQ(TextToFlowControl("hardware"), fcHardware);
    EXPECT_EQ(TextToRTS("toggle"), rtsToggle);
    EXPECT_EQ(TextToDTR("Toggle"), dtrDisable); // a word of the other table
    EXPECT_EQ(TextToParity("sPaCe"), prSpace);
    // No trimming, no number parsing, no prefix matches.
    for (const char *Text : {" 9600", "115200 ", "0115200", "11", ""})
        EXPECT_EQ(TextToBaudRate(Text), br9600) << '"' << Text << '"';
    EXPECT_EQ(TextToStopBits("1,5"), sbOneStopBit);
    EXPECT_EQ(TextToStopBits("2.0"), sbOneStopBit);
    EXPECT_EQ(TextToParity("Evenx"), prNone);
    EXPECT_EQ(TextToFlowControl(std::string("None\0", 5)), fcCustom);
}

TEST(SettingsText, OnlyYesIsTrue) {
    for (const char *Yes : {"YES", "Yes", "yes", "yEs"})
        EXPECT_TRUE(TextToBool(Yes)) << Yes;
    for (const char *No : {"Y", "True", "1", "", " yes", "yes ", "No", "yess"})
        EXPECT_FALSE(TextToBool(No)) << '"' << No << '"';
}

TEST(SettingsText, CharacterTexts) {
    // clang-format off
    const std::pair<int, std::string> Out[] = {
        {0, "#0"}, {17, "#17"}, {32, "#32"}, {33, "!"}, {127, "\x7F"}, {128, "#128"}, {255, "#255"}};
    const std::pair<std::string, int> In[] = {
        {"", 0}, {"#17", 17}, {"#300", 44}, {"#-1", 255}, {"#+65", 65}, {"#1x", 0}, {"# 1", 0}, {"#1 ", 0},
        {"#-", 0}, {"#+-1", 0}, {"#0x41", 0}, {"#2147483647", 255}, {"#2147483648", 0}, {"#-2147483648", 0},
        {"#99999999999", 0}, {"#", '#'}, {"abc", 'a'}, {"##", 0}, {"\xE9", 0xE9}};
    // clang-format on
    for (const auto &[Code, Text] : Out)
        EXPECT_EQ(CharToText(static_cast<char>(Code)), Text) << Code;
    for (const auto &[Text, Code] : In)
        EXPECT_EQ(static_cast<unsigned char>(TextToChar(Text)), Code) << '"' << Text << '"';
    for (int Code = 0; Code < 256; ++Code)
        EXPECT_EQ(static_cast<unsigned char>(TextToChar(CharToText(static_cast<char>(Code)))), Code) << Code;
}

} // namespace
