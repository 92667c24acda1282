// Telnet framing for a serial line carried over a network connection, with the COM-PORT-OPTION
// (RFC 2217) that lets the far end set its line and report its modem and line state.
//
// Plain C++, no system calls: the network driver feeds it what the socket gave and sends what it
// encodes. The decoder keeps its state between calls, so a sequence split across two reads decodes
// the same as one read. It survives anything a peer sends: a sequence that Telnet does not allow
// (IAC followed by a byte that is no command, a subnegotiation without its end or longer than any
// this client understands, a COM-PORT-OPTION answer of the wrong size) stops the decoding for good
// and is reported once through TSink::Malformed; the driver then treats the connection as gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ComApi {

namespace Telnet {
inline constexpr std::uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
inline constexpr std::uint8_t BINARY = 0, SGA = 3, COM_PORT_OPTION = 44;
// COM-PORT-OPTION commands from the client; the server answers with the same code plus 100.
inline constexpr std::uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4,
                              SET_CONTROL = 5, NOTIFY_LINESTATE = 6, NOTIFY_MODEMSTATE = 7,
                              SET_LINESTATE_MASK = 10, SET_MODEMSTATE_MASK = 11, PURGE_DATA = 12;
inline constexpr std::uint8_t ServerOffset = 100;
// Line-state bits.
inline constexpr std::uint8_t LS_BREAK = 16, LS_FRAME = 8, LS_PARITY = 4, LS_OVERRUN = 2;
// Modem-state bits: the lines' states in the high nibble (CD, RI, DSR, CTS), their changes below.
inline constexpr std::uint8_t MS_CD = 128, MS_RI = 64, MS_DSR = 32, MS_CTS = 16;
inline constexpr std::uint8_t MS_DELTA_CD = 8, MS_RI_TRAILING = 4, MS_DELTA_DSR = 2, MS_DELTA_CTS = 1;
} // namespace Telnet

class TTelnetDecoder {
public:
    class TSink {
    public:
        virtual ~TSink() = default;
        virtual void Data(std::string_view Run) = 0;
        // DO, DONT, WILL or WONT for an option.
        virtual void Negotiate(std::uint8_t Verb, std::uint8_t Option) = 0;
        // A COM-PORT-OPTION answer from the server: its code (less 100) and value.
        virtual void ComPort(std::uint8_t Command, std::string_view Value) = 0;
        // Why decoding stopped; called once.
        virtual void Malformed(const char *What) = 0;
    };

    // Longest subnegotiation accepted (a SIGNATURE text may be long; nothing else is).
    static constexpr std::size_t MaxSub = 256;

    void Decode(std::string_view In, TSink &Sink);
    bool Failed() const noexcept { return FState == TState::Failed; }
    void Reset() noexcept { *this = TTelnetDecoder(); }

private:
    enum class TState { Data, Iac, Verb, Sb, SbIac, Failed };
    void Fail(const char *What, TSink &Sink);
    void EndSub(TSink &Sink);

    TState FState = TState::Data;
    std::uint8_t FVerb = 0;
    std::string FSub;
};

// Encoders: what goes out on the connection.
namespace TelnetEncode {
// Appends Bytes to Out with every IAC doubled.
void Data(std::string &Out, std::string_view Bytes);
void Negotiate(std::string &Out, std::uint8_t Verb, std::uint8_t Option);
// IAC SB COM-PORT-OPTION Command Value IAC SE, the value's IACs doubled.
void ComPort(std::string &Out, std::uint8_t Command, std::string_view Value);
void ComPort(std::string &Out, std::uint8_t Command, std::uint8_t Value);
void ComPortBaud(std::string &Out, std::uint32_t Baud);
} // namespace TelnetEncode

} // namespace ComApi
