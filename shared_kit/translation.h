#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// The user's language for every deliverable: the texts people read are looked up in the
// "ambrevoli" message catalogs (po/), compiled for each language into
// <locale folder>/<language>/LC_MESSAGES/ambrevoli.mo. The language is the C library's choice
// for LC_MESSAGES (LANGUAGE, then LC_ALL, LC_MESSAGES, LANG) as the program set it with
// setlocale(); a program that never calls setlocale(), or runs in the "C" locale, reads English.
//
// With AMBREVOLI_PSEUDO_LOCALE=1 every text comes back bracketed and a third longer, in any
// language, to show what clips in the windows and which texts bypass the catalogs.
//
// Only this domain is touched: the file-manager modules run inside the file manager's process,
// whose own domain (textdomain()) stays as the file manager set it. Texts come back in UTF-8
// whatever the locale's character set.
//
// Log lines are not translated: they are for support and searching.
//
// Thread-safe; the catalogs are bound on the first lookup.

namespace ambrevoli {

inline constexpr const char* translationDomain = "ambrevoli";

// The folder the catalogs are read from: $AMBREVOLI_LOCALE_DIR when set and not empty (the tests
// point it at the build's compiled catalogs), else the installation's locale folder.
std::string localeFolder();

// `text` in the user's language; `text` itself (English) where no catalog translates it.
std::string translate(const char* text);

// The same for a text that means different things in different places: `context` tells them
// apart for the translators (it is never shown).
std::string translateInContext(const char* context, const char* text);

// The form of a counted text for `count`, by the language's plural rule: English and German have
// two forms, Polish three ("1 element", "2 elementy", "5 elementów"). `singular` and `plural` are
// the English forms. A negative count is taken as its magnitude.
std::string translatePlural(const char* singular, const char* plural, std::int64_t count);

// `pattern` with each "%N$s" replaced by the Nth of `arguments` (counting from 1) and "%%" by
// "%". Translations put the arguments in their own order, so patterns number every argument.
// Arguments are inserted as they are, never read as patterns; a mark without an argument is kept.
std::string formatted(std::string_view pattern, std::initializer_list<std::string_view> arguments);

} // namespace ambrevoli

// Marks a text for the catalogs where it cannot be translated at once (a table of constants);
// translate() it where it is used.
#define N_(text) text
