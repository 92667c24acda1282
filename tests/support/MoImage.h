// MO catalogues built by hand, for the tests of the translation service and of everything that
// shows translated texts: any entries, either byte order, and the header words to damage them with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fixture {

struct TEntry {
    std::string Original; // msgctxt "\x04" msgid, as stored in a catalogue
    std::string Translation;
};

// Writes Bytes to Path, creating the missing directories.
void WriteFile(const std::string &Path, const std::string &Bytes);
std::string ReadFile(const std::string &Path);

// An MO image without a hash table; the entries are sorted as the format requires.
std::string MoImage(std::vector<TEntry> Entries, bool BigEndian = false);

// Header fields of an MO image, in the image's byte order.
std::uint32_t MoWord(const std::string &Image, std::size_t Offset);
void SetMoWord(std::string &Image, std::size_t Offset, std::uint32_t Value);

} // namespace fixture
