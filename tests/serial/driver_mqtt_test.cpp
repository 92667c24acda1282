// What only the MQTT driver does: opening a board that relaymqtt may or may not serve, against a
// real mosquitto, with the broker's credentials from the settings folder, and nothing of a device
// left after its close. The reads, writes,
// waits and hang-ups it shares with the other drivers run in the contract suite.
#include "driver_fixture.h"

#include "tests/support/Leaks.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace {

using namespace std::chrono_literals;

#ifdef DUD_MQTT_TESTS

TEST(MqttOpen, FailuresCarryAClearCode) {
    std::string missing;
    if (!mqtttest::ToolsPresent(missing))
        GTEST_SKIP() << missing;
    mqtttest::TScratch scratch;
    mqtttest::TBroker broker(scratch);
    mqtttest::Publish(broker, "dudovuz/off/availability", "offline", true);
    const std::string at = "mqtt://127.0.0.1:" + std::to_string(broker.Port());
    TMqttComDriver mqtt(300ms);
    const struct {
        std::string Name;
        DWORD Error;
    } rows[] = {
        {at + "/off", ENOENT},    // the bridge said offline (its Will, or a lost board)
        {at + "/nobody", ENOENT}, // no bridge ever served it
        {"mqtt://127.0.0.1:" + std::to_string(TTcpListener().Port()) + "/b1", ECONNREFUSED},
        {at, EINVAL},
        {at + "/", EINVAL},
        {at + "/b 1", EINVAL},
        {"mqtt://127.0.0.1:0/b1", EINVAL},
        {"mqtt://:1883/b1", EINVAL},
        {"mqtt://[::1/b1", EINVAL},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(mqtt.CreateFile(row.Name), INVALID_HANDLE_VALUE) << row.Name;
        EXPECT_EQ(GetLastError(), row.Error) << row.Name;
    }
}

// The broker's answer tells the credentials apart: accepted (then no bridge serves the board) or
// refused.
TEST(MqttOpen, CredentialsComeFromTheSettingsFolder) {
    std::string missing;
    if (!mqtttest::ToolsPresent(missing))
        GTEST_SKIP() << missing;
    mqtttest::TScratch scratch;
    simtest::TSimProcess passwd(mqtttest::Tool("mosquitto_passwd"),
                                {"-b", "-c", (scratch.Path() / "passwd").string(), "board", "s3cret"});
    ASSERT_EQ(passwd.Wait(), 0);
    mqtttest::TBroker broker(
        scratch, "allow_anonymous false\npassword_file " + (scratch.Path() / "passwd").string() + "\n",
        {"-u", "board", "-P", "s3cret"});
    const std::string right = scratch.Write("right", "s3cret\n"), wrong = scratch.Write("wrong", "guess\n");
    std::filesystem::create_directory(scratch.Path() / "dudovuz");
    ::setenv("XDG_CONFIG_HOME", scratch.Path().c_str(), 1);
    TMqttComDriver mqtt(300ms);
    const std::string port = std::to_string(broker.Port());
    const struct {
        std::string Keys;
        DWORD Error;
    } rows[] = {
        {"username=board\npassword-file=" + right, ENOENT},
        {"username=board\npassword-file=" + wrong, ECONNREFUSED},
        {"", ECONNREFUSED},
        {"username=board\npassword-file=" + (scratch.Path() / "none").string(), ENOKEY},
    };
    for (const auto &row : rows) {
        scratch.Write("dudovuz/mqtt.ini", "[127.0.0.1:" + port + "]\n" + row.Keys + "\n");
        EXPECT_EQ(mqtt.CreateFile("mqtt://127.0.0.1:" + port + "/b1"), INVALID_HANDLE_VALUE) << row.Keys;
        EXPECT_EQ(GetLastError(), row.Error) << row.Keys;
    }
    ::unsetenv("XDG_CONFIG_HOME");
}

// TLS to the broker when mqtt.ini names a CA file: the handshake runs in the device's own loop, a
// certificate the CA did not sign fails the open with a code of its own.
TEST(MqttOpen, TlsTrustsTheCaFileFromTheSettingsFolder) {
    std::string missing;
    if (!mqtttest::ToolsPresent(missing))
        GTEST_SKIP() << missing;
    mqtttest::TScratch scratch;
    ASSERT_TRUE(mqtttest::MakeCertificates(scratch));
    const auto in = [&](const char *name) { return (scratch.Path() / name).string(); };
    mqtttest::TBroker broker(scratch, "allow_anonymous true\n" + mqtttest::TlsListener(scratch),
                             {"--cafile", in("ca.pem")});
    mqtttest::Publish(broker, "dudovuz/b1/availability", "online", true);
    std::filesystem::create_directory(scratch.Path() / "dudovuz");
    ::setenv("XDG_CONFIG_HOME", scratch.Path().c_str(), 1);
    TMqttComDriver mqtt{std::chrono::milliseconds(Bound)};
    const mqtttest::TBroker plain(scratch);
    const int port = broker.Port(), closed = TTcpListener().Port();
    const struct {
        std::string Keys;
        int Port;
        DWORD Error;
    } rows[] = {
        {"cafile=" + in("ca.pem"), port, 0},
        {"cafile=" + in("other.pem"), port, EKEYREJECTED},
        {"cafile=" + in("none.pem"), port, ENOKEY},
        {"", port, ECONNREFUSED}, // no TLS: the broker ends the connection
        {"cafile=" + in("ca.pem"), closed, ECONNREFUSED},
        {"cafile=" + in("ca.pem"), plain.Port(), EKEYREJECTED}, // no TLS there
    };
    for (const auto &row : rows) {
        scratch.Write("dudovuz/mqtt.ini", "[127.0.0.1]\n" + row.Keys + "\n");
        const HANDLE h = mqtt.CreateFile("mqtt://127.0.0.1:" + std::to_string(row.Port) + "/b1");
        EXPECT_EQ(h == INVALID_HANDLE_VALUE ? GetLastError() : 0, row.Error) << row.Keys << " " << row.Port;
        if (h != INVALID_HANDLE_VALUE)
            mqtt.CloseHandle(h);
    }
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST(MqttOpen, OpenAndCloseLeaveNothingBehind) {
    std::string missing;
    if (!mqtttest::ToolsPresent(missing))
        GTEST_SKIP() << missing;
    TMqttEnd board;
    const TLeakBaseline baseline;
    for (int i = 0; i < 3; ++i) {
        const HANDLE h = board.Mqtt.CreateFile(board.Port());
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD n = 0;
        TOp write;
        ASSERT_TRUE(board.Mqtt.WriteFile(h, "?", 1, &n, &write.Ov));
        EXPECT_EQ(board.Receive(1), "?");
        ASSERT_TRUE(board.Mqtt.CloseHandle(h));
    }
    EXPECT_TRUE(baseline.NothingLeftBehind());
}

#endif

} // namespace
