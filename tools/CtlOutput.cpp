// Console lines as relayctl prints them (CtlOutput.h).
#include "CtlOutput.h"

#include <chrono>
#include <ctime>
#include <string_view>

namespace {

const std::string_view ComPrefix = "COM > ";

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

// The length of the valid UTF-8 sequence at the start of Text, 0 when there is none.
std::size_t Utf8Length(std::string_view Text) {
    const auto Byte = [&](std::size_t I) { return static_cast<unsigned char>(Text[I]); };
    const unsigned char Lead = Byte(0);
    std::size_t Length = Lead < 0x80   ? 1
                         : Lead < 0xC2 ? 0
                         : Lead < 0xE0 ? 2
                         : Lead < 0xF0 ? 3
                         : Lead < 0xF5 ? 4
                                       : 0;
    if (Length == 0 || Length > Text.size())
        return 0;
    for (std::size_t I = 1; I < Length; ++I)
        if ((Byte(I) & 0xC0) != 0x80)
            return 0;
    // Overlong forms, surrogates and code points above U+10FFFF.
    if ((Lead == 0xE0 && Byte(1) < 0xA0) || (Lead == 0xED && Byte(1) >= 0xA0) ||
        (Lead == 0xF0 && Byte(1) < 0x90) || (Lead == 0xF4 && Byte(1) >= 0x90))
        return 0;
    return Length;
}

void AppendEscaped(std::string &Out, char C) {
    switch (C) {
    case '"':
        Out += "\\\"";
        return;
    case '\\':
        Out += "\\\\";
        return;
    case '\n':
        Out += "\\n";
        return;
    case '\r':
        Out += "\\r";
        return;
    case '\t':
        Out += "\\t";
        return;
    default:
        break;
    }
    if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F) {
        char Code[8];
        std::snprintf(Code, sizeof Code, "\\u%04x", static_cast<unsigned char>(C));
        Out += Code;
    } else {
        Out += C;
    }
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

std::string FlagsArray(const TBoardFlags &Flags) {
    std::string Out = "[";
    for (int N = TBoardFlags::First; N <= TBoardFlags::Last; ++N)
        Out += std::string(N == TBoardFlags::First ? "" : ",") + (Flags[N] ? "true" : "false");
    return Out + "]";
}

std::string StateObject(const TRele &Rele) {
    return std::string("{\"relays\":") + FlagsArray(Rele.Relays) + ",\"inputs\":" + FlagsArray(Rele.Inputs) +
           ",\"alarmActive\":" + (Rele.AlarmActive ? "true" : "false") +
           ",\"alarmTriggered\":" + (Rele.AlarmTriggered ? "true" : "false") + "}";
}

} // namespace

std::string JsonString(std::string_view Text) {
    std::string Out = "\"";
    while (!Text.empty()) {
        const std::size_t Length = Utf8Length(Text);
        if (Length == 0) {
            Out += "\xEF\xBF\xBD";
            Text.remove_prefix(1);
        } else if (Length == 1) {
            AppendEscaped(Out, Text[0]);
            Text.remove_prefix(1);
        } else {
            Out.append(Text.substr(0, Length));
            Text.remove_prefix(Length);
        }
    }
    return Out + "\"";
}

const char *RespondKindName(TRespondKind Kind) noexcept {
    static const char *const Names[] = {"rkInputs",      "rkInputOff", "rkRun",   "rkStop",    "rkResetMode",
                                        "rkRespondMode", "rkPushBtn",  "rkTimer", "rkNoAlert", "rkAlert"};
    return Kind < std::size(Names) ? Names[Kind] : "rkUnknown";
}

void TCtlConsole::InsertFirstLine(const std::string &Line, TColor) {
    FHeld.push_back({KindOfLine(Line), Line});
}

void TCtlConsole::InsertPlainLine(const std::string &Line) {
    FHeld.push_back({std::nullopt, Line});
}

bool TCtlConsole::Emit(const TRele &Rele, std::optional<TRespondKind> Answer) {
    bool Written = true;
    for (const THeld &Held : FHeld) {
        const std::string Out = (FJson ? JsonLine(Held, Rele, Answer) : Held.Line) + "\n";
        Written = Written && std::fwrite(Out.data(), 1, Out.size(), FOut) == Out.size();
    }
    FHeld.clear();
    return std::fflush(FOut) == 0 && Written;
}

std::string TCtlConsole::JsonLine(const THeld &Held, const TRele &Rele,
                                  std::optional<TRespondKind> Answer) const {
    const std::string_view Prefix = Held.Kind ? MsgKindPrefix(*Held.Kind) : ComPrefix;
    const std::string Text = Held.Line.starts_with(Prefix) ? Held.Line.substr(Prefix.size()) : Held.Line;
    std::string Out = "{\"time\":\"" + UtcNow() + "\",\"kind\":\"" +
                      (Held.Kind ? KindName(*Held.Kind) : "com") + "\",\"text\":" + JsonString(Text);
    if (Answer)
        Out +=
            std::string(",\"respond\":\"") + RespondKindName(*Answer) + "\",\"state\":" + StateObject(Rele);
    return Out + "}";
}
