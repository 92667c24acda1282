// Catalogue fixtures for the translation service's tests: temporary directories, PO texts compiled
// by msgfmt (the format's reference tool) and a plain reader for comparing whole catalogues. The
// hand-built MO images, for what msgfmt never writes, are the shared test support's.
#pragma once

#include "tests/support/MoImage.h"

#include <string>
#include <vector>

namespace fixture {

// A fresh directory under TMPDIR, removed with everything in it.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir &) = delete;
    TTempDir &operator=(const TTempDir &) = delete;
    const std::string &Path() const { return FPath; }

private:
    std::string FPath;
};

// <Base>/locale/<Language>/LC_MESSAGES/<Domain>.mo: where the service looks for a catalogue when
// Base is the executable directory it was started with.
std::string CataloguePath(const std::string &Base, const std::string &Language, const std::string &Domain);

// A PO file of the entries, preceded by a header declaring Charset. An Original with "\x04" becomes
// msgctxt and msgid. Texts are written byte for byte, escaped as PO requires.
std::string PoText(const std::vector<TEntry> &Entries, const std::string &Charset = "UTF-8");

// Runs msgfmt on PoText(Entries, Charset) with the extra options and writes the catalogue to MoPath.
// Fails the calling test (ADD_FAILURE) and returns false when msgfmt cannot run or refuses.
bool Msgfmt(const std::vector<TEntry> &Entries, const std::string &MoPath,
            const std::vector<std::string> &Options = {}, const std::string &Charset = "UTF-8");
bool HaveMsgfmt();

// Every entry of a well-formed catalogue file, in file order.
std::vector<TEntry> ReadMo(const std::string &Path);

} // namespace fixture
