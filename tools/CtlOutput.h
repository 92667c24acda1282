// What relayctl prints: every console line the relay controller writes, in the order written, one
// per line on standard output. As text a line is the controller's own (kind prefix and Czech text);
// as JSON it is one object per line with the time, the kind ("cmd", "io", "err", or "com" for the
// connection's "COM >" lines) and the text without its prefix, and for an answer the TRespondKind name and
// the controller's state model as the answer left it, so that scripts need not read Czech.
#pragma once

#include "relay/ReleUnit.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Text as a JSON string literal, quotes included. Text is UTF-8; a byte that does not belong to a
// valid UTF-8 sequence becomes U+FFFD, so the output is always valid JSON and valid UTF-8.
std::string JsonString(std::string_view Text);

const char *RespondKindName(TRespondKind Kind) noexcept;

// The controller's console. Lines are held until Emit prints them, because an answer's kind and
// the state after it are known only once the controller has interpreted it.
class TCtlConsole : public TConsole {
public:
    TCtlConsole(std::FILE *Out, bool Json) : FOut(Out), FJson(Json) {}

    void InsertFirstLine(const std::string &Line, TColor Colour) override;
    void InsertPlainLine(const std::string &Line) override;

    // Prints the held lines, flushed at once so a reader on a pipe sees them as they happen. With
    // an answer, each line carries its kind and Rele's state. False once standard output fails.
    bool Emit(const TRele &Rele, std::optional<TRespondKind> Answer = std::nullopt);

private:
    struct THeld {
        std::optional<TMsgKind> Kind; // none for a "COM >" line
        std::string Line;
    };
    std::string JsonLine(const THeld &Held, const TRele &Rele, std::optional<TRespondKind> Answer) const;

    std::FILE *FOut;
    bool FJson;
    std::vector<THeld> FHeld;
};
