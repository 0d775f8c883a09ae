#pragma once

#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>

namespace ambrevoli::testing {

// Makes `language` ("de", "pl") the language of the catalogs for the life of the object, as a
// user's LANGUAGE does, and puts the old one back afterwards. The messages locale becomes C.UTF-8
// (always there with the C library), which unlike "C" lets LANGUAGE choose; setting it also tells
// the C library to forget the texts it looked up in the old language. Tests are single-threaded.
class ScopedLanguage {
public:
    explicit ScopedLanguage(const std::string& language)
    {
        if (const char* old = std::getenv("LANGUAGE"))
            m_oldLanguage = old;
        if (const char* old = std::setlocale(LC_MESSAGES, nullptr))
            m_oldLocale = old;
        ::setenv("LANGUAGE", language.c_str(), 1);
        std::setlocale(LC_MESSAGES, "C.UTF-8");
    }
    ~ScopedLanguage()
    {
        if (m_oldLanguage)
            ::setenv("LANGUAGE", m_oldLanguage->c_str(), 1);
        else
            ::unsetenv("LANGUAGE");
        std::setlocale(LC_MESSAGES, m_oldLocale.c_str());
    }
    ScopedLanguage(const ScopedLanguage&) = delete;
    ScopedLanguage& operator=(const ScopedLanguage&) = delete;

private:
    std::optional<std::string> m_oldLanguage;
    std::string m_oldLocale = "C";
};

} // namespace ambrevoli::testing
