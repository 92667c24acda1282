// Debian's ser2net for the network tests and benchmarks: started on a free loopback port in front
// of a device (a pseudo-terminal's slave) or of another server, with a configuration file written
// for it, and killed with the object.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

// The installed server, or null.
const char *Ser2netPath();
// ser2net's connector for a local serial device at 4800 baud, 8 data bits, no parity, 1 stop bit.
std::string SerialConnector(const std::string &Device);

class TSer2net {
public:
    // Accepter: ser2net's accepter without its address, "tcp" or "telnet(rfc2217),tcp". Connector:
    // what it serves, SerialConnector(Device) or a gensio such as "telnet(rfc2217),tcp,HOST,PORT".
    // Options: more lines of the connection's options ("    chardelay: false\n").
    TSer2net(const std::string &Accepter, const std::string &Connector, const std::string &Options = {});
    ~TSer2net();
    TSer2net(const TSer2net &) = delete;
    TSer2net &operator=(const TSer2net &) = delete;

    bool Started() const { return FPidFd >= 0; }
    int Port() const { return FPort; }
    // "scheme://127.0.0.1:PORT".
    std::string Name(const char *Scheme) const;
    // Waits up to Milliseconds for the server to end; true when it has (or never started).
    bool Ended(int Milliseconds) const;
    void Kill();

private:
    std::filesystem::path FDir;
    int FPort = 0;
    pid_t FPid = -1;
    int FPidFd = -1;
};
