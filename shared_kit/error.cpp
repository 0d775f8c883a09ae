#include "error.h"

#include <cstring>

namespace ambrevoli {

SystemError SystemError::fromErrno(int e)
{
    // strerrordesc_np knows exactly the numbers the C library defines.
    if (e <= 0 || ::strerrordesc_np(e) == nullptr)
        return SystemError{EIO};
    return SystemError{e};
}

std::string textualForm(const SystemError& e)
{
    const char* description = ::strerrordesc_np(e.code);
    return std::string(description ? description : "Unknown error") + " (errno " +
           std::to_string(e.code) + ")";
}

std::string_view errorDomain(const SystemError&) { return "POSIX"; }

std::string textualForm(const DecodeError& e) { return "dataCorrupted(" + e.description + ")"; }
std::string_view errorDomain(const DecodeError&) { return "JSONDecoding"; }
long errorCode(const DecodeError&) { return 1; }

std::string textualForm(const EncodeError& e) { return "invalidValue(" + e.description + ")"; }
std::string_view errorDomain(const EncodeError&) { return "JSONEncoding"; }
long errorCode(const EncodeError&) { return 1; }

std::string caseText(std::string_view name) { return std::string(name); }

std::string caseText(std::string_view name, std::string_view payload)
{
    std::string text(name);
    text += '(';
    text += payload;
    text += ')';
    return text;
}

std::string caseText(std::string_view name, std::string_view label, std::string_view payload)
{
    std::string labelled(label);
    labelled += ": ";
    labelled += payload;
    return caseText(name, labelled);
}

} // namespace ambrevoli
