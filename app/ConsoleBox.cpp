#include "ConsoleBox.h"

#include <QTextCursor>
#include <stdexcept>

void TConsoleBox::InsertFirstLine(const std::string &Line, TColor Colour) {
    QTextCharFormat Format;
    Format.setForeground(QColor(Colour.R, Colour.G, Colour.B));
    InsertAtTop(QString::fromStdString(Line), Format);
}

void TConsoleBox::InsertPlainLine(const QString &Line) {
    // An explicit empty format: inserted at the start, the text would otherwise take the colour of
    // the line below it.
    InsertAtTop(Line, QTextCharFormat());
}

void TConsoleBox::InsertAtTop(const QString &Line, const QTextCharFormat &Format) {
    if (!FBox)
        throw std::runtime_error("the console box no longer exists");
    QTextCursor Cursor(FBox->document());
    Cursor.movePosition(QTextCursor::Start);
    Cursor.insertText(Line + QChar(u'\n'), Format);
    // Keep the newest line in view: the box scrolls to where the caret is.
    FBox->moveCursor(QTextCursor::Start);
}
