#include "mqtt/Broker.h"

#include "tests/support/Tcp.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

namespace mqtttest {

namespace fs = std::filesystem;

namespace {

// Where Tool is, found as a shell would (mosquitto itself lives in sbin); empty when nowhere.
std::string Which(const std::string &Tool) {
    const char *Path = std::getenv("PATH");
    std::string Folders = std::string(Path ? Path : "") + ":/usr/sbin:/usr/local/sbin";
    for (std::size_t Start = 0, End; Start <= Folders.size(); Start = End + 1) {
        End = std::min(Folders.find(':', Start), Folders.size());
        const fs::path Candidate = fs::path(Folders.substr(Start, End - Start)) / Tool;
        if (End > Start && ::access(Candidate.c_str(), X_OK) == 0)
            return Candidate.string();
    }
    return {};
}

} // namespace

bool ToolsPresent(std::string &Missing) {
    for (const char *Tool : {"mosquitto", "mosquitto_sub", "mosquitto_pub", "mosquitto_passwd", "openssl"}) {
        if (Which(Tool).empty()) {
            Missing = std::string(Tool) + " is not installed (scripts/install-deps installs it)";
            return false;
        }
    }
    return true;
}

std::string Tool(const std::string &Name) {
    return Which(Name);
}

TScratch::TScratch() {
    std::string Template = (fs::temp_directory_path() / "relaymqtt-test.XXXXXX").string();
    if (!mkdtemp(Template.data()))
        throw std::runtime_error("mkdtemp failed");
    FPath = Template;
}

TScratch::~TScratch() {
    std::error_code Ignored;
    fs::remove_all(FPath, Ignored);
}

std::string TScratch::Write(const std::string &Name, const std::string &Text) const {
    const fs::path File = FPath / Name;
    std::ofstream(File) << Text;
    return File.string();
}

bool Shell(const TScratch &Scratch, const std::string &Line) {
    simtest::TSimProcess Process("/bin/sh", {"-c", "cd \"$0\" && " + Line, Scratch.Path().string()});
    return Process.Wait() == 0;
}

bool MakeCertificates(const TScratch &Scratch) {
    const std::string Ssl = Tool("openssl");
    const std::string Key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1";
    return Shell(Scratch,
                 Ssl + " req -x509" + Key + " -keyout ca.key -out ca.pem -subj /CN=test-ca 2>/dev/null && " +
                     Ssl + " req -x509" + Key +
                     " -keyout other.key -out other.pem -subj /CN=other 2>/dev/null && " + Ssl + " req" +
                     Key + " -keyout server.key -out server.csr -subj /CN=127.0.0.1 2>/dev/null && " +
                     "printf 'subjectAltName=IP:127.0.0.1\\n' > san && " + Ssl +
                     " x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 1"
                     " -extfile san -out server.pem 2>/dev/null");
}

std::string TlsListener(const TScratch &Scratch) {
    const auto In = [&](const char *Name) { return (Scratch.Path() / Name).string(); };
    return "cafile " + In("ca.pem") + "\ncertfile " + In("server.pem") + "\nkeyfile " + In("server.key") +
           "\n";
}

TBroker::TBroker(const TScratch &Scratch, std::string Extra, std::vector<std::string> ClientExtra)
    : FPort(TTcpListener().Port()), // free now; the broker takes it at once
      FClientExtra(std::move(ClientExtra)) {
    FConfig = Scratch.Write("mosquitto-" + std::to_string(FPort) + ".conf",
                            "persistence false\nlog_dest stderr\n"
                            // As root it would become the user "mosquitto", who cannot read the
                            // test's files; elsewhere this line changes nothing.
                            "user " +
                                std::string(getpwuid(getuid())->pw_name) +
                                "\n"
                                "listener " +
                                std::to_string(FPort) + " 127.0.0.1\n" + Extra);
    Start();
}

TBroker::~TBroker() {
    Stop();
}

void TBroker::Start() {
    // Its log on standard error, which is not held in a buffer; it says it runs once its listeners
    // are open.
    FProcess = std::make_unique<simtest::TSimProcess>(
        "/bin/sh", std::vector<std::string>{"-c", "exec \"$0\" -c \"$1\" 2>&1", Tool("mosquitto"), FConfig});
    std::string Log;
    for (std::string Line; (Line = FProcess->ReadOutputLine()).find(" running") == std::string::npos;) {
        if (Line.empty())
            throw std::runtime_error("mosquitto did not start:\n" + Log);
        Log += Line + "\n";
    }
}

void TBroker::Stop() {
    if (!FProcess)
        return;
    FProcess->Signal(SIGTERM);
    FProcess->Wait();
    FProcess.reset();
}

void TBroker::Restart() {
    Stop();
    Start();
}

std::vector<std::string> TBroker::ClientArgs() const {
    std::vector<std::string> Args{"-h", "127.0.0.1", "-p", std::to_string(FPort)};
    Args.insert(Args.end(), FClientExtra.begin(), FClientExtra.end());
    return Args;
}

TWatcher::TWatcher(const TBroker &Broker) {
    // A retained marker tells when the subscription stands: it is the first thing delivered.
    const std::string Marker = "dudtest/marker";
    Publish(Broker, Marker, "1", true);
    std::vector<std::string> Args = Broker.ClientArgs();
    Args.insert(Args.end(), {"-t", "#", "-F", "%r %t %p"});
    FProcess = std::make_unique<simtest::TSimProcess>(Tool("mosquitto_sub"), Args);
    if (Seen(Marker).Topic.empty())
        throw std::runtime_error("mosquitto_sub did not subscribe");
}

TWatcher::~TWatcher() {
    FProcess->Signal(SIGTERM);
}

template <class TMatch> TMessage TWatcher::Find(const std::string &Topic, TMatch Match) {
    for (std::size_t I = FMark;; ++I) {
        if (I == FMessages.size()) {
            const std::string Line = FProcess->ReadOutputLine();
            if (Line.size() < 3)
                return {};
            const auto Space = Line.find(' ', 2);
            FMessages.push_back({Line[0] == '1', Line.substr(2, Space - 2),
                                 Space == std::string::npos ? "" : Line.substr(Space + 1)});
        }
        if (FMessages[I].Topic == Topic && Match(FMessages[I].Payload))
            return FMessages[I];
    }
}

TMessage TWatcher::Seen(const std::string &Topic, const std::string &Piece) {
    return Find(Topic, [&](const std::string &Payload) { return Payload.find(Piece) != std::string::npos; });
}

TMessage TWatcher::SeenExactly(const std::string &Topic, const std::string &Payload) {
    return Find(Topic, [&](const std::string &Got) { return Got == Payload; });
}

void Publish(const TBroker &Broker, const std::string &Topic, const std::string &Payload, bool Retain) {
    std::vector<std::string> Args = Broker.ClientArgs();
    Args.insert(Args.end(), {"-t", Topic, "-m", Payload});
    if (Retain)
        Args.push_back("-r");
    simtest::TSimProcess Pub(Tool("mosquitto_pub"), Args);
    if (Pub.Wait() != 0)
        throw std::runtime_error("mosquitto_pub failed on " + Topic + ": " + Pub.Errors());
}

} // namespace mqtttest
