// Damaged catalogues: each must be reported as not being an MO file, never read outside the file.
// Run these under the address sanitizer preset as well: a missed check shows up there first.
#include "i18n/gnugettext.h"
#include "support/MoFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using fixture::MoWord;
using fixture::SetMoWord;

namespace {

// Table entry I of the originals (Table 12) or translations (Table 16): its length, then offset.
std::size_t EntryAt(const std::string &Image, std::size_t Table, std::uint32_t I) {
    return MoWord(Image, Table) + 8 * std::size_t(I);
}

std::string Lookup(const std::string &Dir, const std::string &Text) {
    GnuGettextStartup(Dir, "cs");
    struct TStop {
        ~TStop() { GnuGettextShutdown(); }
    } Stop;
    return TranslateText(Text);
}

TEST(GettextCorrupt, DamagedCataloguesAreNotMoFiles) {
    std::vector<fixture::TEntry> Entries;
    for (int I = 0; I < 40; ++I)
        Entries.push_back({"key" + std::to_string(I), "value" + std::to_string(I)});
    using TDamage = std::function<void(std::string &)>;
    const struct {
        const char *Name;
        bool BigEndian;
        TDamage Damage;
    } Rows[] = {
        {"empty file", false, [](std::string &M) { M.clear(); }},
        {"header cut short", false, [](std::string &M) { M.resize(27); }},
        {"magic number wrong", false, [](std::string &M) { M[0] = 'X'; }},
        {"count past the end", false, [](std::string &M) { SetMoWord(M, 8, 0x10000000); }},
        {"count wraps the table size", true, [](std::string &M) { SetMoWord(M, 8, 0xFFFFFFFF); }},
        {"original table past the end", false, [](std::string &M) { SetMoWord(M, 12, 0xFFFFFFF0); }},
        {"translation table past the end", true,
         [](std::string &M) { SetMoWord(M, 16, static_cast<std::uint32_t>(M.size()) - 8); }},
        {"strings cut off", false,
         [](std::string &M) { M.resize(std::max(EntryAt(M, 12, 40), EntryAt(M, 16, 40))); }},
        {"original offset past the end", true,
         [](std::string &M) {
             for (std::uint32_t I = 0; I < 40; ++I)
                 SetMoWord(M, EntryAt(M, 12, I) + 4, 0xFFFFFF00);
         }},
        {"original length past the end", false,
         [](std::string &M) {
             for (std::uint32_t I = 0; I < 40; ++I)
                 SetMoWord(M, EntryAt(M, 12, I), 0xFFFFFFFF);
         }},
        {"translation length past the end", false,
         [](std::string &M) {
             for (std::uint32_t I = 0; I < 40; ++I)
                 SetMoWord(M, EntryAt(M, 16, I), static_cast<std::uint32_t>(M.size()));
         }},
    };
    for (const auto &Row : Rows) {
        SCOPED_TRACE(Row.Name);
        fixture::TTempDir Dir;
        std::string Image = fixture::MoImage(Entries, Row.BigEndian);
        Row.Damage(Image);
        const std::string Path = fixture::CataloguePath(Dir.Path(), "cs", "default");
        fixture::WriteFile(Path, Image);
        try {
            Lookup(Dir.Path(), "key7");
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error &E) {
            EXPECT_EQ(E.what(), "This file is not a valid GNU gettext mo file: " + Path);
        }
    }
}

// A FIFO in the catalogue's place has no writer: opening it for reading must not wait for one, or
// the panel would hang at its first lookup. Should it wait, the test lets it go and fails.
TEST(GettextCorrupt, FifoInPlaceOfACatalogueDoesNotBlock) {
    fixture::TTempDir Dir;
    const std::string Path = fixture::CataloguePath(Dir.Path(), "cs", "default");
    std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
    ASSERT_EQ(::mkfifo(Path.c_str(), 0600), 0);
    auto Result = std::async(std::launch::async, [&] { return Lookup(Dir.Path(), "key7"); });
    if (Result.wait_for(std::chrono::seconds(30)) == std::future_status::timeout) {
        ADD_FAILURE() << "the lookup waits for a writer";
        const int Writer = ::open(Path.c_str(), O_WRONLY | O_NONBLOCK);
        if (Writer >= 0)
            ::close(Writer);
    }
    try {
        Result.get();
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error &E) {
        EXPECT_EQ(E.what(), "This file is not a valid GNU gettext mo file: " + Path);
    }
}

// A catalogue that failed to open is tried again at the next lookup, so a repaired file is used.
TEST(GettextCorrupt, FailedOpenIsRetried) {
    fixture::TTempDir Dir;
    const std::string Path = fixture::CataloguePath(Dir.Path(), "cs", "default");
    fixture::WriteFile(Path, "not a catalogue at all, but long enough");
    GnuGettextStartup(Dir.Path(), "cs");
    EXPECT_THROW(TranslateText("Cancel"), std::runtime_error);
    EXPECT_FALSE(DefaultInstance()->DomainFor("default").IsOpen());
    EXPECT_TRUE(DefaultInstance()->DomainFor("default").MayOpen());
    EXPECT_EQ(TranslateTextInDomain("Cancel", "other"), "Cancel"); // other domains are unaffected
    fixture::WriteFile(Path, fixture::MoImage({{"Cancel", "Zrušit"}}));
    EXPECT_EQ(TranslateText("Cancel"), "Zrušit");
    GnuGettextShutdown();
}

} // namespace
