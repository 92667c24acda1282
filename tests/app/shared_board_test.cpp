// Two panels and relayctl on one board that relaymqtt serves: a real mosquitto, the simulator as the
// board, the bridge holding its port, and every client on the same mqtt:// name. A command from one
// window reaches the board, and the board's answer reaches every client.
#include "support/WindowHarness.h"

#include "mqtt/Broker.h"
#include "support/SimProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>

namespace {

// Lines of relayctl's output until Expected; what ended the search when it never came.
std::string Comes(simtest::TSimProcess &Ctl, const std::string &Expected) {
    for (std::string Line = Ctl.ReadOutputLine(); !Line.empty(); Line = Ctl.ReadOutputLine())
        if (Line == Expected)
            return Line;
    return "(not before the output ended)";
}

bool ConsoleHas(const TForm1 &Form, const char *Line) {
    return WaitFor([&] { return ConsoleLines(Form).contains(U(Line)); });
}

TEST(SharedBoard, CommandFromOneWindowReachesTheBoardAndItsAnswerEveryClient) {
    std::string Missing;
    if (!mqtttest::ToolsPresent(Missing))
        GTEST_SKIP() << Missing;
    mqtttest::TScratch Scratch;
    ::setenv("XDG_CONFIG_HOME", Scratch.Path().c_str(), 1); // no one's mqtt.ini or remembered port
    mqtttest::TBroker Broker(Scratch);
    mqtttest::TWatcher Watch(Broker);
    simtest::TSimProcess Sim({"--gap", "0"}, false);
    const std::string Port = Sim.ReadOutputLine();
    simtest::TSimProcess Bridge(RELAYMQTT_PATH,
                                {"--port", Port, "--broker", "127.0.0.1:" + std::to_string(Broker.Port()),
                                 "--board", "b1", "--poll", "0"});
    ASSERT_EQ(Watch.SeenExactly("dudovuz/b1/availability", "online").Payload, "online");
    const std::string Name = "mqtt://127.0.0.1:" + std::to_string(Broker.Port()) + "/b1";

    TForm1 First, Second;
    for (TForm1 *Form : {&First, &Second}) {
        Form->show();
        Form->UsePort(Name);
        Click(*Form, "Button_Open");
        ASSERT_TRUE(ConsoleHas(*Form, "COM > Port úspěšně otevřen.")) << TopLine(*Form).toStdString();
    }
    // relayctl's own question tells when it listens: the answer comes back to it.
    simtest::TSimProcess Ctl(RELAYCTL_PATH, {"--port", Name, "--listen", "!"});
    ASSERT_EQ(Comes(Ctl, "IO  >Stav vstupů načten.(&000*)"), "IO  >Stav vstupů načten.(&000*)");

    Sim.Feed("await RUN=0s\nstate\n");
    Click(First, "alad");
    EXPECT_NE(Sim.ReadOutputLine().find(" alarm=disarmed "), std::string::npos);
    const char *const Answer = "IO  >Alarm byl vypnut.(stop*)";
    EXPECT_TRUE(ConsoleHas(First, Answer)) << TopLine(First).toStdString();
    EXPECT_TRUE(ConsoleHas(Second, Answer)) << TopLine(Second).toStdString();
    EXPECT_EQ(Comes(Ctl, Answer), Answer);

    Ctl.Signal(SIGTERM);
    EXPECT_EQ(Ctl.Wait(), 0);
    Bridge.Signal(SIGTERM);
    EXPECT_EQ(Bridge.Wait(), 0);
    ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
