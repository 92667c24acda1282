// relayctl as a script meets it: a child process against the simulator's pseudo-terminal, judged by
// its standard output, its standard error and its exit code. Every wait is for a line or for the
// end of the process, with the support's bound.
#include "support/SimProcess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <unistd.h>

using simtest::TSimProcess;
using testing::HasSubstr;

namespace {

namespace fs = std::filesystem;

// The panel's settings live under a folder of the test's own, never the developer's.
class RelayCtl : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(Config);
        setenv("XDG_CONFIG_HOME", Config.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(Config); }

    // The simulator, answering without pauses; its port's path is its first output line.
    TSimProcess Sim{{"--gap", "0"}, false};
    const std::string Port = Sim.ReadOutputLine();
    const fs::path Config = fs::temp_directory_path() / ("relayctl-test." + std::to_string(getpid()));
};

TSimProcess StartCtl(std::vector<std::string> Args) {
    return TSimProcess(RELAYCTL_PATH, std::move(Args));
}

std::vector<std::string> ReadLines(TSimProcess &Ctl, std::size_t Count) {
    std::vector<std::string> Lines;
    while (Lines.size() < Count)
        Lines.push_back(Ctl.ReadOutputLine());
    return Lines;
}

// Everything up to the end of standard output.
std::string ReadAll(TSimProcess &Ctl) {
    std::string Text;
    for (std::string Line; !(Line = Ctl.ReadOutputLine()).empty();)
        Text += Line + "\n";
    return Text;
}

// A JSON line without its time stamp, which must be UTC with milliseconds.
std::string Untimed(const std::string &Line) {
    static const std::regex Stamp(R"(^\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z",)");
    EXPECT_TRUE(std::regex_search(Line, Stamp)) << Line;
    return std::regex_replace(Line, Stamp, "{");
}

// Commands go out in order and answers come in order, but how the two interleave depends on the
// board's pace, so each kind is compared on its own.
std::vector<std::string> Only(const std::vector<std::string> &Lines, const std::string &Mark) {
    std::vector<std::string> Kept;
    for (const std::string &Line : Lines)
        if (Line.find(Mark) != std::string::npos)
            Kept.push_back(Line);
    return Kept;
}

TEST_F(RelayCtl, ExitCodesAndWhatTheySay) {
    struct TRow {
        std::string Name, Ini;
        std::vector<std::string> Args;
        int ExitCode;
        testing::Matcher<std::string> Output, Errors;
    };
    const std::string Missing = "/dev/dudovuz-no-such-port";
    const TRow Rows[] = {
        {"sent",
         "",
         {"--port", Port, "--wait", "0", "R1=1s"},
         0,
         "CMD >Požadavek na  zapnutí  Relé č,1.\n",
         ""},
        {"refused, the rest still sent",
         "",
         {"--port", Port, "--wait=0", "R1=1", "R2=0s"},
         1,
         "ERR >ERROR - Empty or unterminated command.\nCMD >Požadavek na  vypnutí  Relé č,2.\n",
         HasSubstr("did you mean \"R1=1s\"?")},
        {"port cannot be opened",
         "",
         {"--port", Missing, "R1=1s"},
         2,
         "ERR >CHYBA při otvírání portu.\nERR >Port \"" + Missing + "\": zařízení neexistuje.\n",
         ""},
        {"remembered port",
         "[ComPort]\nPort=" + Port + "\n",
         {"--wait", "0", "R1=0s"},
         0,
         "CMD >Požadavek na  vypnutí  Relé č,1.\n",
         ""},
        {"--port beats the remembered one",
         "[ComPort]\nPort=" + Missing + "\n",
         {"--port", Port, "--wait", "0", "R1=0s"},
         0,
         "CMD >Požadavek na  vypnutí  Relé č,1.\n",
         ""},
        {"no port", "", {"R1=1s"}, 3, "", HasSubstr("--port NAME")},
        {"no port remembered", "[ComPort]\nBaudRate=4800\n", {"R1=1s"}, 3, "", HasSubstr("--port NAME")},
        {"bad wait", "", {"--port", Port, "--wait", "-1", "R1=1s"}, 3, "", HasSubstr("--wait")},
        {"wait and listen", "", {"--port", Port, "--wait", "1", "--listen"}, 3, "", HasSubstr("--listen")},
        {"follow without listen", "", {"--port", Port, "--follow", "R1=1s"}, 3, "", HasSubstr("--follow")},
        {"no command", "", {"--port", Port}, 3, "", HasSubstr("no command")},
        {"unknown option", "", {"--verbose", "R1=1s"}, 3, "", HasSubstr("--verbose")},
        {"help", "", {"--help"}, 0, testing::StartsWith("Usage: relayctl [--port NAME]"), ""},
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(Row.Name);
        fs::remove_all(Config / "dudovuz");
        if (!Row.Ini.empty()) {
            fs::create_directories(Config / "dudovuz");
            std::ofstream(Config / "dudovuz" / "panel.ini") << Row.Ini;
        }
        TSimProcess Ctl = StartCtl(Row.Args);
        EXPECT_THAT(ReadAll(Ctl), Row.Output);
        EXPECT_THAT(Ctl.Errors(), Row.Errors);
        EXPECT_EQ(Ctl.Wait(), Row.ExitCode);
    }
}

TEST_F(RelayCtl, ListensUntilStoppedAndShowsAnAlarmRaisedAtTheBoard) {
    const std::vector<std::string> TextCommands = {
        "CMD >Požadavek na  zapnutí  Relé č,1.",
        "CMD >Zapínám alarm...",
        "CMD >Zjišťuji poplach na vstupech 1-3 (Alarm aktivován !).",
        "CMD >Zjišťuji stav vstupů 1-3...",
    };
    const std::vector<std::string> TextAnswers = {
        "IO  >Alarm je spuštěn.(running*)",
        "IO  >Poplach není aktivován.(*)",
        "IO  >Stav vstupů načten.(&000*)",
        "IO  >Poplach aktivován sepnutím vstupu č.3*(3*)",
    };
    // Relay 1 on, no input active, the alarm armed: the state after each answer but the last. The
    // relay command goes first and draws no answer, so every answer comes after it.
    const auto JsonAnswer = [](const std::string &Text, const char *Respond, bool Triggered) {
        return "{\"kind\":\"io\",\"text\":\"" + Text + "\",\"respond\":\"" + Respond +
               "\",\"state\":{\"relays\":[true,false,false,false,false,false],"
               "\"inputs\":[false,false,false,false,false,false],\"alarmActive\":true,"
               "\"alarmTriggered\":" +
               (Triggered ? "true" : "false") + "}}";
    };
    const std::vector<std::string> JsonCommands = {
        R"({"kind":"cmd","text":"Požadavek na  zapnutí  Relé č,1."})",
        R"({"kind":"cmd","text":"Zapínám alarm..."})",
        R"({"kind":"cmd","text":"Zjišťuji poplach na vstupech 1-3 (Alarm aktivován !)."})",
        R"({"kind":"cmd","text":"Zjišťuji stav vstupů 1-3..."})",
    };
    const std::vector<std::string> JsonAnswers = {
        JsonAnswer("Alarm je spuštěn.(running*)", "rkRun", false),
        JsonAnswer("Poplach není aktivován.(*)", "rkNoAlert", false),
        JsonAnswer("Stav vstupů načten.(&000*)", "rkInputs", false),
        JsonAnswer("Poplach aktivován sepnutím vstupu č.3*(3*)", "rkAlert", true),
    };
    struct TRow {
        std::string Name;
        bool Json;
        std::string End; // a signal's name, or a command that ends the simulator
        int ExitCode;
        std::string Errors;
    };
    const TRow Rows[] = {
        {"text, SIGTERM", false, "SIGTERM", 0, ""},
        {"JSON, SIGINT", true, "SIGINT", 0, ""},
        {"the board goes away", false, "quit", 2, "COM > Zařízení bylo odpojeno.\n"},
    };
    for (const TRow &Row : Rows) {
        SCOPED_TRACE(Row.Name);
        TSimProcess Board{{"--gap", "0"}, false};
        std::vector<std::string> Args = {"--port", Board.ReadOutputLine(), "--listen", "R1=1s", "RUN=1s", "?",
                                         "!"};
        if (Row.Json)
            Args.insert(Args.begin(), "--json");
        TSimProcess Ctl = StartCtl(Args);
        std::vector<std::string> Lines = ReadLines(Ctl, 7);
        Board.Control("input 3 on");
        Lines.push_back(Ctl.ReadOutputLine());
        if (Row.End == "quit")
            Board.Feed("quit\n");
        else
            Ctl.Signal(Row.End == "SIGINT" ? SIGINT : SIGTERM);
        EXPECT_EQ(Ctl.Wait(), Row.ExitCode);
        EXPECT_THAT(Ctl.Errors(), HasSubstr(Row.Errors));
        if (Row.Json) {
            for (std::string &Line : Lines)
                Line = Untimed(Line);
            EXPECT_EQ(Only(Lines, R"("kind":"cmd")"), JsonCommands);
            EXPECT_EQ(Only(Lines, R"("kind":"io")"), JsonAnswers);
        } else {
            EXPECT_EQ(Only(Lines, "CMD >"), TextCommands);
            EXPECT_EQ(Only(Lines, "IO  >"), TextAnswers);
        }
    }
}

// With --follow a board that goes away is waited for under its name and opened again, and the
// listening goes on; the keeper's lines are console lines ("com" in JSON).
TEST_F(RelayCtl, FollowsABoardThatGoesAwayAndComesBack) {
    const std::string Link = (Config / "ttyBOARD").string();
    const std::vector<std::string> Lost = {"COM > Chyba v komunikaci na COM portu.",
                                           "COM > Zařízení bylo odpojeno.",
                                           "COM > Čekám na návrat zařízení " + Link + "."};
    for (const bool Json : {false, true}) {
        SCOPED_TRACE(Json ? "JSON" : "text");
        auto Board =
            std::make_unique<TSimProcess>(std::vector<std::string>{"--gap", "0", "--link", Link}, false);
        Board->ReadOutputLine();
        std::vector<std::string> Args = {"--port", Link, "--listen", "--follow", "R1=1s"};
        if (Json)
            Args.insert(Args.begin(), "--json");
        TSimProcess Ctl = StartCtl(Args);
        ReadLines(Ctl, 1); // the command went out: the port is open
        Board->Feed("quit\n");
        EXPECT_EQ(Board->Wait(), 0);
        std::vector<std::string> Lines = ReadLines(Ctl, 3);
        Board = std::make_unique<TSimProcess>(std::vector<std::string>{"--gap", "0", "--link", Link}, false);
        Board->ReadOutputLine();
        Lines.push_back(Ctl.ReadOutputLine());
        Board->Feed("send stop*\n");
        Lines.push_back(Ctl.ReadOutputLine());
        std::vector<std::string> Expected = Lost;
        Expected.push_back("COM > Zařízení je zpět, port je znovu otevřen.");
        Expected.push_back("IO  >Alarm byl vypnut.(stop*)");
        if (Json) {
            for (std::string &Line : Expected) {
                const bool Com = Line.starts_with("COM > ");
                Line = std::string(R"({"kind":")") + (Com ? "com" : "io") + R"(","text":")" +
                       Line.substr(Com ? 6 : 5) + "\"}";
            }
            for (std::string &Line : Lines) {
                Line = Untimed(Line); // an answer's kind and state are another test's
                if (const std::size_t Respond = Line.find(R"(,"respond")"); Respond != std::string::npos)
                    Line = Line.substr(0, Respond) + "}";
            }
        }
        EXPECT_EQ(Lines, Expected);
        Ctl.Signal(SIGTERM);
        EXPECT_EQ(Ctl.Wait(), 0);
    }
}

TEST_F(RelayCtl, ReadsCommandsFromStandardInput) {
    // A blank line is skipped, a line end may be CRLF, commands are UTF-8 for the line's code page,
    // and a control character in a quoted command stays valid JSON.
    TSimProcess Ctl = StartCtl({"--port", Port, "--json", "--wait", "0", "R4=1s", "-", "R5=1s"});
    Ctl.Feed("R2=1s\n\nR3=0s\r\nŘ\"\x01s");
    Ctl.CloseInput();
    std::vector<std::string> Lines = ReadLines(Ctl, 5);
    for (std::string &Line : Lines)
        Line = Untimed(Line);
    EXPECT_THAT(Lines,
                testing::ElementsAre(R"({"kind":"cmd","text":"Požadavek na  zapnutí  Relé č,4."})",
                                     R"({"kind":"cmd","text":"Požadavek na  zapnutí  Relé č,2."})",
                                     R"({"kind":"cmd","text":"Požadavek na  vypnutí  Relé č,3."})",
                                     R"({"kind":"err","text":"ERROR - Unknown Command \"Ř\"\u0001s\"."})",
                                     R"({"kind":"cmd","text":"Požadavek na  zapnutí  Relé č,5."})"));
    EXPECT_EQ(Ctl.Wait(), 1);
}

TEST_F(RelayCtl, SignalBeforeEveryCommandWentOutIsNoSuccess) {
    TSimProcess Ctl = StartCtl({"--port", Port, "-", "R2=1s"});
    Ctl.Feed("R1=1s\n");
    EXPECT_EQ(Ctl.ReadOutputLine(), "CMD >Požadavek na  zapnutí  Relé č,1.");
    Ctl.Signal(SIGTERM);
    EXPECT_EQ(Ctl.Wait(), 128 + SIGTERM);
    EXPECT_EQ(ReadAll(Ctl), "");
}

} // namespace
