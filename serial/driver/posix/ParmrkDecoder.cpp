// PARMRK markers back into data, breaks and error bytes.
#include "serial/driver/posix/ParmrkDecoder.h"

namespace ComApi {

void TParmrkDecoder::Decode(std::string_view Input, TSink &Sink) {
    while (!Input.empty()) {
        if (FState == sData) {
            const std::size_t mark = Input.find('\377');
            if (mark != 0)
                Sink.Data(Input.substr(0, mark));
            if (mark == std::string_view::npos)
                return;
            Input.remove_prefix(mark + 1);
            FState = sEscape;
            continue;
        }
        const auto c = static_cast<std::uint8_t>(Input.front());
        Input.remove_prefix(1);
        if (FState == sEscape) {
            if (c == 0xFF) {
                Sink.Data("\377");
                FState = sData;
            } else if (c == 0) {
                FState = sMarked;
            } else {
                // Cannot happen with PARMRK; pass both bytes on rather than lose one.
                Sink.Data("\377");
                Sink.Data(std::string_view(reinterpret_cast<const char *>(&c), 1));
                FState = sData;
            }
        } else { // sMarked
            if (c == 0)
                Sink.Break();
            else
                Sink.ErrorByte(c);
            FState = sData;
        }
    }
}

} // namespace ComApi
