// The text helpers of the serial line: the Windows-1250 code page and the strict number reader.
#include "relay/CodePage1250.h"
#include "relay/DecimalInt.h"

#include <gtest/gtest.h>

#include <set>

namespace {

const std::set<int> UndefinedBytes = {0x81, 0x83, 0x88, 0x90, 0x98};

// Undefined bytes show as U+FFFD and go back as "?"; every other byte comes back as it was.
TEST(CodePage1250, EveryByteRoundTrips) {
    std::set<std::string> Decoded;
    for (int B = 0; B < 256; ++B) {
        const std::string Byte(1, static_cast<char>(B));
        const std::string Text = Cp1250ToUtf8(Byte);
        const bool Undefined = UndefinedBytes.count(B) != 0;
        EXPECT_EQ(Utf8ToCp1250(Text), Undefined ? "?" : Byte) << "byte " << B;
        if (Undefined)
            EXPECT_EQ(Text, "\uFFFD");
        else
            Decoded.insert(Text);
    }
    EXPECT_EQ(Decoded.size(), 256u - UndefinedBytes.size()) << "two bytes decode to the same character";
}

TEST(CodePage1250, CzechLetters) {
    const std::string Bytes =
        "\x8A\x8D\x8E\x9A\x9D\x9E\xC8\xCF\xCC\xD2\xD8\xD9\xE1\xE8\xEC\xED\xF8\xF9\xFD\x80\x84";
    const std::string Text = "ŠŤŽšťžČĎĚŇŘŮáčěířůý€„";
    EXPECT_EQ(Cp1250ToUtf8(Bytes), Text);
    EXPECT_EQ(Utf8ToCp1250(Text), Bytes);
    EXPECT_EQ(Cp1250ToUtf8(std::string("R1=1s\0", 6)), std::string("R1=1s\0", 6));
}

TEST(CodePage1250, UnmappableAndMalformedBecomeQuestionMarks) {
    // clang-format off
    const std::pair<std::string, std::string> Rows[] = {
        {"ñ", "?"},                   // Latin, but not Central European
        {"x😀y", "x?y"},              // one character outside the basic plane is one "?"
        {"\xC3", "?"},                // truncated at the end
        {"\xE2\x82" "A", "??A"},      // truncated before another character
        {"\xC0\x80", "??"},           // overlong NUL
        {"\xED\xA0\x80", "???"},      // surrogate
        {"\xF4\x90\x80\x80", "????"}, // past the last plane
        {"\x80\xFF", "??"},           // stray bytes
    };
    // clang-format on
    for (const auto &[Text, Bytes] : Rows)
        EXPECT_EQ(Utf8ToCp1250(Text), Bytes) << "input of " << Text.size() << " bytes";
}

// An optional sign and decimal digits within 32 bits, nothing else.
TEST(DecimalInt, SignedDecimalsInRangeOnly) {
    // clang-format off
    const std::pair<const char *, std::optional<std::int32_t>> Rows[] = {
        {"0", 0}, {"+5", 5}, {"-5", -5}, {"007", 7}, {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
        {"", {}}, {"+", {}}, {"-", {}}, {"+-1", {}}, {"++1", {}}, {" 1", {}}, {"1 ", {}}, {"1x", {}},
        {"0x10", {}}, {"1e3", {}}, {"2147483648", {}}, {"-2147483649", {}}, {"99999999999999999999", {}},
    };
    // clang-format on
    for (const auto &[Text, Value] : Rows)
        EXPECT_EQ(ReadDecimalInt32(Text), Value) << '"' << Text << '"';
}

} // namespace
