// What relayctl prints: every console line the relay controller writes, in the order written, one
// per line on standard output. As text a line is the controller's own (kind prefix and Czech text);
// as JSON it is one object per line with the time, the kind ("cmd", "io", "err", or "com" for the
// connection's "COM >" lines) and the text without its prefix, and for an answer the TRespondKind
// name and the controller's state model as the answer left it, so that scripts need not read Czech.
// relaymqtt sends the same JSON lines to its console topic (a mirror of every emitted line).
#pragma once

#include "relay/ReleUnit.h"

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

const char *RespondKindName(TRespondKind Kind) noexcept;

// One console line as a JSON object on one line: time (UTC, milliseconds), kind, text, and for an
// answer respond and state. Kind is none for a "COM >" line. Bytes of Line that are not valid UTF-8
// become U+FFFD, so the result is always valid JSON and valid UTF-8.
std::string ConsoleLineJson(std::optional<TMsgKind> Kind, const std::string &Line, const TRele &Rele,
                            std::optional<TRespondKind> Answer);

// The controller's console. Lines are held until Emit prints them, because an answer's kind and
// the state after it are known only once the controller has interpreted it.
class TCtlConsole : public TConsole {
public:
    // Out may be null: then lines only go to the mirror.
    TCtlConsole(std::FILE *Out, bool Json) : FOut(Out), FJson(Json) {}

    void InsertFirstLine(const std::string &Line, TColor Colour) override;
    void InsertPlainLine(const std::string &Line) override;

    // Prints the held lines, flushed at once so a reader on a pipe sees them as they happen. With
    // an answer, each line carries its kind and Rele's state. False once standard output fails.
    bool Emit(const TRele &Rele, std::optional<TRespondKind> Answer = std::nullopt);

    // Also hands every emitted line, as JSON, to Mirror.
    void SetMirror(std::function<void(const std::string &JsonLine)> Mirror) { FMirror = std::move(Mirror); }

private:
    struct THeld {
        std::optional<TMsgKind> Kind; // none for a "COM >" line
        std::string Line;
    };

    std::FILE *FOut;
    bool FJson;
    std::vector<THeld> FHeld;
    std::function<void(const std::string &)> FMirror;
};
