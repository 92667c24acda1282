#include "support/TestCatalogue.h"

#include <QApplication>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <stdlib.h>

namespace fs = std::filesystem;

namespace {

std::string Quoted(const std::string &Text) {
    std::string Result = "\"";
    for (char C : Text) {
        if (C == '"' || C == '\\')
            Result += '\\';
        if (C == '\n')
            Result += "\\n";
        else
            Result += C;
    }
    return Result + "\"";
}

fs::path MessagesDir(const fs::path &Root, const std::string &Language) {
    fs::path Dir = Root / "locale" / Language / "LC_MESSAGES";
    fs::create_directories(Dir);
    return Dir;
}

} // namespace

TCatalogueDir::TCatalogueDir() {
    std::string Pattern = (fs::temp_directory_path() / "i18n_qt_XXXXXX").string();
    if (!::mkdtemp(Pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    FRoot = Pattern;
}

TCatalogueDir::~TCatalogueDir() {
    std::error_code Ignored;
    fs::remove_all(FRoot, Ignored);
}

bool TCatalogueDir::Write(const std::string &Language, const std::string &Domain,
                          const TEntries &Entries) const {
    const fs::path Po = FRoot / (Domain + ".po");
    {
        std::ofstream Out(Po);
        Out << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n";
        for (const auto &[Id, Str] : Entries)
            Out << "\nmsgid " << Quoted(Id) << "\nmsgstr " << Quoted(Str) << "\n";
    }
    const fs::path Mo = MessagesDir(FRoot, Language) / (Domain + ".mo");
    const std::string Command = "msgfmt -o '" + Mo.string() + "' '" + Po.string() + "'";
    return std::system(Command.c_str()) == 0;
}

fs::path TCatalogueDir::WriteBroken(const std::string &Language, const std::string &Domain) const {
    const fs::path Mo = MessagesDir(FRoot, Language) / (Domain + ".mo");
    std::ofstream(Mo) << "this is no catalogue, but long enough to be read";
    return Mo;
}

QApplication &TestApplication() {
    static int Argc = 1;
    static char Name[] = "i18n_qt_test";
    static char *Argv[] = {Name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QApplication App(Argc, Argv);
    return App;
}
