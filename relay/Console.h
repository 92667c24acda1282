// The command console as the relay logic sees it.
//
// The controller describes every command and answer in a console whose newest line is always
// the first. The window supplies a rich-text box behind this interface; tests supply a console
// that records. Keeping it this small lets the core stay free of any toolkit.
#pragma once

#include <cstdint>
#include <string>

struct TColor {
    std::uint8_t R = 0;
    std::uint8_t G = 0;
    std::uint8_t B = 0;

    bool operator==(const TColor &) const = default;
};

class TConsole {
public:
    virtual ~TConsole() = default;

    // Puts Line (UTF-8, no line end) above every earlier line, in Colour. The implementation
    // adds its own line break. It may throw when the box cannot be written; the controller
    // reports that through the platform's message box and carries on.
    virtual void InsertFirstLine(const std::string &Line, TColor Colour) = 0;
    // The same in the console's own text colour (the connection's "COM >" lines); black unless
    // the console has a colour of its own.
    virtual void InsertPlainLine(const std::string &Line) { InsertFirstLine(Line, TColor{}); }
};
