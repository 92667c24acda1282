// Lookups through the default instance: catalogue formats, line ends, language choice, domains,
// the search itself, resource texts and concurrent first lookups.
#include "i18n/gnugettext.h"
#include "support/MoFixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <thread>

using fixture::TEntry;

namespace {

// Sets or clears an environment variable for one test and restores it afterwards.
class TEnvironment {
public:
    TEnvironment(const char *Name, const char *Value) : FName(Name) {
        if (const char *Old = std::getenv(Name))
            FOld = Old;
        Value ? ::setenv(Name, Value, 1) : ::unsetenv(Name);
    }
    ~TEnvironment() { FOld ? ::setenv(FName, FOld->c_str(), 1) : ::unsetenv(FName); }

private:
    const char *FName;
    std::optional<std::string> FOld;
};

const std::vector<TEntry> Sample = {
    {"Cancel", "Zrušit"},
    {"Parity", "Parita"},
    {"first\nsecond", "první\ndruhý"},
    {"menu\x04Open", "Otevřít"},
    {"\xc5\xbdlu\xc5\xa5ou\xc4\x8dk\xc3\xbd k\xc5\xaf\xc5\x88", "yellow horse"}, // bytes above 0x7f
    {"zzz", "poslední"},
};

class GettextTest : public testing::Test {
protected:
    void TearDown() override { GnuGettextShutdown(); }
    std::string Catalogue(const std::string &Language, const std::string &Domain = "default") const {
        return fixture::CataloguePath(Dir.Path(), Language, Domain);
    }
    fixture::TTempDir Dir;
};

// The same entries compiled four ways must translate alike: byte order decides how every number is
// read, and the search must not depend on the hash table that --no-hash leaves out.
TEST_F(GettextTest, CatalogueFormatsTranslateAlike) {
    if (!fixture::HaveMsgfmt())
        GTEST_SKIP() << "msgfmt is not installed";
    const struct {
        const char *Language;
        std::vector<std::string> Options;
        unsigned char FirstByte;
    } Rows[] = {
        {"le", {}, 0xde},
        {"be", {"--endianness=big"}, 0x95},
        {"ln", {"--no-hash"}, 0xde},
        {"bn", {"--no-hash", "--endianness=big"}, 0x95},
    };
    for (const auto &Row : Rows)
        ASSERT_TRUE(fixture::Msgfmt(Sample, Catalogue(Row.Language), Row.Options));
    for (const auto &Row : Rows) {
        SCOPED_TRACE(Row.Language);
        ASSERT_EQ(static_cast<unsigned char>(fixture::ReadFile(Catalogue(Row.Language))[0]), Row.FirstByte);
        GnuGettextStartup(Dir.Path(), Row.Language);
        for (const TEntry &E : Sample)
            EXPECT_EQ(TranslateText(E.Original),
                      E.Original.find('\n') == std::string::npos ? E.Translation : "první\r\ndruhý");
        EXPECT_EQ(TranslateText("Cancel2"), "Cancel2");
        EXPECT_EQ(TranslateText("Aaa"), "Aaa");   // before the first original
        EXPECT_EQ(TranslateText("\xff"), "\xff"); // after the last
        GnuGettextShutdown();
    }
}

TEST_F(GettextTest, LineEndsAreLookedUpBareAndComeBackAsPairs) {
    fixture::WriteFile(Catalogue("cs"), fixture::MoImage({{"a\nb", "x\ny"}, {"c\nd", "already\r\nthere\n"}}));
    GnuGettextStartup(Dir.Path(), "cs");
    const struct {
        const char *Text, *Expected;
    } Rows[] = {
        {"a\r\nb", "x\r\ny"},
        {"a\nb", "x\r\ny"},
        {"c\nd", "already\r\nthere\r\n"},
        {"no\r\ntranslation\nhere", "no\r\ntranslation\r\nhere"},
        {"\nlead", "\r\nlead"},
    };
    for (const auto &Row : Rows)
        EXPECT_EQ(TranslateText(Row.Text), Row.Expected) << Row.Text;
}

TEST_F(GettextTest, EmptyTextGivesTheHeaderOnlyWhereThereIsACatalogue) {
    fixture::WriteFile(Catalogue("cs"),
                       fixture::MoImage({{"", "Content-Type: text/plain; charset=UTF-8\n"}}));
    GnuGettextStartup(Dir.Path(), "cs");
    EXPECT_EQ(TranslateText(""), "Content-Type: text/plain; charset=UTF-8\r\n");
    EXPECT_EQ(TranslateTextInDomain("", "nothing"), "");
}

TEST_F(GettextTest, CatalogueWithoutStringsChangesNothing) {
    fixture::WriteFile(Catalogue("cs"), fixture::MoImage({}));
    ASSERT_EQ(fixture::ReadFile(Catalogue("cs")).size(), 28u);
    GnuGettextStartup(Dir.Path(), "cs");
    EXPECT_EQ(TranslateText("Cancel"), "Cancel");
    EXPECT_EQ(TranslateText(""), "");
    EXPECT_TRUE(DefaultInstance()->DomainFor("default").IsOpen());
}

// A translation that is empty or does not decode as UTF-8 (a catalogue written in another
// character set) is an error, not a silent empty text.
TEST_F(GettextTest, UnusableTranslationsRaise) {
    fixture::WriteFile(Catalogue("cs"),
                       fixture::MoImage({{"Empty", ""}, {"Good", "Dobré"}, {"Overlong", "\xc0\xaf"}}));
    if (fixture::HaveMsgfmt()) {
        ASSERT_TRUE(fixture::Msgfmt({{"Horse", "K\xf9\xf2"}}, Catalogue("cs", "latin2"), {}, "ISO-8859-2"));
    }
    GnuGettextStartup(Dir.Path(), "cs");
    const std::string Tail = ". Probably because the mo file doesn't contain utf-8 encoded translations.";
    const struct {
        const char *Domain, *Text;
    } Rows[] = {{"default", "Empty"}, {"default", "Overlong"}, {"latin2", "Horse"}};
    for (const auto &Row : Rows) {
        if (std::string(Row.Domain) == "latin2" && !fixture::HaveMsgfmt())
            continue;
        try {
            TranslateTextInDomain(Row.Text, Row.Domain);
            ADD_FAILURE() << Row.Text << " raised nothing";
        } catch (const std::runtime_error &E) {
            EXPECT_EQ(E.what(), "Error: Could not translate " + std::string(Row.Text) + Tail);
        }
    }
    EXPECT_EQ(TranslateText("Good"), "Dobré"); // the catalogue stays usable
}

TEST_F(GettextTest, LanguageIsChosenFromTheEnvironment) {
    fixture::WriteFile(Catalogue("cs"), fixture::MoImage({{"Cancel", "Zrušit"}}));
    fixture::WriteFile(Catalogue("de_AT"), fixture::MoImage({{"Cancel", "Abbrechen"}}));
    const struct {
        const char *Given, *Lang, *LcAll, *LcMessages, *Language, *Translation;
    } Rows[] = {
        {"cs_CZ", "de_AT", nullptr, nullptr, "cs_CZ", "Zrušit"}, // a given code wins; found under "cs"
        {"", "cs_CZ.UTF-8", nullptr, nullptr, "cs_CZ", "Zrušit"},
        {"", "cs_CZ.ISO-8859-2@euro", nullptr, nullptr, "cs_CZ", "Zrušit"},
        {"", "", "de_AT.UTF-8", "cs_CZ", "de_AT", "Abbrechen"},
        {"", nullptr, nullptr, "cs_CZ.UTF-8", "cs_CZ", "Zrušit"},
        {"", nullptr, "POSIX", nullptr, "C", "Cancel"},
        {"", nullptr, "ces_CZ", nullptr, "C", "Cancel"},
        {"", nullptr, "cs", nullptr, "C", "Cancel"},
        {"", nullptr, nullptr, nullptr, "C", "Cancel"}, // this process never called setlocale
    };
    for (const auto &Row : Rows) {
        SCOPED_TRACE(Row.Language);
        TEnvironment Lang("LANG", Row.Lang), LcAll("LC_ALL", Row.LcAll),
            LcMessages("LC_MESSAGES", Row.LcMessages);
        GnuGettextStartup(Dir.Path(), Row.Given);
        EXPECT_EQ(DefaultInstance()->CurrentLanguage(), Row.Language);
        EXPECT_EQ(TranslateText("Cancel"), Row.Translation);
        GnuGettextShutdown();
    }
}

// The search for a missing catalogue is made once per domain, and made again only when the
// domain's directory or language changes.
TEST_F(GettextTest, AbsentCatalogueIsRememberedUntilRebound) {
    GnuGettextStartup(Dir.Path(), "cs");
    EXPECT_EQ(TranslateText("Cancel"), "Cancel");
    TDomain &Default = DefaultInstance()->DomainFor("default");
    EXPECT_FALSE(Default.MayOpen());

    fixture::WriteFile(Catalogue("cs"), fixture::MoImage({{"Cancel", "Zrušit"}}));
    EXPECT_EQ(TranslateText("Cancel"), "Cancel");
    BindDomainDirectory("default", Dir.Path() + "/locale");
    EXPECT_EQ(TranslateText("Cancel"), "Zrušit");

    SelectLanguage("de");
    EXPECT_FALSE(Default.IsOpen());
    EXPECT_EQ(TranslateText("Cancel"), "Cancel");
}

TEST_F(GettextTest, DomainNamesIgnoreLetterCase) {
    fixture::WriteFile(Catalogue("cs", "cport"), fixture::MoImage({{"Parity", "Parita"}}));
    GnuGettextStartup(Dir.Path(), "cs");
    EXPECT_EQ(TranslateTextInDomain("Parity", "cport"), "Parita");
    EXPECT_EQ(TranslateTextInDomain("Parity", "CPort"), "Parita");
    EXPECT_EQ(&DefaultInstance()->DomainFor("CPORT"), &DefaultInstance()->DomainFor("cport"));
    EXPECT_EQ(TranslateText("Parity"), "Parity"); // the current domain is still "default"
    SetCurrentDomain("CPORT");
    EXPECT_EQ(TranslateText("Parity"), "Parita");
}

// Every catalogue size from 1 to 70 in both byte orders: each original is found, and texts that
// fall between, before or after the originals are not. Originals are a mix of ASCII and bytes
// above 0x7f, which sort after every ASCII byte.
TEST_F(GettextTest, SearchFindsEveryEntryOfEverySize) {
    GnuGettextStartup(Dir.Path(), "cs");
    for (int N = 1; N <= 70; ++N) {
        std::vector<TEntry> Entries;
        for (int I = 0; I < N; ++I) {
            std::string Key = (I % 3 == 2 ? "\xc4\x8d" : "k") + std::to_string(100 + I);
            Entries.push_back({Key, "t" + std::to_string(I)});
        }
        const std::string Domain = "n" + std::to_string(N);
        fixture::WriteFile(Catalogue("cs", Domain), fixture::MoImage(Entries, N % 2 == 0));
        for (const TEntry &E : Entries) {
            EXPECT_EQ(TranslateTextInDomain(E.Original, Domain), E.Translation) << N << " " << E.Original;
            const std::string Between = E.Original + "5";
            EXPECT_EQ(TranslateTextInDomain(Between, Domain), Between) << N;
        }
        for (const char *Outside : {"", "a", "k", "\xc4", "\xc4\x8e"})
            EXPECT_EQ(TranslateTextInDomain(Outside, Domain), Outside) << N;
    }
}

TEST_F(GettextTest, ResourceTextsTakeTheFirstDomainThatChangesThem) {
    fixture::WriteFile(Catalogue("cs"), fixture::MoImage({{"", "Language: cs\n"}, {"Cancel", "Zrušit"}}));
    fixture::WriteFile(Catalogue("cs", "cport"),
                       fixture::MoImage({{"Cancel", "Storno"}, {"Setup", "Nastavení"}}));
    SetResourceStringTable([](std::uint32_t Id) -> std::optional<std::string> {
        switch (Id) {
        case 1:
            return "Setup";
        case 2:
            return "Cancel";
        case 3:
            return "Line\nbreak";
        default:
            return std::nullopt;
        }
    });
    EXPECT_EQ(LoadResourceText(1), "Setup"); // before start-up: as it stands
    GnuGettextStartup(Dir.Path(), "cs");
    EXPECT_EQ(ResourceTextDomains(), std::vector<std::string>{"default"});
    EXPECT_EQ(LoadResourceText(1), "Setup");
    AddResourceTextDomain("cport");
    EXPECT_EQ(LoadResourceText(1), "Nastavení");
    EXPECT_EQ(LoadResourceText(2), "Zrušit");
    EXPECT_EQ(LoadResourceText(3), "Line\r\nbreak");
    EXPECT_EQ(LoadResourceText(4), ""); // not the header entry of "default"
    EXPECT_EQ(TranslateLoadedResourceText("Setup"), "Nastavení");
    GnuGettextShutdown();
    EXPECT_EQ(LoadResourceText(1), "Setup");
    EXPECT_TRUE(ResourceTextDomains().empty());
    SetResourceStringTable(nullptr);
}

TEST_F(GettextTest, StartupRunsTheHooksAndRefusesASecondInstance) {
    static std::string SeenDomain;
    AddInstanceCreatedHook([](TGnuGettextInstance &Instance) { SeenDomain = Instance.CurrentDomain(); });
    GnuGettextStartup(Dir.Path(), "cs");
    EXPECT_EQ(SeenDomain, "default");
    EXPECT_THROW(GnuGettextStartup(Dir.Path(), "cs"), std::logic_error);
}

// Threads racing for the first lookup of the same domains: one opens, all see the catalogue.
TEST_F(GettextTest, ConcurrentFirstLookupsAgree) {
    fixture::WriteFile(Catalogue("cs"), fixture::MoImage(Sample));
    fixture::WriteFile(Catalogue("cs", "cport"), fixture::MoImage({{"Parity", "Parita"}}));
    GnuGettextStartup(Dir.Path(), "cs");
    std::vector<int> Wrong(6, 0);
    {
        std::vector<std::jthread> Threads;
        for (std::size_t T = 0; T < Wrong.size(); ++T)
            Threads.emplace_back([&Wrong, T] {
                for (int I = 0; I < 300; ++I) {
                    Wrong[T] += TranslateText("Cancel") != "Zrušit";
                    Wrong[T] += TranslateTextInDomain("Parity", "cport") != "Parita";
                    Wrong[T] += TranslateTextInDomain("Parity", "absent") != "Parity";
                }
            });
    }
    EXPECT_EQ(Wrong, std::vector<int>(6, 0));
}

} // namespace
