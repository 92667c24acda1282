// The run command's simulator wrapper: it hands the panel the simulator's port, passes the panel's
// exit code on, leaves no simulator or temporary files behind, refuses to start without a display, and
// ends the panel and the simulator when it is itself ended by a signal.
#include "support/SimProcess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A stand-in for the panel: opens the first listed port, arms the alarm, prints the answer and ends
// with its own exit code. The timeout only bounds a broken run; the answer normally comes at once.
constexpr const char *FakePanel =
    "bash -c 'exec 3<>\"${EXTRA_SERIAL_PORTS%%:*}\"; stty raw -echo <&3; printf RUN=1s >&3; "
    "timeout 10 head -c 8 <&3; exit 7'";

struct TRun {
    std::string Name, Platform, Arguments;
    int ExitCode;
    std::string Output, Errors;
};

std::string ReadFile(const fs::path &Path) {
    std::ostringstream Text;
    Text << std::ifstream(Path).rdbuf();
    return Text.str();
}

TEST(WithSim, RunsThePanelBesideTheSimulator) {
    const TRun Runs[] = {
        {"talks to the simulator", "offscreen", FakePanel, 7, "running*",
         "The simulated relay board is on /dev/"},
        {"no display", "", "true", 1, "", "xvfb-run"},
        {"simulator fails", "offscreen", "--sim /bin/false true", 1, "", "did not start"},
    };
    const fs::path Base = fs::temp_directory_path() / ("with-sim-test." + std::to_string(getpid()));
    for (const auto &Run : Runs) {
        SCOPED_TRACE(Run.Name);
        const fs::path Temp = Base / "tmp";
        fs::create_directories(Temp);
        const std::string Command =
            "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM='" + Run.Platform + "' TMPDIR='" +
            Temp.string() + "' RELAYSIM='" RELAYSIM_PATH "' bash '" WITH_SIM_PATH "' " + Run.Arguments +
            " >'" + (Base / "out").string() + "' 2>'" + (Base / "err").string() + "' </dev/null";
        const int Status = std::system(Command.c_str());
        ASSERT_TRUE(WIFEXITED(Status));
        EXPECT_EQ(WEXITSTATUS(Status), Run.ExitCode);
        EXPECT_EQ(ReadFile(Base / "out"), Run.Output);
        EXPECT_THAT(ReadFile(Base / "err"), testing::HasSubstr(Run.Errors));
        // The wrapper waits for the simulator before removing its folder, so an empty TMPDIR means
        // both are gone.
        EXPECT_TRUE(fs::is_empty(Temp));
        fs::remove_all(Base);
    }
}

TEST(WithSim, ASignalEndsThePanelAndTheSimulator) {
    const struct { int Signal, ExitCode; } Cases[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}};
    const fs::path Temp = fs::temp_directory_path() / ("with-sim-signal." + std::to_string(getpid()));
    for (const auto &Case : Cases) {
        SCOPED_TRACE(strsignal(Case.Signal));
        fs::create_directories(Temp);
        // The stand-in for the panel says who it is, then waits to be ended.
        simtest::TSimProcess Wrapper({"QT_QPA_PLATFORM=offscreen", "TMPDIR=" + Temp.string(),
                                      "RELAYSIM=" RELAYSIM_PATH, "bash", WITH_SIM_PATH, "bash", "-c",
                                      "echo $$; exec sleep 60"},
                                     false, "/usr/bin/env");
        const std::string Panel = Wrapper.ReadOutputLine();
        ASSERT_FALSE(Panel.empty()) << Wrapper.Errors();
        Wrapper.Signal(Case.Signal);
        EXPECT_EQ(Wrapper.Wait(), Case.ExitCode);
        // The wrapper reaps the panel before it ends, so a panel still there was left running.
        EXPECT_NE(kill(std::stoi(Panel), 0), 0);
        EXPECT_TRUE(fs::is_empty(Temp));
        fs::remove_all(Temp);
    }
}

} // namespace
