// What relaymqtt adds to a message's way, measured against the broker's own round trip in the same
// run: a real mosquitto on a free loopback port, the bridge as a child process on a pseudo-terminal
// whose far end this program plays, and one libmosquitto client of this program's own.
//
//   mqtt_bench [messages=300] [idle seconds=20]
//
// Floor: the client publishes on a topic it subscribes to and waits for the message to come back
// (publish -> broker -> subscriber, both in this process).
// Command: the client publishes "ON"/"OFF" on relay/1/set, and the time runs until the command's
// bytes are read at the board's end of the line (publish -> broker -> bridge -> controller -> line).
// Answer: the board's end writes an inputs answer, and the time runs until the state message for
// input 1 reaches the client (line -> bridge -> broker -> subscriber).
// "Added" is each one's median less the floor's. Idle: context switches of every thread of the
// bridge while nothing happens (its keep-alive tick comes every 15 s); RSS: the bridge's resident and
// peak memory at the end.
#include "bench/LatencyStats.h"
#include "mqtt/Broker.h"
#include "tests/support/Pty.h"

#include <mosquitto.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double MicrosSince(TClock::time_point Start) {
    return std::chrono::duration<double, std::micro>(TClock::now() - Start).count();
}

// The client: one connection, messages taken up by its own loop calls.
class TClient {
public:
    explicit TClient(int Port) : FHandle(mosquitto_new(nullptr, true, this)) {
        mosquitto_message_callback_set(FHandle,
                                       [](mosquitto *, void *Self, const mosquitto_message *Message) {
                                           auto &Client = *static_cast<TClient *>(Self);
                                           Client.FTopic = Message->topic;
                                           Client.FPayload.assign(static_cast<const char *>(Message->payload),
                                                                  std::size_t(Message->payloadlen));
                                           Client.FGot = true;
                                       });
        if (mosquitto_connect(FHandle, "127.0.0.1", Port, 60) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("the client cannot connect");
    }
    ~TClient() { mosquitto_destroy(FHandle); }
    void Subscribe(const char *Filter) { mosquitto_subscribe(FHandle, nullptr, Filter, 0); }
    void Publish(const std::string &Topic, const std::string &Payload) {
        mosquitto_publish(FHandle, nullptr, Topic.c_str(), int(Payload.size()), Payload.data(), 0, false);
    }
    // Waits for a message on Topic with Payload; false when none came within 5 s.
    bool Await(const std::string &Topic, const std::string &Payload) {
        const auto End = TClock::now() + std::chrono::seconds(5);
        while (TClock::now() < End) {
            FGot = false;
            mosquitto_loop(FHandle, 100, 1);
            if (FGot && FTopic == Topic && FPayload == Payload)
                return true;
        }
        return false;
    }
    // Takes up what is there without waiting.
    void Drain() {
        for (int I = 0; I < 100; ++I)
            mosquitto_loop(FHandle, 0, 1);
    }

private:
    mosquitto *FHandle;
    std::string FTopic, FPayload;
    bool FGot = false;
};

// Reads at the board's end until Expected has come, within 5 s.
bool ReadLine(int Fd, const std::string &Expected) {
    std::string Got;
    const auto End = TClock::now() + std::chrono::seconds(5);
    while (Got.find(Expected) == std::string::npos && TClock::now() < End) {
        pollfd Poll{Fd, POLLIN, 0};
        if (::poll(&Poll, 1, 100) <= 0)
            continue;
        char Buffer[256];
        const ssize_t Count = ::read(Fd, Buffer, sizeof Buffer);
        if (Count > 0)
            Got.append(Buffer, std::size_t(Count));
    }
    return Got.find(Expected) != std::string::npos;
}

// Context switches of every thread of Pid, voluntary and not.
long ContextSwitches(int Pid) {
    long Total = 0;
    for (const auto &Task : std::filesystem::directory_iterator("/proc/" + std::to_string(Pid) + "/task")) {
        std::ifstream Status(Task.path() / "status");
        for (std::string Line; std::getline(Status, Line);)
            if (Line.find("ctxt_switches:") != std::string::npos)
                Total += std::atol(Line.substr(Line.find(':') + 1).c_str());
    }
    return Total;
}

std::string StatusField(int Pid, const std::string &Field) {
    std::ifstream Status("/proc/" + std::to_string(Pid) + "/status");
    for (std::string Line; std::getline(Status, Line);)
        if (Line.starts_with(Field + ":"))
            return Line.substr(Field.size() + 1);
    return "?";
}

void Report(const char *Name, const TStats &Stats, const TStats &Floor) {
    std::printf("%-34s median %8.1f us  p99 %8.1f us  added %+8.1f us\n", Name, Stats.Median, Stats.P99,
                Stats.Median - Floor.Median);
}

} // namespace

int main(int argc, char **argv) {
    const int Messages = argc > 1 ? std::atoi(argv[1]) : 300;
    const int IdleSeconds = argc > 2 ? std::atoi(argv[2]) : 20;
    std::string Missing;
    if (!mqtttest::ToolsPresent(Missing)) {
        std::printf("skipped: %s\n", Missing.c_str());
        return 0;
    }
    mosquitto_lib_init();
    mqtttest::TScratch Scratch;
    mqtttest::TBroker Broker(Scratch);
    TPtyPair Line;
    simtest::TSimProcess Bridge(RELAYMQTT_PATH, {"--port", Line.SlavePath(), "--broker",
                                                 "127.0.0.1:" + std::to_string(Broker.Port()), "--board",
                                                 "bench", "--poll", "0"});
    TClient Client(Broker.Port());
    Client.Subscribe("bench/echo");
    Client.Subscribe("dudovuz/bench/input/1");
    Client.Subscribe("dudovuz/bench/availability");
    // The bridge at open: timer reports on, inputs and alarm asked.
    if (!Client.Await("dudovuz/bench/availability", "online") || !ReadLine(Line.MasterFd(), "Rcfg1=1s!?"))
        throw std::runtime_error("the bridge did not come up");

    std::vector<double> Floor, Command, Answer;
    double Cpu = CpuMicros();
    for (int I = 0; I < Messages; ++I) {
        const auto Start = TClock::now();
        Client.Publish("bench/echo", std::to_string(I));
        if (Client.Await("bench/echo", std::to_string(I)))
            Floor.push_back(MicrosSince(Start));
    }
    const TStats FloorStats = Summarise(Floor, CpuMicros() - Cpu);
    for (int I = 0; I < Messages; ++I) {
        const bool On = I % 2 == 0;
        const auto Start = TClock::now();
        Client.Publish("dudovuz/bench/relay/1/set", On ? "ON" : "OFF");
        if (ReadLine(Line.MasterFd(), On ? "R1=1s" : "R1=0s"))
            Command.push_back(MicrosSince(Start));
        Client.Drain(); // the relay's state messages
    }
    for (int I = 0; I < Messages; ++I) {
        const bool On = I % 2 == 0;
        const auto Start = TClock::now();
        Line.Send(On ? "&100*" : "&000*");
        if (Client.Await("dudovuz/bench/input/1", On ? "ON" : "OFF"))
            Answer.push_back(MicrosSince(Start));
    }
    const long Before = ContextSwitches(Bridge.ProcessId());
    std::this_thread::sleep_for(std::chrono::seconds(IdleSeconds));
    const long Idle = ContextSwitches(Bridge.ProcessId()) - Before;

    std::printf("%d messages each, %zu/%zu/%zu arrived\n", Messages, Floor.size(), Command.size(),
                Answer.size());
    Report("floor: publish -> subscriber", FloorStats, FloorStats);
    Report("command -> bytes at the board", Summarise(Command, 0), FloorStats);
    Report("answer -> state at a subscriber", Summarise(Answer, 0), FloorStats);
    std::printf("idle: %ld context switches of the bridge in %d s (%.2f/s)\n", Idle, IdleSeconds,
                double(Idle) / IdleSeconds);
    std::printf("bridge memory: VmRSS %s, VmHWM %s\n", StatusField(Bridge.ProcessId(), "VmRSS").c_str(),
                StatusField(Bridge.ProcessId(), "VmHWM").c_str());
    Bridge.Signal(SIGTERM);
    Bridge.Wait();
    mosquitto_lib_cleanup();
    return 0;
}
