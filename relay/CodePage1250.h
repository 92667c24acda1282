// Windows-1250 <-> UTF-8.
//
// The relay board and the operator's typed commands speak single-byte Central European text
// (Windows-1250), while every text inside the program is UTF-8. The two meet in two places only:
// a console line that quotes a command or an answer decodes the bytes, and a command typed by
// hand is encoded before it goes to the controller. Both directions are total: they never fail.
#pragma once

#include <string>
#include <string_view>

// The replacement for a character that has no Windows-1250 form, and for malformed UTF-8.
inline constexpr char Cp1250Unmappable = '?';

// Decodes Windows-1250 bytes. The five byte values that the code page leaves undefined
// (0x81, 0x83, 0x88, 0x90, 0x98) become U+FFFD, so a stray byte on the line stays visible.
std::string Cp1250ToUtf8(std::string_view Bytes);

// Encodes UTF-8 text. A character with no Windows-1250 form, and every byte of a malformed
// UTF-8 sequence, becomes "?".
std::string Utf8ToCp1250(std::string_view Text);
