// Byte -> OnRxChar on the main thread, the same way for every driver: the far end writes one byte on
// a pseudo-terminal's master side, the port's handler notes the time, reads the byte and has the far
// end write the next one; the main thread runs the port's calls in TMainThreadLoop, as the
// command-line tools do. The port may be the terminal itself or anything in front of it (ser2net,
// relaymqtt). CPU per event is this process's own time.
#pragma once

#include "LatencyStats.h"
#include "serial/driver/posix/MainThreadLoop.h"
#include "serial/port/ComPort.h"
#include "tests/support/Pty.h"
#include "tests/support/Ser2net.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using TClock = std::chrono::steady_clock;

// Opens Port, retrying while a server just started does not listen yet (bounded).
inline bool Open(TComPort &Port, const TSer2net *Server) {
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
inline bool Measure(TPtyPair &Pty, const std::string &Name, const TSer2net *Server, std::size_t Bytes,
                    TStats &Out) {
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

inline void Print(const char *What, const TStats &S) {
    std::printf("%-38s: %zu bytes, median %7.1f us, p99 %7.1f us, CPU %5.1f us/event\n", What, S.Count,
                S.Median, S.P99, S.CpuMicros);
}
