// The table and the two converters of CodePage1250.h. The lower half of the code page is ASCII;
// only the 128 upper byte values need the table.
#include "relay/CodePage1250.h"

#include <array>
#include <cstdint>
#include <optional>

namespace {

constexpr char32_t Undefined = 0xFFFD;

// Code points of the bytes 0x80 to 0xFF, in byte order.
constexpr std::array<char32_t, 128> UpperHalf = {
    // 0x80
    0x20AC, Undefined, 0x201A, Undefined, 0x201E, 0x2026, 0x2020, 0x2021, //
    Undefined, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,    //
    // 0x90
    Undefined, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, //
    Undefined, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, //
    // 0xA0
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7, //
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B, //
    // 0xB0
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7, //
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C, //
    // 0xC0
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, //
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E, //
    // 0xD0
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7, //
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, //
    // 0xE0
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7, //
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F, //
    // 0xF0
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7, //
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9, //
};

void AppendUtf8(std::string &Out, char32_t C) {
    if (C < 0x80) {
        Out += static_cast<char>(C);
    } else if (C < 0x800) {
        Out += static_cast<char>(0xC0 | (C >> 6));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else {
        // Every code point of the table lies in the basic plane.
        Out += static_cast<char>(0xE0 | (C >> 12));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    }
}

// Reads one UTF-8 sequence at Text[Pos]. On success returns the code point and advances Pos past
// the sequence; on a malformed sequence returns nothing and leaves Pos alone.
std::optional<char32_t> ReadUtf8(std::string_view Text, std::size_t &Pos) {
    const auto Lead = static_cast<std::uint8_t>(Text[Pos]);
    int Extra = 0;
    char32_t C = 0;
    char32_t Min = 0;
    if (Lead < 0x80) {
        ++Pos;
        return Lead;
    } else if ((Lead & 0xE0) == 0xC0) {
        Extra = 1, C = Lead & 0x1F, Min = 0x80;
    } else if ((Lead & 0xF0) == 0xE0) {
        Extra = 2, C = Lead & 0x0F, Min = 0x800;
    } else if ((Lead & 0xF8) == 0xF0) {
        Extra = 3, C = Lead & 0x07, Min = 0x10000;
    } else {
        return std::nullopt; // a continuation byte or 0xF8..0xFF where a sequence should start
    }
    if (Text.size() - Pos <= static_cast<std::size_t>(Extra))
        return std::nullopt;
    for (int I = 1; I <= Extra; ++I) {
        const auto B = static_cast<std::uint8_t>(Text[Pos + I]);
        if ((B & 0xC0) != 0x80)
            return std::nullopt;
        C = (C << 6) | (B & 0x3F);
    }
    // Overlong forms, surrogates and values past the last plane are not characters.
    if (C < Min || (C >= 0xD800 && C <= 0xDFFF) || C > 0x10FFFF)
        return std::nullopt;
    Pos += Extra + 1;
    return C;
}

char EncodeOne(char32_t C) {
    if (C < 0x80)
        return static_cast<char>(C);
    if (C == Undefined)
        return Cp1250Unmappable;
    for (std::size_t I = 0; I < UpperHalf.size(); ++I)
        if (UpperHalf[I] == C)
            return static_cast<char>(0x80 + I);
    return Cp1250Unmappable;
}

} // namespace

std::string Cp1250ToUtf8(std::string_view Bytes) {
    std::string Out;
    Out.reserve(Bytes.size() * 2);
    for (const char Ch : Bytes) {
        const auto B = static_cast<std::uint8_t>(Ch);
        AppendUtf8(Out, B < 0x80 ? char32_t{B} : UpperHalf[B - 0x80]);
    }
    return Out;
}

std::string Utf8ToCp1250(std::string_view Text) {
    std::string Out;
    Out.reserve(Text.size());
    std::size_t Pos = 0;
    while (Pos < Text.size()) {
        if (const auto C = ReadUtf8(Text, Pos)) {
            Out += EncodeOne(*C);
        } else {
            Out += Cp1250Unmappable;
            ++Pos;
        }
    }
    return Out;
}
