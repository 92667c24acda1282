// The service against the C library's own gettext on the same catalogue files: every entry must
// come back as dgettext gives it (with line feeds made CR LF, as the service does for all texts).
//
// Left out of the comparison, because the two rightly differ:
//   - originals containing a carriage return: the service drops carriage returns from every key
//     before the lookup, dgettext looks them up as they are;
//   - plural entries: stored as "one\0many", dgettext matches the first form alone, while the
//     service compares the whole stored original and has no plural lookup;
//   - the empty original (the header): dgettext never returns it.
//
// dgettext keeps what it has loaded for the life of the process, so each language is compared in
// a child process of its own.
#include "i18n/gnugettext.h"
#include "support/MoFixture.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <libintl.h>
#include <sys/wait.h>
#include <unistd.h>

using fixture::TEntry;

namespace {

std::string CrLf(const std::string &Text) {
    std::string Out;
    for (std::size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] == '\n' && (I == 0 || Text[I - 1] != '\r'))
            Out += '\r';
        Out += Text[I];
    }
    return Out;
}

bool Comparable(const TEntry &E) {
    return !E.Original.empty() && E.Original.find('\r') == std::string::npos &&
           E.Original.find('\0') == std::string::npos;
}

// Compares the entries of Domain in Directory/<Language>/LC_MESSAGES; the first difference, or
// empty text when there is none. Runs in a child process (see above).
std::string Compare(const std::string &Directory, const std::string &Language, const std::string &Domain,
                    const std::vector<TEntry> &Entries, const std::vector<std::string> &Misses) {
    ::setenv("LANGUAGE", Language.c_str(), 1);
    if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr)
        return "the C.UTF-8 locale is missing";
    ::bindtextdomain(Domain.c_str(), Directory.c_str());
    ::bind_textdomain_codeset(Domain.c_str(), "UTF-8");
    DefaultInstance()->SelectLanguage(Language);
    BindDomainDirectory(Domain, Directory);
    auto Differs = [&](const std::string &Key) -> std::string {
        const std::string Theirs = CrLf(::dgettext(Domain.c_str(), Key.c_str()));
        std::string Ours;
        try {
            Ours = TranslateTextInDomain(Key, Domain);
        } catch (const std::exception &E) {
            Ours = std::string("raised ") + E.what();
        }
        return Ours == Theirs ? std::string()
                              : Domain + ": \"" + Key + "\" gives \"" + Ours + "\", not \"" + Theirs + "\"";
    };
    for (const TEntry &E : Entries)
        if (Comparable(E))
            if (std::string Difference = Differs(E.Original); !Difference.empty())
                return Difference;
    for (const std::string &Key : Misses)
        if (std::string Difference = Differs(Key); !Difference.empty())
            return Difference;
    return {};
}

struct TJob {
    std::string Directory, Language, Domain;
    std::string File; // the catalogue both are expected to find
    std::vector<std::string> Misses;
};

// Runs one language's comparisons in a child; the child reports through a pipe.
std::string InChild(const std::vector<TJob> &Jobs, std::size_t &Compared) {
    int Pipe[2];
    if (::pipe(Pipe) != 0)
        return "pipe failed";
    const pid_t Child = ::fork();
    if (Child == 0) {
        ::close(Pipe[0]);
        std::string Report;
        std::size_t Count = 0;
        for (const TJob &Job : Jobs) {
            const auto Entries = fixture::ReadMo(Job.File);
            for (const TEntry &E : Entries)
                Count += Comparable(E);
            Report = Compare(Job.Directory, Job.Language, Job.Domain, Entries, Job.Misses);
            if (!Report.empty())
                break;
        }
        Report = std::to_string(Count) + "\n" + Report;
        [[maybe_unused]] const auto Written = ::write(Pipe[1], Report.data(), Report.size());
        ::_exit(0);
    }
    ::close(Pipe[1]);
    std::string Report;
    char Buffer[4096];
    for (ssize_t N; (N = ::read(Pipe[0], Buffer, sizeof Buffer)) > 0;)
        Report.append(Buffer, static_cast<std::size_t>(N));
    ::close(Pipe[0]);
    int Status = 0;
    ::waitpid(Child, &Status, 0);
    if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0 || Report.find('\n') == std::string::npos)
        return "the comparing process failed";
    Compared = std::stoul(Report.substr(0, Report.find('\n')));
    return Report.substr(Report.find('\n') + 1);
}

class GlibcDifferential : public testing::Test {
protected:
    void SetUp() override { GnuGettextStartup(Dir.Path(), "C"); }
    void TearDown() override { GnuGettextShutdown(); }
    fixture::TTempDir Dir;
};

// A generated catalogue: plain texts, texts with a context, multi-line texts and texts whose bytes
// sort above ASCII, with translations in several scripts.
TEST_F(GlibcDifferential, GeneratedCatalogue) {
    if (!fixture::HaveMsgfmt())
        GTEST_SKIP() << "msgfmt is not installed";
    const char *const Words[] = {"port",  "Žluťoučký kůň", "отказ",      "ポート",
                                 "Ärger", "€ cost",        "line\nbreak"};
    std::vector<TEntry> Entries;
    for (int I = 0; I < 1200; ++I) {
        const std::string Word = Words[I % 7];
        std::string Original = Word + " " + std::to_string(I * 7919 % 10007);
        if (I % 5 == 0)
            Original = "menu\x04" + Original;
        Entries.push_back({Original, "[" + std::string(Words[(I + 3) % 7]) + " " + std::to_string(I) + "]"});
    }
    Entries.push_back({"plural\x04one", "jeden"}); // a context whose text is also a plain original
    Entries.push_back({"one", "jedna"});
    for (const char *Language : {"xx", "yy_ZZ"}) { // yy_ZZ: catalogue found under "yy"
        SCOPED_TRACE(Language);
        const std::string Stored = std::string(Language).substr(0, 2);
        ASSERT_TRUE(fixture::Msgfmt(Entries, fixture::CataloguePath(Dir.Path(), Stored, "big")));
        std::size_t Compared = 0;
        const std::vector<std::string> Misses = {"port", "zzz", "\xef\xbf\xbf", "menu\x04", "Ärger 1"};
        const std::string File = fixture::CataloguePath(Dir.Path(), Stored, "big");
        EXPECT_EQ(InChild({{Dir.Path() + "/locale", Language, "big", File, Misses}}, Compared), "");
        EXPECT_EQ(Compared, Entries.size());
    }
}

// The Debian packages' own catalogues, where the system has them. Only UTF-8 ones: the service
// reads catalogues as UTF-8 by design.
TEST_F(GlibcDifferential, InstalledCatalogues) {
    const std::string Root = "/usr/share/locale";
    std::size_t Total = 0, Catalogues = 0;
    for (const char *Language : {"cs", "de", "fr", "ru", "ja", "pl"}) {
        const std::string Dir = Root + "/" + Language + "/LC_MESSAGES";
        std::error_code Error;
        std::vector<TJob> Jobs;
        for (const auto &File : std::filesystem::directory_iterator(Dir, Error)) {
            if (File.path().extension() != ".mo" || Jobs.size() >= 40)
                continue;
            const auto Entries = fixture::ReadMo(File.path());
            if (Entries.empty() || Entries.front().Original != "" ||
                Entries.front().Translation.find("charset=UTF-8") == std::string::npos)
                continue;
            Jobs.push_back(
                {Root, Language, File.path().stem().string(), File.path().string(), {"no such text here"}});
        }
        if (Jobs.empty())
            continue;
        SCOPED_TRACE(Language);
        std::size_t Compared = 0;
        EXPECT_EQ(InChild(Jobs, Compared), "");
        Total += Compared;
        Catalogues += Jobs.size();
    }
    if (Catalogues == 0)
        GTEST_SKIP() << "no UTF-8 catalogues under " << Root;
    RecordProperty("catalogues", static_cast<int>(Catalogues));
    RecordProperty("entries", static_cast<int>(Total));
    std::printf("compared %zu entries of %zu installed catalogues\n", Total, Catalogues);
}

} // namespace
