// What the latency benchmarks count per event: the median and 99th percentile of the delays, and
// the process's CPU time spent per event.
#pragma once

#include <algorithm>
#include <cstddef>
#include <sys/resource.h>
#include <vector>

struct TStats {
    double Median = 0, P99 = 0, CpuMicros = 0; // CpuMicros: per event
    std::size_t Count = 0;
};

// User plus system CPU time of the whole process, in microseconds.
inline double CpuMicros() {
    rusage Usage{};
    ::getrusage(RUSAGE_SELF, &Usage);
    const auto Micros = [](const timeval &T) { return double(T.tv_sec) * 1e6 + double(T.tv_usec); };
    return Micros(Usage.ru_utime) + Micros(Usage.ru_stime);
}

// Micros: one delay per event; Cpu: the CPU time the events took together.
inline TStats Summarise(std::vector<double> Micros, double Cpu) {
    TStats S;
    S.Count = Micros.size();
    if (Micros.empty())
        return S;
    S.CpuMicros = Cpu / double(Micros.size());
    std::sort(Micros.begin(), Micros.end());
    S.Median = Micros[Micros.size() / 2];
    S.P99 = Micros[std::min(Micros.size() - 1, Micros.size() * 99 / 100)];
    return S;
}
