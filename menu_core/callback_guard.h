#pragma once

#include <exception>
#include <string_view>
#include <utility>

// Nautilus and GLib are C: an exception unwinding into them ends the file manager. Every entry
// from them into this module (the module functions, GObject class and instance functions,
// signal handlers, main-loop sources) runs its body through guarded().

namespace ambrevoli {

// Logs at error level, on the "extension" category, "Unexpected failure while <activity>:"
// followed by the exception's description as a private argument. Never throws.
void logUnexpectedFailure(std::string_view activity, std::string_view description) noexcept;

// Runs `body` and yields its result; if it throws, logs the failure and yields `fallback`.
template <class R, class Body>
R guarded(std::string_view activity, R fallback, Body&& body) noexcept
{
    try {
        return std::forward<Body>(body)();
    } catch (const std::exception& e) {
        logUnexpectedFailure(activity, e.what());
    } catch (...) {
        logUnexpectedFailure(activity, "an exception of unknown type");
    }
    return fallback;
}

// Runs `body`, which yields nothing; if it throws, logs the failure.
template <class Body> void guarded(std::string_view activity, Body&& body) noexcept
{
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& e) {
        logUnexpectedFailure(activity, e.what());
    } catch (...) {
        logUnexpectedFailure(activity, "an exception of unknown type");
    }
}

} // namespace ambrevoli
