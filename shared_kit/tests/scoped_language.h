#pragma once

#include "scoped_env.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace ambrevoli::testing {

// Makes `language` ("de", "pl") the language of the catalogs for the life of the object, as a
// user's LANGUAGE does, and puts the old one back afterwards; "pseudo" is the pseudo-locale
// (AMBREVOLI_PSEUDO_LOCALE=1) over English. The messages locale becomes `messagesLocale`, since
// the C library lets LANGUAGE choose only under a real locale (not "C", and with Debian 13's not
// C.UTF-8 either); scripts/install-deps makes it. Tests are single-threaded.
inline constexpr const char* messagesLocale = "en_US.UTF-8";

class ScopedLanguage {
public:
    explicit ScopedLanguage(const std::string& language)
    {
        if (const char* old = std::setlocale(LC_MESSAGES, nullptr))
            m_oldLocale = old;
        const bool pseudo = language == "pseudo";
        m_language.emplace("LANGUAGE", pseudo ? "en" : language);
        m_pseudoLocale.emplace("AMBREVOLI_PSEUDO_LOCALE",
                               pseudo ? std::optional<std::string>("1") : std::nullopt);
        forgetLookedUpTexts();
        if (std::setlocale(LC_MESSAGES, messagesLocale) == nullptr) {
            std::fprintf(stderr, "The %s locale is missing: scripts/install-deps makes it.\n",
                         messagesLocale);
            std::abort();
        }
    }
    ~ScopedLanguage()
    {
        // The variables go back before the locale does, which has the C library look texts up
        // afresh with them.
        m_pseudoLocale.reset();
        m_language.reset();
        forgetLookedUpTexts();
        std::setlocale(LC_MESSAGES, m_oldLocale.c_str());
    }
    ScopedLanguage(const ScopedLanguage&) = delete;
    ScopedLanguage& operator=(const ScopedLanguage&) = delete;

private:
    // The C library keeps the texts it looked up per locale name, and a change to the same name
    // changes nothing: passing through "C" makes it look them up afresh.
    static void forgetLookedUpTexts() { std::setlocale(LC_MESSAGES, "C"); }

    std::optional<ScopedEnv> m_language;
    std::optional<ScopedEnv> m_pseudoLocale;
    std::string m_oldLocale = "C";
};

} // namespace ambrevoli::testing
