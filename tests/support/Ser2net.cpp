#include "tests/support/Ser2net.h"

#include "tests/support/Tcp.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

extern char **environ;

namespace fs = std::filesystem;

const char *Ser2netPath() {
    for (const char *path : {"/usr/sbin/ser2net", "/usr/bin/ser2net"})
        if (::access(path, X_OK) == 0)
            return path;
    return nullptr;
}

std::string SerialConnector(const std::string &Device) {
    return "serialdev," + Device + ",4800n81,local";
}

TSer2net::TSer2net(const std::string &Accepter, const std::string &Connector, const std::string &Options) {
    if (!Ser2netPath())
        return;
    static int instance = 0;
    FDir = fs::temp_directory_path() /
           ("dud-ser2net." + std::to_string(::getpid()) + "." + std::to_string(++instance));
    fs::create_directories(FDir);
    {
        TTcpListener probe; // a port that is free now
        FPort = probe.Port();
    }
    const fs::path config = FDir / "ser2net.yaml";
    std::ofstream(config) << "%YAML 1.1\n---\nconnection: &line\n  accepter: " << Accepter << ",127.0.0.1,"
                          << FPort << "\n  connector: " << Connector
                          << "\n  options:\n    kickolduser: true\n"
                          << Options;
    const std::string configArg = config.string(), pidArg = (FDir / "pid").string();
    const char *argv[] = {Ser2netPath(), "-n", "-u", "-c", configArg.c_str(), "-P", pidArg.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (::posix_spawn(&FPid, argv[0], &actions, nullptr, const_cast<char **>(argv), environ) != 0)
        FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    FPidFd = FPid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, FPid, 0)) : -1;
}

TSer2net::~TSer2net() {
    Kill();
    if (FPidFd >= 0)
        ::close(FPidFd);
    std::error_code ignored;
    if (!FDir.empty())
        fs::remove_all(FDir, ignored);
}

std::string TSer2net::Name(const char *Scheme) const {
    return std::string(Scheme) + "://127.0.0.1:" + std::to_string(FPort);
}

bool TSer2net::Ended(int Milliseconds) const {
    pollfd p{FPidFd, POLLIN, 0};
    return FPidFd < 0 || FPid < 0 || ::poll(&p, 1, Milliseconds) != 0;
}

void TSer2net::Kill() {
    if (FPid > 0) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
        FPid = -1;
    }
}
