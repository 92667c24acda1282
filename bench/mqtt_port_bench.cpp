// How quickly a received byte reaches OnRxChar on the main thread over an mqtt:// port (the board
// behind relaymqtt and a broker), against the POSIX driver on the very pseudo-terminal the bridge
// serves, in the same run; and the broker's own publish -> subscribe round trip, the hop that the
// bridge adds (the bridge publishes the byte on raw/rx, the broker forwards it to the port).
//
//   mqtt_port_bench [bytes=1000] [runs=3]
//
// Each run measures the POSIX driver on the terminal first (the bridge then takes the terminal as
// its board's port), then mqtt:// through a fresh mosquitto on a free loopback port and relaymqtt,
// then a round trip of a client of this program's own on the same broker, on the core's MqttClient.
// Without mosquitto it says so and ends with success: there is nothing to compare.
#include "RxLatency.h"
#include "mqtt/Broker.h"
#include "serial/driver/posix/MqttClient.h"
#include "support/SimProcess.h"

#include <csignal>
#include <cstdlib>
#include <poll.h>

namespace {

// A client that publishes on a topic it subscribes to and waits for each message to come back.
class TEcho : private mqtt::TMqttClient::THandler {
public:
    explicit TEcho(int Port) : FClient(Settings(Port), *this) {}

    // Per message: publish, then serve the socket until it is back (bounded).
    bool Measure(std::size_t Count, TStats &Out) {
        if (FClient.Connect() != 0 || !Serve(FAccepted))
            return false;
        FClient.Subscribe(Topic, 0);
        for (int Try = 0; Try < 20; ++Try) // the first that comes back: the subscription holds
            if (Echoed())
                break;
        std::vector<double> Micros;
        const double Cpu = CpuMicros();
        while (Micros.size() < Count) {
            const auto Sent = TClock::now();
            if (!Echoed())
                return false;
            Micros.push_back(std::chrono::duration<double, std::micro>(TClock::now() - Sent).count());
        }
        Out = Summarise(std::move(Micros), CpuMicros() - Cpu);
        return true;
    }

private:
    static constexpr const char *Topic = "bench/echo";
    static mqtt::TMqttClient::TSettings Settings(int Port) {
        mqtt::TMqttClient::TSettings S;
        S.Host = "127.0.0.1";
        S.Port = Port;
        S.ClientId = "mqtt-port-bench";
        return S;
    }
    bool Echoed() {
        FGot = false;
        FClient.Publish(Topic, "x", false, 0);
        return Serve(FGot, 500);
    }
    bool Serve(const bool &Flag, int Milliseconds = 10000) {
        const auto End = TClock::now() + std::chrono::milliseconds(Milliseconds);
        while (!Flag) {
            const auto Left =
                std::chrono::duration_cast<std::chrono::milliseconds>(End - TClock::now()).count();
            pollfd Poll{FClient.Socket(), short(POLLIN | (FClient.WantWrite() ? POLLOUT : 0)), 0};
            if (Left <= 0 || ::poll(&Poll, 1, int(Left)) <= 0)
                return false;
            if (Poll.revents & POLLOUT)
                FClient.Write();
            if (Poll.revents & (POLLIN | POLLERR | POLLHUP))
                FClient.Read();
        }
        return true;
    }
    void Connected(int Code) override { FAccepted = Code == 0; }
    void Disconnected(int) override {}
    void Received(std::string_view, std::string_view, bool) override { FGot = true; }

    mqtt::TMqttClient FClient;
    bool FAccepted = false, FGot = false;
};

void Ratio(const TStats &Of, const TStats &To, const char *Name) {
    std::printf("%-38s  ratio to %s: median %.2f, p99 %.2f, CPU %.2f\n", "", Name, Of.Median / To.Median,
                Of.P99 / To.P99, Of.CpuMicros / To.CpuMicros);
}

} // namespace

int main(int argc, char **argv) {
    const std::size_t Bytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
    const int Runs = argc > 2 ? std::atoi(argv[2]) : 3;
    std::string Missing;
    if (!mqtttest::ToolsPresent(Missing)) {
        std::printf("%s: no MQTT figures\n", Missing.c_str());
        return 0;
    }
    TPtyPair Pty;
    if (!Pty.Ok()) {
        std::printf("no pseudo-terminal support\n");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    for (int Run = 1; Run <= Runs; ++Run) {
        std::printf("run %d\n", Run);
        TStats Posix, Mqtt, Floor;
        if (!Measure(Pty, Pty.SlavePath(), nullptr, Bytes, Posix))
            return 1;
        Print("POSIX driver on the bridge's pty", Posix);
        const mqtttest::TScratch Scratch;
        const mqtttest::TBroker Broker(Scratch);
        simtest::TSimProcess Bridge(RELAYMQTT_PATH, {"--port", Pty.SlavePath(), "--broker",
                                                     "127.0.0.1:" + std::to_string(Broker.Port()), "--board",
                                                     "bench", "--poll", "0"});
        const std::string Name = "mqtt://127.0.0.1:" + std::to_string(Broker.Port()) + "/bench";
        if (!Measure(Pty, Name, nullptr, Bytes, Mqtt))
            return 1;
        Print("mqtt:// through relaymqtt", Mqtt);
        Ratio(Mqtt, Posix, "POSIX");
        if (!TEcho(Broker.Port()).Measure(Bytes, Floor))
            return 1;
        Print("publish -> subscribe on the broker", Floor);
        std::printf("%-38s  mqtt:// over POSIX: median +%.1f us, the broker's round trip %.1f us of it\n", "",
                    Mqtt.Median - Posix.Median, Floor.Median);
        Bridge.Signal(SIGTERM);
        Bridge.Wait();
    }
    return 0;
}
