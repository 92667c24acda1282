// The strict reader of DecimalInt.h, on std::from_chars, which neither skips blanks nor depends
// on the locale, and reports overflow instead of wrapping.
#include "relay/DecimalInt.h"

#include <charconv>
#include <system_error>

std::optional<std::int32_t> ReadDecimalInt32(std::string_view Text) noexcept {
    // from_chars takes a minus sign but no plus sign; "+-1" must still fail.
    if (!Text.empty() && Text.front() == '+') {
        Text.remove_prefix(1);
        if (Text.empty() || Text.front() == '-')
            return std::nullopt;
    }
    std::int32_t Value = 0;
    const char *const End = Text.data() + Text.size();
    const auto [Ptr, Ec] = std::from_chars(Text.data(), End, Value, 10);
    if (Ec != std::errc{} || Ptr != End)
        return std::nullopt;
    return Value;
}
