// Catalogue lookups of the translation service against the C library's dgettext, on the same
// catalogue file in the same run: hits, misses, and the first lookup in a domain (find, open,
// check and map the file). Figures are nanoseconds per lookup, best of several rounds, and the
// ratio ours / glibc (below 1: faster than glibc).
//
//     build/default/bin/gettext_bench [entries]      (default 2000 entries; msgfmt must be installed)
#include "i18n/gnugettext.h"

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <libintl.h>
#include <random>
#include <string>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

constexpr int Rounds = 7;
constexpr int FirstLookupDomains = 25;

std::string Key(int I) {
    static const char *const Stems[] = {"Unable to open the port", "Žluťoučký kůň úpěl", "Baud rate",
                                        "Cannot set property while connected", "Flow control"};
    return std::string(Stems[I % 5]) + " #" + std::to_string(I * 7919 % 100003);
}

std::string Quoted(const std::string &Text) {
    return "\"" + Text + "\"";
}

bool MakeCatalogue(const std::filesystem::path &Dir, int Entries, int Copies) {
    const auto Messages = Dir / "xx" / "LC_MESSAGES";
    std::filesystem::create_directories(Messages);
    const auto Po = Dir / "bench.po";
    std::ofstream Out(Po);
    Out << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n";
    for (int I = 0; I < Entries; ++I)
        Out << "msgid " << Quoted(Key(I)) << "\nmsgstr " << Quoted("Překlad " + Key(I)) << "\n\n";
    Out.close();
    const std::string First = (Messages / "bench0.mo").string();
    if (std::system(("msgfmt -o '" + First + "' '" + Po.string() + "'").c_str()) != 0)
        return false;
    for (int C = 1; C < Copies; ++C)
        std::filesystem::copy_file(First, Messages / ("bench" + std::to_string(C) + ".mo"));
    return true;
}

// Best nanoseconds per call of Lookup over Keys.
template <class TLookup> double NsPerLookup(const std::vector<std::string> &Keys, TLookup &&Lookup) {
    double Best = 1e300;
    std::size_t Sink = 0;
    for (int R = 0; R < Rounds; ++R) {
        const auto Start = TClock::now();
        for (const std::string &K : Keys)
            Sink += Lookup(K);
        const std::chrono::duration<double, std::nano> Took = TClock::now() - Start;
        Best = std::min(Best, Took.count() / static_cast<double>(Keys.size()));
    }
    if (Sink == 42) // keeps the lookups from being optimised away
        std::puts("");
    return Best;
}

template <class TFirst> double MedianFirstLookupNs(TFirst &&First) {
    std::vector<double> Times;
    for (int D = 1; D < FirstLookupDomains; ++D) {
        const auto Start = TClock::now();
        First("bench" + std::to_string(D));
        Times.push_back(std::chrono::duration<double, std::nano>(TClock::now() - Start).count());
    }
    std::sort(Times.begin(), Times.end());
    return Times[Times.size() / 2];
}

void Report(const char *What, double Ours, double Glibc) {
    std::printf("%-28s %12.1f %12.1f %10.2f\n", What, Ours, Glibc, Ours / Glibc);
}

} // namespace

int main(int Argc, char **Argv) {
    const int Entries = Argc > 1 ? std::max(1, std::atoi(Argv[1])) : 2000;
    std::string Template = (std::filesystem::temp_directory_path() / "dud-gettext-bench-XXXXXX").string();
    if (::mkdtemp(Template.data()) == nullptr)
        return 1;
    const std::filesystem::path Root = Template;
    const auto Locale = Root / "locale";
    if (!MakeCatalogue(Locale, Entries, FirstLookupDomains)) {
        std::fprintf(stderr, "msgfmt failed\n");
        return 1;
    }

    // The C library reads catalogues only in a locale other than "C"; LANGUAGE picks "xx".
    ::setenv("LANGUAGE", "xx", 1);
    std::setlocale(LC_ALL, "C.UTF-8");
    GnuGettextStartup(Root.string(), "xx");
    for (int D = 0; D < FirstLookupDomains; ++D) {
        const std::string Domain = "bench" + std::to_string(D);
        ::bindtextdomain(Domain.c_str(), Locale.c_str());
        ::bind_textdomain_codeset(Domain.c_str(), "UTF-8");
    }

    // First lookups: ours in domains bench1.., glibc's after ours, in the same files (now cached
    // by the kernel for both).
    const double OursFirst = MedianFirstLookupNs(
        [](const std::string &Domain) { return TranslateTextInDomain(Key(1), Domain).size(); });
    const double GlibcFirst = MedianFirstLookupNs(
        [](const std::string &Domain) { return std::strlen(::dgettext(Domain.c_str(), Key(1).c_str())); });

    std::vector<std::string> Hits, Misses;
    for (int I = 0; I < Entries; ++I) {
        Hits.push_back(Key(I));
        Misses.push_back(Key(I) + "~");
    }
    std::shuffle(Hits.begin(), Hits.end(), std::mt19937(7));
    std::shuffle(Misses.begin(), Misses.end(), std::mt19937(11));
    auto Ours = [](const std::string &K) { return TranslateTextInDomain(K, "bench0").size(); };
    auto Glibc = [](const std::string &K) { return std::strlen(::dgettext("bench0", K.c_str())); };
    if (TranslateTextInDomain(Hits[0], "bench0") != ::dgettext("bench0", Hits[0].c_str())) {
        std::fprintf(stderr, "the two disagree on %s\n", Hits[0].c_str());
        return 1;
    }

    std::printf("catalogue of %d entries, best of %d rounds\n", Entries, Rounds);
    std::printf("%-28s %12s %12s %10s\n", "", "ours ns", "glibc ns", "ratio");
    Report("hit", NsPerLookup(Hits, Ours), NsPerLookup(Hits, Glibc));
    Report("miss", NsPerLookup(Misses, Ours), NsPerLookup(Misses, Glibc));
    Report("first lookup (median)", OursFirst, GlibcFirst);

    GnuGettextShutdown();
    std::filesystem::remove_all(Root);
    return 0;
}
