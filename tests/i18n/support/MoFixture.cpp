#include "support/MoFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace fixture {

TTempDir::TTempDir() {
    const char *Base = std::getenv("TMPDIR");
    std::string Template =
        std::string(Base != nullptr && *Base != '\0' ? Base : "/tmp") + "/dud-gettext-XXXXXX";
    if (::mkdtemp(Template.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + Template);
    FPath = Template;
}

TTempDir::~TTempDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
}

std::string CataloguePath(const std::string &Base, const std::string &Language, const std::string &Domain) {
    return Base + "/locale/" + Language + "/LC_MESSAGES/" + Domain + ".mo";
}

namespace {

std::string Quoted(const std::string &Text) {
    std::string Out = "\"";
    for (char C : Text) {
        switch (C) {
        case '"':
            Out += "\\\"";
            break;
        case '\\':
            Out += "\\\\";
            break;
        case '\n':
            Out += "\\n";
            break;
        case '\r':
            Out += "\\r";
            break;
        case '\t':
            Out += "\\t";
            break;
        default:
            Out += C;
        }
    }
    return Out + "\"";
}

bool Run(const std::vector<std::string> &Arguments) {
    std::vector<char *> Argv;
    for (const std::string &A : Arguments)
        Argv.push_back(const_cast<char *>(A.c_str()));
    Argv.push_back(nullptr);
    // The tools' chatter on standard output would only clutter the test log.
    posix_spawn_file_actions_t Actions;
    ::posix_spawn_file_actions_init(&Actions);
    ::posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t Child = 0;
    const int Failed = ::posix_spawnp(&Child, Argv[0], &Actions, nullptr, Argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&Actions);
    if (Failed != 0)
        return false;
    int Status = 0;
    while (::waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
}

} // namespace

std::string PoText(const std::vector<TEntry> &Entries, const std::string &Charset) {
    std::string Po = "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=" + Charset +
                     "\\n\"\n\"Content-Transfer-Encoding: 8bit\\n\"\n\n";
    for (const TEntry &E : Entries) {
        const auto Context = E.Original.find('\x04');
        if (Context != std::string::npos)
            Po += "msgctxt " + Quoted(E.Original.substr(0, Context)) + "\n";
        Po += "msgid " + Quoted(Context == std::string::npos ? E.Original : E.Original.substr(Context + 1)) +
              "\n";
        Po += "msgstr " + Quoted(E.Translation) + "\n\n";
    }
    return Po;
}

bool HaveMsgfmt() {
    static const bool Found = Run({"msgfmt", "--version"});
    return Found;
}

bool Msgfmt(const std::vector<TEntry> &Entries, const std::string &MoPath,
            const std::vector<std::string> &Options, const std::string &Charset) {
    const std::string PoPath = MoPath + ".po";
    WriteFile(PoPath, PoText(Entries, Charset));
    std::vector<std::string> Arguments{"msgfmt", "-o", MoPath};
    Arguments.insert(Arguments.end(), Options.begin(), Options.end());
    Arguments.push_back(PoPath);
    const bool Done = Run(Arguments);
    std::filesystem::remove(PoPath);
    if (!Done)
        ADD_FAILURE() << "msgfmt failed for " << MoPath;
    return Done;
}

std::vector<TEntry> ReadMo(const std::string &Path) {
    const std::string Image = ReadFile(Path);
    const std::uint32_t N = MoWord(Image, 8), Originals = MoWord(Image, 12), Translated = MoWord(Image, 16);
    auto Text = [&](std::uint32_t Table, std::uint32_t I) {
        return Image.substr(MoWord(Image, Table + 8 * I + 4), MoWord(Image, Table + 8 * I));
    };
    std::vector<TEntry> Entries;
    for (std::uint32_t I = 0; I < N; ++I)
        Entries.push_back({Text(Originals, I), Text(Translated, I)});
    return Entries;
}

} // namespace fixture
