#pragma once

#include <cerrno>
#include <concepts>
#include <string>
#include <string_view>
#include <variant>

// The one error pattern of the project. Every error enumeration is a small value type with
// equality, and three free functions found by argument-dependent lookup:
//
//   std::string      textualForm(const E&)  // "notFound(3F2C…)", "other(28)" — log lines use it
//   std::string_view errorDomain(const E&)  // stable domain name for logError
//   long             errorCode(const E&)    // stable integer code within that domain
//
// A std::variant of such errors is itself such an error (see the overloads at the end), so an
// operation that can fail in several ways returns std::expected<T, std::variant<…>>.

namespace ambrevoli {

// A failure reported by the operating system.
struct SystemError {
    int code = EIO;

    // The error for errno value `e`; EIO (5) when `e` is not a known POSIX error number.
    static SystemError fromErrno(int e);
    // The error for the current errno.
    static SystemError last() { return fromErrno(errno); }

    friend bool operator==(const SystemError&, const SystemError&) = default;
};

std::string textualForm(const SystemError& e); // "No such file or directory (errno 2)"
std::string_view errorDomain(const SystemError& e);
inline long errorCode(const SystemError& e) { return e.code; }

// The JSON reader's data error: the bytes are not the JSON that was expected. The description
// says what was wrong and may quote the input, so it only ever reaches private log arguments.
struct DecodeError {
    std::string description;

    friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

std::string textualForm(const DecodeError& e);
std::string_view errorDomain(const DecodeError& e);
long errorCode(const DecodeError& e);

// The JSON writer's error: a value cannot be written as JSON (text that is not UTF-8).
struct EncodeError {
    std::string description;

    friend bool operator==(const EncodeError&, const EncodeError&) = default;
};

std::string textualForm(const EncodeError& e);
std::string_view errorDomain(const EncodeError& e);
long errorCode(const EncodeError& e);

// Builds the textual form of an enumeration case: "name", "name(payload)" or
// "name(label: payload)".
std::string caseText(std::string_view name);
std::string caseText(std::string_view name, std::string_view payload);
std::string caseText(std::string_view name, std::string_view label, std::string_view payload);

template <class E>
concept LoggableError = requires(const E& e)
{
    {
        textualForm(e)
        } -> std::convertible_to<std::string>;
    {
        errorDomain(e)
        } -> std::convertible_to<std::string_view>;
    {
        errorCode(e)
        } -> std::convertible_to<long>;
};

template <LoggableError... E> std::string textualForm(const std::variant<E...>& error)
{
    return std::visit([](const auto& e) { return std::string(textualForm(e)); }, error);
}

template <LoggableError... E> std::string_view errorDomain(const std::variant<E...>& error)
{
    return std::visit([](const auto& e) { return std::string_view(errorDomain(e)); }, error);
}

template <LoggableError... E> long errorCode(const std::variant<E...>& error)
{
    return std::visit([](const auto& e) { return static_cast<long>(errorCode(e)); }, error);
}

} // namespace ambrevoli
