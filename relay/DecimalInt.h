// Reading a decimal integer from a command or an answer of the relay board.
//
// The board's numbers (a relay command's duration, the input number of an alarm answer) come
// from text that anybody can type or that a noisy line can garble, so the reader is strict: an
// optional sign, then one or more decimal digits, then nothing else, within the signed 32-bit
// range. Blanks, other characters, an empty text and overflow all fail; nothing throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

std::optional<std::int32_t> ReadDecimalInt32(std::string_view Text) noexcept;
