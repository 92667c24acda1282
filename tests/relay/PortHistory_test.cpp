// The ports a settings file has been opened with, and what the setup dialog offers from the file.
#include "relay/PortHistory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class PortHistory : public testing::Test {
protected:
    void TearDown() override {
        std::error_code Ignored;
        fs::remove_all(Root, Ignored);
    }
    static fs::path MakeTempDir() {
        std::string Template = (fs::temp_directory_path() / "port-history-XXXXXX").string();
        return ::mkdtemp(Template.data());
    }
    std::string Read() const {
        std::ostringstream Text;
        Text << std::ifstream(File).rdbuf();
        return Text.str();
    }
    fs::path Root = MakeTempDir();
    fs::path File = Root / "board" / "panel.ini";
};

TEST_F(PortHistory, OpenedPortsAreKeptNewestFirstWithinTheBound) {
    const std::vector<std::string> Ports = {"tcp://10.0.0.1:1", "ttyUSB0", "/dev/pts/4", "rfc2217://b:2"};
    for (const std::string &Port : Ports)
        ASSERT_EQ(RememberOpenedPort(Port, File), "") << Port; // also makes the folder
    EXPECT_EQ(RecentPorts(File), (std::vector<std::string>{"rfc2217://b:2", "ttyUSB0", "tcp://10.0.0.1:1"}));
    // Opened again, a port moves to the head instead of being listed twice.
    ASSERT_EQ(RememberOpenedPort("tcp://10.0.0.1:1", File), "");
    EXPECT_EQ(RecentPorts(File), (std::vector<std::string>{"tcp://10.0.0.1:1", "rfc2217://b:2", "ttyUSB0"}));
    for (std::size_t N = 0; N < MaxRecentPorts; ++N)
        ASSERT_EQ(RememberOpenedPort("ttyS" + std::to_string(N), File), "");
    const std::vector<std::string> Kept = RecentPorts(File);
    ASSERT_EQ(Kept.size(), MaxRecentPorts);
    EXPECT_EQ(Kept.front(), "ttyS" + std::to_string(MaxRecentPorts - 1));
    EXPECT_EQ(Kept.back(), "ttyS0");
    // A file that cannot be written says why.
    EXPECT_NE(RememberOpenedPort("ttyUSB9", Root / "board" / "panel.ini" / "x.ini"), "");
}

TEST_F(PortHistory, DialogOffersTheChosenTheRememberedAndTheOpenedPortsOnce) {
    fs::create_directories(File.parent_path());
    std::ofstream(File) << "[Panel]\nColour=red\n[ComPort]\nPort=tcp://127.0.0.1:4001\nBaudRate=4800\n";
    ASSERT_EQ(RememberOpenedPort("rfc2217://board:3333", File), "");
    ASSERT_EQ(RememberOpenedPort("tcp://127.0.0.1:4001", File), "");
    EXPECT_EQ(OfferedPorts("ttyUSB2", File),
              (std::vector<std::string>{"ttyUSB2", "tcp://127.0.0.1:4001", "rfc2217://board:3333"}));
    EXPECT_EQ(OfferedPorts("", Root / "none.ini"), std::vector<std::string>{});
    // The rest of the file is as it was.
    EXPECT_NE(Read().find("[Panel]\nColour=red\n[ComPort]\nPort=tcp://127.0.0.1:4001\nBaudRate=4800\n"),
              std::string::npos)
        << Read();
}

} // namespace
