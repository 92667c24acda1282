// Qt's own texts through the resource-text domains, offscreen, with catalogues built by msgfmt.
#include "i18n/gnugettext.h"
#include "i18n/qt/ResourceTextTranslator.h"
#include "support/TestCatalogue.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QPushButton>

#include <memory>

namespace {

QString Tr(const char *Text) {
    return QCoreApplication::translate("QPlatformTheme", Text);
}

class ResourceTexts : public ::testing::Test {
protected:
    void SetUp() override {
        TestApplication();
        ASSERT_TRUE(Catalogues.Write("xx", "default",
                                     {{"Cancel", "Zrušit"}, {"Both", "From default"}, {"Close", "Close"}}));
        ASSERT_TRUE(Catalogues.Write(
            "xx", "cport",
            {{"OK", "Budiž"}, {"Both", "From cport"}, {"Close", "Zavřít"}, {"First\nSecond", "Jedna\nDvě"}}));
        Session = std::make_unique<TGnuGettextSession>(Catalogues.Root().string(), "xx");
        AddResourceTextDomain("cport");
    }
    void TearDown() override { Session.reset(); }

    TCatalogueDir Catalogues;
    std::unique_ptr<TGnuGettextSession> Session;
};

TEST_F(ResourceTexts, FirstDomainThatChangesTheTextWins) {
    struct TCase {
        const char *Source;
        const char *Expected;
    };
    const TCase Cases[] = {
        {"Cancel", "Zrušit"},            // only in "default"
        {"Both", "From default"},        // "default" comes first
        {"OK", "Budiž"},                 // only in "cport"
        {"Close", "Zavřít"},             // "default" keeps it as it is, so "cport" is asked
        {"First\nSecond", "Jedna\nDvě"}, // a line feed alone is no change
        {"Untranslated\nText", "Untranslated\nText"},
        {"", ""},
    };
    TResourceTextRouting Routing;
    for (const TCase &C : Cases)
        EXPECT_EQ(Tr(C.Source), QString::fromUtf8(C.Expected)) << C.Source;
}

TEST_F(ResourceTexts, StandardButtonsFollowTheRoutingForItsLifetime) {
    {
        TResourceTextRouting Routing;
        QDialogButtonBox Box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        EXPECT_EQ(Box.button(QDialogButtonBox::Ok)->text(), "Budiž");
        EXPECT_EQ(Box.button(QDialogButtonBox::Cancel)->text(), "Zrušit");
    }
    QDialogButtonBox Box(QDialogButtonBox::Ok);
    EXPECT_EQ(Box.button(QDialogButtonBox::Ok)->text(), "OK");
}

TEST_F(ResourceTexts, UnusableCatalogueLeavesTextsAndIsReportedOnce) {
    const std::string Broken = Catalogues.WriteBroken("xx", "broken").string();
    AddResourceTextDomain("broken");
    TResourceTextRouting Routing;
    QStringList Reports;
    QObject::connect(&Routing.Translator(), &TResourceTextTranslator::ErrorReported,
                     [&](const QString &Message) { Reports << Message; });

    EXPECT_EQ(Tr("Nowhere"), "Nowhere");
    EXPECT_EQ(Tr("Elsewhere"), "Elsewhere");
    EXPECT_EQ(Tr("OK"), "Budiž") << "domains before the broken one still translate";

    const QDeadlineTimer Deadline(10000);
    while (Reports.isEmpty() && !Deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    QCoreApplication::processEvents();
    ASSERT_EQ(Reports.size(), 1);
    EXPECT_EQ(Reports[0].toStdString(), "This file is not a valid GNU gettext mo file: " + Broken);
}

} // namespace
