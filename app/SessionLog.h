// The session log: the console's lines with the local time each one went in, written to files
// beside the console and never into it.
//
// Two actions end the console's context menu. "Uložit konzoli…" writes every line the console
// holds to a chosen file, oldest first, newest last. "Zaznamenávat do souboru…" (checkable)
// appends each new console line to a chosen file as it goes in, flushed line by line, and shows
// the file in the window's title while it is on. Every line of a file is the time stamp
// "yyyy-MM-dd HH:mm:ss" (local time), one tab and the console line's text, in UTF-8 with "\n" at
// the end; a carriage return or line feed inside a line is written as the symbol ␍ or ␊, so one
// console line is always one line of the file.
//
// A file that cannot be opened or written turns the log off and puts one red "ERR >" line on the
// console that names the file and the reason; nothing else stops.
//
// The console view keeps no times, so this class keeps one per held line, newest first, in step
// with the view's own bound. Make it before the first line goes in; lines that are already there
// take the time the log was made.
#pragma once

#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>

class QAction;
class QColor;
class QWidget;
class TConsoleView;

class TSessionLog : public QObject {
    Q_OBJECT

public:
    // Adds the two actions to View; Window gets the file dialogs and the title.
    TSessionLog(TConsoleView *View, QWidget *Window);
    ~TSessionLog() override;

    // Asks for a file name, offering Suggested; empty when the operator cancelled. Tests put a
    // stand-in here, so that no dialog opens.
    using TChooseFile = std::function<QString(const QString &Caption, const QString &Suggested,
                                              QFileDialog::Options Options)>;
    TChooseFile ChooseFile;
    // The file the dialogs offer: in the operator's documents folder (the home folder when there
    // is none) a name with the date, and for a saved console the time too ("dudovuz-konzole-
    // 2026-12-08-140307.txt"; a record, appended to all day, "dudovuz-zaznam-2026-12-08.txt").
    static QString SuggestedFile(bool Record, const QDateTime &Now);

    QAction *SaveAction() const { return FSaveAction; }
    QAction *RecordAction() const { return FRecordAction; }
    bool Recording() const { return FFile.isOpen(); }

    // What the two actions do.
    void SaveConsole();
    void SetRecording(bool On);
    // The window's title without the log's file, which follows it while the log is on.
    void SetPlainTitle(const QString &Title);

private:
    void LineInserted(const QString &Text);
    void StopRecording();
    void Fail(const QString &Path, const QString &Reason);

    TConsoleView *FView;
    QWidget *FWindow;
    QAction *FSaveAction;
    QAction *FRecordAction;
    std::deque<QDateTime> FTimes;
    QFile FFile;
    // The window's title without the log's file.
    QString FPlainTitle;
};
