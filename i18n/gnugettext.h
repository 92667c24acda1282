// The translation service: run-time lookup of texts in GNU gettext MO catalogues.
//
// The panel is written with English texts for the serial layer and its setup dialog; this unit
// replaces them by their translations from binary MO catalogues kept in "locale" beside the
// executable, one file per text domain and language:
//
//     <executable dir>/locale/<language>/LC_MESSAGES/<domain>.mo
//
// A text that no catalogue translates comes back unchanged, so without catalogues the panel shows
// its texts exactly as built in. No Qt here: the Qt layer routes Qt's own texts through
// TranslateLoadedResourceText from a QTranslator of its own.
//
// Texts in and out are UTF-8. Line ends: keys are looked up with bare line feeds (carriage returns
// dropped) and every line feed of a result comes back as a carriage return and line feed pair.
//
// Errors: a missing catalogue is not an error. An unusable one (unreadable, not an MO file, corrupt)
// and a translation that is empty or not UTF-8 raise std::runtime_error with a message; the
// service catches none of them, the caller sees them.
//
// Life cycle:
//     int main() {
//         TGnuGettextSession Gettext;          // start-up: default instance, language, routing
//         AddResourceTextDomain("cport");      // the serial layer's domain
//         ...                                   // TranslateText(...) anywhere
//     }                                         // shutdown: catalogues closed, routing undone
// Tests make a fresh default instance with a chosen executable directory and language:
//     TGnuGettextSession Gettext("/tmp/fixture", "cs_CZ");   // catalogues from /tmp/fixture/locale
// Before start-up and after shutdown every lookup returns its text unchanged.
//
// Thread safety: start-up, shutdown, SelectLanguage, BindDomainDirectory, SetCurrentDomain and the
// hooks belong to the main thread while no other thread translates. Lookups (TranslateText,
// TranslateTextInDomain, TranslateResourceText) and AddResourceTextDomain may run on any thread:
// each catalogue is opened and closed under its domain's readers-writer lock, read under its read
// side, and the domain list and the resource-text domains have readers-writer locks of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

// One text domain and its catalogue. A catalogue is in one of three states: not yet tried (open
// false, may-open true), open (mapped until its directory or language changes), or absent
// (may-open false: a search found no file and is not repeated).
class TDomain {
public:
    explicit TDomain(std::string Name);
    ~TDomain();
    TDomain(const TDomain &) = delete;
    TDomain &operator=(const TDomain &) = delete;

    const std::string &Name() const { return FName; }
    const std::string &Directory() const { return FDirectory; }
    // Adds a trailing "/" when missing; closes the catalogue.
    void SetDirectory(const std::string &Value);
    const std::string &LanguageCode() const { return FLanguageCode; }
    // Closes the catalogue.
    void SetLanguageCode(const std::string &Value);

    // The translation of a UTF-8 key, or the key itself when the domain has no catalogue or the
    // catalogue has no entry for it. Opens the catalogue at the first lookup.
    std::string FindTranslation(std::string_view Key);
    // The same without a copy: Use(Translation) runs while the catalogue is held mapped, and only
    // when the catalogue has an entry for Key. Returns whether it ran.
    template <class TUse> bool WithTranslation(std::string_view Key, TUse &&Use);
    void OpenCatalogue();
    void CloseCatalogue();

    bool IsOpen() const;
    bool MayOpen() const;
    // The file that was opened, or is to be opened (empty before the first search).
    std::string CataloguePath() const;

private:
    std::string_view Entry(std::uint32_t Table, std::uint32_t Index) const;
    std::uint32_t Read32(std::uint64_t Offset) const;
    // Index of Key among the original strings, or -1.
    std::int64_t Search(std::string_view Key) const;
    std::string CatalogueFile(std::string_view Language) const;
    [[noreturn]] void Invalid() const;
    void Unmap() noexcept;

    std::string FName;
    std::string FDirectory;
    std::string FLanguageCode;
    mutable std::shared_mutex FLock;
    bool FSwap = false;            // the catalogue's numbers are big-endian
    bool FReverse = false;         // ... and not in this machine's order
    std::uint32_t FCount = 0;      // N
    std::uint32_t FOriginals = 0;  // O
    std::uint32_t FTranslated = 0; // T
    std::uint64_t FStartInFile = 0;
    // The file descriptor is closed once the view is mapped: the mapping keeps the file.
    const unsigned char *FView = nullptr;
    std::uint64_t FViewSize = 0;
    const unsigned char *FStart = nullptr;
    std::string FPath;
    bool FOpen = false;
    bool FMayOpen = true;
};

template <class TUse> bool TDomain::WithTranslation(std::string_view Key, TUse &&Use) {
    std::shared_lock Lock(FLock);
    if (!FOpen) {
        if (!FMayOpen)
            return false;
        Lock.unlock();
        OpenCatalogue();
        Lock.lock();
        if (!FOpen) // absent, or closed again by another thread in between
            return false;
    }
    const std::int64_t Index = FCount == 0 ? -1 : Search(Key);
    if (Index < 0)
        return false;
    Use(Entry(FTranslated, static_cast<std::uint32_t>(Index)));
    return true;
}

// The translation service. The default instance (DefaultInstance()) is the one every global
// function below acts on.
class TGnuGettextInstance {
public:
    // BaseDirectory := ExecutableDirectory + "/locale"; SelectLanguage(Language) (empty: choose from
    // LANG or the system); the domain "default" bound to BaseDirectory and made current.
    TGnuGettextInstance(const std::string &ExecutableDirectory, const std::string &Language);
    ~TGnuGettextInstance();
    TGnuGettextInstance(const TGnuGettextInstance &) = delete;
    TGnuGettextInstance &operator=(const TGnuGettextInstance &) = delete;

    std::string CurrentLanguage() const;
    std::string CurrentDomain() const;
    const std::string &BaseDirectory() const { return FBaseDirectory; }

    // Empty code: LANG, else SystemLanguageCode(), with anything from the first "." dropped.
    // A non-empty code is taken as it stands. Every existing domain takes the new language.
    void SelectLanguage(const std::string &Code);
    void BindDomainDirectory(const std::string &Domain, const std::string &Directory);
    void SetCurrentDomain(const std::string &Domain);
    // The domain of that name (letter case ignored), created on first use in BaseDirectory.
    TDomain &DomainFor(const std::string &Domain);

    std::string TranslateText(const std::string &Text);
    std::string TranslateTextInDomain(const std::string &Text, const std::string &Domain);

private:
    TDomain *FindDomain(std::string_view Name) const;
    TDomain &FindOrAddDomain(const std::string &Name);

    const std::uint64_t FGeneration; // unique per instance, for the threads' domain caches
    mutable std::shared_mutex FLock; // guards the fields below
    std::string FCurrentLanguage;
    std::string FCurrentDomain = "default";
    std::string FBaseDirectory;
    std::vector<std::unique_ptr<TDomain>> FDomains;
};

// --- The service's global entry points, acting on the default instance. ---

// Start-up: creates the default instance for ExecutableDirectory (empty: the directory of the
// running executable) and Language (empty: choose), runs the instance-created hooks, creates the
// resource-text domains ("default") and routes LoadResourceText through TranslateResourceText.
// Throws std::logic_error when a default instance already exists.
void GnuGettextStartup(const std::string &ExecutableDirectory = {}, const std::string &Language = {});
// Shutdown: destroys the default instance (closing every catalogue), frees the resource-text
// domains and undoes the routing. Does nothing when the service is not running.
void GnuGettextShutdown() noexcept;

// Start-up in the constructor, shutdown in the destructor.
class TGnuGettextSession {
public:
    explicit TGnuGettextSession(const std::string &ExecutableDirectory = {},
                                const std::string &Language = {}) {
        GnuGettextStartup(ExecutableDirectory, Language);
    }
    ~TGnuGettextSession() { GnuGettextShutdown(); }
    TGnuGettextSession(const TGnuGettextSession &) = delete;
    TGnuGettextSession &operator=(const TGnuGettextSession &) = delete;
};

// The default instance; null before start-up and after shutdown.
TGnuGettextInstance *DefaultInstance() noexcept;

// Runs on every new default instance right after it is set up, before the resource-text routing
// (the object-tree translation registers its class rules here). Hooks stay for the whole process;
// add them before start-up.
using TInstanceCreatedHook = std::function<void(TGnuGettextInstance &)>;
void AddInstanceCreatedHook(TInstanceCreatedHook Hook);

// TranslateTextInDomain in the current domain.
std::string TranslateText(const std::string &Text);
// The translation of Text in Domain; Text itself (line ends made CR LF) when nothing translates it.
// An empty Text gives the catalogue's header entry when the domain has a catalogue.
std::string TranslateTextInDomain(const std::string &Text, const std::string &Domain);
void SelectLanguage(const std::string &Code);
void BindDomainDirectory(const std::string &Domain, const std::string &Directory);
void SetCurrentDomain(const std::string &Domain);
// The language and country of the process locale (LC_ALL, LC_MESSAGES, then what setlocale
// reports) as "ll_CC" when both are two letters, otherwise "C".
std::string SystemLanguageCode();
// The code for a Windows locale identifier (1029 is not among them); "C" for any other. Kept for a
// platform that has such identifiers; Linux has none.
std::string LanguageCodeForLocaleId(std::uint32_t LocaleId);

// --- Resource texts: the platform's own texts (message captions, standard button texts). ---

// Appends a domain to the list searched for resource texts (initially just "default").
void AddResourceTextDomain(const std::string &Domain);
// The resource-text domains in search order; empty while the service is not running.
std::vector<std::string> ResourceTextDomains();

// The platform's string table: the text of an identifier, or nothing when it has none.
using TResourceStringTable = std::function<std::optional<std::string>(std::uint32_t Identifier)>;
void SetResourceStringTable(TResourceStringTable Table);
// The program's loader of resource texts: the table's text, translated while the service runs
// (start-up to shutdown), as it stands otherwise. An unknown identifier gives empty text.
std::string LoadResourceText(std::uint32_t Identifier);
// The table's text of Identifier translated by the first resource-text domain that changes it.
std::string TranslateResourceText(std::uint32_t Identifier);
// The same for a text the platform has already loaded (Qt hands its texts over, not identifiers).
// An empty text stays empty: it never turns into a catalogue's header entry.
std::string TranslateLoadedResourceText(const std::string &Text);
