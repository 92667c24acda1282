// How quickly a received byte reaches OnRxChar on the main thread when the board is behind ser2net,
// against the POSIX driver on the very same pseudo-terminal in the same run. The network driver is
// measured through ser2net in front of that terminal, with raw TCP and with RFC 2217, each with
// ser2net's default output timing (chardelay: it waits a little for more bytes before it sends) and
// with chardelay off, which leaves the network path alone.
//
//   net_latency_bench [bytes=2000]
//
// The far end writes one byte on the terminal's master side, the handler notes the time, reads the
// byte and has the far end write the next one; the main thread runs the port's calls in
// TMainThreadLoop, as the command-line tools do. CPU per event is this process's user and system
// time (ser2net's own is not counted) divided by the events. Without ser2net it says so and ends
// with success: there is nothing to compare.
#include "LatencyStats.h"
#include "serial/driver/posix/MainThreadLoop.h"
#include "serial/port/ComPort.h"
#include "tests/support/Pty.h"
#include "tests/support/Ser2net.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

// Opens Port, retrying while a server just started does not listen yet (bounded).
bool Open(TComPort &Port, const TSer2net *Server) {
    for (int Attempt = 0; Attempt < 250; ++Attempt) {
        try {
            Port.OpenPort();
            return true;
        } catch (const EComPort &E) {
            if (!Server || Server->Ended(20)) {
                std::printf("cannot open %s: %s\n", Port.Port().c_str(), E.what());
                return false;
            }
        }
    }
    return false;
}

// Ping-pong of single bytes from the terminal's far end to the port's OnRxChar.
bool Measure(TPtyPair &Pty, const std::string &Name, const TSer2net *Server, std::size_t Bytes, TStats &Out) {
    TMainThreadLoop Loop;
    TComPort Port;
    Port.SetPort(Name);
    Port.SetBaudRate(br4800); // what ser2net sets up too: the terminal does not pace by it
    std::vector<double> Micros;
    Micros.reserve(Bytes);
    TClock::time_point Sent;
    Port.SetOnRxChar([&](TCustomComPort &P, std::int32_t Count) {
        const auto Now = TClock::now();
        std::string Text;
        P.ReadText(Text, Count);
        for (std::size_t I = 0; I < Text.size(); ++I)
            Micros.push_back(std::chrono::duration<double, std::micro>(Now - Sent).count());
        if (Micros.size() >= Bytes)
            return Loop.Stop();
        Sent = TClock::now();
        Pty.Send("x");
    });
    if (!Open(Port, Server))
        return false;
    const double Cpu = CpuMicros();
    Sent = TClock::now();
    Pty.Send("x");
    Loop.Run(TClock::now() + std::chrono::minutes(2));
    Out = Summarise(std::move(Micros), CpuMicros() - Cpu);
    Port.ClosePort();
    return Out.Count >= Bytes;
}

void Print(const char *What, const TStats &S) {
    std::printf("%-38s: %zu bytes, median %7.1f us, p99 %7.1f us, CPU %5.1f us/event\n", What, S.Count,
                S.Median, S.P99, S.CpuMicros);
}

} // namespace

int main(int argc, char **argv) {
    const std::size_t Bytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
    TPtyPair Pty;
    if (!Pty.Ok()) {
        std::printf("no pseudo-terminal support\n");
        return 1;
    }
    TStats Posix;
    if (!Measure(Pty, Pty.SlavePath(), nullptr, Bytes, Posix))
        return 1;
    Print("POSIX driver on the pty", Posix);
    if (!Ser2netPath()) {
        std::printf("ser2net is not installed: no network figures\n");
        return 0;
    }
    const struct {
        const char *What, *Accepter, *Scheme, *Options;
    } Rows[] = {
        {"tcp:// via ser2net", "tcp", "tcp", ""},
        {"rfc2217:// via ser2net", "telnet(rfc2217),tcp", "rfc2217", ""},
        {"tcp:// via ser2net, chardelay off", "tcp", "tcp", "    chardelay: false\n"},
        {"rfc2217:// via ser2net, chardelay off", "telnet(rfc2217),tcp", "rfc2217", "    chardelay: false\n"},
    };
    bool AllMeasured = true;
    for (const auto &Row : Rows) {
        const TSer2net Server(Row.Accepter, SerialConnector(Pty.SlavePath()), Row.Options);
        TStats Net;
        if (!Server.Started() || !Measure(Pty, Server.Name(Row.Scheme), &Server, Bytes, Net)) {
            std::printf("%s: not measured\n", Row.What);
            AllMeasured = false;
            continue;
        }
        Print(Row.What, Net);
        std::printf("%-38s  ratio to POSIX: median %.2f, p99 %.2f, CPU %.2f\n", "", Net.Median / Posix.Median,
                    Net.P99 / Posix.P99, Net.CpuMicros / Posix.CpuMicros);
    }
    return AllMeasured ? 0 : 1;
}
