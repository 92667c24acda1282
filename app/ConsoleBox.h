// The command console behind the relay controller: a read-only rich-text box whose newest line is
// always the first. The controller's lines come in its colours; the window's own "COM >" lines
// come in the box's plain text colour, so that they never pass for a command or an answer line.
#pragma once

#include "relay/Console.h"

#include <QPointer>
#include <QTextEdit>

class TConsoleBox : public TConsole {
public:
    explicit TConsoleBox(QTextEdit *Box) : FBox(Box) {}

    // Throws std::runtime_error once the box is gone; the controller turns that into its message box.
    void InsertFirstLine(const std::string &Line, TColor Colour) override;
    // Inserts a line with no colour of its own.
    void InsertPlainLine(const QString &Line);

private:
    void InsertAtTop(const QString &Line, const QTextCharFormat &Format);

    QPointer<QTextEdit> FBox;
};
