// Where a port's settings can be kept between runs: an initialisation file or a registry-like
// key-value store.
//
// The port component saves and loads its settings through the two accessors below
// (TCustomComPort::SaveToIniFile and its siblings). Both are owned by the caller, who also decides
// where their content comes from and when it is written back: the port never opens, creates or
// flushes a file itself.
//
//   - TIniFile keeps a whole initialisation file in memory. Reading is forgiving: garbage lines,
//     duplicate sections or keys, very long lines and bytes that are not UTF-8 load without
//     complaint, and everything the file held (comments and unreadable lines included) is written
//     back unchanged, so saving one section never loses another.
//   - TRegistryAccessor keeps the values of one registry key: text and 32-bit integers by name, with
//     the registry's rules. Reading a value that is absent or has the wrong type raises
//     ERegistryError; so does a write to a key opened for reading only. Value names are compared
//     without regard to ASCII letter case, as the registry does.
//
// The port's four operations (defined in ComStorage.cpp) write and read the groups of its
// StoredGroups in a fixed order (basic, others, parity, buffer, time-outs, flow control), each
// value in its text form (ComText.h) or as an integer. A loaded value goes through its setter before
// the next key is read, so an open port applies it at once (a new "Port" reopens the port) and a
// failure - an accessor error or a refused setting - leaves the values loaded before it in place.
// From an initialisation file an absent key keeps the current value; from the registry an absent
// value stops the load with the read error, rather than loading as empty text and resetting the
// setting (an empty "Port" would close an open port).
//
// Thread safety: none; an accessor belongs to the thread that uses it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// A file that cannot be read or written, or a section, key or value that the file format cannot
// hold (a line break would split one entry into two).
class EIniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The folder of the user's settings files: $XDG_CONFIG_HOME/dudovuz when that is an absolute path,
// else ~/.config/dudovuz; empty when there is no home folder.
std::filesystem::path SettingsFolder();

class TIniFile {
public:
    TIniFile() = default;

    // Replaces the content with the file's. A file that does not exist gives an empty content
    // (the first save creates it); any other failure raises EIniFileError and keeps the content.
    // Only a regular file of at most 1 MiB is read, and opening it never waits: a FIFO, a device or
    // a folder in its place is a failure too.
    void LoadFromFile(const std::filesystem::path &Path);
    // Writes the whole content to a temporary file beside Path and renames it over Path, so a
    // failed save leaves the old file as it was. Raises EIniFileError.
    void SaveToFile(const std::filesystem::path &Path) const;

    void SetText(std::string_view Text);
    std::string Text() const;

    // Sections and keys are matched without regard to ASCII letter case. Where a file holds a
    // section or key twice, the first entry in file order is the one read and written.
    std::string ReadString(std::string_view Section, std::string_view Key, std::string_view Default) const;
    // Plain decimal with an optional sign, within the signed 32-bit range; any other text reads as
    // if the key were absent.
    std::int32_t ReadInteger(std::string_view Section, std::string_view Key, std::int32_t Default) const;
    bool SectionExists(std::string_view Section) const;
    bool ValueExists(std::string_view Section, std::string_view Key) const;

    // Raise EIniFileError, changing nothing, for a name or value the format cannot hold.
    void WriteString(std::string_view Section, std::string_view Key, std::string_view Value);
    void WriteInteger(std::string_view Section, std::string_view Key, std::int32_t Value);

    // Keys of a section in file order (first occurrence only), for callers that walk a section.
    std::vector<std::string> ReadSection(std::string_view Section) const;

private:
    // One line of the file. Entries are parsed; every other line (comment, blank, garbage) is
    // kept as Raw and written back as it came.
    struct TLine {
        std::string Raw;
        std::string Key; // empty for a line that is not an entry
        std::string Value;
    };
    struct TSection {
        std::string Name;
        std::string Header; // the header line as read; empty for the lines before the first section
        std::vector<TLine> Lines;
    };

    void AddLine(std::string_view Raw);
    TSection &SectionForNewKey(std::string_view Section);
    const TLine *FindEntry(std::string_view Section, std::string_view Key) const;
    TLine *FindEntry(std::string_view Section, std::string_view Key);
    const TSection *FindSection(std::string_view Section) const;

    std::vector<TSection> FSections{TSection{}};
    bool FByteOrderMark = false;
    std::string FLineBreak = "\n";
};

class ERegistryError : public std::runtime_error {
public:
    enum TKind : std::uint8_t { rkRead, rkWrite };
    ERegistryError(TKind Kind, const std::string &ValueName, const std::string &Message);
    TKind Kind() const noexcept { return FKind; }
    const std::string &ValueName() const noexcept { return FValueName; }

private:
    TKind FKind;
    std::string FValueName;
};

// The value types that the store knows, with the registry's names.
enum TRegistryDataType : std::uint8_t { rdString, rdExpandString, rdInteger };

class TRegistryAccessor {
public:
    TRegistryAccessor() = default;
    virtual ~TRegistryAccessor() = default;
    TRegistryAccessor(const TRegistryAccessor &) = default;
    TRegistryAccessor &operator=(const TRegistryAccessor &) = default;

    // Text values are stored as REG_SZ; reading accepts REG_SZ and REG_EXPAND_SZ.
    virtual void WriteString(const std::string &Name, const std::string &Value);
    virtual void WriteInteger(const std::string &Name, std::int32_t Value);
    virtual std::string ReadString(const std::string &Name) const;
    virtual std::int32_t ReadInteger(const std::string &Name) const;

    // A text value that reads back as text, as the registry's expandable strings do.
    void WriteExpandString(const std::string &Name, const std::string &Value);
    bool ValueExists(const std::string &Name) const;
    std::optional<TRegistryDataType> DataType(const std::string &Name) const;
    bool DeleteValue(const std::string &Name);
    // Value names in the order they were first written.
    std::vector<std::string> ValueNames() const;

    // A key opened for reading only refuses every write with the write error.
    bool ReadOnly() const noexcept { return FReadOnly; }
    void SetReadOnly(bool Value) noexcept { FReadOnly = Value; }

    // Optional backing file, one value a line in a quoted text form. Loading replaces the values
    // and raises ERegistryError (rkRead) for a file it cannot read (as for TIniFile, only a regular
    // file of at most 1 MiB is read, without waiting); lines it cannot parse are
    // skipped. Saving goes through a temporary file and a rename.
    void LoadFromFile(const std::filesystem::path &Path);
    void SaveToFile(const std::filesystem::path &Path) const;

private:
    using TData = std::variant<std::string, std::uint32_t>;
    struct TValue {
        std::string Name;
        TRegistryDataType Type;
        TData Data;
    };

    static std::optional<TValue> ParseLine(std::string_view Line);
    const TValue *Find(const std::string &Name) const;
    void Put(const std::string &Name, TRegistryDataType Type, TData Data);

    std::vector<TValue> FValues;
    bool FReadOnly = false;
};
