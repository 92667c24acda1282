// The session log of the window's console: the files it writes and what a file that cannot be
// written does. File names come from a stand-in for the dialog.
#include "support/WindowHarness.h"

#include "relay/ReleUnit.h"

#include <QAction>
#include <QDateTime>
#include <QFile>
#include <QMenu>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

QString U(const char *Utf8) {
    return QString::fromUtf8(Utf8);
}

class SessionLog : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        Form.SessionLog().ChooseFile = [this](const QString &, const QString &, QFileDialog::Options) {
            return Chosen;
        };
        PlainTitle = Form.windowTitle();
    }
    // Chooses Path in the dialog of the console menu's action Text.
    void Choose(const char *Text, const QString &Path) {
        Chosen = Path;
        const std::unique_ptr<QMenu> Menu(Console->CreateContextMenu());
        for (QAction *Action : Menu->actions())
            if (Action->text() == U(Text)) {
                Action->trigger();
                return;
            }
        ADD_FAILURE() << "no menu entry " << Text;
    }
    // The texts of a written file, oldest first, after checking every line's time stamp.
    QStringList Written(const QString &Path) const {
        QFile File(Path);
        EXPECT_TRUE(File.open(QIODevice::ReadOnly));
        static const QRegularExpression Line(
            QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\\t(.*)$"));
        QStringList Texts;
        for (const QString &Text :
             QString::fromUtf8(File.readAll()).split(QChar(u'\n'), Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch Match = Line.match(Text);
            EXPECT_TRUE(Match.hasMatch()) << Text.toStdString();
            const QDateTime Time =
                QDateTime::fromString(Match.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            EXPECT_TRUE(Time >= Started.addSecs(-1) && Time <= QDateTime::currentDateTime())
                << Text.toStdString();
            Texts << Match.captured(2);
        }
        return Texts;
    }

    const QDateTime Started = QDateTime::currentDateTime();
    TForm1 Form;
    TConsoleView *const Console = Control<TConsoleView>(Form, "MsgR");
    QTemporaryDir Dir;
    QString Chosen;
    QString PlainTitle;
};

TEST_F(SessionLog, FilesHoldTimeTabAndTextNewestLastAndTheConsoleStaysAsItWas) {
    Console->InsertLine(U("první"));
    const QString LogPath = Dir.filePath("log.txt");
    Choose("Zaznamenávat do souboru…", LogPath);
    EXPECT_TRUE(Form.SessionLog().Recording());
    EXPECT_EQ(Form.windowTitle(), PlainTitle + U(" — ") + LogPath);
    Console->InsertLine(U("druhá\r\nřádka"));
    Rele->WriteMsg("Zkouška", mkCmd);
    Choose("Zaznamenávat do souboru…", QString());
    EXPECT_EQ(Form.windowTitle(), PlainTitle);
    Console->InsertLine(U("po vypnutí"));
    Choose("Uložit konzoli…", Dir.filePath("console.txt"));

    const QString Second = U("druhá\u240D\u240Ařádka");
    EXPECT_EQ(Written(LogPath), (QStringList{Second, U("CMD >Zkouška")}));
    EXPECT_EQ(Written(Dir.filePath("console.txt")),
              (QStringList{U("první"), Second, U("CMD >Zkouška"), U("po vypnutí")}));
    EXPECT_EQ(Console->Lines(),
              (QStringList{U("po vypnutí"), U("CMD >Zkouška"), U("druhá\r\nřádka"), U("první")}));
}

// A file that cannot be written, whether at once or on its first line: one red "ERR >" line, the
// log off, the title as before, and the panel goes on.
TEST_F(SessionLog, UnwritableFileGivesOneErrorLineAndTurnsTheLogOff) {
    const struct {
        const char *Action;
        QString Path;
    } Rows[] = {
        {"Zaznamenávat do souboru…", Dir.filePath("missing/log.txt")},
        {"Zaznamenávat do souboru…", QStringLiteral("/dev/full")},
        {"Uložit konzoli…", Dir.filePath("missing/console.txt")},
    };
    for (const auto &Row : Rows) {
        SCOPED_TRACE(Row.Path.toStdString());
        if (Row.Path.startsWith("/dev/") && !QFile::exists(Row.Path))
            continue; // a system without the always-full device
        const qsizetype Before = Console->LineCount();
        Choose(Row.Action, Row.Path);
        Console->InsertLine(U("další"));
        Console->InsertLine(U("ještě jedna"));
        const QStringList New = Console->Lines().mid(0, Console->LineCount() - Before);
        const QRegularExpression ErrorLine(QStringLiteral("^ERR >.*"));
        ASSERT_EQ(New.filter(ErrorLine).size(), 1) << New.join('|').toStdString();
        const int Error = static_cast<int>(New.indexOf(ErrorLine));
        EXPECT_TRUE(New[Error].contains(Row.Path)) << New[Error].toStdString();
        EXPECT_EQ(Console->Line(Error).Colour, QColor(255, 0, 0));
        EXPECT_FALSE(Form.SessionLog().Recording());
        EXPECT_FALSE(Form.SessionLog().RecordAction()->isChecked());
        EXPECT_EQ(Form.windowTitle(), PlainTitle);
    }
}

} // namespace
