// Runs relaysim as a child process and talks to it the way the panel and an operator do: bytes on
// its pseudo-terminal, commands on its standard input. Every wait is for data, with a generous bound,
// never for time.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace simtest {

inline constexpr std::chrono::seconds Bound{10};

class TSimProcess {
public:
    // Starts relaysim with Args. Unless Connect is false, reads the port path it prints and opens
    // that port raw, as the panel would.
    explicit TSimProcess(std::vector<std::string> Args = {}, bool Connect = true);
    // Starts Program with Args and connects nothing: for the programs that talk to it, or any other.
    TSimProcess(const std::string &Program, std::vector<std::string> Args);
    ~TSimProcess();
    TSimProcess(const TSimProcess &) = delete;
    TSimProcess &operator=(const TSimProcess &) = delete;

    const std::string &PortPath() const { return Path; }
    int ProcessId() const { return Pid; }
    // Writes bytes to the line, as the panel does.
    void Send(const std::string &Bytes);
    // Reads from the line until Count bytes arrived or the bound passed; returns what arrived.
    std::string Receive(std::size_t Count);
    // Writes one command line to the simulator's standard input; returns once it has been carried
    // out (a "state" behind it has answered), so that line traffic after it is ordered after it.
    // Returns that state line.
    std::string Control(const std::string &Line);
    // Writes text to standard input without waiting for anything.
    void Feed(const std::string &Text);
    // One line of standard output, empty when none came within the bound.
    std::string ReadOutputLine();
    void CloseInput();
    void Signal(int Number);
    // Waits for the process to end; returns its exit code, or -1 when it did not end in time or died of a
    // signal.
    int Wait();
    // Everything the process wrote to standard error (reads until it ends).
    std::string Errors();

private:
    void Start(const std::string &Program, std::vector<std::string> Args);

    int Pid = -1;
    int PidFd = -1;
    int In = -1, Out = -1, Err = -1, Line = -1;
    int ExitCode = -2;
    std::string Path, OutBuffer;
};

} // namespace simtest
