// What a new console line costs the main thread, and the panel's memory, once the console has taken
// 1k, 10k, 50k and 100k lines, against the console the panel first had (a rich-text box that takes
// every line at its top, undo history and all), measured in the same run.
//
//   console_bench [lines...]          (default: 1000 10000 50000 100000)
//
// Both consoles sit in the real main window, shown, at the console's place and in its font, and
// take the board's answers through the relay controller's ProcessRespond; every console change
// recolours the lamps, as in the panel. A line's cost is the answer's handling plus the event loop
// turn that lays out and paints it. Each case runs in a process of its own, so that its resident
// set is its own. The old console is filled by appending at its end (the same lines, formats and
// undo steps, without the top insertion's cost, which would take hours at 100k); the lines timed
// then go in at its top as the panel put them. Run offscreen (QT_QPA_PLATFORM=offscreen) or
// under a virtual X server; the figures say which.
#include "OldConsole.h"
#include "app/ComMainForm.h"
#include "relay/ReleUnit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTextEdit>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char *const Answers[] = {"running*", "T3*", "L=Y*", "C1=1*", "TEST=Y*", "stop*"};

double RssMiB() {
    std::ifstream Status("/proc/self/status");
    for (std::string Line; std::getline(Status, Line);)
        if (Line.rfind("VmRSS:", 0) == 0)
            return std::stod(Line.substr(6)) / 1024.0;
    return 0;
}

// Records the controller's lines so that the old box can be filled from its end.
class TRecorder : public TConsole {
public:
    void InsertFirstLine(const std::string &Line, TColor Colour) override { Lines.push_back({Line, Colour}); }
    std::vector<std::pair<std::string, TColor>> Lines;
};

struct TFigures {
    double MsPerLine = 0, Rss = 0;
};

TFigures RunNew(int Lines, int Timed) {
    TForm1 Form;
    Form.show();
    QApplication::processEvents();
    for (int N = 0; N < Lines - Timed; ++N) {
        Rele->ProcessRespond(Answers[N % std::size(Answers)]);
        if (N % 256 == 0)
            QApplication::processEvents();
    }
    QApplication::processEvents();
    QElapsedTimer Clock;
    Clock.start();
    for (int N = 0; N < Timed; ++N) {
        Rele->ProcessRespond(Answers[N % std::size(Answers)]);
        QApplication::processEvents();
    }
    return {static_cast<double>(Clock.nsecsElapsed()) / 1e6 / Timed, RssMiB()};
}

TFigures RunOld(int Lines, int Timed) {
    TForm1 Form;
    TOldConsole Console(Form.findChild<QWidget *>(QStringLiteral("MsgR")));
    TRecorder Recorder;
    TRele Filler(&Recorder, nullptr);
    for (int N = 0; N < Lines - Timed; ++N)
        Filler.ProcessRespond(Answers[N % std::size(Answers)]);
    for (auto Line = Recorder.Lines.rbegin(); Line != Recorder.Lines.rend(); ++Line)
        Console.AppendLine(Line->first, Line->second);
    Recorder.Lines = {};
    TRele Controller(&Console, nullptr);
    QObject::connect(Console.Box(), &QTextEdit::textChanged, &Form, [&Form] { Form.UpdateDiods(); });
    Form.show();
    QApplication::processEvents();
    QElapsedTimer Clock;
    Clock.start();
    for (int N = 0; N < Timed; ++N) {
        Controller.ProcessRespond(Answers[N % std::size(Answers)]);
        QApplication::processEvents();
    }
    return {static_cast<double>(Clock.nsecsElapsed()) / 1e6 / Timed, RssMiB()};
}

int RunCase(int argc, char **argv) {
    QApplication App(argc, argv);
    const std::string Kind = argv[2];
    const int Lines = std::stoi(argv[3]);
    const int Timed = Kind == "old" ? std::min(Lines, Lines >= 50000 ? 10 : 50) : std::min(Lines, 1000);
    const TFigures Figures = Kind == "old" ? RunOld(Lines, Timed) : RunNew(Lines, Timed);
    std::printf("%.3f %.1f\n", Figures.MsPerLine, Figures.Rss);
    return 0;
}

TFigures Spawn(const std::string &Self, const char *Kind, int Lines) {
    const std::string Command =
        "'" + Self + "' --case " + Kind + " " + std::to_string(Lines) + " 2>/dev/null";
    TFigures Figures;
    if (FILE *Pipe = ::popen(Command.c_str(), "r")) {
        if (std::fscanf(Pipe, "%lf %lf", &Figures.MsPerLine, &Figures.Rss) != 2)
            Figures = {-1, -1};
        ::pclose(Pipe);
    }
    return Figures;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 4 && std::string(argv[1]) == "--case")
        return RunCase(argc, argv);
    std::vector<int> Sizes;
    for (int I = 1; I < argc; ++I)
        Sizes.push_back(std::stoi(argv[I]));
    if (Sizes.empty())
        Sizes = {1000, 10000, 50000, 100000};
    char Self[4096] = {};
    if (::readlink("/proc/self/exe", Self, sizeof Self - 1) <= 0)
        return 1;
    const char *Platform = std::getenv("QT_QPA_PLATFORM");
    const char *Display = std::getenv("DISPLAY");
    const std::string Shown = Platform ? Platform : Display ? std::string("xcb on ") + Display : "default";
    std::printf("platform: %s; the new console keeps the newest %d lines\n", Shown.c_str(),
                TConsoleView::MaxLines);
    std::printf("%8s | %14s %9s | %14s %9s | %9s\n", "lines", "old ms/line", "old RSS", "new ms/line",
                "new RSS", "old/new");
    for (const int Lines : Sizes) {
        const TFigures Old = Spawn(Self, "old", Lines);
        const TFigures New = Spawn(Self, "new", Lines);
        std::printf("%8d | %14.3f %5.0f MiB | %14.3f %5.0f MiB | %8.0fx\n", Lines, Old.MsPerLine, Old.Rss,
                    New.MsPerLine, New.Rss, New.MsPerLine > 0 ? Old.MsPerLine / New.MsPerLine : 0.0);
        std::fflush(stdout);
    }
    return 0;
}
