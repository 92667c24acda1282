// The system's own texts in the operator's language. The C library translates its error
// descriptions (strerror) only for a locale that the machine has generated, which a desktop often
// lacks for the operator's language although the C library's catalogue of it is installed
// (libc-l10n). So we look the English description up in that catalogue ourselves, through the
// translation service (i18n/gnugettext.h), in the language the service chose.
//
// Thread safety: as the translation service's lookups; BindSystemCatalogues as its start-up.
#pragma once

#include <string>

// The folder that holds the system's catalogues, <Directory>/<language>/LC_MESSAGES/libc.mo.
// Start-up binds the system's own; tests one of their own. Without it, descriptions stay English.
inline constexpr const char *SystemCatalogueDirectory = "/usr/share/locale";
void BindSystemCatalogues(const std::string &Directory = SystemCatalogueDirectory);

// The description of the error number Code, without a full stop: translated where the catalogue
// has it, else the C library's English text. Never throws.
std::string SystemErrorText(int Code);
