// Decodes a tty's input under PARMRK: "\377\377" is a data byte 0xFF, "\377\0\0" a break and
// "\377\0" X a byte X received with a parity or framing error. A marker may be split across reads;
// the decoder keeps its state between calls to Decode. It stands alone so that tests can feed it
// markers that a pseudo-terminal never produces.
#pragma once

#include <cstdint>
#include <string_view>

namespace ComApi {

class TParmrkDecoder {
public:
    struct TSink {
        virtual ~TSink() = default;
        virtual void Data(std::string_view Run) = 0; // plain bytes, escapes already undone
        virtual void Break() = 0;
        virtual void ErrorByte(std::uint8_t Value) = 0;
    };

    void Decode(std::string_view Input, TSink &Sink);
    void Reset() noexcept { FState = sData; }

private:
    enum TState : std::uint8_t { sData, sEscape, sMarked };
    TState FState = sData;
};

} // namespace ComApi
