#pragma once

#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>

namespace ambrevoli::testing {

// Makes `language` ("de", "pl") the language of the catalogs for the life of the object, as a
// user's LANGUAGE does, and puts the old one back afterwards. The messages locale becomes C.UTF-8
// (always there with the C library), which unlike "C" lets LANGUAGE choose. Tests are
// single-threaded.
class ScopedLanguage {
public:
    explicit ScopedLanguage(const std::string& language)
    {
        if (const char* old = std::getenv("LANGUAGE"))
            m_oldLanguage = old;
        if (const char* old = std::setlocale(LC_MESSAGES, nullptr))
            m_oldLocale = old;
        ::setenv("LANGUAGE", language.c_str(), 1);
        forgetLookedUpTexts();
        std::setlocale(LC_MESSAGES, "C.UTF-8");
    }
    ~ScopedLanguage()
    {
        if (m_oldLanguage)
            ::setenv("LANGUAGE", m_oldLanguage->c_str(), 1);
        else
            ::unsetenv("LANGUAGE");
        forgetLookedUpTexts();
        std::setlocale(LC_MESSAGES, m_oldLocale.c_str());
    }
    ScopedLanguage(const ScopedLanguage&) = delete;
    ScopedLanguage& operator=(const ScopedLanguage&) = delete;

private:
    // The C library keeps the texts it looked up per locale name, and a change to the same name
    // changes nothing: passing through "C" makes it look them up afresh.
    static void forgetLookedUpTexts() { std::setlocale(LC_MESSAGES, "C"); }

    std::optional<std::string> m_oldLanguage;
    std::string m_oldLocale = "C";
};

} // namespace ambrevoli::testing
