// The object-tree walk over real Qt widgets, offscreen, with a catalogue built by msgfmt.
#include "i18n/gnugettext.h"
#include "i18n/qt/QtReflection.h"
#include "support/TestCatalogue.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>

#include <memory>

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

const TEntries Cport = {{"Setup", "Nastavení"},       {" Settings ", " Nastavení "},
                        {"Port", "Přípojka"},         {"OK", "Budiž"},
                        {"Cancel", "Zrušit"},         {"Tip", "Rada"},
                        {"Two lines", "První\nDruhý"}};

class QtObjectTree : public ::testing::Test {
protected:
    void SetUp() override {
        TestApplication();
        ASSERT_TRUE(Catalogues.Write("xx", "cport", Cport));
        Session = std::make_unique<TGnuGettextSession>(Catalogues.Root().string(), "xx");
    }
    void TearDown() override { Session.reset(); }

    TCatalogueDir Catalogues;
    std::unique_ptr<TGnuGettextSession> Session;
};

template <class T> T *Add(QWidget *Parent, const char *Name) {
    auto *Widget = new T(Parent);
    Widget->setObjectName(QString::fromLatin1(Name));
    return Widget;
}

TEST_F(QtObjectTree, TranslatesWidgetTextsButNotNamesOrIgnoredBoxes) {
    QDialog Dialog;
    Dialog.setObjectName("Setup");
    Dialog.setWindowTitle("Setup");
    auto *Group = Add<QGroupBox>(&Dialog, "GroupBox1");
    Group->setTitle(" Settings ");
    auto *Label = Add<QLabel>(Group, "Port");
    Label->setText("Port");
    Label->setToolTip("Tip");
    auto *Ok = Add<QPushButton>(&Dialog, "OK");
    Ok->setText("OK");
    auto *Ignored = Add<QComboBox>(Group, "Combo1");
    Ignored->addItem("Port", 1);
    auto *Translated = Add<QComboBox>(Group, "Combo2");
    Translated->addItems({"Port", "Other"});
    Translated->setItemData(0, 4800);
    Translated->setItemData(0, "Tip", Qt::ToolTipRole);
    Translated->addItem("Two lines", 9600);
    auto *List = Add<QListWidget>(&Dialog, "List1");
    List->addItems({"Cancel", "Setup"});
    auto *Table = Add<QTableWidget>(&Dialog, "Table1");
    Table->setRowCount(1);
    Table->setColumnCount(2);
    Table->setItem(0, 1, new QTableWidgetItem("OK"));

    TP_Ignore(&Dialog, "Combo1");
    TranslateObjectTree(&Dialog, "cport");

    EXPECT_EQ(Dialog.windowTitle(), "Nastavení");
    EXPECT_EQ(Dialog.objectName(), "Setup");
    EXPECT_EQ(Group->title(), " Nastavení ");
    EXPECT_EQ(Label->text(), "Přípojka");
    EXPECT_EQ(Label->toolTip(), "Rada");
    EXPECT_EQ(Label->objectName(), "Port");
    EXPECT_EQ(Ok->text(), "Budiž");
    EXPECT_EQ(Ignored->itemText(0), "Port");
    EXPECT_EQ(Translated->itemText(0), "Přípojka");
    EXPECT_EQ(Translated->itemData(0), 4800) << "an entry keeps its data";
    EXPECT_EQ(Translated->itemData(0, Qt::ToolTipRole), "Rada");
    EXPECT_EQ(Translated->itemText(1), "Other");
    EXPECT_EQ(Translated->itemText(2), "První\nDruhý") << "bare line feeds, and no new entry";
    EXPECT_EQ(Translated->count(), 3);
    EXPECT_EQ(Translated->itemData(2), 9600);
    EXPECT_EQ(List->item(0)->text(), "Zrušit");
    EXPECT_EQ(List->item(1)->text(), "Nastavení");
    EXPECT_EQ(Table->item(0, 1)->text(), "Budiž");
}

TEST_F(QtObjectTree, StringListsAndObjectProperties) {
    QWidget Form;
    auto *Panel = Add<TPanel>(&Form, "Panel1");
    Panel->Lines = {"Port", "", "Two lines"};
    auto *Kept = Add<QLabel>(&Form, "Label1");
    Kept->setText("Port");
    Panel->Partner = Kept;

    TP_Ignore(&Form, "Label1");
    TranslateObjectTree(&Form, "cport");

    EXPECT_EQ(Panel->Lines, QStringList({"Přípojka", "", "První", "Druhý"}));
    EXPECT_EQ(Kept->text(), "Přípojka") << "reached through the partner property";
}

TEST_F(QtObjectTree, ClassRulesFollowQtInheritance) {
    const TObjectClass &Button = QtClass(QPushButton::staticMetaObject);
    EXPECT_EQ(Button.ClassName, "QPushButton");
    EXPECT_TRUE(InheritsFrom(Button, QtClass(QAbstractButton::staticMetaObject)));
    EXPECT_TRUE(InheritsFrom(Button, TComponentClass));
    EXPECT_FALSE(InheritsFrom(QtClass(QLabel::staticMetaObject), QtClass(QAbstractButton::staticMetaObject)));

    QWidget Form;
    auto *Ok = Add<QPushButton>(&Form, "OK");
    Ok->setText("OK");
    Ok->setToolTip("Tip");
    auto *Label = Add<QLabel>(&Form, "Label1");
    Label->setToolTip("Tip");
    TP_GlobalIgnoreClassProperty(QtClass(QAbstractButton::staticMetaObject), "tooltip");
    TranslateObjectTree(&Form, "cport");
    EXPECT_EQ(Ok->text(), "Budiž");
    EXPECT_EQ(Ok->toolTip(), "Tip");
    EXPECT_EQ(Label->toolTip(), "Rada");
}

TEST_F(QtObjectTree, ErrorNamesTheQtClassAndKeepsTheRestUntranslated) {
    const std::string Broken = Catalogues.WriteBroken("xx", "broken").string();
    QWidget Form;
    Form.setWindowTitle(""); // empty texts are never looked up, so the label's text fails first
    auto *Label = Add<QLabel>(&Form, "Label1");
    Label->setText("Port");
    Label->setToolTip("Tip");
    try {
        TranslateObjectTree(&Form, "broken");
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error &E) {
        EXPECT_EQ(std::string(E.what()),
                  "Property cannot be translated.\r\nUse TP_GlobalIgnoreClassProperty(QLabel,"
                  "toolTip) or\r\nTP_Ignore (self,'.toolTip') to prevent this message.\r\n"
                  "Reason: This file is not a valid GNU gettext mo file: " +
                      Broken);
    }
    EXPECT_EQ(Label->text(), "Port");
}

TEST_F(QtObjectTree, ChildDestroyedWhileQueuedIsSkipped) {
    QWidget Form;
    auto *Survivor = Add<QLabel>(&Form, "Label1");
    Survivor->setWindowTitle("Setup");
    auto *Doomed = Add<QLabel>(&Form, "Label2");
    Doomed->setText("Port");
    // Translating the first label's title destroys its sibling, which is already queued.
    QObject::connect(Survivor, &QWidget::windowTitleChanged, &Form, [Doomed] { delete Doomed; });
    TranslateObjectTree(&Form, "cport");
    EXPECT_EQ(Survivor->windowTitle(), "Nastavení");
    EXPECT_EQ(Form.children().size(), 1);
}

} // namespace

#include "reflection_test.moc"
