// Catalogues and the application object for the Qt adapter's tests.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

class QApplication;

using TEntries = std::vector<std::pair<std::string, std::string>>;

// A fresh directory laid out like the executable's: <Root>/locale/<language>/LC_MESSAGES/.
// Removed with everything in it on destruction.
class TCatalogueDir {
public:
    TCatalogueDir();
    ~TCatalogueDir();
    TCatalogueDir(const TCatalogueDir &) = delete;
    TCatalogueDir &operator=(const TCatalogueDir &) = delete;

    const std::filesystem::path &Root() const { return FRoot; }
    // Compiles Entries (msgid, msgstr; UTF-8) with msgfmt into the catalogue of Domain; returns
    // false when msgfmt fails.
    bool Write(const std::string &Language, const std::string &Domain, const TEntries &Entries) const;
    // A file in the catalogue's place that is no MO file. Returns its path.
    std::filesystem::path WriteBroken(const std::string &Language, const std::string &Domain) const;

private:
    std::filesystem::path FRoot;
};

// The one application object of the test program (offscreen platform).
QApplication &TestApplication();
