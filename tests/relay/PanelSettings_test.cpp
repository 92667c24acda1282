// The panel's settings file: where it is, what a save leaves in it, and the files that loading
// leaves alone.
#include "relay/PanelSettings.h"

#include "serial/port/ComPort.h"
#include "serial/testing/ScriptComDriver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

using namespace ComApi;

namespace fs = std::filesystem;

namespace {

class PanelSettings : public testing::Test {
protected:
    static fs::path MakeTempDir() {
        std::string Template = (fs::temp_directory_path() / "panel-settings-XXXXXX").string();
        return ::mkdtemp(Template.data());
    }
    void SetUp() override { Port.SetName("ComPort"); }
    void TearDown() override {
        std::error_code Ignored;
        fs::remove_all(Root, Ignored);
    }
    void Write(const std::string &Text) {
        fs::create_directories(File.parent_path());
        std::ofstream(File, std::ios::binary) << Text;
    }
    std::string Read() const {
        std::ostringstream Text;
        Text << std::ifstream(File, std::ios::binary).rdbuf();
        return Text.str();
    }

    fs::path Root = MakeTempDir();
    fs::path File = Root / "config" / "dudovuz" / "panel.ini";
    TScriptComDriver Driver;
    TComPort Port{Driver};
};

TEST_F(PanelSettings, PathFollowsTheXdgRules) {
    struct TRow {
        const char *Xdg; // null: unset
        const char *Expected;
    };
    const TRow Rows[] = {
        {"/srv/cfg", "/srv/cfg/dudovuz/panel.ini"},
        {"relative/cfg", "/home/op/.config/dudovuz/panel.ini"}, // not absolute: ignored
        {"", "/home/op/.config/dudovuz/panel.ini"},
        {nullptr, "/home/op/.config/dudovuz/panel.ini"},
    };
    const std::string OldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", "/home/op", 1);
    for (const TRow &Row : Rows) {
        if (Row.Xdg)
            ::setenv("XDG_CONFIG_HOME", Row.Xdg, 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(PanelSettingsPath(), fs::path(Row.Expected)) << (Row.Xdg ? Row.Xdg : "unset");
    }
    ::setenv("HOME", OldHome.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST_F(PanelSettings, SaveCreatesTheFolderKeepsOtherSectionsAndLoadsBack) {
    Write("; the operator's note\n[relayctl]\nTimeout=5\n");
    Port.SetPort("serial/by-id/usb-FTDI_FT232R_A1-if00-port0");
    Port.SetBaudRate(brCustom);
    Port.SetCustomBaudRate(250000);
    Port.SetStopBits(sbTwoStopBits);
    Port.SetDataBits(dbSeven);
    Port.Parity().SetBits(prEven);
    Port.FlowControl().SetFlowControl(fcHardware);
    EXPECT_EQ(SavePortSettings(Port, File), "");
    EXPECT_EQ(SavePortSettings(Port, Root / "new" / "folder" / "panel.ini"), "");
    EXPECT_TRUE(Read().starts_with("; the operator's note\n[relayctl]\nTimeout=5\n")) << Read();

    TComPort Loaded{Driver};
    Loaded.SetName("ComPort");
    const TSettingsLoad Load = LoadPortSettings(Loaded, File);
    EXPECT_EQ(Load.Outcome, soLoaded) << Load.Detail;
    EXPECT_TRUE(Load.PortNamed);
    EXPECT_EQ(Loaded.Port(), Port.Port());
    EXPECT_EQ(Loaded.BaudRate(), brCustom);
    EXPECT_EQ(Loaded.CustomBaudRate(), 250000);
    EXPECT_EQ(Loaded.StopBits(), sbTwoStopBits);
    EXPECT_EQ(Loaded.DataBits(), dbSeven);
    EXPECT_EQ(Loaded.Parity().Bits(), prEven);
    EXPECT_EQ(Loaded.FlowControl().FlowControl(), fcHardware);
}

TEST_F(PanelSettings, FilesThatMakeNoSenseLeaveThePortAlone) {
    struct TRow {
        const char *Name;
        std::string Content; // empty: no file
        TSettingsOutcome Outcome;
        const char *Detail;
    };
    const TRow Rows[] = {
        {"missing", "", soMissing, ""},
        {"garbage line", "[ComPort]\nPort=ttyUSB1\nthis is no entry\n", soMalformed, "line 3"},
        {"binary", std::string("[ComPort]\nPort=ttyUSB1\n\0\x01", 25), soMalformed, "line 3"},
        {"unknown rate", "[ComPort]\nPort=ttyUSB1\nBaudRate=fast\n", soMalformed, "BaudRate=fast"},
        {"custom rate not a number", "[ComPort]\nBaudRate=Custom\nCustomBaudRate=9k\n", soMalformed,
         "CustomBaudRate=9k"},
        {"unknown parity", "[comport]\nparity=Sometimes\n", soMalformed, "parity=Sometimes"},
        {"carriage return in a value", "[ComPort]\nPort=r\rf\n", soMalformed,
         "line 2"}, // no save could keep it
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(Row.Name);
        fs::remove_all(File.parent_path());
        if (!Row.Content.empty())
            Write(Row.Content);
        Port.SetPort("ttyUSB0");
        const TSettingsLoad Load = LoadPortSettings(Port, File);
        EXPECT_EQ(Load.Outcome, Row.Outcome);
        EXPECT_EQ(Load.Detail, Row.Detail);
        EXPECT_FALSE(Load.PortNamed);
        EXPECT_EQ(Port.Port(), "ttyUSB0");
        EXPECT_NE(Port.BaudRate(), brCustom);
    }
}

TEST_F(PanelSettings, FilesThatCannotBeUsedAreReportedNotThrown) {
    // What stands where the file should be: none of it is waited for, read without end or replaced.
    const std::pair<const char *, std::function<void()>> Kinds[] = {
        {"not a regular file", [&] { fs::create_directories(File); }},
        {"not a regular file", [&] { ASSERT_EQ(::mkfifo(File.c_str(), 0600), 0); }},
        {"not a regular file", [&] { fs::create_symlink("/dev/zero", File); }},
        {"larger than 1 MiB", [&] { Write(""), fs::resize_file(File, (1u << 20) + 1); }},
    };
    for (const auto &[Why, Make] : Kinds) {
        fs::remove_all(File.parent_path());
        fs::create_directories(File.parent_path());
        Make();
        const TSettingsLoad Load = LoadPortSettings(Port, File);
        EXPECT_EQ(Load.Outcome, soUnreadable) << Why;
        EXPECT_NE(Load.Detail.find(Why), std::string::npos) << Load.Detail;
        EXPECT_NE(SavePortSettings(Port, File), "") << Why;
    }
    fs::remove_all(File);
    std::ofstream(Root / "plain") << "";
    EXPECT_NE(SavePortSettings(Port, Root / "plain" / "panel.ini"), ""); // no folder can be made
    // Loads, but names no port to open: a section without one, or a pseudo-terminal's number.
    for (const char *Text :
         {"[ComPort]\nDiscardNull=Yes\n[Other]\nPort=ttyS9\n", "[ComPort]\nPort=/dev/pts/5\n"}) {
        Write(Text);
        const TSettingsLoad Load = LoadPortSettings(Port, File);
        EXPECT_EQ(Load.Outcome, soLoaded) << Text;
        EXPECT_FALSE(Load.PortNamed) << Text;
    }
    EXPECT_EQ(Port.Port(), "/dev/pts/5");
}

} // namespace
