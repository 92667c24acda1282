// A real mosquitto for the bridge's tests: started on a free loopback port with a configuration file
// of the test's own (no persistence), watched through mosquitto_sub and driven through mosquitto_pub,
// as an operator would. Every wait is for a message or the end of a process, with a bound.
#pragma once

#include "support/SimProcess.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace mqtttest {

// False, with the reason, when mosquitto, its clients or openssl are not installed.
bool ToolsPresent(std::string &Missing);
// The path of an installed program (mosquitto_passwd, openssl ...).
std::string Tool(const std::string &Name);

// A folder of the test's own, removed at the end.
class TScratch {
public:
    TScratch();
    ~TScratch();
    const std::filesystem::path &Path() const { return FPath; }
    std::string Write(const std::string &Name, const std::string &Text) const;

private:
    std::filesystem::path FPath;
};

// Runs a shell command line in the scratch folder; true when it succeeded.
bool Shell(const TScratch &Scratch, const std::string &Line);
// For TLS, in the scratch folder: a certificate authority (ca.pem), a broker's certificate for
// 127.0.0.1 that it signed (server.pem, server.key), and another authority (other.pem) that signed
// nothing. False when openssl failed.
bool MakeCertificates(const TScratch &Scratch);
// A broker's listener lines for TLS with those certificates (no client certificate asked for).
std::string TlsListener(const TScratch &Scratch);

class TBroker {
public:
    // Extra: lines for the listener (authentication, TLS); ClientExtra: what mosquitto_sub and
    // mosquitto_pub need to reach it then.
    explicit TBroker(const TScratch &Scratch, std::string Extra = "allow_anonymous true\n",
                     std::vector<std::string> ClientExtra = {});
    ~TBroker();
    int Port() const { return FPort; }
    // Stops the broker (everything it held is gone) and starts it again on the same port.
    void Restart();
    // Arguments that reach this broker for mosquitto_sub and mosquitto_pub.
    std::vector<std::string> ClientArgs() const;

private:
    void Start();
    void Stop();
    std::string FConfig;
    int FPort = 0;
    std::vector<std::string> FClientExtra;
    std::unique_ptr<simtest::TSimProcess> FProcess;
};

// One line of mosquitto_sub: the retain flag, the topic, the payload.
struct TMessage {
    bool Retained = false;
    std::string Topic, Payload;
};

// A subscriber to every topic that keeps every message in order of arrival.
class TWatcher {
public:
    explicit TWatcher(const TBroker &Broker);
    ~TWatcher();
    // From now on Seen looks only at messages that arrive after this call.
    void Mark() { FMark = FMessages.size(); }
    // The first message since the mark on Topic whose payload contains Piece (empty: any), waiting
    // for it within the bound; a message with an empty topic when none came.
    TMessage Seen(const std::string &Topic, const std::string &Piece = "");
    // The same for a payload that is exactly Payload.
    TMessage SeenExactly(const std::string &Topic, const std::string &Payload);

private:
    template <class TMatch> TMessage Find(const std::string &Topic, TMatch Match);
    std::unique_ptr<simtest::TSimProcess> FProcess;
    std::vector<TMessage> FMessages;
    std::size_t FMark = 0;
};

// Publishes and returns once mosquitto_pub has handed the message to the broker.
void Publish(const TBroker &Broker, const std::string &Topic, const std::string &Payload,
             bool Retain = false);

} // namespace mqtttest
