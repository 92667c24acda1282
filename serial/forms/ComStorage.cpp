// The two settings accessors, and the port's save and load operations that walk them.
//
// The initialisation file is kept line by line so that what we do not understand survives a save:
// the port owns one section of a file that may belong to a larger program.
#include "serial/forms/ComStorage.h"

#include "base/Fd.h"
#include "serial/forms/ComText.h"
#include "serial/port/ComPort.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

bool IsBlank(char C) {
    return C == ' ' || C == '\t';
}

std::string_view Trim(std::string_view S) {
    while (!S.empty() && IsBlank(S.front()))
        S.remove_prefix(1);
    while (!S.empty() && IsBlank(S.back()))
        S.remove_suffix(1);
    return S;
}

bool HasLineBreak(std::string_view S) {
    return S.find_first_of("\r\n") != std::string_view::npos;
}

std::string Quoted(const std::filesystem::path &Path) {
    return "\"" + Path.string() + "\"";
}

std::string SystemText(int Code) {
    return std::strerror(Code);
}

// Plain decimal with an optional sign, in the signed 32-bit range.
std::optional<std::int32_t> ParseInt32(std::string_view S) {
    const bool Plus = !S.empty() && S.front() == '+';
    if (Plus)
        S.remove_prefix(1);
    if (S.empty() || (Plus && S.front() == '-'))
        return std::nullopt;
    std::int32_t Value = 0;
    auto [End, Err] = std::from_chars(S.data(), S.data() + S.size(), Value);
    if (Err != std::errc() || End != S.data() + S.size())
        return std::nullopt;
    return Value;
}

// A value that starts or ends in blanks, or is itself enclosed in quotes, is written in quotes so
// that reading it back (which trims and removes one pair of quotes) gives the same text.
std::string EncodeIniValue(std::string_view Value) {
    const bool Edges = !Value.empty() && (IsBlank(Value.front()) || IsBlank(Value.back()));
    const bool Enclosed = Value.size() >= 2 && Value.front() == '"' && Value.back() == '"';
    if (Edges || Enclosed)
        return "\"" + std::string(Value) + "\"";
    return std::string(Value);
}

std::string DecodeIniValue(std::string_view Value) {
    Value = Trim(Value);
    if (Value.size() >= 2 && Value.front() == '"' && Value.back() == '"')
        Value = Value.substr(1, Value.size() - 2);
    return std::string(Value);
}

// A settings file is small and the operator's to edit: anything larger is not one of ours.
constexpr std::size_t MaxFileSize = 1u << 20;

// Reads a whole regular file of at most MaxFileSize bytes without ever blocking on it (a FIFO or a
// device put in its place would hang the program or feed it without end). Nullopt when it does not
// exist; throws MakeError(reason) on any other failure.
template <typename TMakeError>
std::optional<std::string> ReadWholeFile(const std::filesystem::path &Path, TMakeError MakeError) {
    TFd File(::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (File.Get() < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw MakeError(SystemText(errno));
    }
    struct stat Info {};
    if (::fstat(File.Get(), &Info) != 0)
        throw MakeError(SystemText(errno));
    if (!S_ISREG(Info.st_mode))
        throw MakeError("not a regular file");
    const std::string TooLarge = "larger than " + std::to_string(MaxFileSize >> 20) + " MiB";
    if (static_cast<std::uintmax_t>(Info.st_size) > MaxFileSize)
        throw MakeError(TooLarge);
    std::string Content;
    char Buffer[65536];
    for (;;) { // the size may have changed since fstat: the bound holds for what is read
        const ssize_t N = ::read(File.Get(), Buffer, sizeof Buffer);
        if (N < 0 && errno == EINTR)
            continue;
        if (N < 0)
            throw MakeError(SystemText(errno));
        if (N == 0)
            return Content;
        if (Content.size() + static_cast<std::size_t>(N) > MaxFileSize)
            throw MakeError(TooLarge);
        Content.append(Buffer, static_cast<std::size_t>(N));
    }
}

// Exclusive creation beside the target: never write through a file or link that someone else put in
// our way. Fills Temp with the name; an empty descriptor (errno set) when no name could be had.
TFd CreateTempBeside(const std::filesystem::path &Path, std::string &Temp) {
    static std::atomic<unsigned> Counter{0};
    for (int Attempt = 0;; ++Attempt) {
        Temp = Path.string() + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(++Counter);
        TFd Fd(::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (Fd.Get() >= 0 || errno != EEXIST || Attempt >= 100)
            return Fd;
    }
}

int WriteAll(int Fd, const std::string &Content) {
    for (std::size_t Done = 0; Done < Content.size();) {
        const ssize_t N = ::write(Fd, Content.data() + Done, Content.size() - Done);
        if (N < 0 && errno != EINTR)
            return errno;
        if (N > 0)
            Done += static_cast<std::size_t>(N);
    }
    return 0;
}

// Writes beside the target and renames, so readers see the old or the new file, never half of one.
// Returns 0 or the errno of the step that failed.
int ReplaceFile(const std::filesystem::path &Path, const std::string &Content) {
    std::string Temp;
    TFd Fd = CreateTempBeside(Path, Temp);
    if (Fd.Get() < 0)
        return errno;
    struct stat Old {};
    if (::stat(Path.c_str(), &Old) == 0)
        ::fchmod(Fd.Get(), Old.st_mode & 07777); // best effort: keep the old file's permissions
    int Error = WriteAll(Fd.Get(), Content);
    if (Error == 0 && ::fsync(Fd.Get()) != 0)
        Error = errno;
    if (Fd.Close() != 0 && Error == 0)
        Error = errno;
    if (Error == 0 && ::rename(Temp.c_str(), Path.c_str()) != 0)
        Error = errno;
    if (Error != 0)
        ::unlink(Temp.c_str());
    return Error;
}

void CheckIniName(std::string_view What, std::string_view Name, std::string_view Forbidden, bool MayBeEmpty) {
    if ((Name.empty() && !MayBeEmpty) || Trim(Name) != Name ||
        Name.find_first_of(Forbidden) != std::string_view::npos)
        throw EIniFileError("Invalid initialisation file " + std::string(What) + " name \"" +
                            std::string(Name) + "\"");
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TIniFile

void TIniFile::LoadFromFile(const std::filesystem::path &Path) {
    auto Content = ReadWholeFile(Path, [&](const std::string &Reason) {
        return EIniFileError("Cannot read initialisation file " + Quoted(Path) + ": " + Reason);
    });
    SetText(Content ? *Content : std::string());
}

void TIniFile::SaveToFile(const std::filesystem::path &Path) const {
    if (int Code = ReplaceFile(Path, Text()); Code != 0)
        throw EIniFileError("Cannot write initialisation file " + Quoted(Path) + ": " + SystemText(Code));
}

void TIniFile::SetText(std::string_view Text) {
    static constexpr std::string_view Bom = "\xEF\xBB\xBF";
    FByteOrderMark = Text.substr(0, Bom.size()) == Bom;
    if (FByteOrderMark)
        Text.remove_prefix(Bom.size());
    const auto FirstBreak = Text.find('\n');
    FLineBreak = (FirstBreak != std::string_view::npos && FirstBreak > 0 && Text[FirstBreak - 1] == '\r')
                     ? "\r\n"
                     : "\n";

    FSections.assign(1, TSection{});
    while (!Text.empty()) {
        const auto End = Text.find('\n');
        std::string_view Raw = Text.substr(0, End);
        Text = End == std::string_view::npos ? std::string_view() : Text.substr(End + 1);
        if (!Raw.empty() && Raw.back() == '\r')
            Raw.remove_suffix(1);
        AddLine(Raw);
    }
}

// A header starts a section; a line with a key before "=" is an entry; anything else (comments,
// blanks, garbage, a header without its "]") stays in the current section as it came.
void TIniFile::AddLine(std::string_view Raw) {
    const std::string_view Line = Trim(Raw);
    const auto Close = Line.find(']');
    if (Line.starts_with('[') && Close != std::string_view::npos) {
        FSections.push_back(TSection{std::string(Trim(Line.substr(1, Close - 1))), std::string(Raw), {}});
        return;
    }
    TLine Entry{std::string(Raw), {}, {}};
    const auto Equals = Line.find('=');
    const bool Comment = Line.starts_with(';') || Line.starts_with('#');
    if (!Comment && Equals != std::string_view::npos && !Trim(Line.substr(0, Equals)).empty()) {
        Entry.Key = Trim(Line.substr(0, Equals));
        Entry.Value = DecodeIniValue(Line.substr(Equals + 1));
    }
    FSections.back().Lines.push_back(std::move(Entry));
}

std::string TIniFile::Text() const {
    std::string Out = FByteOrderMark ? "\xEF\xBB\xBF" : "";
    for (const TSection &Section : FSections) {
        if (!Section.Header.empty())
            Out += Section.Header + FLineBreak;
        for (const TLine &Line : Section.Lines)
            Out += Line.Raw + FLineBreak;
    }
    return Out;
}

const TIniFile::TLine *TIniFile::FindEntry(std::string_view Section, std::string_view Key) const {
    for (const TSection &S : FSections) {
        if (S.Header.empty() || !SameAsciiText(S.Name, Section))
            continue;
        for (const TLine &Line : S.Lines)
            if (!Line.Key.empty() && SameAsciiText(Line.Key, Key))
                return &Line;
    }
    return nullptr;
}

TIniFile::TLine *TIniFile::FindEntry(std::string_view Section, std::string_view Key) {
    return const_cast<TLine *>(std::as_const(*this).FindEntry(Section, Key));
}

const TIniFile::TSection *TIniFile::FindSection(std::string_view Section) const {
    for (const TSection &S : FSections)
        if (!S.Header.empty() && SameAsciiText(S.Name, Section))
            return &S;
    return nullptr;
}

std::string TIniFile::ReadString(std::string_view Section, std::string_view Key,
                                 std::string_view Default) const {
    const TLine *Line = FindEntry(Section, Key);
    return Line ? Line->Value : std::string(Default);
}

std::int32_t TIniFile::ReadInteger(std::string_view Section, std::string_view Key,
                                   std::int32_t Default) const {
    const TLine *Line = FindEntry(Section, Key);
    if (!Line)
        return Default;
    return ParseInt32(Line->Value).value_or(Default);
}

bool TIniFile::SectionExists(std::string_view Section) const {
    return FindSection(Section) != nullptr;
}

bool TIniFile::ValueExists(std::string_view Section, std::string_view Key) const {
    return FindEntry(Section, Key) != nullptr;
}

void TIniFile::WriteString(std::string_view Section, std::string_view Key, std::string_view Value) {
    CheckIniName("section", Section, "]\r\n", true);
    CheckIniName("key", Key, "=\r\n", false);
    if (Key.front() == '[' || Key.front() == ';' || Key.front() == '#')
        throw EIniFileError("Invalid initialisation file key name \"" + std::string(Key) + "\"");
    if (HasLineBreak(Value))
        throw EIniFileError("Cannot store a line break in initialisation file key \"" + std::string(Key) +
                            "\"");

    if (TLine *Line = FindEntry(Section, Key)) {
        Line->Raw = Line->Key + "=" + EncodeIniValue(Value);
        Line->Value = Value;
        return;
    }
    TSection &Target = SectionForNewKey(Section);
    // After the section's last non-blank line, so the blank line before the next section stays.
    auto Pos = Target.Lines.end();
    while (Pos != Target.Lines.begin() && Trim(std::prev(Pos)->Raw).empty())
        --Pos;
    Target.Lines.insert(
        Pos, TLine{std::string(Key) + "=" + EncodeIniValue(Value), std::string(Key), std::string(Value)});
}

TIniFile::TSection &TIniFile::SectionForNewKey(std::string_view Section) {
    if (const TSection *Found = FindSection(Section))
        return const_cast<TSection &>(*Found);
    // Keep a blank line between sections, as people write them.
    TSection &Last = FSections.back();
    if (!Last.Lines.empty() ? !Trim(Last.Lines.back().Raw).empty() : !Last.Header.empty())
        Last.Lines.push_back(TLine{});
    FSections.push_back(TSection{std::string(Section), "[" + std::string(Section) + "]", {}});
    return FSections.back();
}

void TIniFile::WriteInteger(std::string_view Section, std::string_view Key, std::int32_t Value) {
    WriteString(Section, Key, std::to_string(Value));
}

std::vector<std::string> TIniFile::ReadSection(std::string_view Section) const {
    std::vector<std::string> Keys;
    for (const TSection &S : FSections) {
        if (S.Header.empty() || !SameAsciiText(S.Name, Section))
            continue;
        for (const TLine &Line : S.Lines) {
            if (Line.Key.empty())
                continue;
            bool Seen = false;
            for (const std::string &K : Keys)
                Seen = Seen || SameAsciiText(K, Line.Key);
            if (!Seen)
                Keys.push_back(Line.Key);
        }
    }
    return Keys;
}

// ---------------------------------------------------------------------------------------------
// TRegistryAccessor

ERegistryError::ERegistryError(TKind Kind, const std::string &ValueName, const std::string &Message)
    : std::runtime_error(Message),
      FKind(Kind),
      FValueName(ValueName) {}

namespace {
ERegistryError ReadError(const std::string &Name, const char *Why) {
    return ERegistryError(ERegistryError::rkRead, Name,
                          "Cannot read registry value \"" + Name + "\": " + Why);
}
} // namespace

const TRegistryAccessor::TValue *TRegistryAccessor::Find(const std::string &Name) const {
    for (const TValue &V : FValues)
        if (SameAsciiText(V.Name, Name))
            return &V;
    return nullptr;
}

void TRegistryAccessor::Put(const std::string &Name, TRegistryDataType Type, TData Data) {
    if (FReadOnly)
        throw ERegistryError(ERegistryError::rkWrite, Name,
                             "Cannot write registry value \"" + Name +
                                 "\": the key is open for reading only");
    if (auto *Old = const_cast<TValue *>(Find(Name))) {
        Old->Type = Type;
        Old->Data = std::move(Data);
        return;
    }
    FValues.push_back(TValue{Name, Type, std::move(Data)});
}

void TRegistryAccessor::WriteString(const std::string &Name, const std::string &Value) {
    Put(Name, rdString, Value);
}

void TRegistryAccessor::WriteInteger(const std::string &Name, std::int32_t Value) {
    Put(Name, rdInteger, static_cast<std::uint32_t>(Value));
}

void TRegistryAccessor::WriteExpandString(const std::string &Name, const std::string &Value) {
    Put(Name, rdExpandString, Value);
}

std::string TRegistryAccessor::ReadString(const std::string &Name) const {
    const TValue *V = Find(Name);
    if (!V)
        throw ReadError(Name, "no such value");
    if (V->Type != rdString && V->Type != rdExpandString)
        throw ReadError(Name, "the value is not text");
    return std::get<std::string>(V->Data);
}

std::int32_t TRegistryAccessor::ReadInteger(const std::string &Name) const {
    const TValue *V = Find(Name);
    if (!V)
        throw ReadError(Name, "no such value");
    if (V->Type != rdInteger)
        throw ReadError(Name, "the value is not a 32-bit integer");
    return static_cast<std::int32_t>(std::get<std::uint32_t>(V->Data));
}

bool TRegistryAccessor::ValueExists(const std::string &Name) const {
    return Find(Name) != nullptr;
}

std::optional<TRegistryDataType> TRegistryAccessor::DataType(const std::string &Name) const {
    const TValue *V = Find(Name);
    return V ? std::optional(V->Type) : std::nullopt;
}

bool TRegistryAccessor::DeleteValue(const std::string &Name) {
    for (auto It = FValues.begin(); It != FValues.end(); ++It)
        if (SameAsciiText(It->Name, Name)) {
            FValues.erase(It);
            return true;
        }
    return false;
}

std::vector<std::string> TRegistryAccessor::ValueNames() const {
    std::vector<std::string> Names;
    for (const TValue &V : FValues)
        Names.push_back(V.Name);
    return Names;
}

// The backing file: one value a line, "name"="text", "name"=expand:"text" or "name"=dword:0000002a.
// In quoted texts a backslash escapes a quote, a backslash, or starts \xHH for any
// byte below 0x20, so a value with a line break stays on its line.
namespace {

std::string QuoteRegText(const std::string &S) {
    std::string Out = "\"";
    for (char C : S) {
        const auto B = static_cast<unsigned char>(C);
        if (C == '"' || C == '\\') {
            Out += '\\';
            Out += C;
        } else if (B < 0x20) {
            char Hex[8];
            std::snprintf(Hex, sizeof Hex, "\\x%02x", B);
            Out += Hex;
        } else {
            Out += C;
        }
    }
    return Out + "\"";
}

// Reads a quoted text at the front of S and removes it; nullopt when S holds no valid one.
std::optional<std::string> UnquoteRegText(std::string_view &S) {
    if (S.empty() || S.front() != '"')
        return std::nullopt;
    std::string Out;
    for (std::size_t i = 1; i < S.size(); ++i) {
        const char C = S[i];
        if (C == '"') {
            S.remove_prefix(i + 1);
            return Out;
        }
        if (C != '\\') {
            Out += C;
            continue;
        }
        if (i + 1 >= S.size())
            return std::nullopt;
        const char E = S[++i];
        if (E == '"' || E == '\\') {
            Out += E;
        } else if (E == 'x' && i + 2 < S.size()) {
            unsigned Byte = 0;
            auto [End, Err] = std::from_chars(S.data() + i + 1, S.data() + i + 3, Byte, 16);
            if (Err != std::errc() || End != S.data() + i + 3)
                return std::nullopt;
            Out += static_cast<char>(Byte);
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<TRegistryAccessor::TValue> TRegistryAccessor::ParseLine(std::string_view Line) {
    auto Name = UnquoteRegText(Line);
    if (!Name || !Line.starts_with('='))
        return std::nullopt;
    Line.remove_prefix(1);
    if (Line.starts_with("dword:")) {
        const std::string_view Digits = Line.substr(6);
        std::uint32_t Number = 0;
        auto [End, Err] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), Number, 16);
        if (Digits.empty() || Err != std::errc() || End != Digits.data() + Digits.size())
            return std::nullopt;
        return TValue{*Name, rdInteger, Number};
    }
    const bool Expand = Line.starts_with("expand:");
    if (Expand)
        Line.remove_prefix(7);
    auto Value = UnquoteRegText(Line);
    if (!Value || !Line.empty())
        return std::nullopt;
    return TValue{*Name, Expand ? rdExpandString : rdString, std::move(*Value)};
}

void TRegistryAccessor::LoadFromFile(const std::filesystem::path &Path) {
    auto Content = ReadWholeFile(Path, [&](const std::string &Reason) {
        return ERegistryError(ERegistryError::rkRead, {},
                              "Cannot read registry file " + Quoted(Path) + ": " + Reason);
    });
    std::vector<TValue> Values;
    std::string_view Text = Content ? std::string_view(*Content) : std::string_view();
    while (!Text.empty()) {
        const auto End = Text.find('\n');
        if (auto Value = ParseLine(Text.substr(0, End)))
            Values.push_back(std::move(*Value)); // lines that do not parse are skipped
        Text = End == std::string_view::npos ? std::string_view() : Text.substr(End + 1);
    }
    FValues = std::move(Values);
}

void TRegistryAccessor::SaveToFile(const std::filesystem::path &Path) const {
    std::string Out;
    for (const TValue &V : FValues) {
        Out += QuoteRegText(V.Name) + "=";
        if (V.Type == rdInteger) {
            char Hex[16];
            std::snprintf(Hex, sizeof Hex, "dword:%08x",
                          static_cast<unsigned>(std::get<std::uint32_t>(V.Data)));
            Out += Hex;
        } else {
            Out += (V.Type == rdExpandString ? "expand:" : "") + QuoteRegText(std::get<std::string>(V.Data));
        }
        Out += '\n';
    }
    if (int Code = ReplaceFile(Path, Out); Code != 0)
        throw ERegistryError(ERegistryError::rkWrite, {},
                             "Cannot write registry file " + Quoted(Path) + ": " + SystemText(Code));
}

// ---------------------------------------------------------------------------------------------
// The port's save and load operations.
//
// One table drives all four: the groups in their fixed order (basic, others, parity, buffer,
// time-outs, flow control) and the keys of each group in order. A loaded value goes through its
// setter before the next key is read, so on an open port each one is applied at once and a failure
// leaves the values loaded before it in place.

namespace {

struct TStoredKey {
    TStoredGroup Group;
    const char *Name;
    // A text key has Text and SetText, an integer key Integer and SetInteger.
    std::string (*Text)(const TCustomComPort &) = nullptr;
    void (*SetText)(TCustomComPort &, const std::string &) = nullptr;
    std::int32_t (*Integer)(const TCustomComPort &) = nullptr;
    void (*SetInteger)(TCustomComPort &, std::int32_t) = nullptr;
};

using P = TCustomComPort;
using S = const std::string &;

// "CustomBaudRate" is stored only with brCustom, and read only when the rate just loaded is brCustom.
constexpr const char *CustomBaudRateKey = "CustomBaudRate";

const TStoredKey StoredKeys[] = {
    {sgBasic, "Port", [](const P &C) { return C.Port(); }, [](P &C, S V) { C.SetPort(V); }},
    {sgBasic, "BaudRate", [](const P &C) { return BaudRateToText(C.BaudRate()); },
     [](P &C, S V) { C.SetBaudRate(TextToBaudRate(V)); }},
    {sgBasic, CustomBaudRateKey, nullptr, nullptr, [](const P &C) { return C.CustomBaudRate(); },
     [](P &C, std::int32_t V) { C.SetCustomBaudRate(V); }},
    {sgBasic, "StopBits", [](const P &C) { return StopBitsToText(C.StopBits()); },
     [](P &C, S V) { C.SetStopBits(TextToStopBits(V)); }},
    {sgBasic, "DataBits", [](const P &C) { return DataBitsToText(C.DataBits()); },
     [](P &C, S V) { C.SetDataBits(TextToDataBits(V)); }},
    {sgBasic, "Parity", [](const P &C) { return ParityToText(C.Parity().Bits()); },
     [](P &C, S V) { C.Parity().SetBits(TextToParity(V)); }},
    // The summary: "Custom" or an unknown text changes no switch, and the detailed keys of the flow
    // control group, when stored too, come later and win.
    {sgBasic, "FlowControl", [](const P &C) { return FlowControlToText(C.FlowControl().FlowControl()); },
     [](P &C, S V) { C.FlowControl().SetFlowControl(TextToFlowControl(V)); }},

    {sgOthers, "EventChar", [](const P &C) { return CharToText(C.EventChar()); },
     [](P &C, S V) { C.SetEventChar(TextToChar(V)); }},
    {sgOthers, "DiscardNull", [](const P &C) { return BoolToText(C.DiscardNull()); },
     [](P &C, S V) { C.SetDiscardNull(TextToBool(V)); }},

    {sgParity, "Parity.Check", [](const P &C) { return BoolToText(C.Parity().Check()); },
     [](P &C, S V) { C.Parity().SetCheck(TextToBool(V)); }},
    {sgParity, "Parity.Replace", [](const P &C) { return BoolToText(C.Parity().Replace()); },
     [](P &C, S V) { C.Parity().SetReplace(TextToBool(V)); }},
    {sgParity, "Parity.ReplaceChar", [](const P &C) { return CharToText(C.Parity().ReplaceChar()); },
     [](P &C, S V) { C.Parity().SetReplaceChar(TextToChar(V)); }},

    {sgBuffer, "Buffer.OutputSize", nullptr, nullptr, [](const P &C) { return C.Buffer().OutputSize(); },
     [](P &C, std::int32_t V) { C.Buffer().SetOutputSize(V); }},
    {sgBuffer, "Buffer.InputSize", nullptr, nullptr, [](const P &C) { return C.Buffer().InputSize(); },
     [](P &C, std::int32_t V) { C.Buffer().SetInputSize(V); }},

    {sgTimeouts, "Timeouts.ReadInterval", nullptr, nullptr,
     [](const P &C) { return C.Timeouts().ReadInterval(); },
     [](P &C, std::int32_t V) { C.Timeouts().SetReadInterval(V); }},
    {sgTimeouts, "Timeouts.ReadTotalConstant", nullptr, nullptr,
     [](const P &C) { return C.Timeouts().ReadTotalConstant(); },
     [](P &C, std::int32_t V) { C.Timeouts().SetReadTotalConstant(V); }},
    {sgTimeouts, "Timeouts.ReadTotalMultiplier", nullptr, nullptr,
     [](const P &C) { return C.Timeouts().ReadTotalMultiplier(); },
     [](P &C, std::int32_t V) { C.Timeouts().SetReadTotalMultiplier(V); }},
    {sgTimeouts, "Timeouts.WriteTotalConstant", nullptr, nullptr,
     [](const P &C) { return C.Timeouts().WriteTotalConstant(); },
     [](P &C, std::int32_t V) { C.Timeouts().SetWriteTotalConstant(V); }},
    {sgTimeouts, "Timeouts.WriteTotalMultiplier", nullptr, nullptr,
     [](const P &C) { return C.Timeouts().WriteTotalMultiplier(); },
     [](P &C, std::int32_t V) { C.Timeouts().SetWriteTotalMultiplier(V); }},

    {sgFlowControl, "FlowControl.ControlRTS",
     [](const P &C) { return RTSToText(C.FlowControl().ControlRTS()); },
     [](P &C, S V) { C.FlowControl().SetControlRTS(TextToRTS(V)); }},
    {sgFlowControl, "FlowControl.ControlDTR",
     [](const P &C) { return DTRToText(C.FlowControl().ControlDTR()); },
     [](P &C, S V) { C.FlowControl().SetControlDTR(TextToDTR(V)); }},
    {sgFlowControl, "FlowControl.DSRSensitivity",
     [](const P &C) { return BoolToText(C.FlowControl().DSRSensitivity()); },
     [](P &C, S V) { C.FlowControl().SetDSRSensitivity(TextToBool(V)); }},
    {sgFlowControl, "FlowControl.OutCTSFlow",
     [](const P &C) { return BoolToText(C.FlowControl().OutCTSFlow()); },
     [](P &C, S V) { C.FlowControl().SetOutCTSFlow(TextToBool(V)); }},
    {sgFlowControl, "FlowControl.OutDSRFlow",
     [](const P &C) { return BoolToText(C.FlowControl().OutDSRFlow()); },
     [](P &C, S V) { C.FlowControl().SetOutDSRFlow(TextToBool(V)); }},
    {sgFlowControl, "FlowControl.TxContinueOnXoff",
     [](const P &C) { return BoolToText(C.FlowControl().TxContinueOnXoff()); },
     [](P &C, S V) { C.FlowControl().SetTxContinueOnXoff(TextToBool(V)); }},
    {sgFlowControl, "FlowControl.XonXoffIn",
     [](const P &C) { return BoolToText(C.FlowControl().XonXoffIn()); },
     [](P &C, S V) { C.FlowControl().SetXonXoffIn(TextToBool(V)); }},
    {sgFlowControl, "FlowControl.XonXoffOut",
     [](const P &C) { return BoolToText(C.FlowControl().XonXoffOut()); },
     [](P &C, S V) { C.FlowControl().SetXonXoffOut(TextToBool(V)); }},
    {sgFlowControl, "FlowControl.XoffChar", [](const P &C) { return CharToText(C.FlowControl().XoffChar()); },
     [](P &C, S V) { C.FlowControl().SetXoffChar(TextToChar(V)); }},
    {sgFlowControl, "FlowControl.XonChar", [](const P &C) { return CharToText(C.FlowControl().XonChar()); },
     [](P &C, S V) { C.FlowControl().SetXonChar(TextToChar(V)); }},
};

constexpr TStoredGroup GroupOrder[] = {sgBasic, sgOthers, sgParity, sgBuffer, sgTimeouts, sgFlowControl};

// What the walk needs from a store. Current is the stored form of the setting's present value:
// the initialisation file returns it for an absent key, the registry ignores it and raises.
class TStore {
public:
    virtual ~TStore() = default;
    virtual std::string ReadText(const char *Key, const std::string &Current) = 0;
    virtual std::int32_t ReadInteger(const char *Key, std::int32_t Current) = 0;
    virtual void WriteText(const char *Key, const std::string &Value) = 0;
    virtual void WriteInteger(const char *Key, std::int32_t Value) = 0;
};

class TIniStore final : public TStore {
public:
    TIniStore(TIniFile &Ini, const std::string &Section) : FIni(Ini), FSection(Section) {}
    std::string ReadText(const char *Key, const std::string &Current) override {
        return FIni.ReadString(FSection, Key, Current);
    }
    std::int32_t ReadInteger(const char *Key, std::int32_t Current) override {
        return FIni.ReadInteger(FSection, Key, Current);
    }
    void WriteText(const char *Key, const std::string &Value) override {
        FIni.WriteString(FSection, Key, Value);
    }
    void WriteInteger(const char *Key, std::int32_t Value) override {
        FIni.WriteInteger(FSection, Key, Value);
    }

private:
    TIniFile &FIni;
    const std::string &FSection;
};

class TRegistryStore final : public TStore {
public:
    explicit TRegistryStore(TRegistryAccessor &Registry) : FRegistry(Registry) {}
    std::string ReadText(const char *Key, const std::string &) override { return FRegistry.ReadString(Key); }
    std::int32_t ReadInteger(const char *Key, std::int32_t) override { return FRegistry.ReadInteger(Key); }
    void WriteText(const char *Key, const std::string &Value) override { FRegistry.WriteString(Key, Value); }
    void WriteInteger(const char *Key, std::int32_t Value) override { FRegistry.WriteInteger(Key, Value); }

private:
    TRegistryAccessor &FRegistry;
};

template <typename F> void ForEachStoredKey(TStoredGroups Groups, F Visit) {
    for (TStoredGroup Group : GroupOrder)
        if (Groups.Contains(Group))
            for (const TStoredKey &Key : StoredKeys)
                if (Key.Group == Group)
                    Visit(Key);
}

bool IsCustomRate(const TStoredKey &Key) {
    return std::string_view(Key.Name) == CustomBaudRateKey;
}

void SaveSettings(const TCustomComPort &Port, TStore &Store) {
    ForEachStoredKey(Port.StoredGroups(), [&](const TStoredKey &Key) {
        if (IsCustomRate(Key) && Port.BaudRate() != brCustom)
            return;
        if (Key.Text)
            Store.WriteText(Key.Name, Key.Text(Port));
        else
            Store.WriteInteger(Key.Name, Key.Integer(Port));
    });
}

void LoadSettings(TCustomComPort &Port, TStore &Store) {
    ForEachStoredKey(Port.StoredGroups(), [&](const TStoredKey &Key) {
        if (IsCustomRate(Key)) {
            // An absent rate is the usual 9600, not whatever the port had before.
            if (Port.BaudRate() == brCustom)
                Key.SetInteger(Port, Store.ReadInteger(Key.Name, 9600));
        } else if (Key.Text) {
            Key.SetText(Port, Store.ReadText(Key.Name, Key.Text(Port)));
        } else {
            Key.SetInteger(Port, Store.ReadInteger(Key.Name, Key.Integer(Port)));
        }
    });
}

} // namespace

void TCustomComPort::SaveToRegistry(TRegistryAccessor &Registry) {
    TRegistryStore Store(Registry);
    SaveSettings(*this, Store);
}

void TCustomComPort::SaveToIniFile(TIniFile &IniFile) {
    TIniStore Store(IniFile, Name());
    SaveSettings(*this, Store);
}

void TCustomComPort::LoadFromRegistry(TRegistryAccessor &Registry) {
    TRegistryStore Store(Registry);
    LoadSettings(*this, Store);
}

void TCustomComPort::LoadFromIniFile(TIniFile &IniFile) {
    TIniStore Store(IniFile, Name());
    LoadSettings(*this, Store);
}

std::filesystem::path SettingsFolder() {
    const char *Config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path Base =
        Config && *Config == '/' ? std::filesystem::path(Config) : std::filesystem::path();
    if (Base.empty()) {
        const char *Home = std::getenv("HOME");
        const passwd *User = Home && *Home ? nullptr : ::getpwuid(::getuid());
        if (Home && *Home)
            Base = std::filesystem::path(Home) / ".config";
        else if (User && User->pw_dir)
            Base = std::filesystem::path(User->pw_dir) / ".config";
        else
            return {};
    }
    return Base / "dudovuz";
}
