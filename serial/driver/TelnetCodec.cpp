#include "serial/driver/TelnetCodec.h"

namespace ComApi {

using namespace Telnet;

void TTelnetDecoder::Fail(const char *What, TSink &Sink) {
    FState = TState::Failed;
    FSub.clear();
    Sink.Malformed(What);
}

void TTelnetDecoder::EndSub(TSink &Sink) {
    FState = TState::Data;
    if (FSub.empty())
        return Fail("empty Telnet subnegotiation", Sink);
    const auto option = static_cast<std::uint8_t>(FSub[0]);
    if (option != COM_PORT_OPTION)
        return FSub.clear(); // an option we never agreed to: nothing to do with it
    if (FSub.size() < 2)
        return Fail("COM-PORT-OPTION without a command", Sink);
    const auto command = static_cast<std::uint8_t>(FSub[1]);
    const std::string_view value = std::string_view(FSub).substr(2);
    if (command < ServerOffset)
        return FSub.clear(); // a client's command sent to us: not ours to obey
    const std::uint8_t own = command - ServerOffset;
    const std::size_t expected = own == SET_BAUDRATE ? 4 : own == 0 ? value.size() : 1;
    if (value.size() != expected)
        return Fail("COM-PORT-OPTION answer of the wrong size", Sink);
    Sink.ComPort(own, value);
    FSub.clear();
}

void TTelnetDecoder::Decode(std::string_view In, TSink &Sink) {
    std::size_t run = 0; // start of the data run not yet handed over
    for (std::size_t i = 0; i < In.size() && FState != TState::Failed; ++i) {
        const auto byte = static_cast<std::uint8_t>(In[i]);
        switch (FState) {
        case TState::Data:
            if (byte == IAC) {
                if (i > run)
                    Sink.Data(In.substr(run, i - run));
                FState = TState::Iac;
            }
            continue; // the run goes on
        case TState::Iac:
            if (byte == IAC) {
                Sink.Data(In.substr(i, 1));
                FState = TState::Data;
            } else if (byte >= WILL) {
                FVerb = byte, FState = TState::Verb;
            } else if (byte == SB) {
                FState = TState::Sb;
            } else if (byte > SE) { // NOP, data mark, break, GA and their kin carry nothing for us
                FState = TState::Data;
            } else {
                Fail("IAC followed by a byte that is no Telnet command", Sink);
            }
            break;
        case TState::Verb:
            Sink.Negotiate(FVerb, byte);
            FState = TState::Data;
            break;
        case TState::Sb:
            if (byte == IAC)
                FState = TState::SbIac;
            else if (FSub.size() < MaxSub)
                FSub.push_back(static_cast<char>(byte));
            else
                Fail("Telnet subnegotiation too long", Sink);
            break;
        case TState::SbIac:
            if (byte == SE) {
                EndSub(Sink);
            } else if (byte == IAC && FSub.size() < MaxSub) {
                FSub.push_back(static_cast<char>(byte));
                FState = TState::Sb;
            } else {
                Fail(byte == IAC ? "Telnet subnegotiation too long"
                                 : "Telnet subnegotiation not ended by IAC SE",
                     Sink);
            }
            break;
        case TState::Failed:
            break;
        }
        run = i + 1;
    }
    if (FState == TState::Data && run < In.size())
        Sink.Data(In.substr(run));
}

namespace TelnetEncode {

void Data(std::string &Out, std::string_view Bytes) {
    for (const char c : Bytes) {
        Out.push_back(c);
        if (static_cast<std::uint8_t>(c) == IAC)
            Out.push_back(c);
    }
}

void Negotiate(std::string &Out, std::uint8_t Verb, std::uint8_t Option) {
    Out += {static_cast<char>(IAC), static_cast<char>(Verb), static_cast<char>(Option)};
}

void ComPort(std::string &Out, std::uint8_t Command, std::string_view Value) {
    Out += {static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(COM_PORT_OPTION),
            static_cast<char>(Command)};
    Data(Out, Value);
    Out += {static_cast<char>(IAC), static_cast<char>(SE)};
}

void ComPort(std::string &Out, std::uint8_t Command, std::uint8_t Value) {
    const char v = static_cast<char>(Value);
    ComPort(Out, Command, std::string_view(&v, 1));
}

void ComPortBaud(std::string &Out, std::uint32_t Baud) {
    const char v[4] = {static_cast<char>(Baud >> 24), static_cast<char>(Baud >> 16),
                       static_cast<char>(Baud >> 8), static_cast<char>(Baud)};
    ComPort(Out, SET_BAUDRATE, std::string_view(v, 4));
}

} // namespace TelnetEncode

} // namespace ComApi
