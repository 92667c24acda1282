// Console lines as relayctl prints them (CtlOutput.h).
#include "CtlOutput.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <ctime>
#include <string_view>

namespace {

const std::string_view ComPrefix = "COM > ";

using TJson = nlohmann::ordered_json; // keys in the order written: time first, as scripts expect

const char *KindName(TMsgKind Kind) noexcept {
    switch (Kind) {
    case mkCmd:
        return "cmd";
    case mkIO:
        return "io";
    case mkErr:
        break;
    }
    return "err";
}

// The kind of a console line, by the prefix the controller gave it; its colour says the same.
TMsgKind KindOfLine(const std::string &Line) {
    for (const TMsgKind Kind : {mkCmd, mkIO, mkErr})
        if (Line.starts_with(MsgKindPrefix(Kind)))
            return Kind;
    return mkErr; // every line comes through WriteMsg, so one of the prefixes is there
}

std::string UtcNow() {
    const auto Now = std::chrono::system_clock::now();
    const std::time_t Seconds = std::chrono::system_clock::to_time_t(Now);
    const auto Millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch()).count() % 1000;
    std::tm Utc{};
    gmtime_r(&Seconds, &Utc);
    char Text[40];
    const std::size_t Length = std::strftime(Text, sizeof Text, "%Y-%m-%dT%H:%M:%S", &Utc);
    std::snprintf(Text + Length, sizeof Text - Length, ".%03dZ", static_cast<int>(Millis));
    return Text;
}

TJson FlagsArray(const TBoardFlags &Flags) {
    TJson Out = TJson::array();
    for (int N = TBoardFlags::First; N <= TBoardFlags::Last; ++N)
        Out.push_back(Flags[N]);
    return Out;
}

TJson StateObject(const TRele &Rele) {
    return {{"relays", FlagsArray(Rele.Relays)},
            {"inputs", FlagsArray(Rele.Inputs)},
            {"alarmActive", Rele.AlarmActive},
            {"alarmTriggered", Rele.AlarmTriggered}};
}

} // namespace

const char *RespondKindName(TRespondKind Kind) noexcept {
    static const char *const Names[] = {"rkInputs",      "rkInputOff", "rkRun",   "rkStop",    "rkResetMode",
                                        "rkRespondMode", "rkPushBtn",  "rkTimer", "rkNoAlert", "rkAlert"};
    return Kind < std::size(Names) ? Names[Kind] : "rkUnknown";
}

std::string ConsoleLineJson(std::optional<TMsgKind> Kind, const std::string &Line, const TRele &Rele,
                            std::optional<TRespondKind> Answer) {
    const std::string_view Prefix = Kind ? MsgKindPrefix(*Kind) : ComPrefix;
    TJson Out = {{"time", UtcNow()},
                 {"kind", Kind ? KindName(*Kind) : "com"},
                 {"text", Line.starts_with(Prefix) ? Line.substr(Prefix.size()) : Line}};
    if (Answer) {
        Out["respond"] = RespondKindName(*Answer);
        Out["state"] = StateObject(Rele);
    }
    return Out.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

void TCtlConsole::InsertFirstLine(const std::string &Line, TColor) {
    FHeld.push_back({KindOfLine(Line), Line});
}

void TCtlConsole::InsertPlainLine(const std::string &Line) {
    FHeld.push_back({std::nullopt, Line});
}

bool TCtlConsole::Emit(const TRele &Rele, std::optional<TRespondKind> Answer) {
    bool Written = true;
    for (const auto &[Kind, Line] : FHeld) {
        const std::string Json = FJson || FMirror ? ConsoleLineJson(Kind, Line, Rele, Answer) : std::string();
        if (FMirror)
            FMirror(Json);
        if (!FOut)
            continue;
        const std::string Out = (FJson ? Json : Line) + "\n";
        Written = Written && std::fwrite(Out.data(), 1, Out.size(), FOut) == Out.size();
    }
    FHeld.clear();
    return (!FOut || std::fflush(FOut) == 0) && Written;
}
