// The dialog's texts through the catalogues of the domain "cport": a catalogue made for the test,
// the Czech one that ships with the panel, and one that cannot be read.
#include "SetupHarness.h"

#include "i18n/gnugettext.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include <filesystem>

using namespace setuptest;

namespace {

struct TTexts {
    QString Caption, Group, Labels[6], Ok, Cancel;
};

TTexts TextsOf(const TComSetupFrm &Form) {
    return {Form.windowTitle(),
            Form.GroupBox1->title(),
            {Form.Label1->text(), Form.Label2->text(), Form.Label3->text(), Form.Label4->text(),
             Form.Label5->text(), Form.Label6->text()},
            Form.Button1->text(),
            Form.Button2->text()};
}

void ExpectTexts(const TTexts &Actual, const TTexts &Expected) {
    EXPECT_EQ(Actual.Caption, Expected.Caption);
    EXPECT_EQ(Actual.Group, Expected.Group);
    for (int I = 0; I < 6; ++I)
        EXPECT_EQ(Actual.Labels[I], Expected.Labels[I]) << "Label" << I + 1;
    EXPECT_EQ(Actual.Ok, Expected.Ok);
    EXPECT_EQ(Actual.Cancel, Expected.Cancel);
}

const TTexts English{"Setup",
                     " Settings ",
                     {"Port", "Baud rate", "Data bits", "Stop bits", "Parity", "Flow control"},
                     "OK",
                     "Cancel"};

class SetupTexts : public TSetupTest {
protected:
    SetupTexts() {
        Sysfs.AddPort("ttyUSB0");
        Port.SetPort("ttyUSB0");
    }

    // Opens the dialog, gives its texts and the entries of every box, and leaves with OK after
    // picking "Even" parity, so the caller sees whether the boxes still read back as settings.
    TTexts Run(std::vector<QStringList> *BoxEntries = nullptr) {
        TTexts Texts;
        EditPortSettings(Port, [&](TComSetupFrm &Form) {
            Texts = TextsOf(Form);
            for (int I = 0; I < 6; ++I) {
                EXPECT_EQ(Form.Boxes()[I]->objectName(), QString("Combo%1").arg(I + 1));
                if (BoxEntries)
                    BoxEntries->push_back(Entries(*Form.Boxes()[I]));
            }
            Pick(*Form.Combo5, "Even");
            Form.Button1->click();
        });
        return Texts;
    }
};

TEST_F(SetupTexts, TestCatalogueTranslatesTheFormButNeverTheLists) {
    TCatalogueDir Dir;
    const std::vector<std::pair<std::string, std::string>> Cport = {
        {"Setup", "Einstellung"},
        {" Settings ", " Werte "},
        {"Port", "Anschluss"},
        {"Baud rate", "Geschwindigkeit"},
        {"Data bits", "Datenbits"},
        {"Stop bits", "Stoppbits"},
        {"Parity", "Parität"},
        {"Flow control", "Flusssteuerung"},
        {"OK", "Gut"},
        {"Cancel", "Abbrechen"},
        // Texts of the lists and names: none of them may change.
        {"Even", "Gerade"},
        {"None", "Keine"},
        {"Custom", "Eigene"},
        {"ttyUSB0", "wrong"},
        {"Combo5", "wrong"},
        {"Label1", "wrong"},
        {"ComSetupFrm", "wrong"}};
    if (!Dir.Compile("de", "cport", Cport) || !Dir.Compile("de", "default", {{"Setup", "from default"}}))
        GTEST_SKIP() << "msgfmt is not available";
    TGnuGettextSession Gettext(Dir.Path(), "de");
    TErrorRecorder Errors;

    std::vector<QStringList> BoxEntries;
    ExpectTexts(Run(&BoxEntries),
                {"Einstellung",
                 " Werte ",
                 {"Anschluss", "Geschwindigkeit", "Datenbits", "Stoppbits", "Parität", "Flusssteuerung"},
                 "Gut",
                 "Abbrechen"});
    ASSERT_EQ(BoxEntries.size(), 6u);
    EXPECT_EQ(BoxEntries[0], QStringList({"ttyUSB0"}));
    EXPECT_EQ(BoxEntries[4], QStringList({"None", "Odd", "Even", "Mark", "Space"}));
    EXPECT_EQ(BoxEntries[5], QStringList({"Hardware", "Software", "None", "Custom"}));
    EXPECT_EQ(Port.Parity().Bits(), prEven);
    EXPECT_TRUE(Errors.Messages.empty());

    // The ignored boxes apply to one walk: a second dialog keeps them out again by itself.
    BoxEntries.clear();
    Run(&BoxEntries);
    EXPECT_EQ(BoxEntries[4], QStringList({"None", "Odd", "Even", "Mark", "Space"}));
}

TEST_F(SetupTexts, ShippedCzechCatalogue) {
    if (!std::filesystem::exists(ExecutableDirectory() + "/locale/cs/LC_MESSAGES/cport.mo"))
        GTEST_SKIP() << "the Czech catalogues were not built (no msgfmt)";
    TGnuGettextSession Gettext(ExecutableDirectory(), "cs");
    TErrorRecorder Errors;
    ExpectTexts(Run(), {"Nastavení portu",
                        " Parametry ",
                        {"Port", "Rychlost", "Datové bity", "Stop bity", "Parita", "Řízení toku"},
                        "OK",
                        "Storno"});
    EXPECT_TRUE(Errors.Messages.empty());
}

// An unusable catalogue is shown to the operator, and the dialog still comes up and works.
TEST_F(SetupTexts, UnusableCatalogueIsReportedAndTheDialogStillRuns) {
    TCatalogueDir Dir;
    Dir.WriteBroken("cs", "cport");
    TGnuGettextSession Gettext(Dir.Path(), "cs");
    TErrorRecorder Errors;
    ExpectTexts(Run(), English);
    ASSERT_EQ(Errors.Messages.size(), 1u);
    EXPECT_EQ(Errors.Messages[0].rfind("Property cannot be translated.", 0), 0u) << Errors.Messages[0];
    EXPECT_NE(Errors.Messages[0].find("Reason: "), std::string::npos);
    EXPECT_EQ(Port.Parity().Bits(), prEven) << "OK still writes";
}

} // namespace
