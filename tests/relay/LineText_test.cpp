// The text helpers of the serial line: the Windows-1250 code page and the strict number reader.
#include "relay/CodePage1250.h"
#include "relay/DecimalInt.h"

#include <gtest/gtest.h>

#include <set>

namespace {

const std::set<int> UndefinedBytes = {0x81, 0x83, 0x88, 0x90, 0x98};

TEST(CodePage1250, EveryDefinedByteRoundTrips) {
    std::set<std::string> Decoded;
    for (int B = 0; B < 256; ++B) {
        if (UndefinedBytes.count(B))
            continue;
        const std::string Byte(1, static_cast<char>(B));
        const std::string Text = Cp1250ToUtf8(Byte);
        EXPECT_EQ(Utf8ToCp1250(Text), Byte) << "byte " << B;
        Decoded.insert(Text);
    }
    EXPECT_EQ(Decoded.size(), 256u - UndefinedBytes.size()) << "two bytes decode to the same character";
}

TEST(CodePage1250, KnownCharacters) {
    const std::pair<const char *, const char *> Rows[] = {
        {"\x80", "€"},      {"\x8A", "Š"},      {"\x8D", "Ť"}, {"\x8E", "Ž"}, {"\x9A", "š"}, {"\x9D", "ť"},
        {"\x9E", "ž"},      {"\xA0", "\u00A0"}, {"\xA5", "Ą"}, {"\xB9", "ą"}, {"\xC1", "Á"}, {"\xC8", "Č"},
        {"\xCF", "Ď"},      {"\xCC", "Ě"},      {"\xD2", "Ň"}, {"\xD8", "Ř"}, {"\xD9", "Ů"}, {"\xDD", "Ý"},
        {"\xE1", "á"},      {"\xE8", "č"},      {"\xEC", "ě"}, {"\xED", "í"}, {"\xEF", "ď"}, {"\xF2", "ň"},
        {"\xF8", "ř"},      {"\xF9", "ů"},      {"\xFA", "ú"}, {"\xFD", "ý"}, {"\xFF", "˙"}, {"\x84", "„"},
        {"R1=1s", "R1=1s"}, // ASCII passes as it is
    };
    for (const auto &[Bytes, Text] : Rows) {
        EXPECT_EQ(Cp1250ToUtf8(Bytes), Text) << Text;
        EXPECT_EQ(Utf8ToCp1250(Text), Bytes) << Text;
    }
    EXPECT_EQ(Cp1250ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(CodePage1250, UndefinedBytesShowAndGoBackAsQuestionMark) {
    for (const int B : UndefinedBytes) {
        const std::string Text = Cp1250ToUtf8(std::string(1, static_cast<char>(B)));
        EXPECT_EQ(Text, "\uFFFD");
        EXPECT_EQ(Utf8ToCp1250(Text), "?");
    }
}

TEST(CodePage1250, UnmappableAndMalformedBecomeQuestionMarks) {
    const std::pair<std::string, std::string> Rows[] = {
        {"ñ", "?"},     // Latin, but not Central European
        {"x😀y", "x?y"}, // one character outside the basic plane is one "?"
        {"\xC3", "?"},  // truncated at the end
        {"\xE2\x82"
         "A",
         "??A"},                      // truncated before another character
        {"\xC0\x80", "??"},           // overlong NUL
        {"\xED\xA0\x80", "???"},      // surrogate
        {"\xF4\x90\x80\x80", "????"}, // past the last plane
        {"\x80\xFF", "??"},           // stray bytes
    };
    for (const auto &[Text, Bytes] : Rows)
        EXPECT_EQ(Utf8ToCp1250(Text), Bytes) << "input of " << Text.size() << " bytes";
}

TEST(DecimalInt, AcceptsSignedDecimalsInRange) {
    const std::pair<const char *, std::int32_t> Rows[] = {
        {"0", 0},
        {"10", 10},
        {"+5", 5},
        {"-5", -5},
        {"007", 7},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
    };
    for (const auto &[Text, Value] : Rows)
        EXPECT_EQ(ReadDecimalInt32(Text), Value) << Text;
}

TEST(DecimalInt, RefusesEverythingElse) {
    const char *const Rows[] = {
        "",   "+",   "-",    "+-1", "-+1", "++1",        " 1",          "1 ",
        "1x", "1.0", "0x10", "$10", "1e3", "2147483648", "-2147483649", "99999999999999999999",
    };
    for (const char *Text : Rows)
        EXPECT_EQ(ReadDecimalInt32(Text), std::nullopt) << '"' << Text << '"';
}

} // namespace
