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
#include "RxLatency.h"
#include "tests/support/Ser2net.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

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
