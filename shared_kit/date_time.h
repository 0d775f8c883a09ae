#pragma once

#include <optional>
#include <string>
#include <string_view>

// Points in time are double-precision seconds since 1970-01-01T00:00:00Z.

namespace ambrevoli {

// The current time.
double now();

// The RFC 3339 internet date-time of `seconds` in UTC with "Z" and whole seconds
// ("2024-05-01T09:30:00Z"); the fraction of a second is dropped (rounded towards the past).
// A value that is not finite or lies outside the years 0001–9999 yields no value.
std::optional<std::string> internetDateTime(double seconds);

// Reads an internet date-time: "YYYY-MM-DDTHH:MM:SS" followed by "Z" or a numeric offset
// "+HH:MM"/"-HH:MM". No fractional seconds, no lower-case designators, no other forms.
std::optional<double> parseInternetDateTime(std::string_view text);

} // namespace ambrevoli
