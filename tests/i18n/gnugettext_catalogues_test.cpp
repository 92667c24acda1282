// The Czech catalogues the panel ships, as the build places them beside the executables: every
// text the serial layer and the setup dialog look up is translated in the domain it is looked up
// in, and the error-code suffix keeps its one placeholder.
#include "i18n/gnugettext.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>

namespace {

// The serial layer's error messages, looked up with TranslateText (domain "default").
const char *const PortMessages[] = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

// The setup dialog's texts, looked up in the domain "cport"; some read the same in Czech.
const struct {
    const char *English, *Czech;
} DialogTexts[] = {
    {"Setup", "Nastavení portu"}, {" Settings ", " Parametry "},   {"Port", "Port"},
    {"Baud rate", "Rychlost"},    {"Data bits", "Datové bity"},    {"Stop bits", "Stop bity"},
    {"Parity", "Parita"},         {"Flow control", "Řízení toku"}, {"OK", "OK"},
    {"Cancel", "Storno"},
};

class ShippedCatalogues : public testing::Test {
protected:
    void SetUp() override {
        GnuGettextStartup({}, "cs_CZ"); // the directory of this test program, as the panel's
        struct stat St {};
        const std::string Path = DefaultInstance()->BaseDirectory() + "/cs/LC_MESSAGES/default.mo";
        if (::stat(Path.c_str(), &St) != 0)
            FAIL() << Path << " is missing: build the 'catalogues' target";
    }
    void TearDown() override { GnuGettextShutdown(); }
};

TEST_F(ShippedCatalogues, PortMessagesAreCzech) {
    for (const char *English : PortMessages) {
        const std::string Czech = TranslateText(English);
        EXPECT_NE(Czech, English);
        EXPECT_EQ(TranslateTextInDomain(English, "cport"), English) << "looked up in \"default\" only";
    }
    EXPECT_EQ(TranslateText("Unable to open com port"), "Nelze otevřít sériový port");
}

TEST_F(ShippedCatalogues, ErrorCodeSuffixKeepsItsPlaceholder) {
    const std::string Suffix = TranslateText(" (win error code: %d)");
    ASSERT_NE(Suffix, " (win error code: %d)");
    char Message[128];
    std::snprintf(Message, sizeof Message, Suffix.c_str(), 2);
    EXPECT_EQ(std::string(Message), " (kód systémové chyby: 2)");
}

TEST_F(ShippedCatalogues, DialogTextsAreInTheirDomain) {
    for (const auto &Text : DialogTexts)
        EXPECT_EQ(TranslateTextInDomain(Text.English, "cport"), Text.Czech);
    EXPECT_EQ(TranslateText("Setup"), "Setup");
}

} // namespace
