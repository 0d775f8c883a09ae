#include "translation.h"

#include <libintl.h>

#include <cstdlib>
#include <mutex>

#ifndef AMBREVOLI_LOCALEDIR
#error "AMBREVOLI_LOCALEDIR must name the installation's locale folder"
#endif

namespace ambrevoli {

namespace {

// Binding increments the C library's catalog generation, which empties its cache of looked-up
// texts for every domain, the host file manager's included: done once, not per lookup.
void bindOnce()
{
    static std::once_flag bound;
    std::call_once(bound, [] {
        bindtextdomain(translationDomain, localeFolder().c_str());
        bind_textdomain_codeset(translationDomain, "UTF-8");
    });
}

// The pseudo-locale (AMBREVOLI_PSEUDO_LOCALE=1): every translated text bracketed and a third
// longer, as German runs, so that a window shows what clips and which texts never reach the
// catalog. Read at each lookup, as LANGUAGE is.
bool pseudoLocale()
{
    const char* value = std::getenv("AMBREVOLI_PSEUDO_LOCALE");
    return value != nullptr && std::string_view(value) == "1";
}

std::string shown(const char* text)
{
    if (!pseudoLocale())
        return text;
    const std::string_view original(text);
    std::size_t characters = 0;
    for (char c : original)
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    std::string padded = "[" + std::string(original);
    if (characters > 0)
        padded.append(" ").append((characters + 2) / 3, '~');
    return padded + "]";
}

} // namespace

std::string localeFolder()
{
    const char* overridden = std::getenv("AMBREVOLI_LOCALE_DIR");
    if (overridden != nullptr && *overridden != '\0')
        return overridden;
    return AMBREVOLI_LOCALEDIR;
}

std::string translate(const char* text)
{
    bindOnce();
    return shown(dgettext(translationDomain, text));
}

std::string translateInContext(const char* context, const char* text)
{
    bindOnce();
    // The catalogs key a text with a context as "context\004text"; a text without translation
    // comes back keyed.
    const std::string key = std::string(context) + '\004' + text;
    const char* found = dgettext(translationDomain, key.c_str());
    return shown(found == key.c_str() ? text : found);
}

std::string translatePlural(const char* singular, const char* plural, std::int64_t count)
{
    bindOnce();
    const auto magnitude = static_cast<unsigned long>(count < 0 ? -count : count);
    return shown(dngettext(translationDomain, singular, plural, magnitude));
}

std::string formatted(std::string_view pattern, std::initializer_list<std::string_view> arguments)
{
    std::string text;
    text.reserve(pattern.size());
    for (std::size_t i = 0; i < pattern.size();) {
        if (pattern[i] != '%') {
            text += pattern[i++];
            continue;
        }
        if (pattern.substr(i, 2) == "%%") {
            text += '%';
            i += 2;
            continue;
        }
        std::size_t digits = i + 1;
        std::size_t number = 0;
        while (digits < pattern.size() && pattern[digits] >= '0' && pattern[digits] <= '9')
            number = number * 10 + static_cast<std::size_t>(pattern[digits++] - '0');
        if (digits > i + 1 && pattern.substr(digits, 2) == "$s" && number >= 1 &&
            number <= arguments.size()) {
            text += *(arguments.begin() + (number - 1));
            i = digits + 2;
            continue;
        }
        text += pattern[i++];
    }
    return text;
}

} // namespace ambrevoli
