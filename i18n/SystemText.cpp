// The system's error descriptions, translated from the C library's own catalogue.
#include "i18n/SystemText.h"

#include "i18n/gnugettext.h"

#include <cstring>
#include <exception>

namespace {

// The C library's text domain.
const char *const LibcDomain = "libc";

} // namespace

void BindSystemCatalogues(const std::string &Directory) {
    BindDomainDirectory(LibcDomain, Directory);
}

std::string SystemErrorText(int Code) {
    // The untranslated description, whatever locale the process has: the catalogue's key.
    const char *Description = ::strerrordesc_np(Code);
    const std::string English =
        Description != nullptr ? Description : "Unknown error " + std::to_string(Code);
    try {
        return TranslateTextInDomain(English, LibcDomain);
    } catch (const std::exception &) {
        return English; // an unusable system catalogue costs the translation, nothing more
    }
}
