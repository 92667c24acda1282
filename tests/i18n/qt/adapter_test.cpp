// The Qt adapter offscreen: the object-tree walk over real widgets, and Qt's own texts through the
// resource-text domains, with catalogues that msgfmt builds for the test.
#include "i18n/gnugettext.h"
#include "i18n/qt/QtReflection.h"
#include "i18n/qt/ResourceTextTranslator.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>

#include <filesystem>
#include <fstream>

// A widget with the property kinds that stock widgets lack.
class TPanel : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QStringList lines MEMBER Lines)
    Q_PROPERTY(QObject *partner MEMBER Partner)
public:
    using QWidget::QWidget;
    QStringList Lines;
    QObject *Partner = nullptr;
};

namespace {

namespace fs = std::filesystem;

class QtAdapter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int Argc = 1;
        static char Name[] = "i18n_qt_test", *Argv[] = {Name, nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen"); // never a real display, however the test is started
        static QApplication App(Argc, Argv);
        Write("cport",
              R"(msgid "Setup" msgstr "Nastavení" msgid "Port" msgstr "Přípojka" msgid "OK" msgstr "Budiž"
            msgid "Tip" msgstr "Rada" msgid "Both" msgstr "From cport" msgid "Close" msgstr "Zavřít"
            msgid "Two lines" msgstr "První\nDruhý")");
        Write(
            "default",
            R"(msgid "Cancel" msgstr "Zrušit" msgid "Both" msgstr "From default" msgid "Close" msgstr "Close")");
        std::ofstream(Dir() / "broken.mo") << "this is no catalogue, but long enough to be read";
    }
    static void TearDownTestSuite() { fs::remove_all(Root()); }
    static fs::path Root() { return fs::temp_directory_path() / ("i18n_qt_" + std::to_string(::getpid())); }
    static fs::path Dir() { return Root() / "locale/xx/LC_MESSAGES"; }
    static void Write(const std::string &Domain, const std::string &Entries) {
        fs::create_directories(Dir());
        std::ofstream(Dir() / (Domain + ".po"))
            << R"(msgid "" msgstr "Content-Type: text/plain; charset=UTF-8\n")"
            << "\n"
            << Entries << "\n";
        const std::string Command =
            "cd " + Dir().string() + " && msgfmt -o " + Domain + ".mo " + Domain + ".po";
        ASSERT_EQ(std::system(Command.c_str()), 0);
    }
    template <class T> static T *Add(QWidget *Parent, const char *Name) {
        auto *Widget = new T(Parent);
        Widget->setObjectName(Name);
        return Widget;
    }

    TGnuGettextSession Session{Root().string(), "xx"};
};

TEST_F(QtAdapter, TranslatesWidgetTextsAndEntriesButNotNamesOrIgnoredBoxes) {
    QWidget Dialog;
    Dialog.setObjectName("Setup");
    Dialog.setWindowTitle("Setup");
    auto *Label = Add<QLabel>(&Dialog, "Port");
    Label->setText("Port");
    Label->setToolTip("Tip");
    auto *Ignored = Add<QComboBox>(Label, "Combo1"); // nested: the walk goes below the first level
    Ignored->addItem("Port", 1);
    auto *Combo = Add<QComboBox>(&Dialog, "Combo2");
    Combo->addItem("Port", 4800);
    Combo->addItem("Two lines", 9600);
    Combo->setItemData(0, "Tip", Qt::ToolTipRole);
    auto *List = Add<QListWidget>(&Dialog, "List1");
    List->addItems({"OK", "Setup"});
    auto *Table = Add<QTableWidget>(&Dialog, "Table1");
    Table->setRowCount(1);
    Table->setColumnCount(2);
    Table->setItem(0, 1, new QTableWidgetItem("Port"));
    auto *Panel = Add<TPanel>(&Dialog, "Panel1");
    Panel->Lines = {"Port", "", "Two lines"};
    auto *Partner = Add<QLabel>(&Dialog, "Label2");
    Partner->setText("Port");
    Panel->Partner = Partner;

    TP_Ignore(&Dialog, "Combo1");
    TP_Ignore(&Dialog, "Label2");
    TP_Ignore(&Dialog, "PORT.toolTip");
    TranslateObjectTree(&Dialog, "cport");

    EXPECT_EQ(Dialog.windowTitle() + Dialog.objectName(), "NastaveníSetup");
    EXPECT_EQ(Label->text() + Label->objectName() + Label->toolTip(), "PřípojkaPortTip");
    EXPECT_EQ(Ignored->itemText(0), "Port");
    EXPECT_EQ(Partner->text(), "Přípojka") << "reached through the partner property";
    EXPECT_EQ(Combo->count(), 2);
    EXPECT_EQ(Combo->itemText(0) + Combo->itemData(0, Qt::ToolTipRole).toString(), "PřípojkaRada");
    EXPECT_EQ(Combo->itemText(1), "První\nDruhý") << "bare line feeds, and no new entry";
    EXPECT_EQ(Combo->itemData(0).toInt() + Combo->itemData(1).toInt(), 4800 + 9600)
        << "entries keep their data";
    EXPECT_EQ(List->item(0)->text() + List->item(1)->text(), "BudižNastavení");
    EXPECT_EQ(Table->item(0, 1)->text(), "Přípojka");
    EXPECT_EQ(Panel->Lines, QStringList({"Přípojka", "", "První", "Druhý"}));
}

TEST_F(QtAdapter, ClassRulesFollowQtInheritanceAndErrorsNameTheQtClass) {
    EXPECT_TRUE(InheritsFrom(QtClass(QPushButton::staticMetaObject), TComponentClass));
    QWidget Form;
    auto *Ok = Add<QPushButton>(&Form, "OK");
    Ok->setText("OK");
    Ok->setToolTip("Tip");
    auto *Label = Add<QLabel>(&Form, "Label1");
    Label->setToolTip("Tip");
    TP_GlobalIgnoreClassProperty(QtClass(QAbstractButton::staticMetaObject), "tooltip");
    TranslateObjectTree(&Form, "cport");
    EXPECT_EQ(Ok->text() + Ok->toolTip() + Label->toolTip(), "BudižTipRada");

    Label->setToolTip("Tip");
    try {
        TranslateObjectTree(&Form, "broken");
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error &E) {
        EXPECT_EQ(std::string(E.what()).rfind("Property cannot be translated.\r\nUse "
                                              "TP_GlobalIgnoreClassProperty(QPushButton,text) or",
                                              0),
                  0u)
            << E.what();
    }
}

TEST_F(QtAdapter, ChildDestroyedWhileQueuedIsSkipped) {
    QWidget Form;
    auto *Survivor = Add<QLabel>(&Form, "Label1");
    Survivor->setWindowTitle("Setup");
    auto *Doomed = Add<QLabel>(&Form, "Label2");
    // Translating the first label's title destroys its sibling, which is already queued.
    QObject::connect(Survivor, &QWidget::windowTitleChanged, &Form, [Doomed] { delete Doomed; });
    TranslateObjectTree(&Form, "cport");
    EXPECT_EQ(Survivor->windowTitle(), "Nastavení");
}

TEST_F(QtAdapter, QtTextsTakeTheFirstResourceDomainThatChangesThem) {
    AddResourceTextDomain("cport");
    const char *Cases[][2] = {{"Cancel", "Zrušit"},
                              {"Both", "From default"},
                              {"OK", "Budiž"},
                              {"Close", "Zavřít"},
                              {"Two lines", "První\nDruhý"},
                              {"Un\ntranslated", "Un\ntranslated"},
                              {"", ""}};
    {
        TResourceTextRouting Routing;
        for (const auto &[Source, Expected] : Cases)
            EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", Source), QString::fromUtf8(Expected))
                << Source;
        QDialogButtonBox Box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        EXPECT_EQ(Box.button(QDialogButtonBox::Ok)->text() + Box.button(QDialogButtonBox::Cancel)->text(),
                  "BudižZrušit");
    }
    QDialogButtonBox Box(QDialogButtonBox::Ok);
    EXPECT_EQ(Box.button(QDialogButtonBox::Ok)->text(), "OK") << "routing undone";
}

TEST_F(QtAdapter, UnusableCatalogueLeavesQtTextsAndIsReportedOnce) {
    AddResourceTextDomain("cport");
    AddResourceTextDomain("broken");
    TResourceTextRouting Routing;
    QStringList Reports;
    QObject::connect(&Routing.Translator(), &TResourceTextTranslator::ErrorReported,
                     [&](const QString &Message) { Reports << Message; });
    EXPECT_EQ(QCoreApplication::translate("X", "Nowhere") + QCoreApplication::translate("X", "Elsewhere"),
              "NowhereElsewhere");
    EXPECT_EQ(QCoreApplication::translate("X", "OK"), "Budiž") << "domains before the broken one still work";

    for (QDeadlineTimer Deadline(10000); Reports.isEmpty() && !Deadline.hasExpired();)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    QCoreApplication::processEvents();
    ASSERT_EQ(Reports.size(), 1);
    EXPECT_EQ(Reports[0].toStdString(),
              "This file is not a valid GNU gettext mo file: " + (Dir() / "broken.mo").string());
}

} // namespace

#include "adapter_test.moc"
