#include "SessionLog.h"

#include "ConsoleBox.h"
#include "relay/ReleUnit.h"

#include <QAction>
#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QWidget>

namespace {

const char *const SaveText = "Uložit konzoli…";
const char *const RecordText = "Zaznamenávat do souboru…";

QByteArray LogLine(const QDateTime &Time, QString Text) {
    Text.replace(QChar(u'\r'), QChar(u'\u240D')).replace(QChar(u'\n'), QChar(u'\u240A'));
    return (Time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QChar(u'\t') + Text + QChar(u'\n'))
        .toUtf8();
}

} // namespace

TSessionLog::TSessionLog(TConsoleView *View, QWidget *Window)
    : FView(View),
      FWindow(Window),
      FSaveAction(new QAction(QString::fromUtf8(SaveText), View)),
      FRecordAction(new QAction(QString::fromUtf8(RecordText), View)),
      FTimes(static_cast<std::size_t>(View->LineCount()), QDateTime::currentDateTime()),
      FPlainTitle(Window->windowTitle()) {
    ChooseFile = [this](const QString &Caption, const QString &Suggested, QFileDialog::Options Options) {
        return QFileDialog::getSaveFileName(FWindow, Caption, Suggested, QString(), nullptr, Options);
    };
    FRecordAction->setCheckable(true);
    View->addAction(FSaveAction);
    View->addAction(FRecordAction);
    connect(FSaveAction, &QAction::triggered, this, &TSessionLog::SaveConsole);
    // Triggered, not toggled: only the operator's choice asks for a file; unticking it here
    // after a failure must not.
    connect(FRecordAction, &QAction::triggered, this, &TSessionLog::SetRecording);
    connect(View, &TConsoleView::LineInserted, this, [this](const QString &Text) { LineInserted(Text); });
}

TSessionLog::~TSessionLog() = default;

QString TSessionLog::SuggestedFile(bool Record, const QDateTime &Now) {
    QString Folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (Folder.isEmpty() || !QFileInfo(Folder).isDir())
        Folder = QDir::homePath();
    const QString Name =
        Record ? QStringLiteral("dudovuz-zaznam-") + Now.toString(QStringLiteral("yyyy-MM-dd"))
               : QStringLiteral("dudovuz-konzole-") + Now.toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
    return QDir(Folder).filePath(Name + QStringLiteral(".txt"));
}

void TSessionLog::SaveConsole() {
    const QString Path =
        ChooseFile(FSaveAction->text(), SuggestedFile(false, QDateTime::currentDateTime()), {});
    if (Path.isEmpty())
        return;
    // Written aside and put in place at the end, so a failure never leaves half a file.
    QSaveFile File(Path);
    if (!File.open(QIODevice::WriteOnly)) {
        Fail(Path, File.errorString());
        return;
    }
    for (int Index = FView->LineCount() - 1; Index >= 0; --Index)
        File.write(LogLine(FTimes[static_cast<std::size_t>(Index)], FView->Line(Index).Text));
    if (!File.commit())
        Fail(Path, File.errorString());
}

void TSessionLog::SetRecording(bool On) {
    if (!On) {
        StopRecording();
        return;
    }
    if (Recording())
        return;
    FRecordAction->setChecked(false);
    // Appending to a file that exists is the point: no question about overwriting it.
    const QString Path = ChooseFile(FRecordAction->text(), SuggestedFile(true, QDateTime::currentDateTime()),
                                    QFileDialog::DontConfirmOverwrite);
    if (Path.isEmpty())
        return;
    FFile.setFileName(Path);
    if (!FFile.open(QIODevice::WriteOnly | QIODevice::Append)) {
        Fail(Path, FFile.errorString());
        return;
    }
    FRecordAction->setChecked(true);
    SetPlainTitle(FPlainTitle);
}

void TSessionLog::SetPlainTitle(const QString &Title) {
    FPlainTitle = Title;
    FWindow->setWindowTitle(Recording() ? Title + QStringLiteral(" — ") + FFile.fileName() : Title);
}

void TSessionLog::StopRecording() {
    FRecordAction->setChecked(false);
    if (!Recording())
        return;
    FFile.close();
    FWindow->setWindowTitle(FPlainTitle);
}

void TSessionLog::LineInserted(const QString &Text) {
    // The view has taken the line and dropped its oldest one if it had to: keep the same count.
    FTimes.push_front(QDateTime::currentDateTime());
    if (FTimes.size() > TConsoleView::MaxLines)
        FTimes.pop_back();
    if (!Recording())
        return;
    const QByteArray Bytes = LogLine(FTimes.front(), Text);
    if (FFile.write(Bytes) != Bytes.size() || !FFile.flush())
        Fail(FFile.fileName(), FFile.errorString());
}

void TSessionLog::Fail(const QString &Path, const QString &Reason) {
    // Off first: the error line goes into the console, and from there it would come back here.
    StopRecording();
    const TColor Colour = MsgKindColour(mkErr);
    FView->InsertLine(QString::fromUtf8(MsgKindPrefix(mkErr)) +
                          QStringLiteral("CHYBA - do souboru \"%1\" nelze zapsat: %2.").arg(Path, Reason),
                      QColor(Colour.R, Colour.G, Colour.B));
}
