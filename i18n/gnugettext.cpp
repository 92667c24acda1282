// The translation service: catalogue lookup, domains, language choice and resource texts.
//
// Catalogues are mapped, never read into memory, and searched by the binary search below rather
// than through the format's hash table, so one code path serves catalogues written with or without
// a hash table and in either byte order. Nothing from the file is trusted: every table position,
// string offset and length is checked against the mapping before it is used, so a truncated or
// corrupt catalogue is reported as not being an MO file instead of reading past its end.
#include "i18n/gnugettext.h"

#include "base/Fd.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t MoMagic = 0x950412de;
constexpr std::uint32_t MoMagicSwapped = 0xde120495;
constexpr std::uint64_t MoHeaderSize = 28;
constexpr std::size_t MaxReasonLength = 2000;

bool IsFile(const std::string &Path) {
    struct stat St {};
    return ::stat(Path.c_str(), &St) == 0 && !S_ISDIR(St.st_mode);
}

char AsciiLower(char C) {
    return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
}

bool SameName(std::string_view A, std::string_view B) {
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(),
                                              [](char X, char Y) { return AsciiLower(X) == AsciiLower(Y); });
}

std::string WithTrailingSeparator(std::string Directory) {
    if (Directory.empty() || Directory.back() != '/')
        Directory += '/';
    return Directory;
}

// Keys are stored with bare line feeds.
std::string WithoutCarriageReturns(const std::string &Text) {
    std::string Key;
    Key.reserve(Text.size());
    for (char C : Text)
        if (C != '\r')
            Key += C;
    return Key;
}

// Every line feed that does not already follow a carriage return gets one.
std::string WithCrLf(std::string_view Text) {
    if (Text.find('\n') == std::string_view::npos) // the usual case: one line
        return std::string(Text);
    std::size_t Missing = 0;
    for (std::size_t I = 0; I < Text.size(); ++I)
        if (Text[I] == '\n' && (I == 0 || Text[I - 1] != '\r'))
            ++Missing;
    if (Missing == 0)
        return std::string(Text);
    std::string Result;
    Result.reserve(Text.size() + Missing);
    for (std::size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] == '\n' && (I == 0 || Text[I - 1] != '\r'))
            Result += '\r';
        Result += Text[I];
    }
    return Result;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view Text) {
    const auto *P = reinterpret_cast<const unsigned char *>(Text.data());
    const auto *End = P + Text.size();
    while (P < End) {
        // Eight ASCII bytes at a time: most of a translation is ASCII even in Czech.
        while (End - P >= 8) {
            std::uint64_t Word;
            std::memcpy(&Word, P, sizeof Word);
            if ((Word & 0x8080808080808080ull) != 0)
                break;
            P += 8;
        }
        if (P == End)
            break;
        const unsigned char C = *P;
        if (C < 0x80) {
            ++P;
            continue;
        }
        std::size_t Length;
        unsigned char Low = 0x80, High = 0xBF; // range of the second byte
        if (C >= 0xC2 && C <= 0xDF)
            Length = 2;
        else if (C >= 0xE0 && C <= 0xEF) {
            Length = 3;
            Low = C == 0xE0 ? 0xA0 : 0x80;
            High = C == 0xED ? 0x9F : 0xBF;
        } else if (C >= 0xF0 && C <= 0xF4) {
            Length = 4;
            Low = C == 0xF0 ? 0x90 : 0x80;
            High = C == 0xF4 ? 0x8F : 0xBF;
        } else
            return false;
        if (static_cast<std::size_t>(End - P) < Length || P[1] < Low || P[1] > High)
            return false;
        for (std::size_t I = 2; I < Length; ++I)
            if (P[I] < 0x80 || P[I] > 0xBF)
                return false;
        P += Length;
    }
    return true;
}

std::runtime_error NotTranslatable(const std::string &Text) {
    return std::runtime_error("Error: Could not translate " + Text +
                              ". Probably because the mo file doesn't contain utf-8 encoded translations.");
}

// "ll_CC" from a locale name such as "cs_CZ.UTF-8@euro" when both parts are two letters.
std::string TwoLetterCode(std::string_view Locale) {
    Locale = Locale.substr(0, Locale.find_first_of(".@"));
    auto Letters = [](std::string_view S) {
        return S.size() == 2 && std::all_of(S.begin(), S.end(), [](char C) {
                   return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z');
               });
    };
    if (Locale.size() != 5 || Locale[2] != '_' || !Letters(Locale.substr(0, 2)) || !Letters(Locale.substr(3)))
        return "C";
    return std::string(Locale);
}

std::string ExecutableDirectory() {
    std::string Path(4096, '\0');
    const ssize_t Length = ::readlink("/proc/self/exe", Path.data(), Path.size());
    if (Length <= 0) // no /proc: catalogues are then looked for beside the working directory
        return ".";
    Path.resize(static_cast<std::size_t>(Length));
    const auto Slash = Path.rfind('/');
    return Slash == 0 ? "/" : Path.substr(0, Slash);
}

// Program-wide state of the service. Start-up and shutdown run on the main thread while nothing
// translates, so the pointers themselves need no lock; atomics keep the sanitizers' view exact.
struct TResourceDomains {
    std::shared_mutex Lock;
    std::vector<std::string> Names{"default"};
};

std::atomic<TGnuGettextInstance *> GInstance{nullptr};
std::atomic<std::uint64_t> GGenerations{0};

// The domain a thread looked up last: most lookups repeat the domain of the one before, and this
// spares them the instance's lock. A generation, unique per instance, keeps a pointer of a
// destroyed instance from being used; domains live as long as their instance.
struct TLastDomain {
    std::uint64_t Generation = 0;
    std::string Name;
    TDomain *Domain = nullptr;
};
thread_local TLastDomain LastDomain;
std::atomic<TResourceDomains *> GResourceDomains{nullptr};
std::atomic<bool> GRouted{false};
TResourceStringTable GStringTable;

std::vector<TInstanceCreatedHook> &Hooks() {
    static std::vector<TInstanceCreatedHook> List;
    return List;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TDomain

TDomain::TDomain(std::string Name) : FName(std::move(Name)) {}

TDomain::~TDomain() {
    Unmap();
}

// Closing and changing under one hold of the lock, so no lookup in between reopens the old file.
void TDomain::SetDirectory(const std::string &Value) {
    std::unique_lock Lock(FLock);
    Unmap();
    FMayOpen = true;
    FDirectory = WithTrailingSeparator(Value);
}

void TDomain::SetLanguageCode(const std::string &Value) {
    std::unique_lock Lock(FLock);
    Unmap();
    FMayOpen = true;
    FLanguageCode = Value;
}

bool TDomain::IsOpen() const {
    std::shared_lock Lock(FLock);
    return FOpen;
}

bool TDomain::MayOpen() const {
    std::shared_lock Lock(FLock);
    return FMayOpen;
}

std::string TDomain::CataloguePath() const {
    std::shared_lock Lock(FLock);
    return FPath;
}

std::string TDomain::CatalogueFile(std::string_view Language) const {
    std::string Path = FDirectory;
    Path.append(Language).append("/LC_MESSAGES/").append(FName).append(".mo");
    return Path;
}

void TDomain::Invalid() const {
    throw std::runtime_error("This file is not a valid GNU gettext mo file: " + FPath);
}

std::uint32_t TDomain::Read32(std::uint64_t Offset) const {
    std::uint32_t Value;
    std::memcpy(&Value, FStart + Offset, sizeof Value);
    return FReverse ? __builtin_bswap32(Value) : Value;
}

void TDomain::OpenCatalogue() {
    std::unique_lock Lock(FLock);
    if (FOpen || !FMayOpen)
        return;
    FPath = CatalogueFile(FLanguageCode);
    if (!IsFile(FPath)) {
        FPath = CatalogueFile(std::string_view(FLanguageCode).substr(0, 2));
        if (!IsFile(FPath)) {
            FMayOpen = false;
            return;
        }
    }
    // Non-blocking: a FIFO in the catalogue's place would otherwise hang the lookup until a writer
    // came along. It has no effect on a regular file.
    TFd File(::open(FPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (File.Get() < 0)
        throw std::runtime_error("Cannot open file " + FPath);
    struct stat St {};
    if (::fstat(File.Get(), &St) != 0)
        throw std::runtime_error("Cannot create memory map on file " + FPath);
    // Not a regular file (a FIFO, a device), or too short for the header (an empty file among
    // them, which mmap would refuse anyway).
    if (!S_ISREG(St.st_mode) || static_cast<std::uint64_t>(St.st_size) < MoHeaderSize)
        Invalid();
    void *View = ::mmap(nullptr, static_cast<std::size_t>(St.st_size), PROT_READ, MAP_PRIVATE, File.Get(), 0);
    if (View == MAP_FAILED) {
        std::string Reason = std::strerror(errno);
        Reason.resize(std::min(Reason.size(), MaxReasonLength));
        throw std::runtime_error("Cannot map file " + FPath + " into memory. Reason: " + Reason);
    }
    FView = static_cast<const unsigned char *>(View);
    FViewSize = static_cast<std::uint64_t>(St.st_size);
    FStartInFile = 0;
    FStart = FView + FStartInFile;

    const std::uint32_t Magic = std::uint32_t(FStart[0]) | std::uint32_t(FStart[1]) << 8 |
                                std::uint32_t(FStart[2]) << 16 | std::uint32_t(FStart[3]) << 24;
    if (Magic != MoMagic && Magic != MoMagicSwapped) {
        Unmap();
        Invalid();
    }
    FSwap = Magic == MoMagicSwapped;
    FReverse = FSwap != (std::endian::native == std::endian::big);
    FCount = Read32(8);
    FOriginals = Read32(12);
    FTranslated = Read32(16);
    const std::uint64_t TableSize = std::uint64_t(FCount) * 8;
    if (FOriginals + TableSize > FViewSize || FTranslated + TableSize > FViewSize) {
        Unmap();
        Invalid();
    }
    FOpen = true;
}

void TDomain::Unmap() noexcept {
    if (FView != nullptr)
        ::munmap(const_cast<unsigned char *>(FView), static_cast<std::size_t>(FViewSize));
    FView = FStart = nullptr;
    FViewSize = 0;
    FOpen = false;
}

void TDomain::CloseCatalogue() {
    std::unique_lock Lock(FLock);
    Unmap();
    FMayOpen = true;
}

std::string_view TDomain::Entry(std::uint32_t Table, std::uint32_t Index) const {
    const std::uint64_t At = Table + std::uint64_t(Index) * 8; // within the table, checked at open
    const std::uint32_t Length = Read32(At);
    const std::uint32_t Offset = Read32(At + 4);
    if (std::uint64_t(Offset) + Length > FViewSize)
        Invalid();
    return {reinterpret_cast<const char *>(FStart + Offset), Length};
}

// The originals are sorted by unsigned bytes, shorter first on a common prefix; the search starts
// at the largest power of two not above N and halves its step, clamping at both ends.
std::int64_t TDomain::Search(std::string_view Key) const {
    std::uint32_t K = std::bit_floor(FCount);
    std::uint32_t Step = K / 2;
    for (;;) {
        const std::string_view Original = Entry(FOriginals, K - 1);
        const std::size_t Common = std::min(Key.size(), Original.size());
        int Order = Common == 0 ? 0 : std::memcmp(Key.data(), Original.data(), Common);
        if (Order == 0)
            Order = Key.size() < Original.size() ? -1 : Key.size() > Original.size() ? 1 : 0;
        if (Order == 0)
            return K - 1;
        if (Step == 0)
            return -1;
        if (Order < 0)
            K = K > Step ? K - Step : 1;
        else
            K = std::min(FCount, K + Step);
        Step /= 2;
    }
}

std::string TDomain::FindTranslation(std::string_view Key) {
    std::string Result;
    if (!WithTranslation(Key, [&](std::string_view Translation) { Result.assign(Translation); }))
        Result.assign(Key);
    return Result;
}

// ---------------------------------------------------------------------------------------------
// TGnuGettextInstance

TGnuGettextInstance::TGnuGettextInstance(const std::string &ExecutableDirectory, const std::string &Language)
    : FGeneration(++GGenerations),
      FBaseDirectory(WithTrailingSeparator(ExecutableDirectory) + "locale") {
    SelectLanguage(Language);
    BindDomainDirectory("default", FBaseDirectory);
    SetCurrentDomain("default");
}

TGnuGettextInstance::~TGnuGettextInstance() = default;

std::string TGnuGettextInstance::CurrentLanguage() const {
    std::shared_lock Lock(FLock);
    return FCurrentLanguage;
}

std::string TGnuGettextInstance::CurrentDomain() const {
    std::shared_lock Lock(FLock);
    return FCurrentDomain;
}

void TGnuGettextInstance::SelectLanguage(const std::string &Code) {
    std::string Language = Code;
    if (Language.empty()) {
        const char *Lang = std::getenv("LANG");
        Language = Lang != nullptr && *Lang != '\0' ? Lang : SystemLanguageCode();
        Language = Language.substr(0, Language.find('.'));
    }
    std::unique_lock Lock(FLock);
    FCurrentLanguage = Language;
    for (auto &Domain : FDomains)
        Domain->SetLanguageCode(Language);
}

void TGnuGettextInstance::BindDomainDirectory(const std::string &Domain, const std::string &Directory) {
    DomainFor(Domain).SetDirectory(WithTrailingSeparator(Directory));
}

void TGnuGettextInstance::SetCurrentDomain(const std::string &Domain) {
    std::unique_lock Lock(FLock);
    FCurrentDomain = Domain;
}

TDomain *TGnuGettextInstance::FindDomain(std::string_view Name) const {
    for (const auto &Domain : FDomains)
        if (SameName(Domain->Name(), Name))
            return Domain.get();
    return nullptr;
}

TDomain &TGnuGettextInstance::DomainFor(const std::string &Name) {
    if (LastDomain.Generation == FGeneration && LastDomain.Name == Name)
        return *LastDomain.Domain;
    TDomain &Domain = FindOrAddDomain(Name);
    LastDomain.Generation = FGeneration;
    LastDomain.Name = Name;
    LastDomain.Domain = &Domain;
    return Domain;
}

TDomain &TGnuGettextInstance::FindOrAddDomain(const std::string &Name) {
    {
        std::shared_lock Lock(FLock);
        if (TDomain *Found = FindDomain(Name))
            return *Found;
    }
    std::unique_lock Lock(FLock);
    if (TDomain *Found = FindDomain(Name)) // made by another thread in between
        return *Found;
    auto Domain = std::make_unique<TDomain>(Name);
    Domain->SetDirectory(FBaseDirectory);
    Domain->SetLanguageCode(FCurrentLanguage);
    FDomains.push_back(std::move(Domain));
    return *FDomains.back();
}

std::string TGnuGettextInstance::TranslateText(const std::string &Text) {
    return TranslateTextInDomain(Text, CurrentDomain());
}

std::string TGnuGettextInstance::TranslateTextInDomain(const std::string &Text, const std::string &Domain) {
    TDomain &D = DomainFor(Domain);
    // Most texts have no carriage return: look them up in place.
    std::string Stripped;
    std::string_view Key = Text;
    if (Text.find('\r') != std::string::npos) {
        Stripped = WithoutCarriageReturns(Text);
        Key = Stripped;
    }
    std::string Result;
    bool Valid = true;
    const bool Found = D.WithTranslation(Key, [&](std::string_view Translation) {
        Valid = IsUtf8(Translation);
        if (Valid)
            Result = WithCrLf(Translation);
    });
    // No entry: the text itself, even when that is empty (a text of carriage returns alone). The
    // empty-result error below is for a translation that failed to decode, and nothing was decoded.
    if (!Found)
        return WithCrLf(Key);
    // A translation that does not decode counts as empty, as it would after a failed conversion.
    if (!Text.empty() && (!Valid || Result.empty()))
        throw NotTranslatable(Text);
    return Result;
}

// ---------------------------------------------------------------------------------------------
// The global entry points

TGnuGettextInstance *DefaultInstance() noexcept {
    return GInstance.load(std::memory_order_acquire);
}

void AddInstanceCreatedHook(TInstanceCreatedHook Hook) {
    Hooks().push_back(std::move(Hook));
}

void GnuGettextStartup(const std::string &ExecutableDir, const std::string &Language) {
    if (DefaultInstance() != nullptr)
        throw std::logic_error("The translation service is already running");
    // Appended catalogues are not supported: catalogues come only from files.
    GResourceDomains.store(new TResourceDomains, std::memory_order_release);
    try {
        auto Instance = std::make_unique<TGnuGettextInstance>(
            ExecutableDir.empty() ? ExecutableDirectory() : ExecutableDir, Language);
        GInstance.store(Instance.release(), std::memory_order_release);
        for (const auto &Hook : Hooks())
            Hook(*DefaultInstance());
    } catch (...) {
        GnuGettextShutdown();
        throw;
    }
    GRouted.store(true, std::memory_order_release);
}

void GnuGettextShutdown() noexcept {
    // The routing goes first, so no resource text looks for a domain list that is being freed.
    GRouted.store(false, std::memory_order_release);
    delete GInstance.exchange(nullptr, std::memory_order_acq_rel);
    delete GResourceDomains.exchange(nullptr, std::memory_order_acq_rel);
}

std::string TranslateText(const std::string &Text) {
    TGnuGettextInstance *Instance = DefaultInstance();
    return Instance != nullptr ? Instance->TranslateText(Text) : Text;
}

std::string TranslateTextInDomain(const std::string &Text, const std::string &Domain) {
    TGnuGettextInstance *Instance = DefaultInstance();
    return Instance != nullptr ? Instance->TranslateTextInDomain(Text, Domain) : Text;
}

void SelectLanguage(const std::string &Code) {
    if (TGnuGettextInstance *Instance = DefaultInstance())
        Instance->SelectLanguage(Code);
}

void BindDomainDirectory(const std::string &Domain, const std::string &Directory) {
    if (TGnuGettextInstance *Instance = DefaultInstance())
        Instance->BindDomainDirectory(Domain, Directory);
}

void SetCurrentDomain(const std::string &Domain) {
    if (TGnuGettextInstance *Instance = DefaultInstance())
        Instance->SetCurrentDomain(Domain);
}

std::string SystemLanguageCode() {
    // The same precedence as the C library gives the message category.
    for (const char *Variable : {"LC_ALL", "LC_MESSAGES"}) {
        const char *Value = std::getenv(Variable);
        if (Value != nullptr && *Value != '\0')
            return TwoLetterCode(Value);
    }
    const char *Current = std::setlocale(LC_MESSAGES, nullptr);
    return TwoLetterCode(Current != nullptr ? Current : "C");
}

std::string LanguageCodeForLocaleId(std::uint32_t LocaleId) {
    struct TRow {
        std::uint32_t Id;
        const char *Code;
    };
    static constexpr TRow Table[] = {
        {1030, "da_DK"}, {1031, "de_DE"}, {1032, "gr_GR"}, {1033, "en_US"}, {1034, "es_ES"},
        {1035, "fi_FI"}, {1036, "fr_FR"}, {1039, "is_IS"}, {1040, "it_IT"}, {1042, "ko_KO"},
        {1043, "nl_NL"}, {1044, "no_NO"}, {1045, "pl_PL"}, {1046, "pt_BR"}, {1049, "ru_RU"},
        {1053, "sv_SE"}, {2057, "en_UK"}, {2060, "fr_BE"}, {2067, "nl_BE"}, {2068, "nn_NO"},
        {2070, "pt_PT"}, {2077, "fi_SE"}, {3082, "es_ES"}, {3084, "fr_CA"}, {4103, "de_LU"},
    };
    for (const TRow &Row : Table)
        if (Row.Id == LocaleId)
            return Row.Code;
    return "C";
}

void AddResourceTextDomain(const std::string &Domain) {
    TResourceDomains *Domains = GResourceDomains.load(std::memory_order_acquire);
    if (Domains == nullptr)
        return;
    std::unique_lock Lock(Domains->Lock);
    Domains->Names.push_back(Domain);
}

std::vector<std::string> ResourceTextDomains() {
    TResourceDomains *Domains = GResourceDomains.load(std::memory_order_acquire);
    if (Domains == nullptr)
        return {};
    std::shared_lock Lock(Domains->Lock);
    return Domains->Names;
}

void SetResourceStringTable(TResourceStringTable Table) {
    GStringTable = std::move(Table);
}

namespace {
std::string TableText(std::uint32_t Identifier) {
    if (!GStringTable)
        return {};
    return GStringTable(Identifier).value_or(std::string());
}
} // namespace

std::string LoadResourceText(std::uint32_t Identifier) {
    return GRouted.load(std::memory_order_acquire) ? TranslateResourceText(Identifier)
                                                   : TableText(Identifier);
}

std::string TranslateResourceText(std::uint32_t Identifier) {
    return TranslateLoadedResourceText(TableText(Identifier));
}

std::string TranslateLoadedResourceText(const std::string &Text) {
    TResourceDomains *Domains = GResourceDomains.load(std::memory_order_acquire);
    TGnuGettextInstance *Instance = DefaultInstance();
    // An empty text (an identifier the table lacks) would otherwise come back as a catalogue's
    // header entry, which no caption or message should ever show.
    if (Domains == nullptr || Instance == nullptr || Text.empty())
        return Text;
    std::shared_lock Lock(Domains->Lock);
    for (const std::string &Domain : Domains->Names) {
        std::string Translation = Instance->TranslateTextInDomain(Text, Domain);
        if (Translation != Text)
            return Translation;
    }
    return Text;
}
