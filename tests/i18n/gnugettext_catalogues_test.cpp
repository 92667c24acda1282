// The Czech catalogues the panel ships, as the build places them beside the executables: every
// text the serial layer and the setup dialog look up is translated in the domain it is looked up
// in, and the error-code suffix keeps its one placeholder.
#include "i18n/gnugettext.h"
#include "serial/port/ComError.h"
#include "support/MoFixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>

namespace {

// The setup dialog's texts, looked up in the domain "cport".
const char *const DialogTexts[] = {"Setup",     " Settings ", "Port",         "Baud rate", "Data bits",
                                   "Stop bits", "Parity",     "Flow control", "OK",        "Cancel"};

class ShippedCatalogues : public testing::Test {
protected:
    void SetUp() override {
        GnuGettextStartup({}, "cs_CZ"); // the directory of this test program, as the panel's
        Directory = DefaultInstance()->BaseDirectory() + "/cs/LC_MESSAGES/";
        struct stat St {};
        if (::stat((Directory + "default.mo").c_str(), &St) != 0)
            FAIL() << Directory << "default.mo is missing: build the 'catalogues' target";
    }
    void TearDown() override { GnuGettextShutdown(); }
    // Whether the domain's catalogue has an entry for Text (some read the same in Czech).
    bool Has(const std::string &Domain, const std::string &Text) const {
        for (const auto &E : fixture::ReadMo(Directory + Domain + ".mo"))
            if (E.Original == Text)
                return true;
        return false;
    }
    std::string Directory;
};

TEST_F(ShippedCatalogues, EachTextIsInTheDomainItIsLookedUpIn) {
    // The serial layer's own table, so a message added there must be translated too.
    for (std::size_t N = 1; N < PortErrorTexts.size(); ++N) {
        const char *English = PortErrorTexts[N];
        EXPECT_NE(TranslateText(English), English);
        EXPECT_FALSE(Has("cport", English)) << English;
    }
    for (const char *English : DialogTexts) {
        EXPECT_TRUE(Has("cport", English)) << English;
        EXPECT_FALSE(Has("default", English)) << English;
    }
}

TEST_F(ShippedCatalogues, ErrorCodeSuffixKeepsItsPlaceholder) {
    const std::string Suffix = TranslateText(" (win error code: %d)");
    ASSERT_NE(Suffix, " (win error code: %d)");
    char Message[128];
    std::snprintf(Message, sizeof Message, Suffix.c_str(), 2);
    EXPECT_EQ(std::string(Message), " (kód systémové chyby: 2)");
}

} // namespace
