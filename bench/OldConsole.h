// The console the panel first had, kept as the benchmarks' peer: a rich-text box that takes every
// line at its start, with its undo history, in the place and font of the window's console.
#pragma once

#include "relay/Console.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>

#include <string>

class TOldConsole : public TConsole {
public:
    // Lays the box over Console (the window's own, which it hides).
    explicit TOldConsole(QWidget *Console) : FBox(new QTextEdit(Console->parentWidget())) {
        FBox->setGeometry(Console->geometry());
        FBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        FBox->setReadOnly(true);
        FBox->setAcceptRichText(false);
        FBox->setFont(Console->font());
        FBox->document()->setDefaultFont(Console->font());
        Console->hide();
    }
    QTextEdit *Box() const { return FBox; }

    void InsertFirstLine(const std::string &Line, TColor Colour) override {
        QTextCursor Cursor(FBox->document());
        Cursor.movePosition(QTextCursor::Start);
        Cursor.insertText(QString::fromStdString(Line) + QChar(u'\n'), Format(Colour));
        FBox->moveCursor(QTextCursor::Start);
    }
    // The same line appended at the end, for filling the box quickly.
    void AppendLine(const std::string &Line, TColor Colour) {
        QTextCursor Cursor(FBox->document());
        Cursor.movePosition(QTextCursor::End);
        Cursor.insertText(QString::fromStdString(Line) + QChar(u'\n'), Format(Colour));
    }
    QString TopLine() const { return FBox->document()->firstBlock().text(); }

private:
    static QTextCharFormat Format(TColor Colour) {
        QTextCharFormat Format;
        Format.setForeground(QColor(Colour.R, Colour.G, Colour.B));
        return Format;
    }

    QTextEdit *FBox;
};
