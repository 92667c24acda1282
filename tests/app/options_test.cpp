// The panel's command line: every option and every bad use, with what it prints and its exit code.
#include "app/PanelOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PanelOptions, EachUseAndItsAnswer) {
    using enum TPanelOptions::TAction;
    struct TRow {
        std::vector<std::string> Arguments;
        TPanelOptions::TAction Action;
        int ExitCode;
        const char *Said; // what the printed text starts with, or contains after "dudovuz: "
        const char *Port, *Settings;
    };
    const TRow Rows[] = {
        {{}, paRun, 0, "", nullptr, nullptr},
        {{"--port", "tcp://127.0.0.1:4001"}, paRun, 0, "", "tcp://127.0.0.1:4001", nullptr},
        {{"--port=ttyUSB1", "--settings", "/tmp/board2.ini"}, paRun, 0, "", "ttyUSB1", "/tmp/board2.ini"},
        {{"--settings=b.ini"}, paRun, 0, "", nullptr, "b.ini"},
        {{"--help"}, paPrint, 0, "Usage: dudovuz [--port NAME]", nullptr, nullptr},
        {{"--port", "x", "--version"}, paPrint, 0, "dudovuz 0.", nullptr, nullptr},
        {{"--port"}, paRefuse, 2, "--port needs a value", nullptr, nullptr},
        {{"--settings"}, paRefuse, 2, "--settings needs a value", nullptr, nullptr},
        {{"--port="}, paRefuse, 2, "--port needs a port name", nullptr, nullptr},
        {{"--settings", ""}, paRefuse, 2, "--settings needs a file name", nullptr, nullptr},
        {{"--port", "a", "--port", "b"}, paRefuse, 2, "--port given twice", nullptr, nullptr},
        {{"--verbose"}, paRefuse, 2, "unknown option --verbose", nullptr, nullptr},
        {{"-platform", "offscreen"}, paRefuse, 2, "unknown option -platform", nullptr, nullptr},
        {{"ttyUSB0"}, paRefuse, 2, "unexpected argument \"ttyUSB0\"", nullptr, nullptr},
    };
    for (const TRow &Row : Rows) {
        std::string Shown;
        for (const std::string &Argument : Row.Arguments)
            Shown += " " + Argument;
        SCOPED_TRACE("dudovuz" + Shown);
        const TPanelOptions Options = ParsePanelOptions(Row.Arguments);
        EXPECT_EQ(Options.Action, Row.Action);
        EXPECT_EQ(Options.ExitCode, Row.ExitCode);
        if (Row.Action == paRefuse) {
            // The reason first, then the usage and where to read more.
            EXPECT_EQ(Options.Text.rfind("dudovuz: " + std::string(Row.Said) + "\nUsage: dudovuz ", 0), 0u)
                << Options.Text;
            EXPECT_NE(Options.Text.find("dudovuz --help"), std::string::npos);
        } else {
            EXPECT_EQ(Options.Text.rfind(Row.Said, 0), 0u) << Options.Text;
        }
        EXPECT_EQ(Options.Port.value_or("-"), Row.Port ? Row.Port : "-");
        EXPECT_EQ(Options.Settings.value_or("-"), Row.Settings ? Row.Settings : "-");
    }
}

} // namespace
